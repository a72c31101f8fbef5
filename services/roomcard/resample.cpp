#include "resample.h"

#include <algorithm>
#include <cmath>
#include <memory>

namespace mirelo::services::roomcard {
namespace {

constexpr double kLobes = 3;

double lanczos(double x) {
  x = std::fabs(x);
  if (x < 1e-9) return 1;
  if (x >= kLobes) return 0;
  const double px = M_PI * x;
  return kLobes * std::sin(px) * std::sin(px / kLobes) / (px * px);
}

// For each output position: the first input index and the normalised weights of its taps.
struct Taps {
  int count = 0;  // taps per output position
  std::vector<int> first;  // per output position
  std::vector<float> weights;  // count per output position
};

Taps taps(int from, int to) {
  const double ratio = static_cast<double>(from) / to;
  const double scale = std::max(1.0, ratio);
  const double support = kLobes * scale;
  Taps t;
  t.count = static_cast<int>(std::ceil(support * 2)) + 1;
  t.first.resize(to);
  t.weights.assign(static_cast<size_t>(to) * t.count, 0.f);
  std::vector<double> w(t.count);
  for (int o = 0; o < to; ++o) {
    const double centre = (o + 0.5) * ratio - 0.5;
    const int first = static_cast<int>(std::floor(centre - support)) + 1;
    double sum = 0;
    for (int k = 0; k < t.count; ++k) sum += w[k] = lanczos((first + k - centre) / scale);
    t.first[o] = first;
    for (int k = 0; k < t.count; ++k) t.weights[static_cast<size_t>(o) * t.count + k] = static_cast<float>(w[k] / sum);
  }
  return t;
}

// The horizontal taps of one row, tap by tap along the row: the columns' sums are independent
// chains (each still taken in tap order, so the values are those of `resample`).
void horizontalPass(const float* in, const int* index, const float* weights, size_t taps, int width, float* target) {
  std::fill(target, target + width, 0.f);
  for (size_t k = 0; k < taps; ++k) {
    const int* at = index + k * static_cast<size_t>(width);
    const float* weight = weights + k * static_cast<size_t>(width);
    for (int x = 0; x < width; ++x) target[x] += weight[x] * in[at[x]];
  }
}

// The taps of the few sizes a thread resamples between (a card's copies at three scales, each
// read many times per card), kept instead of a thousand sines per output position each time.
std::shared_ptr<const Taps> cachedTaps(int from, int to) {
  struct Entry {
    int from, to;
    std::shared_ptr<const Taps> taps;
  };
  thread_local std::vector<Entry> cache;
  for (const Entry& entry : cache) {
    if (entry.from == from && entry.to == to) return entry.taps;
  }
  if (cache.size() == 16) cache.erase(cache.begin());
  cache.push_back({from, to, std::make_shared<const Taps>(taps(from, to))});
  return cache.back().taps;
}

}  // namespace

Plane resample(const Plane& source, int width, int height) {
  if (source.width == width && source.height == height) return source;
  const Taps across = taps(source.width, width);
  const Taps down = taps(source.height, height);

  // Horizontal pass: each source row to `width` columns.
  std::vector<float> rows(static_cast<size_t>(width) * source.height);
  std::vector<int> index(static_cast<size_t>(width) * across.count);
  for (int x = 0; x < width; ++x) {
    for (int k = 0; k < across.count; ++k) {
      index[static_cast<size_t>(x) * across.count + k] = std::clamp(across.first[x] + k, 0, source.width - 1);
    }
  }
  for (int y = 0; y < source.height; ++y) {
    const float* in = &source.samples[static_cast<size_t>(y) * source.width];
    float* target = &rows[static_cast<size_t>(y) * width];
    const int* at = index.data();
    const float* weight = across.weights.data();
    for (int x = 0; x < width; ++x, at += across.count, weight += across.count) {
      float sum = 0;
      for (int k = 0; k < across.count; ++k) sum += weight[k] * in[at[k]];
      target[x] = sum;
    }
  }
  // Vertical pass, a whole row at a time so the inner loop runs along memory.
  Plane out{width, height, std::vector<float>(static_cast<size_t>(width) * height, 0.f)};
  for (int y = 0; y < height; ++y) {
    float* target = &out.samples[static_cast<size_t>(y) * width];
    const float* weight = &down.weights[static_cast<size_t>(y) * down.count];
    for (int k = 0; k < down.count; ++k) {
      const float* in = &rows[static_cast<size_t>(std::clamp(down.first[y] + k, 0, source.height - 1)) * width];
      const float w = weight[k];
      if (w == 0.f) continue;
      for (int x = 0; x < width; ++x) target[x] += w * in[x];
    }
  }
  return out;
}

void resampleRows(int sourceWidth, int sourceHeight, int width, int height, const std::function<void(int, float*)>& row,
                  const std::function<bool(int)>& wanted, const std::function<void(int, const float*)>& sink) {
  std::vector<float> source(static_cast<size_t>(sourceWidth));
  if (sourceWidth == width && sourceHeight == height) {
    for (int y = 0; y < height; ++y) {
      if (!wanted(y)) continue;
      row(y, source.data());
      sink(y, source.data());
    }
    return;
  }
  const std::shared_ptr<const Taps> acrossTaps = cachedTaps(sourceWidth, width);
  const std::shared_ptr<const Taps> downTaps = cachedTaps(sourceHeight, height);
  const Taps &across = *acrossTaps, &down = *downTaps;
  // Tap k of every output column side by side (see horizontalPass).
  const size_t taps = static_cast<size_t>(across.count);
  std::vector<int> index(static_cast<size_t>(width) * taps);
  std::vector<float> weights(static_cast<size_t>(width) * taps);
  for (int x = 0; x < width; ++x) {
    for (size_t k = 0; k < taps; ++k) {
      index[k * width + x] = std::clamp(across.first[x] + static_cast<int>(k), 0, sourceWidth - 1);
      weights[k * width + x] = across.weights[x * taps + k];
    }
  }
  // The rows one output row needs are at most down.count consecutive source rows, so row j can
  // live in slot j % down.count until no later output row needs it.
  const int slots = down.count;
  std::vector<float> ring(static_cast<size_t>(slots) * width);
  std::vector<int> held(static_cast<size_t>(slots), -1);
  const auto horizontal = [&](int j) {
    float* target = &ring[static_cast<size_t>(j % slots) * width];
    if (held[j % slots] == j) return target;
    row(j, source.data());
    horizontalPass(source.data(), index.data(), weights.data(), taps, width, target);
    held[j % slots] = j;
    return target;
  };
  std::vector<float> out(static_cast<size_t>(width));
  for (int y = 0; y < height; ++y) {
    if (!wanted(y)) continue;
    std::fill(out.begin(), out.end(), 0.f);
    const float* weight = &down.weights[static_cast<size_t>(y) * down.count];
    for (int k = 0; k < down.count; ++k) {
      const float w = weight[k];
      if (w == 0.f) continue;
      const float* in = horizontal(std::clamp(down.first[y] + k, 0, sourceHeight - 1));
      for (int x = 0; x < width; ++x) out[x] += w * in[x];
    }
    sink(y, out.data());
  }
}

}  // namespace mirelo::services::roomcard

// The self-check's copies and the rule that judges them; see self_check.h.
#include "self_check.h"

#include <vips/vips.h>
#include <webp/decode.h>

#include <atomic>
#include <cmath>

#include "drawing.h"
#include "format.h"
#include "reader.h"
#include "roomcard/codec.h"
#include "scores.h"
#include "two_threads.h"

namespace mirelo::services::roomcard::watermark {
namespace {

using images::Image;
using Owned = images::OwnedVips;

// The independent copies are made at a quality a little below the harshest copy of their kind
// that cards must survive (JPEG 40, WebP 50): other programs' scalers and encoders land a card
// near that edge on either side of ours, so a card must keep this margin.
constexpr int kIndependentJpegQuality = 36;
constexpr int kIndependentWebpQuality = 45;
// libwebp's effort 1 of 6 (default 4): half the time, and its filtering of flat areas is as strong.
constexpr int kIndependentWebpEffort = 1;
// An independent copy's flipped bits land in random codewords, and two in one codeword lose the
// card: with k flipped bits among n codewords, another program's copy, flipping about as many,
// loses it with a chance of about k(k − 1) / 2n. That chance must stay within this. (A fixed
// share of flipped bits was too strict for long packets and too lax for short ones.)
constexpr double kLossChance = 0.15;

enum class Independent { halfJpeg, webp };

// The copy a chat app or a screenshot tool would make: JPEG at quality 100 × factor with 4:2:0
// chroma and the fast integer DCT, decoded again; its scores. Nothing when the codec cannot make
// or read it.
std::optional<std::vector<double>> jpegRoundTrip(JpegWorkspace& work, const uint8_t* rgb, int width, int height,
                                                 double factor) {
  if (!work.compressor) work.compressor.reset(tjInitCompress());
  if (!work.decompressor) work.decompressor.reset(tjInitDecompress());
  if (!work.compressor || !work.decompressor) return std::nullopt;
  unsigned long size = tjBufSize(width, height, TJSAMP_420);
  unsigned char* jpeg = work.jpeg.reserve(size);
  if (tjCompress2(work.compressor.get(), rgb, width, 0, height, TJPF_RGB, &jpeg, &size, TJSAMP_420,
                  static_cast<int>(std::lround(100 * factor)), TJFLAG_FASTDCT | TJFLAG_NOREALLOC) != 0) {
    return std::nullopt;
  }
  int w = 0, h = 0, subsampling = 0, colourspace = 0;
  if (tjDecompressHeader3(work.decompressor.get(), jpeg, size, &w, &h, &subsampling, &colourspace) != 0 || w != width ||
      h != height) {
    return std::nullopt;
  }
  uint8_t* decoded = work.decoded.reserve(static_cast<size_t>(w) * h * 3);
  if (tjDecompress2(work.decompressor.get(), jpeg, size, decoded, w, 0, h, TJPF_RGB, 0) != 0) return std::nullopt;
  return scoresOf(decoded, w, h, 3);
}

// The scores of a WebP copy decoded by libwebp itself: the same pixels as libvips' loader gives, in
// a third of its time.
std::optional<std::vector<double>> webpScores(const uint8_t* data, size_t size, Buffer& decodedPixels) {
  WebPBitstreamFeatures features;
  if (WebPGetFeatures(data, size, &features) != VP8_STATUS_OK) return std::nullopt;
  const int bands = features.has_alpha ? 4 : 3;
  const size_t bytes = static_cast<size_t>(features.width) * features.height * bands;
  uint8_t* pixels = decodedPixels.reserve(bytes);
  if ((bands == 4 ? WebPDecodeRGBAInto(data, size, pixels, bytes, features.width * 4)
                  : WebPDecodeRGBInto(data, size, pixels, bytes, features.width * 3)) == nullptr) {
    return std::nullopt;
  }
  return scoresOf(pixels, features.width, features.height, bands);
}

// The scores of a JPEG copy, decoded by TurboJPEG as libvips' loader decodes it (libjpeg-turbo's
// accurate DCT and smooth chroma upsampling, the defaults of both): the same pixels without
// libvips' pipeline, a third of its time for a half-size card.
std::optional<std::vector<double>> jpegScores(const void* data, size_t size, JpegWorkspace& work) {
  if (!work.decompressor) work.decompressor.reset(tjInitDecompress());
  if (!work.decompressor) return std::nullopt;
  const auto* jpeg = static_cast<const unsigned char*>(data);
  int w = 0, h = 0, subsampling = 0, colourspace = 0;
  if (tjDecompressHeader3(work.decompressor.get(), jpeg, size, &w, &h, &subsampling, &colourspace) != 0 ||
      colourspace != TJCS_YCbCr) {
    return std::nullopt;
  }
  uint8_t* pixels = work.decoded.reserve(static_cast<size_t>(w) * h * 3);
  if (tjDecompress2(work.decompressor.get(), jpeg, size, pixels, w, 0, h, TJPF_RGB, 0) != 0) return std::nullopt;
  return scoresOf(pixels, w, h, 3);
}

// An independent copy of the card, made by a pipeline that shares nothing with ours: a triangle
// (bilinear) half-size drawing saved by libvips' own JPEG writer (libjpeg's accurate DCT, its
// standard tables), or the card saved whole as lossy WebP, whose smoothing of flat areas no JPEG
// copy shows. Its scores; nothing when it cannot be made or read.
std::optional<std::vector<double>> independentCopy(const Image& candidate, int width, int height, Independent kind,
                                                   JpegWorkspace& work) {
  Owned image = eightBitRgb(candidate);
  bool ok = true;
  if (vips_image_get_bands(image.get()) == 4) ok = flattenOnWhite(image);
  if (kind == Independent::halfJpeg) {
    const int halfWidth = width / 2, halfHeight = height / 2;
    ok = ok && images::applyStep(image, [&](VipsImage* i, VipsImage** out) {
           return vips_resize(i, out, static_cast<double>(halfWidth) / width, "vscale",
                              static_cast<double>(halfHeight) / height, "kernel", VIPS_KERNEL_LINEAR, nullptr);
         });
    ok = ok && images::applyStep(image, [](VipsImage* i, VipsImage** out) { return vips_cast_uchar(i, out, nullptr); });
  }
  void* encoded = nullptr;
  size_t size = 0;
  if (!ok ||
      (kind == Independent::halfJpeg
           ? vips_jpegsave_buffer(image.get(), &encoded, &size, "Q", kIndependentJpegQuality, "strip", TRUE, nullptr)
           : vips_webpsave_buffer(image.get(), &encoded, &size, "Q", kIndependentWebpQuality, "strip", TRUE, "effort",
                                  kIndependentWebpEffort, nullptr))) {
    vips_error_clear();
    return std::nullopt;
  }
  std::optional<std::vector<double>> scores = kind == Independent::webp
                                                  ? webpScores(static_cast<const uint8_t*>(encoded), size, work.decoded)
                                                  : jpegScores(encoded, size, work);
  g_free(encoded);
  vips_error_clear();
  return scores;
}

}  // namespace

SelfCheck::SelfCheck(std::string_view invitation, std::span<const uint8_t> bits, int width, int height, int bands)
    : invitation_(invitation),
      bits_(bits),
      width_(width),
      height_(height),
      bands_(bands),
      codewords_(bits.size() / codewordBits) {
  for (size_t s = 0; s < sizes_.size(); ++s) {
    sizes_[s] = {static_cast<int>(std::floor(selfCheckScales[s] * width)),
                 static_cast<int>(std::floor(selfCheckScales[s] * height))};
  }
}

// The card's pixels as an image the scaler reads in place.
Image SelfCheck::candidateOf(const uint8_t* pixels) const {
  const size_t bytes = static_cast<size_t>(width_) * height_ * bands_;
  VipsImage* image = vips_image_new_from_memory(pixels, bytes, width_, height_, bands_, VIPS_FORMAT_UCHAR);
  if (!image) {
    vips_error_clear();
    throw RoomCardCodec::error("房卡生成失败");
  }
  image->Type = VIPS_INTERPRETATION_sRGB;
  return Image(image);
}

// A copy's scaled drawing; an opaque card's own pixels at full size.
const uint8_t* SelfCheck::scaledOf(const Image& candidate, const uint8_t* pixels, size_t s) {
  if (bands_ == 3 && sizes_[s] == std::pair(width_, height_)) return pixels;
  return scaledRgb(candidate, sizes_[s].first, sizes_[s].second, scaled_[s]);
}

bool SelfCheck::reads(const std::optional<std::vector<double>>& copy) const {
  return copy && decodeScores(*copy) == invitation_;
}

// A card whose every strength falls short of the margin but otherwise reads back everywhere is
// still made, at the weakest such strength (`relaxed`): the margin picks among cards, it refuses
// none that the self-check's own rule accepts.
bool SelfCheck::readsWithMargin(const std::optional<std::vector<double>>& copy, int step, bool relaxed) {
  if (!copy) return false;
  const std::vector<double>& found = *copy;
  size_t flipped = 0;
  for (size_t i = 0; i < bits_.size() && i < found.size(); ++i) flipped += parity(found[i], step) != bits_[i];
  for (size_t seen = mostFlipped_.load(); flipped > seen && !mostFlipped_.compare_exchange_weak(seen, flipped);) {
  }
  if (decodeScores(found) != invitation_) return false;
  if (relaxed ||
      static_cast<double>(flipped * (flipped - (flipped > 0))) <= 2 * kLossChance * static_cast<double>(codewords_))
    return true;
  shortOfMargin_.store(true);
  return false;
}

// The card itself; the harshest of the twelve copies (half size, factor 0.4) beside the
// independent JPEG copy, the other scaled drawings made by whichever thread is free first (the
// independent copy takes about twice as long); then the WebP copy, the dearest, first so that it
// runs beside the other eleven (task 0, then task − 1 counts through them).
bool SelfCheck::passes(const uint8_t* pixels, int step, bool relaxed) {
  mostFlipped_.store(0);
  shortOfMargin_.store(false);
  cardReads_ = decodeScores(scoresOf(pixels, width_, height_, bands_)) == invitation_;
  if (!cardReads_) return false;
  const Image candidate = candidateOf(pixels);
  constexpr size_t harshestScale = selfCheckScales.size() - 1, harshestFactor = selfCheckFactors.size() - 1;
  std::array<const uint8_t*, selfCheckScales.size()> scaled{};
  // A drawing that fails is an error, but only once the copies drawn so far have read back.
  std::atomic<bool> harshestFailed{false}, restFailed{false};
  const auto draw = [&](size_t s, std::atomic<bool>& failed) {
    try {
      scaled[s] = scaledOf(candidate, pixels, s);
      return true;
    } catch (const Error&) {
      failed.store(true);
      return false;
    }
  };
  const bool first = allPass(3, [&](size_t task, int worker) {
    if (task == 1) {
      return readsWithMargin(
          independentCopy(candidate, width_, height_, Independent::halfJpeg, independentWork_[worker]), step, relaxed);
    }
    if (task == 2) {
      for (size_t s = 0; s < harshestScale && draw(s, restFailed);) ++s;
      return true;
    }
    return draw(harshestScale, harshestFailed) &&
           reads(jpegRoundTrip(jpegWork_[worker], scaled[harshestScale], sizes_[harshestScale].first,
                               sizes_[harshestScale].second, selfCheckFactors[harshestFactor]));
  });
  if (harshestFailed.load()) throw RoomCardCodec::error("房卡图片无法读取");
  if (!first) return false;
  if (restFailed.load()) throw RoomCardCodec::error("房卡图片无法读取");
  return allPass(scaled.size() * selfCheckFactors.size(), [&](size_t task, int worker) {
    if (task-- == 0) {
      return readsWithMargin(independentCopy(candidate, width_, height_, Independent::webp, independentWork_[worker]),
                             step, relaxed);
    }
    const size_t s = task / selfCheckFactors.size(), f = task % selfCheckFactors.size();
    return reads(jpegRoundTrip(jpegWork_[worker], scaled[s], sizes_[s].first, sizes_[s].second, selfCheckFactors[f]));
  });
}

std::pair<std::vector<double>, std::vector<double>> SelfCheck::drift(const uint8_t* pixels) {
  std::vector<double> low(bits_.size(), 0.0), high(bits_.size(), 0.0);
  const std::vector<double> own = scoresOf(pixels, width_, height_, bands_);
  const Image candidate = candidateOf(pixels);
  const int hw = sizes_[2].first, hh = sizes_[2].second;
  const int mw = sizes_[1].first, mh = sizes_[1].second;
  const uint8_t* half = scaledOf(candidate, pixels, 2);
  const uint8_t* mid = scaledOf(candidate, pixels, 1);
  std::array<std::optional<std::vector<double>>, 5> copies;
  allPass(copies.size(), [&](size_t task, int worker) {
    JpegWorkspace& work = independentWork_[worker];
    switch (task) {
      case 0: copies[task] = independentCopy(candidate, width_, height_, Independent::webp, work); break;
      case 1: copies[task] = independentCopy(candidate, width_, height_, Independent::halfJpeg, work); break;
      case 2: copies[task] = jpegRoundTrip(jpegWork_[worker], half, hw, hh, selfCheckFactors.back()); break;
      case 3: copies[task] = jpegRoundTrip(jpegWork_[worker], half, hw, hh, selfCheckFactors.front()); break;
      default: copies[task] = jpegRoundTrip(jpegWork_[worker], mid, mw, mh, selfCheckFactors.back()); break;
    }
    return true;
  });
  for (const auto& scores : copies) {
    if (!scores || scores->size() < bits_.size()) continue;
    const std::vector<double>& found = *scores;
    for (size_t i = 0; i < bits_.size(); ++i) {
      low[i] = std::min(low[i], found[i] - own[i]);
      high[i] = std::max(high[i], found[i] - own[i]);
    }
  }
  return std::pair(std::move(low), std::move(high));
}

}  // namespace mirelo::services::roomcard::watermark

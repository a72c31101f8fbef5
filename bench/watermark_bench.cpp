// Watermark benchmarks: embed of a 2000 × 1500 JPEG photograph into a 1440 × 960 card, embed with
// every strength failing, decode of a card. The reference, measured in the same run: one fixed
// libvips operation (drawing the photograph at the card's size, EmbedSetup).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>
#include <vips/vips.h>

#include <cstdio>
#include <string>
#include <vector>

#include "images/images.h"
#include "roomcard/watermark/drawing.h"
#include "roomcard/watermark/embedder.h"
#include "roomcard/watermark/reader.h"
#include "roomcard/watermark/scores.h"

namespace images = mirelo::services::images;
namespace watermark = mirelo::services::roomcard::watermark;

namespace {

constexpr const char* kInvitation = "mirelo://join/#PC3-eyJyIjoiYmVuY2htYXJrLXJvb20iLCJrIjoiMDEyMzQ1Njc4OWFiY2RlZiJ9";

// Something like a photograph: smooth light, large shapes, texture and a little sensor noise.
images::Image photo(int width, int height, unsigned seed) {
  VipsImage *xyz, *x, *y, *fx, *fy, *wx, *wy, *noise, *sx, *sy, *sum, *r, *g, *b, *joined, *rgb;
  vips_xyz(&xyz, width, height, nullptr);
  vips_extract_band(xyz, &x, 0, nullptr);
  vips_extract_band(xyz, &y, 1, nullptr);
  vips_linear1(x, &fx, 0.2 + 0.05 * (seed % 5), seed * 7.0, nullptr);
  vips_linear1(y, &fy, 0.3 + 0.04 * (seed % 3), seed * 3.0, nullptr);
  vips_sin(fx, &wx, nullptr);
  vips_cos(fy, &wy, nullptr);
  vips_gaussnoise(&noise, width, height, "sigma", 3.0 + seed % 4, "mean", 0.0, "seed", static_cast<int>(seed), nullptr);
  vips_linear1(wx, &sx, 60, 110, nullptr);
  vips_linear1(wy, &sy, 45, 0, nullptr);
  vips_add(sx, sy, &sum, nullptr);
  vips_add(sum, noise, &r, nullptr);
  vips_linear1(r, &g, 0.7 + 0.05 * (seed % 4), 25, nullptr);
  vips_linear1(sx, &b, 0.9, 20, nullptr);
  VipsImage* channels[3] = {r, g, b};
  vips_bandjoin(channels, &joined, 3, nullptr);
  vips_cast_uchar(joined, &rgb, nullptr);
  void* buffer = nullptr;
  size_t length = 0;
  vips_jpegsave_buffer(rgb, &buffer, &length, "Q", 85, nullptr);
  const std::string jpeg(static_cast<char*>(buffer), length);
  g_free(buffer);
  for (VipsImage* i : {xyz, x, y, fx, fy, wx, wy, noise, sx, sy, sum, r, g, b, joined, rgb}) g_object_unref(i);
  return images::image(jpeg, 2048);
}

// Minor page faults of the whole process so far (fresh pages touched, helper threads included).
long minorFaults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// Runs `work` once before timing (warm: allocators and libraries have their pages), then in the
// timed loop; reports the minor faults per call of the timed loop as "faults".
template <class Work>
void warmLoop(benchmark::State& state, const Work& work) {
  work();
  const long before = minorFaults();
  for (auto _ : state) work();
  state.counters["faults"] = static_cast<double>(minorFaults() - before) / static_cast<double>(state.iterations());
}

// The photograph's seed and the step its card needs, printed once.
void Embed(benchmark::State& state) {
  const images::Image source = photo(2000, 1500, static_cast<unsigned>(state.range(0)));
  watermark::EmbedReport report;
  warmLoop(state, [&] { benchmark::DoNotOptimize(watermark::embed(source, kInvitation, &report)); });
  state.SetLabel("step " + std::to_string(report.step) + (report.headroom ? " with headroom" : ""));
}
// CPU is the whole process's (helper threads and libvips' included): on a busy machine it says what
// the work costs when wall time does not.
BENCHMARK(Embed)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly();

// Heavy noise over the whole picture and an invitation that fills most of the card: a card at a
// strong step, after every weaker one is condemned by its copies.
std::string longInvitation() {
  std::string text = "mirelo://join/#";
  unsigned state = 7;
  for (int i = 0; i < 400; ++i) {
    state = state * 1103515245 + 12345;
    text.push_back("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"[(state >> 16) % 62]);
  }
  return text;
}

images::Image noisy() {
  VipsImage *noise = nullptr, *bands = nullptr, *rgb = nullptr;
  vips_gaussnoise(&noise, 2000, 1500, "sigma", 120.0, "mean", 128.0, "seed", 3, nullptr);
  VipsImage* three[3] = {noise, noise, noise};
  vips_bandjoin(three, &bands, 3, nullptr);
  vips_cast_uchar(bands, &rgb, nullptr);
  g_object_unref(noise);
  g_object_unref(bands);
  return images::Image(vips_image_copy_memory(rgb));
}

void EmbedNoiseLong(benchmark::State& state) {
  const images::Image source = noisy();
  watermark::EmbedReport report;
  warmLoop(state, [&] { benchmark::DoNotOptimize(watermark::embed(source, longInvitation(), &report)); });
  state.SetLabel("step " + std::to_string(report.step) + (report.headroom ? " with headroom" : ""));
}
BENCHMARK(EmbedNoiseLong)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Repetitions(3)
    ->ReportAggregatesOnly();

// The hardest pictures found: black and white cells of 5 pixels, the argument (every block clamps at
// both ends and sits on hard edges), carrying a card-filling invitation. Every strength fails as
// drawn and the weaker ones with headroom; an earlier embed refused the 5-pixel one after all of
// them, this one makes a card at step 224 with headroom after aiming (3-pixel cells: step 192).
// One call, labelled with its outcome.
images::Image binaryNoise(int cell = 5) {
  VipsImage *noise = nullptr, *bands = nullptr, *rgb = nullptr, *binary = nullptr;
  VipsImage* small = nullptr;
  vips_gaussnoise(&small, 2000 / cell, 1500 / cell, "sigma", 1.0, "mean", 0.0, "seed", 5, nullptr);
  vips_zoom(small, &noise, cell, cell, nullptr);
  g_object_unref(small);
  vips_moreeq_const1(noise, &binary, 0.0, nullptr);
  VipsImage* three[3] = {binary, binary, binary};
  vips_bandjoin(three, &bands, 3, nullptr);
  vips_cast_uchar(bands, &rgb, nullptr);
  g_object_unref(noise);
  g_object_unref(binary);
  g_object_unref(bands);
  return images::Image(vips_image_copy_memory(rgb));
}

void EmbedHardest(benchmark::State& state) {
  const images::Image source = binaryNoise(static_cast<int>(state.range(0)));
  watermark::EmbedReport report;
  bool refused = false;
  warmLoop(state, [&] {
    try {
      watermark::embed(source, longInvitation(), &report);
    } catch (const std::exception&) {
      refused = true;
    }
  });
  state.SetLabel(refused ? "refused"
                         : "step " + std::to_string(report.step) + (report.headroom ? " with headroom" : ""));
}
BENCHMARK(EmbedHardest)
    ->Arg(5)
    ->Arg(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Iterations(1)
    ->Repetitions(1);

// Every strength fails, with headroom too, and the picture is refused: black and white cells of 8
// pixels carrying a card-filling invitation (what a refusal costs after the whole ladder).
void EmbedEveryStrengthFails(benchmark::State& state) {
  const images::Image source = binaryNoise(8);
  bool refused = false;
  warmLoop(state, [&] {
    try {
      watermark::embed(source, longInvitation());
    } catch (const std::exception&) {
      refused = true;
    }
  });
  state.SetLabel(refused ? "refused" : "made");
}
BENCHMARK(EmbedEveryStrengthFails)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Iterations(1)
    ->Repetitions(1);

// An invitation whose compact form carries "=" padding never reads back the same, so every strength
// is rejected; here at its first check (the cheapest way to fail).
void EmbedEveryStrengthRejected(benchmark::State& state) {
  const images::Image source = photo(2000, 1500, 1);
  for (auto _ : state) {
    try {
      watermark::embed(source, "mirelo://join/#PC3-eyJyIjoiYWIifQ==");
      state.SkipWithError("a strength passed");
    } catch (const std::exception&) {
    }
  }
}
BENCHMARK(EmbedEveryStrengthRejected)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Repetitions(3)
    ->ReportAggregatesOnly();

// What embed does before its first strength: drawing the working raster. The worst case, six
// strengths each failing only at their last degraded copy, costs about this plus six times
// (Embed − EmbedSetup).
void EmbedSetup(benchmark::State& state) {
  const images::Image source = photo(2000, 1500, 1);
  warmLoop(state, [&] { benchmark::DoNotOptimize(watermark::raster(source, 1440, 960, false)); });
}
BENCHMARK(EmbedSetup)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly();

// Reading a self-check copy of a 1440 × 960 card: the block scores of a picture of the copy's size
// (1, 0.75 or 0.5 of the card's, given in percent), resampled back to the card's size row by row.
// The full size, which needs no resampling, is the reference.
void ScoresOf(benchmark::State& state) {
  const int width = static_cast<int>(1440 * state.range(0) / 100),
            height = static_cast<int>(960 * state.range(0) / 100);
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 3);
  unsigned value = 1;
  for (auto& p : pixels) p = static_cast<uint8_t>((value = value * 1103515245 + 12345) >> 24);
  for (auto _ : state) benchmark::DoNotOptimize(watermark::scoresOf(pixels.data(), width, height, 3));
}
BENCHMARK(ScoresOf)
    ->Arg(100)
    ->Arg(75)
    ->Arg(50)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly();

void Decode(benchmark::State& state) {
  const images::Image card = watermark::embed(photo(2000, 1500, 1), kInvitation);
  for (auto _ : state) benchmark::DoNotOptimize(watermark::decode(card));
}
BENCHMARK(Decode)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();

}  // namespace

int main(int argc, char** argv) {
  // The program's heap settings (services/main.cpp), so the fault counts are the program's.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  images::initialise();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}

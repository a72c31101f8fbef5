// Image and QR benchmarks: normalize-image of a 4000 × 3000 JPEG photograph (4:2:0, and 4:4:4 with
// its 1/8 decoding against TurboJPEG's), qr-decode of a 1600 × 1008 card, qr-generate. Prints the extra resident memory
// of one normalisation too.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>
#include <vips/vips.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "base64.h"
#include "images/commands.h"
#include "images/images.h"
#include "images/jpeg_dc.h"
#include "images/qr.h"

namespace images = mirelo::services::images;
using mirelo::Json;

namespace {

struct Unref {
  void operator()(VipsImage* image) const { g_object_unref(image); }
};

std::string encode(VipsImage* image, const char* format) {
  void* buffer = nullptr;
  size_t length = 0;
  if (vips_image_write_to_buffer(image, format, &buffer, &length, nullptr)) std::abort();
  std::string out(static_cast<char*>(buffer), length);
  g_free(buffer);
  return out;
}

// Something like a photograph: smooth gradients, texture and sensor noise.
VipsImage* photoPixels(int width, int height, double noiseSigma) {
  VipsImage *xyz, *x, *y, *fx, *fy, *waveX, *waveY, *noise, *r, *g, *b, *joined, *rgb;
  vips_xyz(&xyz, width, height, nullptr);
  vips_extract_band(xyz, &x, 0, nullptr);
  vips_extract_band(xyz, &y, 1, nullptr);
  vips_linear1(x, &fx, 0.3, 0, nullptr);  // degrees: slow waves across the frame
  vips_linear1(y, &fy, 0.45, 0, nullptr);
  vips_sin(fx, &waveX, nullptr);
  vips_cos(fy, &waveY, nullptr);
  vips_gaussnoise(&noise, width, height, "sigma", noiseSigma, "mean", 0.0, nullptr);
  VipsImage *sx, *sy, *sum;
  vips_linear1(waveX, &sx, 70, 120, nullptr);
  vips_linear1(waveY, &sy, 50, 0, nullptr);
  vips_add(sx, sy, &sum, nullptr);
  vips_add(sum, noise, &r, nullptr);
  vips_linear1(r, &g, 0.8, 20, nullptr);
  vips_linear1(sx, &b, 1.1, 10, nullptr);
  VipsImage* channels[3] = {r, g, b};
  vips_bandjoin(channels, &joined, 3, nullptr);
  vips_cast_uchar(joined, &rgb, nullptr);
  VipsImage* memory = vips_image_copy_memory(rgb);
  for (VipsImage* i : {xyz, x, y, fx, fy, waveX, waveY, noise, sx, sy, sum, r, g, b, joined, rgb}) g_object_unref(i);
  return memory;
}

const std::string& photo() {
  static const std::string jpeg = [] {
    VipsImage* pixels = photoPixels(4000, 3000, 10);
    std::string out = encode(pixels, ".jpg[Q=85]");
    g_object_unref(pixels);
    return out;
  }();
  return jpeg;
}

// A card of 1600 × 1008: a photograph with the code where the card layout puts it.
VipsImage* cardPixels() {
  const std::string code = images::qrPng("mirelo://join/#benchmark-card-0123456789");
  VipsImage* qr = vips_image_new_from_buffer(code.data(), code.size(), "", nullptr);
  VipsImage* qrMem = vips_image_copy_memory(qr);
  VipsImage *scaled, *rgbQr, *placed;
  VipsImage* bg = photoPixels(1600, 1008, 4);
  vips_resize(qrMem, &scaled, 440.0 / vips_image_get_width(qrMem), "kernel", VIPS_KERNEL_NEAREST, nullptr);
  vips_colourspace(scaled, &rgbQr, VIPS_INTERPRETATION_sRGB, nullptr);
  vips_insert(bg, rgbQr, &placed, 1060, 260, nullptr);
  for (VipsImage* i : {qr, qrMem, scaled, rgbQr, bg}) g_object_unref(i);
  return placed;
}

const std::string& card() {
  static const std::string png = [] {
    VipsImage* pixels = cardPixels();
    std::string out = encode(pixels, ".png");
    g_object_unref(pixels);
    return out;
  }();
  return png;
}

const std::string& cardJpeg() {
  static const std::string jpeg = [] {
    VipsImage* pixels = cardPixels();
    std::string out = encode(pixels, ".jpg[Q=90]");
    g_object_unref(pixels);
    return out;
  }();
  return jpeg;
}

long residentPeakKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

void NormalizePhoto(benchmark::State& state) {
  const Json payload{{"data", mirelo::base64Encode(photo())}};
  for (auto _ : state) benchmark::DoNotOptimize(images::normalizeImage(payload));
}
BENCHMARK(NormalizePhoto)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();

// The same photograph at quality 90 without chroma subsampling: the JPEG the DC reader takes.
const std::string& photo444() {
  static const std::string jpeg = [] {
    VipsImage* pixels = photoPixels(4000, 3000, 10);
    std::string out = encode(pixels, ".jpg[Q=90,subsample_mode=off]");
    g_object_unref(pixels);
    return out;
  }();
  return jpeg;
}

void NormalizePhoto444(benchmark::State& state) {
  const Json payload{{"data", mirelo::base64Encode(photo444())}};
  for (auto _ : state) benchmark::DoNotOptimize(images::normalizeImage(payload));
}
BENCHMARK(NormalizePhoto444)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();

// The decoding step of that normalisation: the DC reader (arg 1: with its second thread, 0: on
// one), and its reference in the same run, TurboJPEG decoding the same file at 1/8. Pixels are
// the same (tests/images/jpeg_dc_test.cpp). The CPU column counts every thread here, so the
// second thread shows in the real time only, on a machine with a core to spare.
void DecodeEighthDc(benchmark::State& state) {
  const int64_t parallelFrom = state.range(0) ? 32768 : INT64_MAX;
  for (auto _ : state) benchmark::DoNotOptimize(images::decodeDc(photo444(), false, parallelFrom));
}
BENCHMARK(DecodeEighthDc)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly();

void DecodeEighthTurboJpeg(benchmark::State& state) {
  tjhandle decoder = tjInitDecompress();
  auto* bytes = reinterpret_cast<unsigned char*>(const_cast<char*>(photo444().data()));
  std::vector<unsigned char> pixels(size_t{500} * 375 * 3);
  for (auto _ : state) {
    if (tjDecompress2(decoder, bytes, photo444().size(), pixels.data(), 500, 0, 375, TJPF_RGB, 0) != 0) std::abort();
  }
  tjDestroy(decoder);
}
BENCHMARK(DecodeEighthTurboJpeg)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();

void QrDecodeCard(benchmark::State& state) {
  const Json payload{{"data", mirelo::base64Encode(card())}};
  for (auto _ : state) benchmark::DoNotOptimize(images::qrDecode(payload));
}
BENCHMARK(QrDecodeCard)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();

void QrDecodeCardJpeg(benchmark::State& state) {
  const Json payload{{"data", mirelo::base64Encode(cardJpeg())}};
  for (auto _ : state) benchmark::DoNotOptimize(images::qrDecode(payload));
}
BENCHMARK(QrDecodeCardJpeg)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();

// The decoding share of qr-decode of the PNG card.
void DecodeCardPng(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(images::image(card()));
}
BENCHMARK(DecodeCardPng)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();

void QrGenerate(benchmark::State& state) {
  const Json payload{{"value", "mirelo://join/#benchmark-invitation-0123456789abcdef"}};
  for (auto _ : state) benchmark::DoNotOptimize(images::qrGenerate(payload));
}
BENCHMARK(QrGenerate)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();

}  // namespace

int main(int argc, char** argv) {  // NOLINT(bugprone-exception-escape): a failed bench aborts
  images::initialise();
  // Extra memory of one normalisation: the peak is reset once the input is ready.
  const Json payload{{"data", mirelo::base64Encode(photo())}};
  std::printf("card PNG %zu bytes, card JPEG %zu bytes\n", card().size(), cardJpeg().size());
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = residentPeakKiB();
  images::normalizeImage(payload);
  std::printf("normalize-image of a %zu-byte 4000x3000 JPEG: %.1f MiB of extra peak resident memory\n", photo().size(),
              static_cast<double>(residentPeakKiB() - before) / 1024.0);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}

// Base64 of a 12 MiB body (the largest HTTPS reply) and of a 64 KiB relay read, with the wide
// steps and without them (the tables, three bytes a step): the reference in the same run.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "base64.h"

namespace {

std::string randomBytes(size_t size) {
  std::mt19937_64 random(5);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

void encodeEscaped(benchmark::State& state) {
  mirelo::base64UseWideSteps(state.range(1) != 0);
  const std::string bytes = randomBytes(static_cast<size_t>(state.range(0)));
  std::string out(mirelo::base64EscapedBound(bytes.size()), '\0');
  for (auto _ : state) benchmark::DoNotOptimize(mirelo::base64EncodeEscaped(bytes, out.data()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  mirelo::base64UseWideSteps(true);
}

void decode(benchmark::State& state) {
  mirelo::base64UseWideSteps(state.range(1) != 0);
  const std::string text = mirelo::base64Encode(randomBytes(static_cast<size_t>(state.range(0))));
  std::string out(mirelo::base64DecodedSize(text), '\0');
  for (auto _ : state) benchmark::DoNotOptimize(mirelo::base64DecodeTo(text, out.data()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  mirelo::base64UseWideSteps(true);
}

// Arguments: bytes, wide steps (1) or tables (0).
BENCHMARK(encodeEscaped)->ArgsProduct({{65536, 12 << 20}, {0, 1}})->Unit(benchmark::kMicrosecond);
BENCHMARK(decode)->ArgsProduct({{65536, 12 << 20}, {0, 1}})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

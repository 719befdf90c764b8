// The clocks are read on every audio block; they must stay a plain clock read.
#include <benchmark/benchmark.h>

#include "util/clock.h"
#include "util/encoding.h"

static void BM_nowMs(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(bridge::nowMs());
}
BENCHMARK(BM_nowMs);

static void BM_threadCpuMs(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(bridge::threadCpuMs());
}
BENCHMARK(BM_threadCpuMs);

// Plug-in state blobs travel as Base64; a large one is a few hundred kilobytes.
static void BM_base64RoundTrip(benchmark::State& state) {
  std::vector<uint8_t> blob(static_cast<size_t>(state.range(0)), 0x5a), out;
  for (auto _ : state) {
    std::string text = bridge::base64Encode(blob.data(), blob.size());
    benchmark::DoNotOptimize(bridge::base64Decode(text, out));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_base64RoundTrip)->Arg(1024)->Arg(256 * 1024);

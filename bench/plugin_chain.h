// A chain of plug-ins run block after block on one thread, the way a track's
// worker runs them, for the per-format benchmarks.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "hosting/plugin.h"

namespace bridge::bench {

// Skips the benchmark when the chain could not be built to `expected` plug-ins.
inline void runPluginChain(benchmark::State& state, std::vector<std::unique_ptr<Plugin>>& chain,
                           size_t expected) {
  if (chain.size() != expected) {
    state.SkipWithError("the chain could not be built");
    return;
  }
  const int frames = static_cast<int>(state.range(0));
  std::vector<float> left(frames, 0.25f), right(frames, -0.25f);
  Transport transport;
  transport.playing = true;
  for (auto& p : chain) p->reset();
  for (auto _ : state) {
    for (auto& p : chain) p->process(left.data(), right.data(), frames, transport);
    transport.timelineSample += frames;
    benchmark::DoNotOptimize(left.data());
    benchmark::DoNotOptimize(right.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * frames);
}

}  // namespace bridge::bench

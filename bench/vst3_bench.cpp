// What hosting a VST3 effect costs per block: a chain of 8 instances of our gain
// test class, loaded and examined as in the program, each block copied in, given
// its parameter lists and timing, and copied out; against the same chain of
// FakePlugins, which process in place without any format around them. Same
// shape as clap_bench, so the figures stand side by side.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <vector>

#include "hosting/vst3_host.h"
#include "support/fake_plugin.h"

namespace {

namespace fs = std::filesystem;
using namespace bridge;

constexpr int kChain = 8;
constexpr int kMaxBlock = 4096;
// The Gain class of vst3_fx.
constexpr const char* kGainId = "VST3:4B52563346580001010203040A0B0C0D";

struct Vst3Chain {
  Vst3Chain() {
    char pattern[] = "/tmp/krevlo-vst3-bench-XXXXXX";
    dir = ::mkdtemp(pattern);
    fs::create_directories(dir / "plugins");
    fs::copy(fs::path(KREVLO_TEST_PLUGINS) / "vst3_fx.vst3", dir / "plugins" / "vst3_fx.vst3",
             fs::copy_options::recursive);
    host = makeVst3Host(dir / "data", {(dir / "plugins").string()}, KREVLO_HELPER);
    std::atomic<bool> cancel{false};
    host->scan(cancel);
    for (int i = 0; i < kChain; ++i) {
      host->create(kGainId, kMaxBlock, [&](std::unique_ptr<Plugin> p, std::string e) {
        if (p) plugins.push_back(std::move(p));
        error = std::move(e);
      }, 48000.0);
    }
  }
  ~Vst3Chain() {
    plugins.clear();
    host.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  fs::path dir;
  std::unique_ptr<Host> host;
  std::vector<std::unique_ptr<Plugin>> plugins;
  std::string error;
};

void runChain(std::vector<std::unique_ptr<Plugin>>& chain, benchmark::State& state) {
  const int frames = static_cast<int>(state.range(0));
  std::vector<float> left(static_cast<size_t>(frames), 0.25f), right(static_cast<size_t>(frames), -0.25f);
  Transport t;
  t.playing = true;
  for (auto _ : state) {
    for (auto& p : chain) {
      p->process(left.data(), right.data(), frames, t);
      float meter;
      p->gainReduction(meter);
    }
    t.timelineSample += frames;
    benchmark::DoNotOptimize(left.data());
  }
  state.SetItemsProcessed(state.iterations() * frames);
}

void BM_Vst3GainChain8(benchmark::State& state) {
  Vst3Chain chain;
  if (chain.plugins.size() != kChain) {
    state.SkipWithError(chain.error.c_str());
    return;
  }
  runChain(chain.plugins, state);
}
BENCHMARK(BM_Vst3GainChain8)->Arg(128)->Arg(512)->Arg(4096);

void BM_FakeGainChain8(benchmark::State& state) {
  std::vector<std::unique_ptr<Plugin>> chain;
  for (int i = 0; i < kChain; ++i) chain.push_back(std::make_unique<test::FakePlugin>());
  runChain(chain, state);
}
BENCHMARK(BM_FakeGainChain8)->Arg(128)->Arg(512)->Arg(4096);

}  // namespace

// What hosting a CLAP effect costs per block: a chain of 8 instances of our
// gain test plug-in, loaded and examined as in the program, against the same
// chain of FakePlugins, which process in place without any format around them.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <vector>

#include "hosting/clap_host.h"
#include "plugin_chain.h"
#include "platform/dispatch/main_queue.h"
#include "support/fake_plugin.h"

namespace {

namespace fs = std::filesystem;
constexpr int kChain = 8;
constexpr int kMaxBlock = 4096;

struct ClapChain {
  ClapChain() {
    char pattern[] = "/tmp/krevlo-clap-bench-XXXXXX";
    dir = ::mkdtemp(pattern);
    fs::create_directories(dir / "plugins");
    fs::copy_file(fs::path(KREVLO_TEST_PLUGINS) / "clap_fx.clap", dir / "plugins" / "fx.clap");
    host = bridge::makeClapHost(dir / "data", {(dir / "plugins").string()},
                                [this](std::function<void()> job) { queue.post(std::move(job)); }, KREVLO_HELPER);
    std::atomic<bool> cancel{false};
    host->scan(cancel);
    for (int i = 0; i < kChain; ++i)
      host->create("CLAP:org.krevlo.fx.gain", kMaxBlock,
                   [this](std::unique_ptr<bridge::Plugin> p, std::string) {
                     if (p) plugins.push_back(std::move(p));
                   },
                   48000.0);
  }
  ~ClapChain() {
    plugins.clear();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  fs::path dir;
  bridge::MainQueue queue;
  std::unique_ptr<bridge::Host> host;
  std::vector<std::unique_ptr<bridge::Plugin>> plugins;
};

void runChain(benchmark::State& state, std::vector<std::unique_ptr<bridge::Plugin>>& chain) {
  bridge::bench::runPluginChain(state, chain, kChain);
}

void BM_ClapGainChain8(benchmark::State& state) {
  static ClapChain chain;
  runChain(state, chain.plugins);
}
BENCHMARK(BM_ClapGainChain8)->Arg(128)->Arg(512)->Arg(4096);

void BM_FakeGainChain8(benchmark::State& state) {
  static std::vector<std::unique_ptr<bridge::Plugin>> chain = [] {
    std::vector<std::unique_ptr<bridge::Plugin>> c;
    for (int i = 0; i < kChain; ++i) c.push_back(std::make_unique<bridge::test::FakePlugin>());
    return c;
  }();
  runChain(state, chain);
}
BENCHMARK(BM_FakeGainChain8)->Arg(128)->Arg(512)->Arg(4096);

}  // namespace

// What hosting an Audio Unit effect costs per block: a chain of 8 instances of
// the built-in gain through the Audio Unit plug-in and our layer; and what a
// state costs to write and read as a binary property list.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "hosting/au_host.h"
#include "plugin_chain.h"
#include "platform/audiounit/plist.h"

namespace {

constexpr int kChain = 8;
constexpr int kMaxBlock = 4096;

std::vector<std::unique_ptr<bridge::Plugin>> makeChain(const char* id) {
  auto host = bridge::makeAuHost([](std::function<void()>) {});
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::unique_ptr<bridge::Plugin>> chain;
  int answered = 0;
  for (int i = 0; i < kChain; ++i)
    host->create(id, kMaxBlock,
                 [&](std::unique_ptr<bridge::Plugin> p, std::string) {
                   std::lock_guard<std::mutex> lock(mutex);
                   if (p) chain.push_back(std::move(p));
                   ++answered;
                   cv.notify_all();
                 },
                 48000.0);
  std::unique_lock<std::mutex> lock(mutex);
  cv.wait(lock, [&] { return answered == kChain; });
  return chain;
}

void BM_AuGainChain8(benchmark::State& state) {
  static std::vector<std::unique_ptr<bridge::Plugin>> chain = makeChain("AU:aufx:gain:Krvl");
  bridge::bench::runPluginChain(state, chain, kChain);
}
BENCHMARK(BM_AuGainChain8)->Arg(128)->Arg(512)->Arg(4096);

void BM_AuStateRoundTrip(benchmark::State& state) {
  static std::vector<std::unique_ptr<bridge::Plugin>> chain = makeChain("AU:aufx:comp:Krvl");
  if (chain.empty()) {
    state.SkipWithError("no compressor");
    return;
  }
  bridge::Plugin& p = *chain[0];
  for (auto _ : state) {
    std::vector<uint8_t> blob = p.getState();
    benchmark::DoNotOptimize(p.setState(blob));
  }
}
BENCHMARK(BM_AuStateRoundTrip);

}  // namespace

// The session core's own cost per message, apart from the network: dispatching
// text requests on the main thread and routing binary frames on a connection
// thread.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include "bridge/bridge.h"
#include "bridge/bridge_probe.h"
#include "bridge/pairing.h"
#include "engine/frame.h"
#include "platform/dispatch/main_queue.h"
#include "support/fake_connection.h"
#include "support/fake_host.h"

namespace {

using bridge::test::BridgeProbe;
using bridge::test::FakeConnection;
using Json = nlohmann::json;

// A Bridge with one paired session, on a queue drained by hand.
struct Rig {
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("krevlo-bridge-bench-" + std::to_string(::getpid()));
  bridge::MainQueue queue;
  std::unique_ptr<bridge::Bridge> b;
  std::shared_ptr<FakeConnection> c = std::make_shared<FakeConnection>(1);
  std::string nonce, id, token;

  explicit Rig(int catalogSize = 0) {
    std::filesystem::remove_all(dir);
    bridge::BridgeOptions o;
    o.dataDir = dir;
    o.fixedCode = "123456";
    bridge::Platform p;
    p.runOnMain = [this](std::function<void()> job) { queue.post(std::move(job)); };
    b = std::make_unique<bridge::Bridge>(std::move(o), std::move(p));
    auto host = std::make_unique<bridge::test::FakeHost>("CLAP");
    for (int i = 0; i < catalogSize; ++i) host->add("Effect " + std::to_string(i), "Vendor " + std::to_string(i % 17));
    b->addHost(std::move(host));
    BridgeProbe probe(*b);
    probe.open(c);
    nonce = Json::parse(c->takeTexts().at(0))["nonce"];
    probe.text(c, R"({"t":"pair","code":"123456","name":"bench"})");
    Json paired = Json::parse(c->takeTexts().at(0));
    id = paired["id"];
    token = paired["token"];
    if (catalogSize > 0) {
      probe.startScan();
      while (b->status().scanning) {
        queue.wait(100);
        queue.drain();
      }
    }
    c->takeTexts();
  }
  ~Rig() {
    b.reset();
    queue.drain();
    std::filesystem::remove_all(dir);
  }
};

void BM_Ping(benchmark::State& state) {
  Rig rig;
  BridgeProbe probe(*rig.b);
  for (auto _ : state) {
    probe.text(rig.c, R"({"t":"ping","at":12345.5})");
    benchmark::DoNotOptimize(rig.c->takeTexts());
  }
}
BENCHMARK(BM_Ping);

void BM_Auth(benchmark::State& state) {
  Rig rig;
  BridgeProbe probe(*rig.b);
  std::vector<uint8_t> key;
  bridge::decodeHex(rig.token, key);
  std::string client(32, 'c');
  std::string request = Json{{"t", "auth"},
                             {"id", rig.id},
                             {"nonce", client},
                             {"mac", bridge::hmacSha256Hex(key, "client|" + rig.nonce + "|" + client)}}
                            .dump();
  for (auto _ : state) {
    probe.text(rig.c, request);
    benchmark::DoNotOptimize(rig.c->takeTexts());
  }
}
BENCHMARK(BM_Auth);

void BM_PluginsReply(benchmark::State& state) {
  Rig rig(static_cast<int>(state.range(0)));
  BridgeProbe probe(*rig.b);
  size_t bytes = 0;
  for (auto _ : state) {
    probe.text(rig.c, R"({"t":"plugins"})");
    auto texts = rig.c->takeTexts();
    bytes += texts.at(0).size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_PluginsReply)->Arg(100)->Arg(1000);

std::vector<uint8_t> frame(uint16_t stream, int32_t frames) {
  std::vector<uint8_t> f(bridge::kFrameHeaderBytes + 8 * static_cast<size_t>(frames), 0);
  f[0] = bridge::kInputFrameKind;
  f[1] = bridge::kFrameChannels;
  std::memcpy(&f[bridge::frame_offset::stream], &stream, 2);
  std::memcpy(&f[bridge::frame_offset::frames], &frames, 4);
  return f;
}

// Route lookup under the routing mutex, then the chain's queue. The worker is
// let catch up outside the timing, so the queue stays short.
void BM_BinaryRoute(benchmark::State& state) {
  Rig rig;
  BridgeProbe probe(*rig.b);
  auto chain = probe.makeChain(1, [](std::vector<uint8_t>) {});
  probe.addTrack(1, "a", chain);
  const auto message = frame(1, 128);
  for (auto _ : state) {
    probe.binary(rig.c, message);
    if (chain->backlog() > 512) {
      state.PauseTiming();
      while (chain->backlog() > 0) std::this_thread::yield();
      state.ResumeTiming();
    }
  }
  chain.reset();
}
BENCHMARK(BM_BinaryRoute);

// A frame for a stream nobody routes: the lookup alone.
void BM_BinaryUnrouted(benchmark::State& state) {
  Rig rig;
  BridgeProbe probe(*rig.b);
  probe.addTrack(1, "a", probe.makeChain(1, [](std::vector<uint8_t>) {}));
  const auto message = frame(2, 128);
  for (auto _ : state) probe.binary(rig.c, message);
}
BENCHMARK(BM_BinaryUnrouted);

}  // namespace

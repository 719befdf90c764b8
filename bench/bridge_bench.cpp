// The session core's own cost per message, apart from the network: dispatching
// text requests on the main thread and routing binary frames on a connection
// thread. Then the whole bridge over loopback, in clear and over TLS: 128-frame
// stereo blocks through a chain of one gain slot, timed beside the bare echo
// server in the same run so the ratio does not depend on the machine's mood.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

#include "bridge/bridge.h"
#include "bridge/bridge_probe.h"
#include "bridge/pairing.h"
#include "engine/frame.h"
#include "platform/dispatch/main_queue.h"
#include "server/random.h"
#include "server/server.h"
#include "server/tls_identity.h"
#include "server/websocket_frame.h"
#include "support/fake_connection.h"
#include "support/fake_host.h"
#include "support/free_port.h"
#include "util/clock.h"
#include "ws_peer.h"

namespace {

using bridge::test::freePort;

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

constexpr char kBenchOrigin[] = "https://bench.example";
constexpr int kBlock = 128;

std::filesystem::path scratchDir(const char* what) {
  auto dir = std::filesystem::temp_directory_path() /
             ("krevlo-bridge-bench-" + std::string(what) + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

// The page's side of the connection.
class Peer : public bridge::bench::WsPeer {
 public:
  Peer(int port, const std::string& caFile) : WsPeer(port, caFile, kBenchOrigin) {}
};

// A started Bridge with a test host offering one gain plug-in, run from a main
// thread of its own so the benchmark thread can be the page.
struct LiveBridge {
  std::filesystem::path dir = scratchDir("live");
  bridge::MainQueue queue;
  std::atomic<bool> stop{false};
  int port = freePort();
  bool started = false;
  std::thread main;

  LiveBridge() {
    std::promise<bool> ready;
    auto up = ready.get_future();
    main = std::thread([this, &ready] {
      bridge::BridgeOptions o;
      o.dataDir = dir;
      o.port = port;
      o.origins = {kBenchOrigin};
      o.fixedCode = "123456";
      bridge::Platform p;
      p.runOnMain = [this](std::function<void()> job) { queue.post(std::move(job)); };
      auto b = std::make_unique<bridge::Bridge>(std::move(o), std::move(p));
      auto host = std::make_unique<bridge::test::FakeHost>("Test");
      bridge::test::FakePluginOptions gain;
      gain.gain = 0.5f;
      host->setPluginOptions(host->add("Gain"), gain);
      b->addHost(std::move(host));
      ready.set_value(b->start());
      while (!stop) {
        queue.wait(20);
        queue.drain();
      }
      b.reset();
      queue.drain();
    });
    started = up.get();
  }
  ~LiveBridge() {
    stop = true;
    main.join();
    std::filesystem::remove_all(dir);
  }
};

// Pairs, builds the one-slot chain and answers its stream number; -1 on failure.
int openChain(Peer& peer) {
  Json m;
  if (!peer.awaitText("hello", m) || !peer.sendText(Json{{"t", "pair"}, {"code", "123456"}, {"name", "bench"}}) ||
      !peer.awaitText("ready", m))
    return -1;
  peer.sendText(Json{{"t", "chain"},
                     {"track", "bench"},
                     {"rate", 48000},
                     {"slots", Json::array({Json{{"key", "g"}, {"plugin", "Test:Gain"}}})}});
  while (peer.awaitText("chain", m)) {
    const Json& slots = m["slots"];
    if (!slots.empty() && slots[0].value("status", "") == "ok") return m.value("stream", -1);
  }
  return -1;
}

double percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(static_cast<double>(v.size()) * q))];
}

// Each iteration: one block through the bridge and back, then the same bytes
// through the bare echo server, each timed on its own.
void bridgeVersusEcho(benchmark::State& state, bool tls) {
  LiveBridge live;
  if (!live.started) return state.SkipWithError("bridge did not start");
  std::filesystem::path echoDir = scratchDir("echo");
  std::string error;
  auto identity = bridge::loadOrCreateIdentity(echoDir, error);
  bridge::Server echo(bridge::bench::echoHandlers(), tls ? identity.get() : nullptr);
  if (!identity || !echo.start(0)) return state.SkipWithError("echo server did not start");
  {
    Peer toBridge(live.port, tls ? bridge::authorityFile(live.dir).string() : "");
    Peer toEcho(echo.port(), tls ? bridge::authorityFile(echoDir).string() : "");
    const int stream = toBridge.ok() ? openChain(toBridge) : -1;
    if (stream < 0 || !toEcho.ok()) {
      state.SkipWithError("could not connect");
    } else {
      std::vector<uint8_t> block = frame(static_cast<uint16_t>(stream), kBlock);
      for (size_t i = 0; i < 2 * kBlock; ++i) {
        const float v = static_cast<float>(i % 97) / 97.0f;
        std::memcpy(block.data() + bridge::kFrameHeaderBytes + 4 * i, &v, 4);
      }
      std::vector<uint8_t> reply;
      std::vector<double> bridgeUs, echoUs;
      int32_t position = 0;
      for (auto _ : state) {
        std::memcpy(&block[bridge::frame_offset::position], &position, 4);
        position += kBlock;
        double t0 = bridge::nowMs();
        if (!toBridge.sendMessage(bridge::kWsBinary, block.data(), block.size()) || !toBridge.awaitBinary(reply) ||
            reply.size() != block.size()) {
          state.SkipWithError("bridge round trip failed");
          break;
        }
        double t1 = bridge::nowMs();
        if (!toEcho.sendMessage(bridge::kWsBinary, block.data(), block.size()) || !toEcho.awaitBinary(reply)) {
          state.SkipWithError("echo round trip failed");
          break;
        }
        double t2 = bridge::nowMs();
        bridgeUs.push_back((t1 - t0) * 1000.0);
        echoUs.push_back((t2 - t1) * 1000.0);
      }
      if (!bridgeUs.empty()) {
        double bridgeTotalS = 0.0;
        for (double us : bridgeUs) bridgeTotalS += us / 1e6;
        state.counters["bridge_p50_us"] = percentile(bridgeUs, 0.5);
        state.counters["bridge_p99_us"] = percentile(bridgeUs, 0.99);
        state.counters["echo_p50_us"] = percentile(echoUs, 0.5);
        state.counters["echo_p99_us"] = percentile(echoUs, 0.99);
        state.counters["ratio_p50"] = percentile(bridgeUs, 0.5) / percentile(echoUs, 0.5);
        state.counters["ratio_p99"] = percentile(bridgeUs, 0.99) / percentile(echoUs, 0.99);
        state.counters["bridge_frames_per_s"] = static_cast<double>(bridgeUs.size()) * kBlock / bridgeTotalS;
      }
    }
  }
  echo.stop();
  std::filesystem::remove_all(echoDir);
}

void BM_BridgeVsEchoClear(benchmark::State& state) { bridgeVersusEcho(state, false); }
void BM_BridgeVsEchoTls(benchmark::State& state) { bridgeVersusEcho(state, true); }
BENCHMARK(BM_BridgeVsEchoClear)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_BridgeVsEchoTls)->UseRealTime()->MinTime(2.0);

// Frames per second with several blocks in flight, as a page streaming ahead
// of playback keeps them: the bridge's throughput rather than its latency.
void bridgeThroughput(benchmark::State& state, bool tls) {
  LiveBridge live;
  if (!live.started) return state.SkipWithError("bridge did not start");
  Peer peer(live.port, tls ? bridge::authorityFile(live.dir).string() : "");
  const int stream = peer.ok() ? openChain(peer) : -1;
  if (stream < 0) return state.SkipWithError("could not connect");
  const int inFlight = static_cast<int>(state.range(0));
  std::vector<uint8_t> block = frame(static_cast<uint16_t>(stream), kBlock);
  std::vector<uint8_t> reply;
  int32_t position = 0;
  auto sendOne = [&] {
    std::memcpy(&block[bridge::frame_offset::position], &position, 4);
    position += kBlock;
    return peer.sendMessage(bridge::kWsBinary, block.data(), block.size());
  };
  for (int i = 0; i < inFlight; ++i) sendOne();
  int64_t blocks = 0;
  for (auto _ : state) {
    if (!peer.awaitBinary(reply) || !sendOne()) {
      state.SkipWithError("stream failed");
      break;
    }
    ++blocks;
  }
  for (int i = 0; i < inFlight; ++i) peer.awaitBinary(reply);
  state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(blocks) * kBlock, benchmark::Counter::kIsRate);
}

void BM_BridgeThroughputClear(benchmark::State& state) { bridgeThroughput(state, false); }
void BM_BridgeThroughputTls(benchmark::State& state) { bridgeThroughput(state, true); }
BENCHMARK(BM_BridgeThroughputClear)->Arg(8)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_BridgeThroughputTls)->Arg(8)->UseRealTime()->MinTime(2.0);

}  // namespace

// The local server's own cost: frame encoding and reading, and the loopback
// round trip of a 1 KiB binary message through a bare echo server, in clear and
// over TLS. Later benchmarks of the full bridge compare against these figures.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "server/random.h"
#include "server/server.h"
#include "server/tls_identity.h"
#include "server/websocket_frame.h"
#include "util/clock.h"
#include "ws_peer.h"

namespace {

std::vector<uint8_t> maskedFrame(uint8_t opcode, size_t size) {
  std::vector<uint8_t> payload(size, 0x5A);
  return bridge::bench::maskedFrame(opcode, payload.data(), payload.size());
}

void BM_encodeFrame(benchmark::State& state) {
  std::vector<uint8_t> payload(static_cast<size_t>(state.range(0)), 1);
  for (auto _ : state) benchmark::DoNotOptimize(bridge::encodeFrame(bridge::kWsBinary, payload.data(), payload.size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_encodeFrame)->Arg(1024)->Arg(64 * 1024)->Arg(1 << 20);

// Reading (and unmasking in place) a buffer of client frames. Unmasking twice
// restores the bytes, so the buffer is reused without copying.
void BM_readFrames(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> one = maskedFrame(bridge::kWsBinary, size);
  std::vector<uint8_t> stream;
  const size_t count = std::max<size_t>(1, (1 << 20) / one.size());
  for (size_t i = 0; i < count; ++i) stream.insert(stream.end(), one.begin(), one.end());
  bridge::FrameReader reader;
  for (auto _ : state) {
    size_t pos = 0;
    while (pos < stream.size()) {
      bridge::FrameEvent ev = reader.next(stream.data() + pos, stream.size() - pos);
      pos += ev.consumed;
      benchmark::DoNotOptimize(ev.message.data());
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream.size()));
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(count));
}
BENCHMARK(BM_readFrames)->Arg(1024)->Arg(64 * 1024);

// The bare echo server's client.
class Client : public bridge::bench::WsPeer {
 public:
  Client(int port, const std::string& caFile) : WsPeer(port, caFile, "https://bench.example") {}
};

void echoRoundTrip(benchmark::State& state, bool tls) {
  std::filesystem::path dir;
  std::unique_ptr<bridge::TlsIdentity> identity;
  if (tls) {
    char name[] = "/tmp/krevlo-bench-XXXXXX";
    dir = ::mkdtemp(name);
    std::string error;
    identity = bridge::loadOrCreateIdentity(dir, error);
    if (!identity) {
      state.SkipWithError(("no identity: " + error).c_str());
      return;
    }
  }
  bridge::Server server(bridge::bench::echoHandlers(), identity.get());
  if (!server.start(0)) {
    state.SkipWithError("server did not start");
    return;
  }
  {
    Client client(server.port(), tls ? bridge::authorityFile(dir).string() : "");
    if (!client.ok()) {
      state.SkipWithError("client could not connect");
    } else {
      const std::vector<uint8_t> frame = maskedFrame(bridge::kWsBinary, 1024);
      std::vector<uint8_t> reply(4 + 1024);  // 16-bit length form
      std::vector<double> us;
      us.reserve(1 << 20);
      for (auto _ : state) {
        const double t0 = bridge::nowMs();
        if (!client.write(frame.data(), frame.size()) || !client.read(reply.data(), reply.size())) {
          state.SkipWithError("echo failed");
          break;
        }
        us.push_back((bridge::nowMs() - t0) * 1000.0);
      }
      if (!us.empty()) {
        std::sort(us.begin(), us.end());
        state.counters["p50_us"] = us[us.size() / 2];
        state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
        state.counters["msgs_per_s"] = benchmark::Counter(double(us.size()), benchmark::Counter::kIsRate);
      }
    }
  }
  server.stop();
  if (!dir.empty()) std::filesystem::remove_all(dir);
}

void BM_echoClear(benchmark::State& state) { echoRoundTrip(state, false); }
void BM_echoTls(benchmark::State& state) { echoRoundTrip(state, true); }
BENCHMARK(BM_echoClear)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_echoTls)->UseRealTime()->MinTime(2.0);

}  // namespace

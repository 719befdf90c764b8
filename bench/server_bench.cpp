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

namespace {

// The bare echo handler: every message goes straight back on its connection.
bridge::ServerHandlers echoHandlers() {
  bridge::ServerHandlers h;
  h.allowOrigin = [](const std::string&) { return true; };
  h.onText = [](std::shared_ptr<bridge::Connection> c, std::string&& text) { c->sendText(text); };
  h.onBinary = [](std::shared_ptr<bridge::Connection> c, std::vector<uint8_t>&& bytes) { c->sendBinary(bytes); };
  return h;
}

std::vector<uint8_t> maskedFrame(uint8_t opcode, size_t size) {
  std::vector<uint8_t> payload(size, 0x5A);
  std::vector<uint8_t> f = bridge::encodeFrame(opcode, payload.data(), payload.size());
  const size_t header = f.size() - size;
  f[1] |= 0x80;
  const uint8_t key[4] = {1, 2, 3, 4};
  f.insert(f.begin() + static_cast<std::ptrdiff_t>(header), key, key + 4);
  for (size_t i = 0; i < size; ++i) f[header + 4 + i] ^= key[i % 4];
  return f;
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

// A blocking client over a plain socket or over TLS.
class Client {
 public:
  Client(int port, const std::string& caFile) {
    mbedtls_net_init(&net_);
    mbedtls_ssl_init(&ssl_);
    mbedtls_ssl_config_init(&conf_);
    mbedtls_x509_crt_init(&ca_);
    ok_ = mbedtls_net_connect(&net_, "127.0.0.1", std::to_string(port).c_str(), MBEDTLS_NET_PROTO_TCP) == 0;
    int one = 1;
    if (ok_) ::setsockopt(net_.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    tls_ = !caFile.empty();
    if (ok_ && tls_) {
      ok_ = mbedtls_x509_crt_parse_file(&ca_, caFile.c_str()) == 0 &&
            mbedtls_ssl_config_defaults(&conf_, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                        MBEDTLS_SSL_PRESET_DEFAULT) == 0;
      if (ok_) {
        mbedtls_ssl_conf_authmode(&conf_, MBEDTLS_SSL_VERIFY_REQUIRED);
        mbedtls_ssl_conf_ca_chain(&conf_, &ca_, nullptr);
        mbedtls_ssl_conf_rng(&conf_, bridge::tlsRandom, nullptr);
        ok_ = mbedtls_ssl_setup(&ssl_, &conf_) == 0 && mbedtls_ssl_set_hostname(&ssl_, "localhost") == 0;
        mbedtls_ssl_set_bio(&ssl_, &net_, mbedtls_net_send, mbedtls_net_recv, nullptr);
        ok_ = ok_ && mbedtls_ssl_handshake(&ssl_) == 0;
      }
    }
    if (ok_) {
      std::string request = "GET /v1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                            "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nOrigin: https://bench.example\r\n"
                            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
      ok_ = write(reinterpret_cast<const uint8_t*>(request.data()), request.size());
      std::string reply;
      while (ok_ && reply.find("\r\n\r\n") == std::string::npos) {
        uint8_t b;
        ok_ = read(&b, 1);
        reply += static_cast<char>(b);
      }
      ok_ = ok_ && reply.rfind("HTTP/1.1 101 ", 0) == 0;
    }
  }
  ~Client() {
    mbedtls_ssl_free(&ssl_);
    mbedtls_ssl_config_free(&conf_);
    mbedtls_x509_crt_free(&ca_);
    mbedtls_net_free(&net_);
  }
  bool ok() const { return ok_; }

  bool write(const uint8_t* p, size_t n) {
    while (n > 0) {
      int r = tls_ ? mbedtls_ssl_write(&ssl_, p, n) : mbedtls_net_send(&net_, p, n);
      if (r <= 0) return false;
      p += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }
  bool read(uint8_t* p, size_t n) {
    while (n > 0) {
      int r = tls_ ? mbedtls_ssl_read(&ssl_, p, n) : mbedtls_net_recv(&net_, p, n);
      if (r <= 0) return false;
      p += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }

 private:
  bool ok_ = false;
  bool tls_ = false;
  mbedtls_net_context net_;
  mbedtls_ssl_context ssl_;
  mbedtls_ssl_config conf_;
  mbedtls_x509_crt ca_;
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
  bridge::Server server(echoHandlers(), identity.get());
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

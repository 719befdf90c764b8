#pragma once
// A WebSocket peer for the benchmarks, over a plain socket or TLS, as a page
// would be: it sends masked frames and reads the server's whole frames. Blocking
// until setNonBlocking, after which tryRead and writeAll serve a caller that
// waits on fd() itself. One thread at a time.
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "server/connection.h"
#include "server/random.h"
#include "server/websocket_frame.h"

namespace bridge::bench {

// The bare echo server's handlers: every message goes straight back on its
// connection. The full bridge is measured against it.
inline ServerHandlers echoHandlers() {
  ServerHandlers h;
  h.allowOrigin = [](const std::string&) { return true; };
  h.onText = [](std::shared_ptr<Connection> c, std::string&& text) { c->sendText(text); };
  h.onBinary = [](std::shared_ptr<Connection> c, std::vector<uint8_t>&& bytes) { c->sendBinary(bytes); };
  return h;
}

// A client frame carrying `n` bytes, masked with a fixed key (nothing here is
// secret).
inline std::vector<uint8_t> maskedFrame(uint8_t opcode, const uint8_t* p, size_t n) {
  std::vector<uint8_t> f = encodeFrame(opcode, p, n);
  const size_t header = f.size() - n;
  f[1] |= 0x80;
  const uint8_t key[4] = {7, 1, 9, 3};
  f.insert(f.begin() + static_cast<std::ptrdiff_t>(header), key, key + 4);
  for (size_t i = 0; i < n; ++i) f[header + 4 + i] ^= key[i % 4];
  return f;
}

class WsPeer {
 public:
  // caFile empty: clear TCP; else TLS verified against that authority.
  WsPeer(int port, const std::string& caFile, const std::string& origin) {
    mbedtls_net_init(&net_);
    mbedtls_ssl_init(&ssl_);
    mbedtls_ssl_config_init(&conf_);
    mbedtls_x509_crt_init(&ca_);
    tls_ = !caFile.empty();
    ok_ = mbedtls_net_connect(&net_, "127.0.0.1", std::to_string(port).c_str(), MBEDTLS_NET_PROTO_TCP) == 0;
    int one = 1;
    // A server that stops answering fails a blocking read instead of hanging the run.
    const timeval patience{10, 0};
    if (ok_) {
      ::setsockopt(net_.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      ::setsockopt(net_.fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    }
    if (ok_ && tls_) {
      ok_ = mbedtls_x509_crt_parse_file(&ca_, caFile.c_str()) == 0 &&
            mbedtls_ssl_config_defaults(&conf_, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                        MBEDTLS_SSL_PRESET_DEFAULT) == 0;
      if (ok_) {
        mbedtls_ssl_conf_authmode(&conf_, MBEDTLS_SSL_VERIFY_REQUIRED);
        mbedtls_ssl_conf_ca_chain(&conf_, &ca_, nullptr);
        mbedtls_ssl_conf_rng(&conf_, tlsRandom, nullptr);
        ok_ = mbedtls_ssl_setup(&ssl_, &conf_) == 0 && mbedtls_ssl_set_hostname(&ssl_, "localhost") == 0;
        mbedtls_ssl_set_bio(&ssl_, &net_, mbedtls_net_send, mbedtls_net_recv, nullptr);
        ok_ = ok_ && mbedtls_ssl_handshake(&ssl_) == 0;
      }
    }
    if (!ok_) return;
    std::string request = "GET /v1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nOrigin: " + origin +
                          "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    ok_ = write(reinterpret_cast<const uint8_t*>(request.data()), request.size());
    std::string reply;
    while (ok_ && reply.find("\r\n\r\n") == std::string::npos) {
      uint8_t b;
      ok_ = read(&b, 1);
      reply += static_cast<char>(b);
    }
    ok_ = ok_ && reply.rfind("HTTP/1.1 101 ", 0) == 0;
  }
  ~WsPeer() {
    mbedtls_ssl_free(&ssl_);
    mbedtls_ssl_config_free(&conf_);
    mbedtls_x509_crt_free(&ca_);
    mbedtls_net_free(&net_);
  }
  bool ok() const { return ok_; }
  int fd() const { return net_.fd; }
  bool tls() const { return tls_; }

  // From here on reads never wait: tryRead answers 0 when nothing is there.
  bool setNonBlocking() { return mbedtls_net_set_nonblock(&net_) == 0; }
  // Decrypted bytes already read from the socket, which poll on fd() cannot see.
  bool buffered() { return tls_ && mbedtls_ssl_get_bytes_avail(&ssl_) > 0; }
  // The count read, 0 when nothing is there now, -1 when the stream ended or failed.
  long tryRead(uint8_t* p, size_t n) {
    int r = tls_ ? mbedtls_ssl_read(&ssl_, p, n) : mbedtls_net_recv(&net_, p, n);
    if (r > 0) return r;
    return r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE ? 0 : -1;
  }
  // Writes everything on a non-blocking socket, waiting for room at most a
  // second at a time.
  bool writeAll(const uint8_t* p, size_t n) {
    while (n > 0) {
      int r = tls_ ? mbedtls_ssl_write(&ssl_, p, n) : mbedtls_net_send(&net_, p, n);
      if (r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE) {
        pollfd f{net_.fd, POLLOUT, 0};
        if (::poll(&f, 1, 1000) <= 0) return false;
        continue;
      }
      if (r <= 0) return false;
      p += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }

  bool sendMessage(uint8_t opcode, const uint8_t* p, size_t n) {
    std::vector<uint8_t> f = maskedFrame(opcode, p, n);
    return write(f.data(), f.size());
  }
  bool sendText(const nlohmann::json& message) {
    std::string text = message.dump();
    return sendMessage(kWsText, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  // One whole frame from the server (it never fragments nor masks).
  bool readMessage(uint8_t& opcode, std::vector<uint8_t>& payload) {
    uint8_t head[2];
    if (!read(head, 2)) return false;
    opcode = head[0] & 0x0f;
    uint64_t n = head[1] & 0x7f;
    if (n == 126) {
      uint8_t b[2];
      if (!read(b, 2)) return false;
      n = uint64_t{b[0]} << 8 | b[1];
    } else if (n == 127) {
      uint8_t b[8];
      if (!read(b, 8)) return false;
      n = 0;
      for (uint8_t byte : b) n = n << 8 | byte;
    }
    payload.resize(n);
    return n == 0 || read(payload.data(), n);
  }
  // Text messages until one of type `t`.
  bool awaitText(const std::string& t, nlohmann::json& message) {
    uint8_t opcode = 0;
    std::vector<uint8_t> payload;
    while (readMessage(opcode, payload)) {
      if (opcode != kWsText) continue;
      message = nlohmann::json::parse(std::string(payload.begin(), payload.end()), nullptr, false);
      if (message.is_object() && message.value("t", "") == t) return true;
    }
    return false;
  }
  // The next binary message; text pushes ("stats") on the way are skipped.
  bool awaitBinary(std::vector<uint8_t>& payload) {
    uint8_t opcode = 0;
    while (readMessage(opcode, payload))
      if (opcode == kWsBinary) return true;
    return false;
  }

  // Raw bytes, for callers that frame their own messages.
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

}  // namespace bridge::bench

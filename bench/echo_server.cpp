#include "echo_server.h"

#include <arpa/inet.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "server/http_request.h"
#include "server/random.h"

namespace bridge::bench {

namespace {

// The byte stream of one connection, clear or TLS, blocking.
class Stream {
 public:
  explicit Stream(int socket) {
    net_.fd = socket;
    mbedtls_ssl_init(&ssl_);
    mbedtls_ssl_config_init(&conf_);
  }
  ~Stream() {
    mbedtls_ssl_free(&ssl_);
    mbedtls_ssl_config_free(&conf_);
  }

  bool startTls(const TlsIdentity& identity) {
    tls_ = true;
    if (mbedtls_ssl_config_defaults(&conf_, MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0)
      return false;
    mbedtls_ssl_conf_rng(&conf_, tlsRandom, &random());
    // Only read; the library's interface just isn't const.
    if (mbedtls_ssl_conf_own_cert(&conf_, const_cast<mbedtls_x509_crt*>(&identity.cert),
                                  const_cast<mbedtls_pk_context*>(&identity.key)) != 0 ||
        mbedtls_ssl_setup(&ssl_, &conf_) != 0)
      return false;
    mbedtls_ssl_set_bio(&ssl_, &net_, mbedtls_net_send, mbedtls_net_recv, nullptr);
    return mbedtls_ssl_handshake(&ssl_) == 0;
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
  bool write(const uint8_t* p, size_t n) {
    while (n > 0) {
      int r = tls_ ? mbedtls_ssl_write(&ssl_, p, n) : mbedtls_net_send(&net_, p, n);
      if (r <= 0) return false;
      p += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }

 private:
  bool tls_ = false;
  mbedtls_net_context net_;
  mbedtls_ssl_context ssl_;
  mbedtls_ssl_config conf_;
};

constexpr uint8_t kClose = 0x8, kPing = 0x9, kPong = 0xA;
constexpr uint64_t kLargestMessage = 1 << 20;

}  // namespace

EchoServer::EchoServer(const TlsIdentity* identity) : identity_(identity) {}

EchoServer::~EchoServer() { stop(); }

bool EchoServer::start() {
  listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_ < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listen_, 64) != 0 ||
      ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return false;
  port_ = ntohs(addr.sin_port);
  stopFd_ = ::eventfd(0, EFD_CLOEXEC);
  running_ = true;
  accept_ = std::thread(&EchoServer::acceptLoop, this);
  return true;
}

void EchoServer::stop() {
  if (running_.exchange(false)) {
    const uint64_t one = 1;
    (void)::write(stopFd_, &one, sizeof one);
    accept_.join();
    std::vector<std::thread> threads;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // Ends every blocking read; each thread closes its own socket.
      for (int s : sockets_) ::shutdown(s, SHUT_RDWR);
      threads.swap(threads_);
    }
    for (auto& t : threads) t.join();
  }
  if (listen_ >= 0) ::close(listen_);
  if (stopFd_ >= 0) ::close(stopFd_);
  listen_ = stopFd_ = -1;
}

void EchoServer::acceptLoop() {
  while (running_) {
    pollfd fds[2] = {{listen_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) <= 0 || !running_ || !(fds[0].revents & POLLIN)) continue;
    int s = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (s < 0) continue;
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> lock(mutex_);
    sockets_.push_back(s);
    threads_.emplace_back(&EchoServer::serve, this, s);
  }
}

void EchoServer::serve(int socket) {
  {
    Stream stream(socket);
    uint8_t first = 0;
    const bool tls = ::recv(socket, &first, 1, MSG_PEEK) == 1 && first == 0x16;
    bool ok = !tls || (identity_ && stream.startTls(*identity_));

    // The upgrade: the request up to its blank line, answered with 101.
    std::string request;
    while (ok && request.find("\r\n\r\n") == std::string::npos && request.size() < 8192) {
      uint8_t b;
      ok = stream.read(&b, 1);
      request += static_cast<char>(b);
    }
    HttpRequest parsed;
    ok = ok && parseRequest(std::string_view(request).substr(0, request.size() - 4), parsed);
    if (ok) {
      std::string reply = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Accept: " +
                          websocketAccept(parsed.header("sec-websocket-key")) + "\r\n\r\n";
      ok = stream.write(reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
    }

    // Whole client frames in, the same payload back unmasked with the same
    // opcode (pong for ping), in one write from a buffer kept across messages.
    std::vector<uint8_t> out;
    while (ok) {
      uint8_t head[2];
      if (!stream.read(head, 2)) break;
      const uint8_t opcode = head[0] & 0x0f;
      uint64_t n = head[1] & 0x7f;
      if (n == 126 || n == 127) {
        uint8_t b[8];
        const size_t width = n == 126 ? 2 : 8;
        if (!stream.read(b, width)) break;
        n = 0;
        for (size_t i = 0; i < width; ++i) n = n << 8 | b[i];
      }
      uint8_t key[4] = {0, 0, 0, 0};
      if ((head[1] & 0x80) && !stream.read(key, 4)) break;
      if (n > kLargestMessage) break;
      const size_t header = n < 126 ? 2 : n < 65536 ? 4 : 10;
      if (out.size() < header + n) out.resize(header + n);
      uint8_t* payload = out.data() + header;
      if (!stream.read(payload, n)) break;
      for (uint64_t i = 0; i < n; ++i) payload[i] ^= key[i % 4];
      out[0] = static_cast<uint8_t>(0x80 | (opcode == kPing ? kPong : opcode));
      if (header == 2) {
        out[1] = static_cast<uint8_t>(n);
      } else if (header == 4) {
        out[1] = 126;
        out[2] = static_cast<uint8_t>(n >> 8);
        out[3] = static_cast<uint8_t>(n);
      } else {
        out[1] = 127;
        for (int i = 0; i < 8; ++i) out[2 + i] = static_cast<uint8_t>(n >> (56 - 8 * i));
      }
      if (!stream.write(out.data(), header + n) || opcode == kClose) break;
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  sockets_.erase(std::find(sockets_.begin(), sockets_.end(), socket));
  ::close(socket);
}

}  // namespace bridge::bench

#include "server/ws_test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "util/clock.h"

namespace bridge::test {

std::string upgradeRequest(int port, const std::string& origin) {
  std::string r = "GET /v1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                  "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
  if (!origin.empty()) r += "Origin: " + origin + "\r\n";
  return r + "\r\n";
}

std::string clientFrameHeader(uint8_t head, uint64_t length) {
  std::string f(1, static_cast<char>(head));
  if (length <= 125) {
    f += static_cast<char>(0x80 | length);
  } else if (length <= 65535) {
    f += static_cast<char>(0x80 | 126);
    f += static_cast<char>(length >> 8);
    f += static_cast<char>(length);
  } else {
    f += static_cast<char>(0x80 | 127);
    for (int i = 7; i >= 0; --i) f += static_cast<char>(length >> (8 * i));
  }
  f += std::string("\x11\x22\x33\x44", 4);
  return f;
}

std::string clientFrame(uint8_t head, std::string_view payload, bool masked) {
  std::string f = clientFrameHeader(head, payload.size());
  if (!masked) {
    f[1] = static_cast<char>(f[1] & 0x7F);
    f.resize(f.size() - 4);
    return f.append(payload);
  }
  const char key[4] = {0x11, 0x22, 0x33, 0x44};
  for (size_t i = 0; i < payload.size(); ++i) f += static_cast<char>(payload[i] ^ key[i % 4]);
  return f;
}

WsTestClient::WsTestClient(int timeoutMs) : timeoutMs_(timeoutMs) {}

WsTestClient::~WsTestClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool WsTestClient::connect(int port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

bool WsTestClient::send(std::string_view bytes) {
  const double deadline = nowMs() + timeoutMs_;
  while (!bytes.empty()) {
    pollfd p{fd_, POLLOUT, 0};
    int left = static_cast<int>(deadline - nowMs());
    if (left <= 0 || ::poll(&p, 1, left) <= 0) return false;
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool WsTestClient::fill(size_t need) { return fillBy(need, nowMs() + timeoutMs_); }

bool WsTestClient::fillBy(size_t need, double deadline) {
  char buf[65536];
  while (buffer_.size() < need) {
    if (closed_) return false;
    pollfd p{fd_, POLLIN, 0};
    int left = static_cast<int>(deadline - nowMs());
    if (left <= 0 || ::poll(&p, 1, left) <= 0) return false;
    ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    buffer_.append(buf, static_cast<size_t>(n));
  }
  return true;
}

std::string WsTestClient::upgrade(int port, const std::string& origin, std::string_view after) {
  if (!send(upgradeRequest(port, origin) + std::string(after))) return {};
  size_t end;
  while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
    if (!fill(buffer_.size() + 1)) return {};
  std::string status = buffer_.substr(0, buffer_.find("\r\n"));
  buffer_.erase(0, end + 4);
  return status;
}

std::string WsTestClient::exchange(std::string_view request) {
  if (!send(request)) return {};
  const double deadline = nowMs() + timeoutMs_;
  while (fillBy(buffer_.size() + 1, deadline)) {
  }
  return std::exchange(buffer_, {});
}

WsTestClient::Result WsTestClient::readFrame(Frame& frame) {
  auto failed = [&] { return closed_ ? Result::Closed : Result::TimedOut; };
  if (!fill(2)) return failed();
  const auto b1 = static_cast<uint8_t>(buffer_[1]);
  size_t header = (b1 & 0x7F) == 126 ? 4 : (b1 & 0x7F) == 127 ? 10 : 2;
  if (!fill(header)) return failed();
  uint64_t length = b1 & 0x7F;
  if (header > 2) {
    length = 0;
    for (size_t i = 2; i < header; ++i) length = (length << 8) | static_cast<uint8_t>(buffer_[i]);
  }
  if (!fill(header + length)) return failed();
  frame.fin = (buffer_[0] & 0x80) != 0;
  frame.opcode = buffer_[0] & 0x0F;
  frame.payload = buffer_.substr(header, length);
  buffer_.erase(0, header + length);
  return Result::Frame;
}

bool WsTestClient::waitClosed() {
  const double deadline = nowMs() + timeoutMs_;
  while (fillBy(buffer_.size() + 1, deadline)) buffer_.clear();
  return closed_;
}

}  // namespace bridge::test

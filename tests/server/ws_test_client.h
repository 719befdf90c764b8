#pragma once
// A blocking raw TCP peer for server tests: writes exact bytes (requests, masked
// or deliberately malformed frames) and reads the server's frames. Every read
// gives up after a time-out, so a broken server fails a test instead of hanging it.
// One thread at a time per client.
#include <cstdint>
#include <string>
#include <string_view>

namespace bridge::test {

constexpr char kAllowedOrigin[] = "https://daw.krevlo.example";

// The upgrade request a browser page would send (the key is RFC 6455's sample).
std::string upgradeRequest(int port, const std::string& origin = kAllowedOrigin);

// One client frame: `head` is byte 0 (FIN | opcode), the payload masked unless told not.
std::string clientFrame(uint8_t head, std::string_view payload, bool masked = true);
// The same with any announced length (for oversize tests), no payload bytes.
std::string clientFrameHeader(uint8_t head, uint64_t announcedLength);

class WsTestClient {
 public:
  enum class Result { Frame, Closed, TimedOut };
  struct Frame {
    bool fin = false;
    uint8_t opcode = 0;
    std::string payload;
  };

  explicit WsTestClient(int timeoutMs = 10000);
  ~WsTestClient();
  WsTestClient(const WsTestClient&) = delete;
  WsTestClient& operator=(const WsTestClient&) = delete;

  bool connect(int port);
  bool send(std::string_view bytes);
  // Sends upgradeRequest (plus `after`, in the same write) and reads the reply
  // header; returns its status line ("" when none came). Bytes after the header
  // stay buffered for readFrame.
  std::string upgrade(int port, const std::string& origin = kAllowedOrigin, std::string_view after = {});
  // Sends a whole request and returns everything the server sent until it closed.
  std::string exchange(std::string_view request);
  Result readFrame(Frame& frame);
  // True when the server closes the connection (end of stream or reset) within
  // the time-out; received bytes are discarded.
  bool waitClosed();
  // Reads nothing more; the kernel buffers fill up and the server must cope.
  int fd() const { return fd_; }

 private:
  // Buffer at least `need` bytes; false on close or time-out.
  bool fill(size_t need);
  bool fillBy(size_t need, double deadlineMs);
  int fd_ = -1;
  int timeoutMs_;
  bool closed_ = false;
  std::string buffer_;
};

}  // namespace bridge::test

#pragma once
// The one HTTP/1.1 request a connection serves: collecting its header block,
// parsing it, and deciding the answer. Pure code over bytes, no I/O; any thread.
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace bridge {

// The header block, blank line included, must end within this many bytes.
constexpr size_t kMaxRequestHeader = 8192;

// Collects received bytes until the header block is complete. The outcome does
// not depend on how the bytes were split into reads.
class RequestReader {
 public:
  enum class State { NeedMore, Complete, TooLarge };

  // Appends bytes (ignored once the state is no longer NeedMore).
  State feed(const char* data, size_t size);
  State state() const { return state_; }
  // Valid when Complete: the header block without its blank line, and the bytes
  // after it (the start of the WebSocket stream).
  std::string_view headerBlock() const { return std::string_view(buffer_).substr(0, headerLength_); }
  std::string leftover() const { return buffer_.substr(headerLength_ + 4); }

 private:
  std::string buffer_;
  size_t scanned_ = 0;  // the terminator does not start before this offset
  size_t headerLength_ = 0;
  State state_ = State::NeedMore;
};

struct HttpRequest {
  std::string method;
  std::string target;
  std::string path;  // the target without its query
  std::map<std::string, std::string> headers;  // lower-cased names, trimmed values; the last one wins

  // The value of a header by lower-cased name; "" when it was not sent.
  const std::string& header(const std::string& name) const;
};

// Parses a header block. False when the request line has fewer than two spaces.
bool parseRequest(std::string_view headerBlock, HttpRequest& request);

// Spaces and tabs off the front; spaces, tabs and carriage returns off the back.
std::string trimHeaderValue(std::string_view text);

// Sec-WebSocket-Accept for a Sec-WebSocket-Key.
std::string websocketAccept(std::string_view key);

// A complete plain-text reply: status line, Content-Type, Content-Length,
// Connection: close, then the body.
std::string httpResponse(std::string_view status, std::string_view body);

struct RequestAnswer {
  bool upgrade = false;  // true: `response` is the 101 reply and the WebSocket follows it
  std::string response;  // the whole text to write
  std::string origin;    // the Origin header as sent
};

// Decides the answer to a request that arrived on `port`, in clear or over TLS.
// `allowOrigin` (may be empty: every upgrade is refused) is asked only for an
// upgrade that carries a non-empty Origin.
RequestAnswer answerRequest(const HttpRequest& request, int port, bool tls,
                            const std::function<bool(const std::string&)>& allowOrigin);

}  // namespace bridge

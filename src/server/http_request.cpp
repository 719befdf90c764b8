#include "server/http_request.h"

#include <algorithm>
#include <cstring>

#include "server/mbedtls_compat.h"
#include "util/encoding.h"

namespace bridge {

namespace {

constexpr char kWebSocketGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr char kRunningPage[] = "Krevlo Bridge is running. You can close this tab.\n";

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

RequestAnswer reply(std::string_view status, std::string_view body = {}) {
  RequestAnswer a;
  a.response = httpResponse(status, body);
  return a;
}

}  // namespace

RequestReader::State RequestReader::feed(const char* data, size_t size) {
  if (state_ != State::NeedMore) return state_;
  // Only what can still hold a terminator that ends within the limit is kept.
  size_t room = kMaxRequestHeader - std::min(buffer_.size(), kMaxRequestHeader);
  size_t keep = std::min(size, room);
  buffer_.append(data, keep);
  size_t found = buffer_.find("\r\n\r\n", scanned_);
  if (found != std::string::npos) {
    headerLength_ = found;
    // Bytes past the limit are the WebSocket stream's, not the header's.
    buffer_.append(data + keep, size - keep);
    state_ = State::Complete;
  } else if (buffer_.size() >= kMaxRequestHeader) {
    state_ = State::TooLarge;
  } else {
    scanned_ = buffer_.size() < 3 ? 0 : buffer_.size() - 3;
  }
  return state_;
}

const std::string& HttpRequest::header(const std::string& name) const {
  static const std::string kEmpty;
  auto it = headers.find(name);
  return it == headers.end() ? kEmpty : it->second;
}

std::string trimHeaderValue(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r')) --end;
  return std::string(text.substr(begin, end - begin));
}

bool parseRequest(std::string_view block, HttpRequest& request) {
  size_t lineEnd = block.find("\r\n");
  std::string_view requestLine = block.substr(0, lineEnd);
  size_t firstSpace = requestLine.find(' ');
  size_t lastSpace = requestLine.rfind(' ');
  if (firstSpace == std::string_view::npos || firstSpace >= lastSpace) return false;
  request.method = std::string(requestLine.substr(0, firstSpace));
  request.target = std::string(requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1));
  request.path = request.target.substr(0, request.target.find('?'));
  request.headers.clear();

  while (lineEnd != std::string_view::npos) {
    size_t start = lineEnd + 2;
    lineEnd = block.find("\r\n", start);
    std::string_view line = block.substr(start, lineEnd == std::string_view::npos ? block.npos : lineEnd - start);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    request.headers[lower(trimHeaderValue(line.substr(0, colon)))] = trimHeaderValue(line.substr(colon + 1));
  }
  return true;
}

std::string websocketAccept(std::string_view key) {
  std::string text(key);
  text += kWebSocketGuid;
  unsigned char digest[20];
  tlscompat::sha1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  return base64Encode(digest, sizeof digest);
}

std::string httpResponse(std::string_view status, std::string_view body) {
  std::string out = "HTTP/1.1 ";
  out += status;
  out += "\r\nContent-Type: text/plain\r\nContent-Length: ";
  out += std::to_string(body.size());
  out += "\r\nConnection: close\r\n\r\n";
  out += body;
  return out;
}

RequestAnswer answerRequest(const HttpRequest& request, int port, bool tls,
                            const std::function<bool(const std::string&)>& allowOrigin) {
  const std::string host = lower(request.header("host"));
  const std::string portText = std::to_string(port);
  if (host != "127.0.0.1:" + portText && host != "localhost:" + portText) return reply("421 Misdirected Request");
  if (request.method != "GET") return reply("405 Method Not Allowed");
  if (request.path == "/" && tls && request.headers.count("upgrade") == 0) return reply("200 OK", kRunningPage);
  const std::string& key = request.header("sec-websocket-key");
  if (request.path != "/v1" || lower(request.header("upgrade")) != "websocket" || key.empty())
    return reply("404 Not Found");

  RequestAnswer a;
  a.origin = request.header("origin");
  if (a.origin.empty() || !allowOrigin || !allowOrigin(a.origin)) {
    a.response = httpResponse("403 Forbidden", {});
    return a;
  }
  a.upgrade = true;
  a.response = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
               websocketAccept(key) + "\r\n\r\n";
  return a;
}

}  // namespace bridge

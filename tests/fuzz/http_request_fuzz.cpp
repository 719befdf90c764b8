// Whatever bytes a local process sends before the upgrade, collecting, parsing
// and answering the request must not crash, and the outcome must not depend on
// how the bytes were split into reads.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "server/http_request.h"

namespace {

struct Outcome {
  bridge::RequestReader::State state;
  std::string header, leftover;
};

Outcome collect(const char* data, size_t size, size_t cut) {
  bridge::RequestReader reader;
  reader.feed(data, cut);
  if (reader.state() == bridge::RequestReader::State::NeedMore) reader.feed(data + cut, size - cut);
  Outcome o{reader.state(), {}, {}};
  if (o.state == bridge::RequestReader::State::Complete) {
    o.header = std::string(reader.headerBlock());
    o.leftover = reader.leftover();
  }
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 1) return 0;
  const bool tls = bytes[0] & 1;
  const char* data = reinterpret_cast<const char*>(bytes + 1);
  size--;
  Outcome whole = collect(data, size, size);
  Outcome split = collect(data, size, size ? (bytes[0] * 131u) % (size + 1) : 0);
  if (whole.state != split.state || whole.header != split.header || !whole.leftover.starts_with(split.leftover))
    std::abort();
  if (whole.state != bridge::RequestReader::State::Complete) return 0;
  if (whole.header.size() + 4 > bridge::kMaxRequestHeader) std::abort();

  bridge::HttpRequest request;
  if (!bridge::parseRequest(whole.header, request)) return 0;
  for (const auto& [name, value] : request.headers) {
    for (char c : name)
      if (c >= 'A' && c <= 'Z') std::abort();
    if (bridge::trimHeaderValue(value) != value) std::abort();
  }
  if (request.path.find('?') != std::string::npos) std::abort();
  int asked = 0;
  auto allow = [&](const std::string& origin) {
    ++asked;
    if (origin.empty()) std::abort();
    return origin.size() % 2 == 0;
  };
  bridge::RequestAnswer a = bridge::answerRequest(request, 47800, tls, allow);
  if (a.response.rfind("HTTP/1.1 ", 0) != 0 || asked > 1) std::abort();
  if (a.upgrade && (a.origin.empty() || request.method != "GET" || request.path != "/v1")) std::abort();
  return 0;
}

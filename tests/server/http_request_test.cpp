#include "server/http_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace bridge {
namespace {

constexpr char kKey[] = "dGhlIHNhbXBsZSBub25jZQ==";

struct ReadOutcome {
  RequestReader::State state;
  std::string header;
  std::string leftover;
  bool operator==(const ReadOutcome&) const = default;
};

// Feeds `bytes` cut at the given offsets, as reads would deliver them.
ReadOutcome readSplit(const std::string& bytes, const std::vector<size_t>& cuts) {
  RequestReader reader;
  size_t at = 0;
  for (size_t cut : cuts) {
    reader.feed(bytes.data() + at, cut - at);
    at = cut;
    if (reader.state() != RequestReader::State::NeedMore) break;
  }
  if (reader.state() == RequestReader::State::NeedMore) reader.feed(bytes.data() + at, bytes.size() - at);
  ReadOutcome out{reader.state(), {}, {}};
  if (out.state == RequestReader::State::Complete) {
    out.header = std::string(reader.headerBlock());
    // A real connection stops reading at completion: only bytes of that read follow.
    out.leftover = reader.leftover();
  }
  return out;
}

TEST(RequestReader, SameOutcomeHoweverTheBytesAreSplit) {
  const std::string request = "GET /v1 HTTP/1.1\r\nHost: 127.0.0.1:47800\r\n\r\n";
  const std::string cases[] = {
      request,
      request + "\x81\x85" "frame",                        // the browser's first frame came along
      "\r\n\r\n",                                         // an empty header block
      std::string(8188, 'a') + "\r\n\r\n" + "tail",       // ends exactly at the limit
      std::string(8189, 'a') + "\r\n\r\n",                // one byte past it
      std::string(9000, 'h'),                             // never ends
      "GET / HTTP/1.1\r\n\r",                             // not yet complete
  };
  for (const std::string& bytes : cases) {
    ReadOutcome whole = readSplit(bytes, {});
    for (size_t cut = 0; cut <= bytes.size(); ++cut) {
      // A prefix up to the cut, then the rest; the leftover is what followed the
      // header in the read that completed it.
      ReadOutcome split = readSplit(bytes, {cut});
      ASSERT_EQ(split.state, whole.state) << bytes.size() << " cut at " << cut;
      ASSERT_EQ(split.header, whole.header);
      ASSERT_TRUE(whole.leftover.starts_with(split.leftover));
    }
    std::vector<size_t> everyByte;
    for (size_t i = 1; i <= bytes.size(); ++i) everyByte.push_back(i);
    ReadOutcome dripped = readSplit(bytes, everyByte);
    EXPECT_EQ(dripped.state, whole.state);
    EXPECT_EQ(dripped.header, whole.header);
  }
}

TEST(RequestReader, LimitAndLeftover) {
  EXPECT_EQ(readSplit(std::string(8188, 'a') + "\r\n\r\n", {}).state, RequestReader::State::Complete);
  EXPECT_EQ(readSplit(std::string(8189, 'a') + "\r\n\r\n", {}).state, RequestReader::State::TooLarge);
  EXPECT_EQ(readSplit(std::string(9000, 'h'), {}).state, RequestReader::State::TooLarge);
  EXPECT_EQ(readSplit("GET / HTTP/1.1\r\n", {}).state, RequestReader::State::NeedMore);
  ReadOutcome r = readSplit("A B C\r\nx: y\r\n\r\nAFTER", {});
  EXPECT_EQ(r.header, "A B C\r\nx: y");
  EXPECT_EQ(r.leftover, "AFTER");
  // What follows the header is never cut by the limit.
  std::string big(20000, 'z');
  EXPECT_EQ(readSplit(std::string(8000, 'a') + "\r\n\r\n" + big, {}).leftover, big);
}

TEST(HttpRequest, TrimHeaderValue) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},           {"  x  ", "x"},     {"\tx\t", "x"},   {"x\r", "x"},
      {" \t ", ""},       {"\rx", "\rx"},     {"a b", "a b"},  {" a\t\r \r", "a"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(trimHeaderValue(in), out) << '"' << in << '"';
}

TEST(HttpRequest, ParsesRequestLineAndHeaders) {
  HttpRequest r;
  ASSERT_TRUE(parseRequest(
      "GET /v1?x=1&y HTTP/1.1\r\nHost:  127.0.0.1:47800 \r\nX-Dup: first\r\nno colon here\r\n"
      "  Sec-WebSocket-KEY :\tabc \r\nx-dup: second\r\nEmpty:   \r\nColon: a:b",
      r));
  EXPECT_EQ(r.method, "GET");
  EXPECT_EQ(r.target, "/v1?x=1&y");
  EXPECT_EQ(r.path, "/v1");
  EXPECT_EQ(r.header("host"), "127.0.0.1:47800");
  EXPECT_EQ(r.header("x-dup"), "second");
  EXPECT_EQ(r.header("sec-websocket-key"), "abc");
  EXPECT_EQ(r.header("empty"), "");
  EXPECT_EQ(r.headers.count("empty"), 1u);
  EXPECT_EQ(r.header("colon"), "a:b");
  EXPECT_EQ(r.header("missing"), "");
  EXPECT_EQ(r.headers.size(), 5u);

  // The target is what lies between the first and the last space.
  ASSERT_TRUE(parseRequest("GET /a b HTTP/1.1", r));
  EXPECT_EQ(r.target, "/a b");
  for (const char* bad : {"", "GET", "GET /v1", "GET  ", " "}) {
    HttpRequest b;
    EXPECT_EQ(parseRequest(bad, b), std::string(bad) == "GET  ") << '"' << bad << '"';
  }
}

TEST(HttpRequest, WebSocketAcceptMatchesRfc6455) {
  EXPECT_EQ(websocketAccept(kKey), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_EQ(websocketAccept("x3JJHMbDL1EzLkh9GBhXDw=="), "HSmrc0sMlYUkAGmm5OPpG2HaGWk=");
}

TEST(HttpRequest, ResponseText) {
  EXPECT_EQ(httpResponse("404 Not Found", ""),
            "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(httpResponse("200 OK", "hi\n"),
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 3\r\nConnection: close\r\n\r\nhi\n");
}

struct AnswerCase {
  const char* name;
  std::string request;
  bool tls;
  const char* status;  // the status line's words, or "101"
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

std::string upgrade(const std::string& target, const std::string& host, const std::string& extra) {
  return "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\n" + extra;
}
const std::string kWs = "Upgrade: websocket\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
const std::string kOrigin = "Origin: https://daw.example\r\n";

class AnswerCases : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerCases, DecisionOrder) {
  const AnswerCase& c = GetParam();
  HttpRequest r;
  ASSERT_TRUE(parseRequest(c.request, r));
  std::vector<std::string> asked;
  auto allow = [&](const std::string& o) {
    asked.push_back(o);
    return o == "https://daw.example";
  };
  RequestAnswer a = answerRequest(r, 47800, c.tls, allow);
  if (std::string(c.status) == "101") {
    EXPECT_TRUE(a.upgrade);
    EXPECT_EQ(a.response,
              "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
    EXPECT_EQ(a.origin, "https://daw.example");
  } else {
    EXPECT_FALSE(a.upgrade);
    std::string body = std::string(c.status) == "200 OK" ? "Krevlo Bridge is running. You can close this tab.\n" : "";
    EXPECT_EQ(a.response, httpResponse(c.status, body));
  }
  // The origin check is asked only for an upgrade that names an origin.
  bool shouldAsk = !a.origin.empty();
  EXPECT_EQ(asked.size(), shouldAsk ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, AnswerCases,
    ::testing::Values(
        AnswerCase{"upgrade", upgrade("/v1", "127.0.0.1:47800", kWs + kOrigin), false, "101"},
        AnswerCase{"upgradeOverTls", upgrade("/v1", "127.0.0.1:47800", kWs + kOrigin), true, "101"},
        AnswerCase{"queryIgnored", upgrade("/v1?x=1", "127.0.0.1:47800", kWs + kOrigin), false, "101"},
        AnswerCase{"localhostAnyCase", upgrade("/v1", "LOCALHOST:47800", kWs + kOrigin), false, "101"},
        AnswerCase{"upgradeAnyCase", upgrade("/v1", "localhost:47800",
                                             "Upgrade: WebSocket\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" + kOrigin),
                   false, "101"},
        AnswerCase{"hostWithoutPort", "POST /v1 HTTP/1.1\r\nHost: 127.0.0.1", false, "421 Misdirected Request"},
        AnswerCase{"otherPort", upgrade("/v1", "127.0.0.1:47801", kWs + kOrigin), false, "421 Misdirected Request"},
        AnswerCase{"otherHost", upgrade("/v1", "example.com:47800", kWs + kOrigin), false, "421 Misdirected Request"},
        AnswerCase{"noHost", "GET /v1 HTTP/1.1\r\n" + kWs + kOrigin, false, "421 Misdirected Request"},
        AnswerCase{"post", "POST /v1 HTTP/1.1\r\nHost: 127.0.0.1:47800\r\n" + kWs + kOrigin, false,
                   "405 Method Not Allowed"},
        AnswerCase{"lowerCaseGet", "get /v1 HTTP/1.1\r\nHost: 127.0.0.1:47800\r\n" + kWs + kOrigin, false,
                   "405 Method Not Allowed"},
        AnswerCase{"rootInClear", upgrade("/", "127.0.0.1:47800", ""), false, "404 Not Found"},
        AnswerCase{"rootOverTls", upgrade("/", "127.0.0.1:47800", ""), true, "200 OK"},
        AnswerCase{"rootOverTlsWithUpgrade", upgrade("/", "127.0.0.1:47800", "Upgrade: \r\n"), true, "404 Not Found"},
        AnswerCase{"upgradeList", upgrade("/v1", "127.0.0.1:47800",
                                          "Upgrade: websocket, h2c\r\nSec-WebSocket-Key: k\r\n" + kOrigin),
                   false, "404 Not Found"},
        AnswerCase{"noKey", upgrade("/v1", "127.0.0.1:47800", "Upgrade: websocket\r\n" + kOrigin), false,
                   "404 Not Found"},
        AnswerCase{"otherPath", upgrade("/v2", "127.0.0.1:47800", kWs + kOrigin), false, "404 Not Found"},
        AnswerCase{"trailingSlash", upgrade("/v1/", "127.0.0.1:47800", kWs + kOrigin), false, "404 Not Found"},
        AnswerCase{"noOrigin", upgrade("/v1", "127.0.0.1:47800", kWs), false, "403 Forbidden"},
        AnswerCase{"emptyOrigin", upgrade("/v1", "127.0.0.1:47800", kWs + "Origin:  \r\n"), false, "403 Forbidden"},
        AnswerCase{"foreignOrigin", upgrade("/v1", "127.0.0.1:47800", kWs + "Origin: https://evil.example\r\n"), false,
                   "403 Forbidden"}),
    [](const auto& info) { return info.param.name; });

TEST(HttpRequest, NoOriginCheckRefusesEveryUpgrade) {
  HttpRequest r;
  ASSERT_TRUE(parseRequest(upgrade("/v1", "127.0.0.1:47800", kWs + kOrigin), r));
  RequestAnswer a = answerRequest(r, 47800, false, {});
  EXPECT_FALSE(a.upgrade);
  EXPECT_EQ(a.response, httpResponse("403 Forbidden", ""));
}

}  // namespace
}  // namespace bridge

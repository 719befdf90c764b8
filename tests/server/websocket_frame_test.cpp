#include "server/websocket_frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/ws_test_client.h"

namespace bridge {
namespace {

using test::clientFrame;
using test::clientFrameHeader;

struct Event {
  FrameEvent::Kind kind;
  std::string bytes;  // message or control payload
  bool operator==(const Event&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Event& e) { return os << e.kind << ":" << e.bytes.size(); }

// Reads a client byte stream as the connection thread does: append what a read
// delivered, handle every complete frame, drop the consumed bytes. Stops at the
// first protocol error.
std::vector<Event> readStream(const std::string& stream, const std::vector<size_t>& cuts) {
  FrameReader reader;
  std::vector<uint8_t> buffer;
  std::vector<Event> events;
  size_t at = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(stream.size());
  for (size_t end : ends) {
    buffer.insert(buffer.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
                  stream.begin() + static_cast<std::ptrdiff_t>(end));
    at = end;
    size_t pos = 0;
    for (;;) {
      FrameEvent ev = reader.next(buffer.data() + pos, buffer.size() - pos);
      if (ev.kind == FrameEvent::kNeedMore) break;
      pos += ev.consumed;
      Event e{ev.kind, {}};
      if (ev.kind == FrameEvent::kText || ev.kind == FrameEvent::kBinary)
        e.bytes.assign(ev.message.begin(), ev.message.end());
      if (ev.kind == FrameEvent::kPing || ev.kind == FrameEvent::kClose)
        e.bytes.assign(reinterpret_cast<const char*>(ev.payload), ev.payloadSize);
      if (ev.kind != FrameEvent::kNone) events.push_back(e);
      if (ev.kind == FrameEvent::kInvalid) return events;
    }
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(pos));
  }
  return events;
}

std::string bytesOf(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + static_cast<size_t>(seed)) & 0xFF);
  return s;
}

TEST(WebSocketFrame, EncodesShortestLengthForm) {
  struct Case {
    size_t size;
    std::vector<uint8_t> header;
  };
  const Case cases[] = {
      {0, {0x82, 0}},
      {125, {0x82, 125}},
      {126, {0x82, 126, 0, 126}},
      {65535, {0x82, 126, 0xFF, 0xFF}},
      {65536, {0x82, 127, 0, 0, 0, 0, 0, 1, 0, 0}},
      {1 << 20, {0x82, 127, 0, 0, 0, 0, 0, 0x10, 0, 0}},
  };
  for (const Case& c : cases) {
    std::string payload = bytesOf(c.size, 3);
    std::vector<uint8_t> f = encodeFrame(kWsBinary, reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    ASSERT_EQ(f.size(), c.header.size() + c.size) << c.size;
    EXPECT_EQ(std::vector<uint8_t>(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(c.header.size())), c.header);
    EXPECT_EQ(std::string(f.begin() + static_cast<std::ptrdiff_t>(c.header.size()), f.end()), payload);
  }
  EXPECT_EQ(encodeFrame(kWsText, reinterpret_cast<const uint8_t*>("hi"), 2), (std::vector<uint8_t>{0x81, 2, 'h', 'i'}));
  EXPECT_EQ(encodeFrame(kWsClose, nullptr, 0), (std::vector<uint8_t>{0x88, 0}));
}

TEST(WebSocketFrame, CloseEchoKeepsOnlyTheStatus) {
  EXPECT_EQ(closeEchoSize(0), 0u);
  EXPECT_EQ(closeEchoSize(1), 1u);
  EXPECT_EQ(closeEchoSize(2), 2u);
  EXPECT_EQ(closeEchoSize(30), 2u);
}

std::vector<size_t> everyBoundary(size_t size) {
  std::vector<size_t> cuts;
  for (size_t i = 1; i < size; ++i) cuts.push_back(i);
  return cuts;
}

TEST(WebSocketFrame, SameEventsHoweverTheStreamIsSplit) {
  const std::string stream = clientFrame(0x81, "hello") +         // text
                             clientFrame(0x01, "frag") +          // text, first fragment
                             clientFrame(0x89, "ping!") +         // ping between fragments
                             clientFrame(0x00, "ment") +          // continuation
                             clientFrame(0x8A, "pong") +          // pong: ignored
                             clientFrame(0x80, "ed") +            // last fragment
                             clientFrame(0x82, bytesOf(300, 2)) + // 16-bit length form
                             clientFrame(0x82, "") +              // empty binary
                             clientFrame(0xF1, "rsv") +           // reserved bits ignored
                             clientFrame(0x09, "p2") +            // control frame without FIN
                             clientFrame(0x88, "\x03\xE9" "bye"); // close 1001 with a reason
  const std::vector<Event> expected = {
      {FrameEvent::kText, "hello"},  {FrameEvent::kPing, "ping!"}, {FrameEvent::kText, "fragmented"},
      {FrameEvent::kBinary, bytesOf(300, 2)}, {FrameEvent::kBinary, ""},
      {FrameEvent::kText, "rsv"},    {FrameEvent::kPing, "p2"},    {FrameEvent::kClose, "\x03\xE9" "bye"},
  };
  ASSERT_EQ(readStream(stream, {}), expected);
  for (size_t cut = 0; cut <= stream.size(); ++cut) ASSERT_EQ(readStream(stream, {cut}), expected) << cut;
  EXPECT_EQ(readStream(stream, everyBoundary(stream.size())), expected);
}

TEST(WebSocketFrame, LongFormSplitAnywhere) {
  const std::string big = bytesOf(70000, 1);
  const std::string stream = clientFrame(0x02, big) + clientFrame(0x80, "!") + clientFrame(0x81, "next");
  const std::vector<Event> expected = {{FrameEvent::kBinary, big + "!"}, {FrameEvent::kText, "next"}};
  ASSERT_EQ(readStream(stream, {}), expected);
  // Every cut inside the headers at both ends, and a stride through the payload.
  for (size_t cut = 0; cut <= stream.size(); cut += (cut < 20 || cut + 40 > stream.size()) ? 1 : 1009)
    ASSERT_EQ(readStream(stream, {cut}), expected) << cut;
}

TEST(WebSocketFrame, NewMessageReplacesAnUnfinishedOne) {
  std::string stream = clientFrame(0x01, "lost") + clientFrame(0x82, "kept") + clientFrame(0x80, "stray");
  // The stray continuation after a finished message has nothing to continue.
  EXPECT_EQ(readStream(stream, {}),
            (std::vector<Event>{{FrameEvent::kBinary, "kept"}, {FrameEvent::kInvalid, ""}}));
}

TEST(WebSocketFrame, ProtocolErrors) {
  struct Case {
    const char* name;
    std::string stream;
  };
  const Case cases[] = {
      {"unmasked", clientFrame(0x81, "hi", false)},
      {"continuationWithoutMessage", clientFrame(0x80, "x")},
      {"reservedDataOpcode", clientFrame(0x83, "x")},
      {"reservedControlOpcode", clientFrame(0x8B, "x")},
      {"announcesTooMuch", clientFrameHeader(0x82, kMaxFramePayload + 1)},  // refused before any payload
      {"announces2e63", clientFrameHeader(0x82, uint64_t{1} << 63)},
  };
  for (const Case& c : cases) {
    std::vector<Event> ev = readStream(c.stream, {});
    ASSERT_EQ(ev.size(), 1u) << c.name;
    EXPECT_EQ(ev[0].kind, FrameEvent::kInvalid) << c.name;
  }
}

TEST(WebSocketFrame, SpanOfTheFrameAtTheFront) {
  struct Case {
    const char* name;
    std::string bytes;
    size_t span;
  };
  const std::string small = clientFrame(0x81, "ping");
  const std::string medium = clientFrame(0x82, std::string(300, 'm'));
  const std::string large = clientFrame(0x82, std::string(70000, 'l'));
  const Case cases[] = {
      {"empty", "", 14},
      {"oneByte", small.substr(0, 1), 14},
      {"short", small, 2 + 4 + 4},
      {"shortWithMoreBehind", small + medium, 2 + 4 + 4},
      {"sixteenBitCut", medium.substr(0, 3), 14},
      {"sixteenBit", medium.substr(0, 4), 4 + 4 + 300},
      {"sixtyFourBitCut", large.substr(0, 9), 14},
      {"sixtyFourBit", large.substr(0, 10), 10 + 4 + 70000},
      {"announcesTooMuch", clientFrameHeader(0x82, uint64_t{1} << 63), 10 + 4 + kMaxFramePayload},
  };
  for (const Case& c : cases)
    EXPECT_EQ(frameSpan(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()), c.span) << c.name;
}

TEST(WebSocketFrame, LargestFrameAndMessage) {
  FrameReader reader;
  std::string header = clientFrameHeader(0x02, kMaxFramePayload);
  std::vector<uint8_t> buf(header.begin(), header.end());
  EXPECT_EQ(reader.next(buf.data(), buf.size()).kind, FrameEvent::kNeedMore);
  buf.resize(header.size() + kMaxFramePayload, 0x44);  // masks to 0x55, 0x66, 0x77, 0x00
  FrameEvent ev = reader.next(buf.data(), buf.size());
  EXPECT_EQ(ev.kind, FrameEvent::kNone);  // first fragment of a full-size message
  EXPECT_EQ(ev.consumed, buf.size());
  // One more byte would make the message larger than allowed.
  std::string one = clientFrame(0x80, "x");
  std::vector<uint8_t> more(one.begin(), one.end());
  EXPECT_EQ(reader.next(more.data(), more.size()).kind, FrameEvent::kInvalid);

  FrameReader whole;
  std::string h2 = clientFrameHeader(0x82, kMaxFramePayload);
  std::vector<uint8_t> b2(h2.begin(), h2.end());
  b2.resize(h2.size() + kMaxFramePayload, 0x11);  // masks to zero with key byte 0x11 at i % 4 == 0
  FrameEvent full = whole.next(b2.data(), b2.size());
  ASSERT_EQ(full.kind, FrameEvent::kBinary);
  EXPECT_EQ(full.message.size(), kMaxFramePayload);
  EXPECT_EQ(full.message[0], 0);
  EXPECT_EQ(full.message[1], 0x11 ^ 0x22);
}

}  // namespace
}  // namespace bridge

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "engine/midi_parser.h"

namespace bridge {
namespace {

using Bytes = std::vector<uint8_t>;
using Messages = std::vector<Bytes>;

// Feeds each chunk in its own call; returns the messages each call emitted.
std::vector<Messages> feedChunks(MidiParser& parser, const std::vector<Bytes>& chunks) {
  std::vector<Messages> out;
  for (const Bytes& chunk : chunks) {
    Messages got;
    parser.feed(chunk.data(), chunk.size(), [&](const uint8_t* d, size_t n) { got.emplace_back(d, d + n); });
    out.push_back(got);
  }
  return out;
}

Messages feedAll(const Bytes& bytes) {
  MidiParser parser;
  return feedChunks(parser, {bytes})[0];
}

Bytes sysex(size_t dataBytes, uint8_t fill = 0x11) {
  Bytes b{0xF0};
  b.insert(b.end(), dataBytes, fill);
  b.push_back(0xF7);
  return b;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(MidiDataBytes, EveryStatusClass) {
  struct Case {
    int status;
    int expected;
  } cases[] = {
      {0x80, 2}, {0x9F, 2}, {0xA0, 2}, {0xB5, 2}, {0xC0, 1}, {0xCF, 1}, {0xD3, 1}, {0xDF, 1}, {0xE0, 2}, {0xEF, 2},
      {0xF0, -1}, {0xF1, 1}, {0xF2, 2}, {0xF3, 1}, {0xF4, 0}, {0xF6, 0}, {0xF7, 0}, {0xF8, 0}, {0xFF, 0},
      {0x00, 0}, {0x7F, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(midiDataBytes(static_cast<uint8_t>(c.status)), c.expected) << std::hex << c.status;
}

TEST(MidiParser, Table) {
  struct Case {
    const char* what;
    Bytes in;
    Messages out;
  };
  const Case cases[] = {
      {"running status", {0x90, 0x3C, 0x64, 0x3C, 0x00}, {{0x90, 0x3C, 0x64}, {0x90, 0x3C, 0x00}}},
      {"one-data-byte running status", {0xC0, 0x05, 0x06}, {{0xC0, 0x05}, {0xC0, 0x06}}},
      {"channel pressure and pitch bend", {0xD1, 0x40, 0xE2, 0x00, 0x40}, {{0xD1, 0x40}, {0xE2, 0x00, 0x40}}},
      {"system common cancels running status", {0xF2, 0x01, 0x02, 0x03}, {{0xF2, 0x01, 0x02}}},
      {"song select and time code", {0xF3, 0x05, 0xF1, 0x21}, {{0xF3, 0x05}, {0xF1, 0x21}}},
      {"clock inside a message is dropped", {0x90, 0x3C, 0xF8, 0x64}, {{0x90, 0x3C, 0x64}}},
      {"start inside a message comes first", {0x90, 0x3C, 0xFA, 0x64}, {{0xFA}, {0x90, 0x3C, 0x64}}},
      {"real-time bytes", {0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF},
       {{0xF9}, {0xFA}, {0xFB}, {0xFC}, {0xFD}, {0xFF}}},
      {"real-time keeps running status", {0x90, 0x3C, 0x64, 0xFC, 0x3C, 0x00},
       {{0x90, 0x3C, 0x64}, {0xFC}, {0x90, 0x3C, 0x00}}},
      {"tune request at once", {0xF6}, {{0xF6}}},
      {"undefined system common at once", {0xF4, 0xF5}, {{0xF4}, {0xF5}}},
      {"tune request cancels running status", {0x90, 0x3C, 0x64, 0xF6, 0x3C, 0x00}, {{0x90, 0x3C, 0x64}, {0xF6}}},
      {"data without status", {0x3C, 0x64, 0x00}, {}},
      {"stray end of exclusive", {0xF7}, {}},
      {"stray end of exclusive drops the unfinished message", {0x90, 0x3C, 0xF7, 0x64, 0x00}, {{0x90, 0x64, 0x00}}},
      {"interrupted message", {0x90, 0x3C, 0x80, 0x3C, 0x40}, {{0x80, 0x3C, 0x40}}},
      {"interrupted system exclusive", {0xF0, 0x01, 0x02, 0x90, 0x3C, 0x64}, {{0x90, 0x3C, 0x64}}},
      {"system exclusive with real-time inside", {0xF0, 0x01, 0xF8, 0xFA, 0x02, 0xF7}, {{0xFA}, {0xF0, 0x01, 0x02, 0xF7}}},
      {"empty system exclusive", {0xF0, 0xF7}, {{0xF0, 0xF7}}},
      {"system exclusive cancels running status", {0x90, 0x3C, 0x64, 0xF0, 0x01, 0xF7, 0x3C, 0x00},
       {{0x90, 0x3C, 0x64}, {0xF0, 0x01, 0xF7}}},
      {"largest system exclusive", sysex(1022), {sysex(1022)}},
      {"one byte too long", sysex(1023), {}},
      {"after a too-long one", concat({sysex(1500), sysex(2)}), {sysex(2)}},
      {"too-long one interrupted", concat({Bytes{0xF0}, Bytes(1100, 0x01), Bytes{0x90, 0x3C, 0x64}}),
       {{0x90, 0x3C, 0x64}}},
  };
  for (const Case& c : cases) EXPECT_EQ(feedAll(c.in), c.out) << c.what;
}

TEST(MidiParser, MessageSplitAcrossCallsIsEmittedByTheLaterCall) {
  MidiParser parser;
  const auto got = feedChunks(parser, {{0x90}, {0x3C}, {0x64, 0x3C}, {0x00}, {0xF0, 0x01}, {0x02, 0xF7}});
  const std::vector<Messages> expected = {
      {}, {}, {{0x90, 0x3C, 0x64}}, {{0x90, 0x3C, 0x00}}, {}, {{0xF0, 0x01, 0x02, 0xF7}}};
  EXPECT_EQ(got, expected);
}

// A stream that hits every branch often: channel and system messages with and
// without running status, real-time bytes anywhere, stray bytes, and
// system-exclusive runs around the length limit.
Bytes randomStream(std::mt19937& rng, size_t minLength) {
  Bytes out;
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  while (out.size() < minLength) {
    switch (pick(10)) {
      case 0:
      case 1:
      case 2:
        out.push_back(static_cast<uint8_t>(0x80 + pick(0x70)));
        break;
      case 3:
      case 4:
      case 5:
        out.push_back(static_cast<uint8_t>(pick(0x80)));
        break;
      case 6:
        out.push_back(static_cast<uint8_t>(0xF1 + pick(0x0F)));  // system and real-time, 0xF1..0xFF
        break;
      case 7: {
        const size_t n = pick(4) == 0 ? 1018 + pick(10) : pick(40);
        out.push_back(0xF0);
        for (size_t i = 0; i < n; ++i) {
          if (pick(50) == 0) out.push_back(static_cast<uint8_t>(0xF8 + pick(8)));  // real-time, not counted
          out.push_back(static_cast<uint8_t>(pick(0x80)));
        }
        if (pick(5) != 0) out.push_back(0xF7);
        break;
      }
      default:
        for (uint32_t i = pick(8); i > 0; --i) out.push_back(static_cast<uint8_t>(pick(0x80)));
        break;
    }
  }
  return out;
}

// Every emitted message must be one well-formed message.
void expectWellFormed(const Messages& messages) {
  for (const Bytes& m : messages) {
    ASSERT_FALSE(m.empty());
    const uint8_t s = m[0];
    ASSERT_GE(s, 0x80);
    if (s == 0xF0) {
      ASSERT_GE(m.size(), 2u);
      ASSERT_LE(m.size(), MidiParser::kMaxSysex);
      ASSERT_EQ(m.back(), 0xF7);
      for (size_t i = 1; i + 1 < m.size(); ++i) ASSERT_LT(m[i], 0x80);
    } else {
      ASSERT_NE(s, 0xF7);
      ASSERT_NE(s, 0xF8);
      ASSERT_NE(s, 0xFE);
      ASSERT_EQ(m.size(), static_cast<size_t>(midiDataBytes(s)) + 1);
      for (size_t i = 1; i < m.size(); ++i) ASSERT_LT(m[i], 0x80);
    }
  }
}

TEST(MidiParser, SameMessagesHoweverTheStreamIsCut) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 200; ++round) {
    const Bytes stream = randomStream(rng, 64 + rng() % 4000);
    const Messages whole = feedAll(stream);

    MidiParser byteWise;
    Messages single;
    for (uint8_t b : stream)
      byteWise.feed(&b, 1, [&](const uint8_t* d, size_t n) { single.emplace_back(d, d + n); });
    ASSERT_EQ(single, whole) << "round " << round;

    MidiParser chunked;
    Messages pieces;
    for (size_t at = 0; at < stream.size();) {
      const size_t n = std::min<size_t>(stream.size() - at, rng() % 300);
      chunked.feed(stream.data() + at, n, [&](const uint8_t* d, size_t len) { pieces.emplace_back(d, d + len); });
      at += n;
    }
    ASSERT_EQ(pieces, whole) << "round " << round;
    expectWellFormed(whole);
  }
}

}  // namespace
}  // namespace bridge

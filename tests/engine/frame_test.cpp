#include "engine/frame.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "support/audio_frames.h"

namespace bridge {
namespace {

using test::FrameSpec;
using test::getLe;
using test::makeFrame;
using test::putLe;

TEST(FrameParse, RejectsEveryMalformedFrame) {
  const std::vector<uint8_t> good = makeFrame(FrameSpec{}, 16);
  struct Case {
    std::string name;
    std::vector<uint8_t> bytes;
  };
  auto edited = [&](auto edit) {
    std::vector<uint8_t> b = good;
    edit(b);
    return b;
  };
  const std::vector<Case> cases = {
      {"empty", {}},
      {"63 bytes", std::vector<uint8_t>(good.begin(), good.begin() + 63)},
      {"kind 2", edited([](auto& b) { b[0] = 2; })},
      {"kind 0", edited([](auto& b) { b[0] = 0; })},
      {"channels 1", edited([](auto& b) { b[1] = 1; })},
      {"frames 0", edited([](auto& b) { putLe<int32_t>(b, 12, 0); })},
      {"frames -1", edited([](auto& b) { putLe<int32_t>(b, 12, -1); })},
      {"frames 4097", makeFrame(FrameSpec{}, 4097)},
      {"frames INT32_MIN", edited([](auto& b) { putLe<int32_t>(b, 12, std::numeric_limits<int32_t>::min()); })},
      {"one byte short", std::vector<uint8_t>(good.begin(), good.end() - 1)},
      {"one byte long", edited([](auto& b) { b.push_back(0); })},
      {"frames says 17", edited([](auto& b) { putLe<int32_t>(b, 12, 17); })},
      {"header only", std::vector<uint8_t>(good.begin(), good.begin() + 64)},
  };
  for (const Case& c : cases) {
    FrameHeader header;
    header.epoch = 77;
    EXPECT_FALSE(parseInputFrame(c.bytes.data(), c.bytes.size(), header)) << c.name;
    EXPECT_EQ(header.epoch, 77) << c.name << ": header touched";
  }
}

TEST(FrameParse, AcceptsAndReadsEveryField) {
  FrameSpec s;
  s.stream = 0xBEEF;
  s.epoch = -5;
  s.position = 123456;
  s.flags = 0xFFFF0003u;
  s.timeSigNumerator = 7;
  s.timeSigDenominator = 8;
  s.spare = 99;
  s.timelineSample = 1e9 + 0.5;
  s.tempo = 97.25;
  for (int frames : {1, 128, 4096}) {
    std::vector<uint8_t> b = makeFrame(s, frames);
    FrameHeader h;
    ASSERT_TRUE(parseInputFrame(b.data(), b.size(), h)) << frames;
    EXPECT_EQ(h.stream, 0xBEEF);
    EXPECT_EQ(h.epoch, -5);
    EXPECT_EQ(h.position, 123456);
    EXPECT_EQ(h.frames, frames);
    EXPECT_EQ(h.flags, 0xFFFF0003u);
    EXPECT_EQ(h.timeSigNumerator, 7);
    EXPECT_EQ(h.timeSigDenominator, 8);
    EXPECT_EQ(h.spare, 99);
    EXPECT_EQ(h.timelineSample, 1e9 + 0.5);
    EXPECT_EQ(h.tempo, 97.25);
  }
  EXPECT_EQ(makeFrame(s, 4096).size(), 32832u);
}

TEST(FrameParse, BlockSizeForTheRealtimeLayer) {
  std::vector<uint8_t> b = makeFrame(FrameSpec{}, 256);
  EXPECT_EQ(frameBlockSize(b.data(), b.size()), 256);
  EXPECT_EQ(frameBlockSize(b.data(), 63), 1024);
  putLe<int32_t>(b, 12, 0);
  EXPECT_EQ(frameBlockSize(b.data(), b.size()), 1024);
  putLe<int32_t>(b, 12, 4097);
  EXPECT_EQ(frameBlockSize(b.data(), b.size()), 1024);
  // Only the count is read: a frame that fails other checks still sizes the block.
  putLe<int32_t>(b, 12, 32);
  b[0] = 9;
  EXPECT_EQ(frameBlockSize(b.data(), b.size()), 32);
}

TEST(FrameTransport, AppliesDefaultsOnlyWhereValuesMeanNothing) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double tempo;
    int32_t num, den;
    uint32_t flags;
    double wantTempo;
    int32_t wantNum, wantDen;
    bool playing, looping;
  };
  const Case cases[] = {
      {140.0, 3, 8, 0, 140.0, 3, 8, false, false},
      {0.0, 0, 0, 1, 120.0, 4, 4, true, false},
      {-90.0, -3, -1, 2, 120.0, 4, 4, false, true},
      {nan, 5, 4, 3, 120.0, 5, 4, true, true},
      {-nan, 5, 4, 0xFFFFFFFCu, 120.0, 5, 4, false, false},
      {inf, 6, 8, 0, 120.0, 6, 8, false, false},
      {-inf, 6, 8, 0, 120.0, 6, 8, false, false},
      {1e-300, 4, 4, 0, 1e-300, 4, 4, false, false},
  };
  for (const Case& c : cases) {
    FrameHeader h;
    h.tempo = c.tempo;
    h.timeSigNumerator = c.num;
    h.timeSigDenominator = c.den;
    h.flags = c.flags;
    h.timelineSample = -12.5;
    Transport t = transportFor(h, 44100.0);
    EXPECT_EQ(t.tempo, c.wantTempo) << c.tempo;
    EXPECT_EQ(t.timeSigNumerator, c.wantNum);
    EXPECT_EQ(t.timeSigDenominator, c.wantDen);
    EXPECT_EQ(t.playing, c.playing);
    EXPECT_EQ(t.looping, c.looping);
    EXPECT_EQ(t.timelineSample, -12.5);
    EXPECT_EQ(t.sampleRate, 44100.0);
  }
}

TEST(FrameOutput, SwallowsTheLatencyOfEachRun) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  struct Case {
    int32_t reset, latency, position, want;
  };
  const Case cases[] = {
      {0, 0, 0, 0},
      {0, 1000, 0, 1000},
      {0, 1000, 512, 488},
      {0, 1000, 768, 232},
      {0, 1000, 1024, 0},
      {0, 1000, 5000, 0},
      {100, 64, 100, 64},
      // A run that starts just before the 32-bit timeline wraps.
      {kMax - 10, 100, kMax - 10, 100},
      {kMax - 10, 100, wrapAdd(kMax - 10, 64), 36},
      {kMax - 10, 100, wrapAdd(kMax - 10, 128), 0},
      {kMin, 0, kMin, 0},
      {kMax, 1, kMin, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(swallowedSamples(c.reset, c.latency, c.position), c.want)
        << c.reset << " + " << c.latency << " - " << c.position;
}

TEST(FrameOutput, WritesTheOutputFrameByteForByte) {
  FrameSpec s;
  s.stream = 513;
  s.epoch = 9;
  s.position = 768;
  s.flags = 0xA5A5A5A5u;
  s.timeSigNumerator = -1;
  s.timeSigDenominator = 0;
  s.spare = -7;
  s.timelineSample = std::numeric_limits<double>::quiet_NaN();
  s.tempo = 0.0;
  for (int i = 0; i < 16; ++i) s.opaque[i] = static_cast<uint8_t>(0xF0 + i);
  std::vector<float> left(256), right(256);
  for (int i = 0; i < 256; ++i) {
    left[i] = static_cast<float>(i);
    right[i] = -static_cast<float>(i);
  }
  const std::vector<uint8_t> input = makeFrame(s, left, right);
  FrameHeader h;
  ASSERT_TRUE(parseInputFrame(input.data(), input.size(), h));

  // Latency 1000 from a run at 0: 232 samples of this block are swallowed.
  const int32_t d = swallowedSamples(0, 1000, h.position);
  ASSERT_EQ(d, 232);
  std::vector<uint8_t> out = input;
  std::vector<float> processedL = left, processedR = right;
  for (float& v : processedL) v *= 2.0f;
  for (float& v : processedR) v *= 2.0f;
  const size_t n = writeOutputFrame(out.data(), h, 1000, d, processedL.data(), processedR.data());
  ASSERT_EQ(n, outputFrameBytes(256, d));
  ASSERT_EQ(n, 64u + 8u * 24u);
  out.resize(n);

  std::vector<uint8_t> want(n);
  want[0] = 2;
  want[1] = 2;
  putLe<uint16_t>(want, 2, 513);
  putLe<int32_t>(want, 4, 9);
  putLe<int32_t>(want, 8, 0);  // 768 - 1000 + 232
  putLe<int32_t>(want, 12, 24);
  std::copy(input.begin() + 16, input.begin() + 64, want.begin() + 16);
  for (int i = 0; i < 24; ++i) {
    putLe<float>(want, 64 + 4 * i, 2.0f * static_cast<float>(232 + i));
    putLe<float>(want, 64 + 96 + 4 * i, -2.0f * static_cast<float>(232 + i));
  }
  EXPECT_EQ(out, want);
}

TEST(FrameOutput, NothingLeftMeansNoFrame) {
  std::vector<uint8_t> input = makeFrame(FrameSpec{}, 256);
  FrameHeader h;
  ASSERT_TRUE(parseInputFrame(input.data(), input.size(), h));
  std::vector<float> l(256), r(256);
  EXPECT_EQ(writeOutputFrame(input.data(), h, 1000, 256, l.data(), r.data()), 0u);
  EXPECT_EQ(input[0], 1) << "frame untouched";
  EXPECT_EQ(outputFrameBytes(256, 300), 0u);
  EXPECT_EQ(outputFrameBytes(256, 0), 64u + 2048u);
}

TEST(FrameOutput, PositionWrapsInsteadOfOverflowing) {
  FrameSpec s;
  s.position = std::numeric_limits<int32_t>::min() + 10;
  std::vector<uint8_t> input = makeFrame(s, 32);
  FrameHeader h;
  ASSERT_TRUE(parseInputFrame(input.data(), input.size(), h));
  std::vector<float> l(32), r(32);
  ASSERT_GT(writeOutputFrame(input.data(), h, 64, 0, l.data(), r.data()), 0u);
  EXPECT_EQ(getLe<int32_t>(input, 8), std::numeric_limits<int32_t>::max() - 53);
}

}  // namespace
}  // namespace bridge

// Late dropping against a worker held inside its output callback, with a clock
// the test sets, so ages are exact.
#include <gtest/gtest.h>

#include "chain_rig.h"
#include "engine/chain.h"

namespace bridge {
namespace {

using test::ChainRig;
using test::FakePluginOptions;
using test::FrameSpec;
using test::makeFrame;
using test::makeSlot;
using test::TestSlot;

TEST(ChainLate, DropsOnlyOldFramesAndNeverTheNewest) {
  struct Case {
    const char* name;
    bool dropLate;
    int latency;
    std::vector<double> ages;  // of the frames queued behind the held one, oldest first
    int dropped;               // always the oldest ones
  };
  const Case cases[] = {
      {"older than 1000 ms", true, 0, {1001, 1001, 5}, 2},
      {"the newest is kept however late", true, 0, {2000, 2000, 2000}, 2},
      {"1000 ms is not late yet", true, 0, {1000, 1000, 0}, 0},
      {"a lone late frame is kept", true, 0, {5000}, 0},
      {"latency 4800 at 48 kHz allows 1100 ms", true, 4800, {1100, 1100, 0}, 0},
      {"past 1100 ms with latency 4800", true, 4800, {1101, 1101, 1101}, 2},
      {"never for a render track", false, 0, {5000, 5000, 5000}, 0},
  };
  constexpr int kBlock = 4096;
  constexpr double kNow = 10000.0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChainRig::Options options;
    options.dropLate = c.dropLate;
    ChainRig rig(options);
    FakePluginOptions o;
    o.latency = c.latency;
    o.maxLatency = 8192;
    TestSlot a = makeSlot("a", o);
    rig.setSlots({a});

    // Hold the worker in the callback of the run's first output.
    rig.closeGate();
    int32_t next = 0;
    const int prefix = c.latency / kBlock + 1;
    for (int i = 0; i < prefix; ++i, next += kBlock) rig.push(makeFrame(FrameSpec{.position = next}, kBlock));
    ASSERT_TRUE(rig.waitHeld());

    // Frames expected to be dropped carry positions that would break the run, so
    // a wrong choice shows up as missing output.
    for (size_t i = 0; i < c.ages.size(); ++i) {
      rig.clock = kNow - c.ages[i];
      int32_t position = 77;
      if (static_cast<int>(i) >= c.dropped) {
        position = next;
        next += kBlock;
      }
      rig.push(makeFrame(FrameSpec{.position = position}, kBlock));
    }
    EXPECT_EQ(rig.chain().backlog(), c.ages.size());
    rig.clock = kNow;
    rig.openGate();

    const size_t kept = c.ages.size() - static_cast<size_t>(c.dropped);
    ASSERT_TRUE(rig.waitOutputs(1 + kept));
    std::vector<test::OutputFrame> out = rig.decoded();
    ASSERT_EQ(out.size(), 1 + kept);
    for (size_t i = 1; i < out.size(); ++i) EXPECT_EQ(out[i].position, out[i - 1].position + out[i - 1].frames);
    ChainStats stats = rig.chain().takeStats();
    EXPECT_EQ(stats.late, c.dropped);
    EXPECT_EQ(stats.resets, 1);
    EXPECT_EQ(rig.chain().backlog(), 0u);
  }
}

}  // namespace
}  // namespace bridge

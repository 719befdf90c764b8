// A chain's queue is bounded in bytes: a live chain sheds its oldest frames, a
// render chain keeps every frame and asks its feeder to wait. Render chains run
// without real-time treatment.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "chain_rig.h"
#include "engine/chain.h"
#include "support/fake_realtime_scheduler.h"

namespace bridge {
namespace {

using test::ChainRig;
using test::FrameSpec;
using test::makeFrame;

constexpr int kBlock = 1024;

size_t frameBytes() { return makeFrame(FrameSpec{}, kBlock).size(); }

struct Signals {
  std::mutex mutex;
  std::vector<bool> calls;
  std::function<void(bool)> hook() {
    return [this](bool full) {
      std::lock_guard<std::mutex> lock(mutex);
      calls.push_back(full);
    };
  }
  std::vector<bool> taken() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
};

TEST(ChainBounds, PastTheByteBoundALiveChainDropsItsOldestFramesAsLate) {
  ChainRig::Options options;
  options.maxQueueBytes = 4 * frameBytes();
  ChainRig rig(options);
  rig.closeGate();
  rig.push(makeFrame(FrameSpec{.position = 0}, kBlock));
  ASSERT_TRUE(rig.waitHeld());
  // Ten behind the held one, all fresh: the bound alone decides. Dropped ones
  // carry positions that would show up as a broken run.
  for (int i = 0; i < 10; ++i) {
    const int32_t position = i < 6 ? 99 : kBlock * (i - 5);
    rig.push(makeFrame(FrameSpec{.position = position}, kBlock));
  }
  EXPECT_EQ(rig.chain().backlog(), 4u);
  rig.openGate();
  ASSERT_TRUE(rig.waitOutputs(5));
  std::vector<test::OutputFrame> out = rig.decoded();
  ASSERT_EQ(out.size(), 5u);
  for (size_t i = 1; i < out.size(); ++i) EXPECT_EQ(out[i].position, out[i - 1].position + kBlock);
  ChainStats stats = rig.chain().takeStats();
  EXPECT_EQ(stats.late, 6);
  EXPECT_EQ(stats.resets, 1);
}

TEST(ChainBounds, ARenderChainKeepsEveryFrameAndSignalsFullThenRoom) {
  Signals signals;
  ChainRig::Options options;
  options.dropLate = false;
  options.maxQueueBytes = 4 * frameBytes();
  options.backPressure = signals.hook();
  ChainRig rig(options);
  rig.closeGate();
  rig.push(makeFrame(FrameSpec{.position = 0}, kBlock));
  ASSERT_TRUE(rig.waitHeld());
  for (int i = 1; i <= 10; ++i) rig.push(makeFrame(FrameSpec{.position = kBlock * i}, kBlock));
  // Full once, however far past the bound the feeder went.
  EXPECT_EQ(signals.taken(), std::vector<bool>{true});
  EXPECT_EQ(rig.chain().backlog(), 10u);
  rig.openGate();
  ASSERT_TRUE(rig.waitOutputs(11));
  EXPECT_EQ(signals.taken(), (std::vector<bool>{true, false}));
  std::vector<test::OutputFrame> out = rig.decoded();
  ASSERT_EQ(out.size(), 11u);
  for (size_t i = 1; i < out.size(); ++i) EXPECT_EQ(out[i].position, out[i - 1].position + kBlock);
  EXPECT_EQ(rig.chain().takeStats().late, 0);
}

TEST(ChainBounds, ARenderChainDestroyedWhileFullReleasesItsFeeder) {
  Signals signals;
  ChainRig::Options options;
  options.dropLate = false;
  options.maxQueueBytes = 2 * frameBytes();
  options.backPressure = signals.hook();
  ChainRig rig(options);
  rig.closeGate();
  rig.push(makeFrame(FrameSpec{.position = 0}, kBlock));
  ASSERT_TRUE(rig.waitHeld());
  for (int i = 1; i <= 3; ++i) rig.push(makeFrame(FrameSpec{.position = kBlock * i}, kBlock));
  EXPECT_EQ(signals.taken(), std::vector<bool>{true});
  std::thread opener([&] { rig.openGate(); });
  rig.destroy();
  opener.join();
  const std::vector<bool> calls = signals.taken();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_FALSE(calls.back());
}

TEST(ChainBounds, OnlyLiveChainsGetRealTimeTreatment) {
  for (bool dropLate : {true, false}) {
    SCOPED_TRACE(dropLate ? "live" : "render");
    test::FakeRealtimeScheduler scheduler;
    {
      ChainRig::Options options;
      options.dropLate = dropLate;
      options.scheduler = &scheduler;
      ChainRig rig(options);
      rig.push(makeFrame(FrameSpec{.position = 0}, kBlock));
      ASSERT_TRUE(rig.waitOutputs(1));
    }
    bool policy = false, interactive = false;
    for (const auto& call : scheduler.calls()) {
      policy |= call.what == "policy";
      interactive |= call.what == "interactive";
    }
    EXPECT_EQ(policy, dropLate);
    EXPECT_EQ(interactive, !dropLate);
  }
}

}  // namespace
}  // namespace bridge

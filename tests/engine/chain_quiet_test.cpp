// A chain that goes quiet stops its plug-ins' processing on its worker and
// starts it again before the next block.
#include <gtest/gtest.h>

#include <thread>

#include "chain_rig.h"

namespace bridge {
namespace {

using test::at;
using test::ChainRig;
using test::makeFrame;
using test::makeSlot;
using test::TestSlot;

TEST(ChainQuiet, PluginsStopOnTheWorkerWhenQuietAndStartBeforeTheNextBlock) {
  ChainRig rig;
  std::vector<TestSlot> slots = {makeSlot("a"), makeSlot("b")};
  rig.setSlots(slots);
  rig.push(makeFrame(at(0), 64));
  ASSERT_TRUE(rig.waitOutputs(1));

  for (const TestSlot& t : slots) {
    SCOPED_TRACE(t.slot->key);
    ASSERT_TRUE(t.plugin->waitStopCalls(1)) << "no stop " << Chain::kQuietTime.count() << " ms after the block";
    EXPECT_EQ(t.plugin->stopThread.load(), t.plugin->processThread.load()) << "stopped on the worker";
    EXPECT_NE(t.plugin->stopThread.load(), std::this_thread::get_id());
    EXPECT_GT(t.plugin->lastStopStep.load(), t.plugin->lastProcessStep.load());
  }

  // A slot installed while the chain is quiet starts with the others.
  slots.push_back(makeSlot("c"));
  rig.setSlots(slots);
  std::vector<int> stoppedAt;
  for (const TestSlot& t : slots) {
    // A quiet chain waits for its next block without stopping again.
    EXPECT_EQ(t.plugin->stopCalls.load(), t.slot->key == "c" ? 0 : 1);
    EXPECT_EQ(t.plugin->startCalls.load(), 0);
    stoppedAt.push_back(t.plugin->lastStopStep.load());
  }
  rig.push(makeFrame(at(64), 64));
  ASSERT_TRUE(rig.waitOutputs(2));
  for (size_t i = 0; i < slots.size(); ++i) {
    const TestSlot& t = slots[i];
    SCOPED_TRACE(t.slot->key);
    EXPECT_EQ(t.plugin->startCalls.load(), 1);
    EXPECT_GT(t.plugin->lastStartStep.load(), stoppedAt[i]);
    EXPECT_LT(t.plugin->lastStartStep.load(), t.plugin->lastProcessStep.load()) << "started before the block";
    EXPECT_EQ(t.plugin->processThread.load(), slots[0].plugin->processThread.load());
  }
  // The quiet did not end the stream's run: the block continued it.
  EXPECT_EQ(slots[0].plugin->resetCalls.load(), 1);
  EXPECT_EQ(slots[0].plugin->framesProcessed.load(), 128);
}

}  // namespace
}  // namespace bridge

// The CLAP plug-in wrapper against a plug-in that enforces its thread and
// lifecycle rules: edits that reach it with no audio, restarts for a new
// latency, audio-thread requests and logs, stopping on the chain's worker (when
// plug-ins leave it, when it shuts down and when it goes quiet), and scratch
// buffers of their own for extra ports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "clap_strict_fixture.h"
#include "engine/chain.h"
#include "support/audio_frames.h"

namespace bridge::test {
namespace {

using ClapRulesTest = ClapStrictFixture;

TEST_F(ClapRulesTest, EditsWithoutAudioReachTheSavedStateMergedPerParameter) {
  struct Case {
    const char* name;
    int blocksFirst;  // blocks before the edits: the plug-in is then processing
  };
  for (const Case c : {Case{"never processed", 0}, Case{"processed before", 2}}) {
    SCOPED_TRACE(c.name);
    auto p = strict("effect");
    if (c.blocksFirst) runOnAudioThread(*p, c.blocksFirst);
    const KrevloClapStrictRecord before = strictRecord();
    // Many moves of one knob while no audio flows; the last one counts.
    for (int i = 1; i <= 50; ++i) p->setParam(0, i / 62.5f);
    const std::vector<uint8_t> blob = p->getState();
    const KrevloClapStrictRecord after = strictRecord();
    EXPECT_EQ(after.flushEvents - before.flushEvents, 1);
    EXPECT_EQ(after.blocks, before.blocks);

    auto q = strict("effect");
    ASSERT_TRUE(q->setState(blob));
    float value = 0.0f;
    std::string text;
    ASSERT_TRUE(q->getParam(0, value, text));
    EXPECT_FLOAT_EQ(value, 0.8f);
    EXPECT_EQ(text, "0.80");
    queue.drain();  // the idle flush jobs find nothing left to deliver
    EXPECT_EQ(strictRecord().flushEvents, after.flushEvents);
  }
}

TEST_F(ClapRulesTest, EditsThatWaitWithNoBlockAreFlushedFromTheMainQueue) {
  auto p = strict("effect");
  p->setParam(0, 0.5f);
  p->setParam(0, 0.75f);
  EXPECT_EQ(queue.pending(), 1u);  // one job for any number of edits
  queue.drain();
  const KrevloClapStrictRecord r = strictRecord();
  EXPECT_EQ(r.flushEvents, 1);
  EXPECT_EQ(r.blocks, 0);

  // The plug-in's own request is answered while idle, too.
  const clap_host_t* h = strictHost();
  auto params = static_cast<const clap_host_params_t*>(h->get_extension(h, CLAP_EXT_PARAMS));
  params->request_flush(h);
  queue.drain();
  EXPECT_EQ(strictRecord().flushes, r.flushes + 1);
}

TEST_F(ClapRulesTest, LatencyChangeRestartsThePluginAndKeepsItsValues) {
  struct Case {
    const char* name;
    bool audio;  // blocks run: the request comes from the audio thread
  };
  for (const Case c : {Case{"idle", false}, Case{"with audio", true}}) {
    SCOPED_TRACE(c.name);
    auto p = strict("effect");
    int latencyCalls = 0;
    p->latencyChanged = [&] { ++latencyCalls; };
    EXPECT_EQ(p->latencySamples(), 4);
    const KrevloClapStrictRecord before = strictRecord();
    p->setParam(0, 0.5f);
    p->setParam(1, 0.25f);  // 16 samples
    if (c.audio) runOnAudioThread(*p, 2);
    ASSERT_TRUE(drainUntil([&] { return latencyCalls > 0; }));
    queue.drain();
    EXPECT_EQ(latencyCalls, 1);
    EXPECT_EQ(p->latencySamples(), 16);
    const KrevloClapStrictRecord after = strictRecord();
    EXPECT_EQ(after.deactivates - before.deactivates, 1);
    EXPECT_EQ(after.activates - before.activates, 1);
    float level = 0.0f;
    std::string text;
    ASSERT_TRUE(p->getParam(0, level, text));
    EXPECT_FLOAT_EQ(level, 0.5f);
    // Processing starts again with the next block.
    runOnAudioThread(*p, 1);
    EXPECT_EQ(strictRecord().starts - after.starts, 1);
  }
}

TEST_F(ClapRulesTest, AudioThreadRequestsAndLogsCoalesceIntoOneMainJob) {
  auto p = strict("effect");
  ::testing::internal::CaptureStderr();
  runOnAudioThread(*p, 10);  // each block asks for a callback; the first logs
  const std::string printedMeanwhile = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(printedMeanwhile, "");
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(drainUntil([&] { return strictRecord().onMainThreadCalls > 0; }));
  queue.drain();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[clap] strict plug-in: first block\n");
  EXPECT_EQ(strictRecord().onMainThreadCalls, 1);
}

TEST_F(ClapRulesTest, ExtraPortsDoNotShareBuffers) {
  auto p = strict("sidechain");
  runOnAudioThread(*p, 3);
  const KrevloClapStrictRecord r = strictRecord();
  EXPECT_EQ(r.blocks, 3);
  EXPECT_EQ(r.sidePeak, 0.0f);  // the aux output wrote 1.0 every block
}

// A chain whose released slot lists land in `released`, as the owner's main
// thread would receive them.
struct StrictChain {
  std::mutex mutex;
  std::vector<SlotList> released;
  std::atomic<int> outputs{0};
  std::unique_ptr<Chain> chain;

  StrictChain() {
    ChainHooks hooks;
    hooks.release = [this](SlotList list) {
      std::lock_guard<std::mutex> lock(mutex);
      released.push_back(std::move(list));
    };
    chain = std::make_unique<Chain>(1, 48000.0, [this](std::vector<uint8_t>) { ++outputs; }, false,
                                    std::move(hooks));
  }
  bool pushAndWait(int count) {
    const int target = outputs.load() + count;
    FrameSpec spec;
    for (int i = 0; i < count; ++i) {
      spec.position = 64 * (outputs.load() + i);
      chain->push(makeFrame(spec, 64, 0.5f));
    }
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (outputs.load() < target)
      if (std::chrono::steady_clock::now() > limit) return false;
      else std::this_thread::yield();
    return true;
  }
};

TEST_F(ClapRulesTest, TheChainsWorkerStopsPluginsItRetiresOrShutsDownWith) {
  for (const bool shutdown : {false, true}) {
    SCOPED_TRACE(shutdown ? "shutdown" : "retired");
    const KrevloClapStrictRecord before = strictRecord();
    auto slot = std::make_shared<Slot>();
    slot->key = "s";
    slot->plugin = std::shared_ptr<Plugin>(strict("effect"));
    StrictChain rig;
    rig.chain->setSlots({slot});
    ASSERT_TRUE(rig.pushAndWait(2));
    if (shutdown)
      rig.chain.reset();
    else
      rig.chain->setSlots({});
    const KrevloClapStrictRecord stopped = strictRecord();
    EXPECT_EQ(stopped.stops - before.stops, 1);
    EXPECT_EQ(stopped.stopsOffProcessThread, before.stopsOffProcessThread);
    // Destroyed here, on the main thread, already stopped.
    rig.chain.reset();
    rig.released.clear();
    slot.reset();
    EXPECT_EQ(strictRecord().destroys - before.destroys, 1);
    EXPECT_EQ(strictRecord().stops, stopped.stops);
  }
}

// The smooth plug-in's level as its saved state holds it; NaN without one.
double savedLevel(Plugin& p) {
  const std::vector<uint8_t> blob = p.getState();
  double level = NAN;
  if (blob.size() >= 4 + sizeof level) std::memcpy(&level, blob.data() + 4, sizeof level);
  return level;
}

TEST_F(ClapRulesTest, AnEditAfterTheAudioStopsReachesTheStateOfAPluginThatSmoothsIt) {
  struct Case {
    const char* name;
    bool waitForQuiet;  // edit once the chain has stopped the plug-in, else at once
  };
  const double want = 0.8f;
  for (const Case c : {Case{"edit as the audio stops", false}, Case{"edit once the chain is quiet", true}}) {
    SCOPED_TRACE(c.name);
    const KrevloClapStrictRecord before = strictRecord();
    auto slot = std::make_shared<Slot>();
    slot->key = "s";
    slot->plugin = std::shared_ptr<Plugin>(strict("smooth"));
    Plugin& p = *slot->plugin;
    StrictChain rig;
    rig.chain->setSlots({slot});
    ASSERT_TRUE(rig.pushAndWait(3));
    if (c.waitForQuiet) {
      ASSERT_TRUE(drainUntil([&] { return strictRecord().stops > before.stops; }));
    }
    p.setParam(0, static_cast<float>(want));
    // No further audio: the quiet chain's stop settles the edit, whenever it
    // reached the plug-in.
    EXPECT_TRUE(drainUntil([&] { return std::fabs(savedLevel(p) - want) < 1e-9; })) << savedLevel(p);
    const KrevloClapStrictRecord after = strictRecord();
    EXPECT_EQ(after.blocks - before.blocks, 3);
    EXPECT_EQ(after.stops - before.stops, 1);
    EXPECT_EQ(after.stopsOffProcessThread, before.stopsOffProcessThread);

    // The next block starts it again and carries on from the edit.
    ASSERT_TRUE(rig.pushAndWait(1));
    EXPECT_EQ(strictRecord().starts - after.starts, 1);
    EXPECT_NEAR(savedLevel(p), want, 1e-9);
    rig.chain.reset();
    rig.released.clear();
    slot.reset();
  }
}

}  // namespace
}  // namespace bridge::test

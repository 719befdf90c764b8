#include "engine/chain.h"

#include <gtest/gtest.h>

#include <climits>
#include <thread>

#include "chain_rig.h"
#include "support/fake_realtime_scheduler.h"

namespace bridge {
namespace {

using test::ChainRig;
using test::FakePluginOptions;
using test::at;
using test::FrameSpec;
using test::joinOutputs;
using test::makeFrame;
using test::makeSlot;
using test::TestSlot;

TEST(Chain, WithoutSlotsEchoesEveryFrameByteForByte) {
  ChainRig rig;
  std::vector<std::vector<uint8_t>> sent;
  for (int i = 0; i < 3; ++i) {
    FrameSpec s = at(i * 100);
    s.stream = 7;
    s.epoch = 3;
    s.flags = 0xDEADBEEFu;
    s.timeSigNumerator = 0;
    s.spare = -1;
    s.timelineSample = 1234.5 + i;
    s.tempo = -3.0;
    for (int b = 0; b < 16; ++b) s.opaque[b] = static_cast<uint8_t>(b * 17 + i);
    std::vector<float> left(100), right(100);
    for (int k = 0; k < 100; ++k) {
      left[k] = 0.001f * static_cast<float>(k + i);
      right[k] = -0.002f * static_cast<float>(k);
    }
    sent.push_back(makeFrame(s, left, right));
    rig.push(sent.back());
  }
  ASSERT_TRUE(rig.waitOutputs(3));
  std::vector<std::vector<uint8_t>> got = rig.outputs();
  ASSERT_EQ(got.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    std::vector<uint8_t> want = sent[i];
    want[0] = 2;
    EXPECT_EQ(got[i], want) << i;
  }
}

TEST(Chain, MalformedFramesChangeNothing) {
  ChainRig rig;
  TestSlot a = makeSlot("a");
  rig.setSlots({a});
  EXPECT_EQ(rig.chain().lastBlockMs.load(), 0.0);
  rig.clock = 100.0;
  rig.push(makeFrame(at(0), 64));
  ASSERT_TRUE(rig.waitOutputs(1));
  EXPECT_EQ(rig.chain().lastBlockMs.load(), 100.0);

  rig.clock = 500.0;
  std::vector<uint8_t> good = makeFrame(at(64), 64);
  std::vector<std::vector<uint8_t>> bad = {
      {},
      std::vector<uint8_t>(good.begin(), good.begin() + 63),
      std::vector<uint8_t>(good.begin(), good.end() - 1),
  };
  bad.push_back(good);
  bad.back()[0] = 2;
  bad.push_back(good);
  bad.back()[1] = 1;
  bad.push_back(makeFrame(at(64, 99), 4097));
  for (auto& b : bad) rig.push(b);
  rig.push(good);
  ASSERT_TRUE(rig.waitOutputs(2));
  EXPECT_EQ(rig.outputs().size(), 2u);
  ChainStats stats = rig.chain().takeStats();
  EXPECT_EQ(stats.resets, 1) << "the good frame continues the first run";
  EXPECT_EQ(a.plugin->processCalls.load(), 2);
  EXPECT_EQ(a.plugin->resetCalls.load(), 1);
  EXPECT_EQ(rig.chain().lastBlockMs.load(), 500.0);
}

// An impulse at input position p leaves the chain at output position p,
// whatever the latencies and whichever slots are bypassed.
TEST(Chain, LatencyCompensationAlignsAnImpulse) {
  struct SlotSpec {
    int latency;
    bool bypass;
  };
  struct Case {
    const char* name;
    std::vector<SlotSpec> slots;
  };
  const Case cases[] = {
      {"latency 0", {{0, false}}},
      {"latency 64", {{64, false}}},
      {"latency 1000", {{1000, false}}},
      {"latency 64 bypassed", {{64, true}}},
      {"latency 1000 bypassed", {{1000, true}}},
      {"mixed", {{64, false}, {1000, true}, {0, false}, {300, false}}},
  };
  constexpr int kBlock = 256, kBlocks = 12, kImpulse = 1500;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChainRig rig;
    std::vector<TestSlot> slots;
    int total = 0;
    for (size_t i = 0; i < c.slots.size(); ++i) {
      FakePluginOptions o;
      o.latency = c.slots[i].latency;
      slots.push_back(makeSlot("s" + std::to_string(i), o));
      slots.back().slot->bypass = c.slots[i].bypass;
      total += c.slots[i].latency;
    }
    rig.setSlots(slots);
    EXPECT_EQ(rig.chain().latency.load(), total);
    EXPECT_EQ(rig.chain().refreshLatency(), total);

    size_t expected = 0;
    for (int b = 0; b < kBlocks; ++b) {
      std::vector<float> left(kBlock, 0.0f), right(kBlock, 0.0f);
      if (kImpulse / kBlock == b) {
        left[kImpulse % kBlock] = 1.0f;
        right[kImpulse % kBlock] = -0.5f;
      }
      rig.push(makeFrame(at(b * kBlock), left, right));
      if ((b + 1) * kBlock > total) ++expected;
    }
    ASSERT_TRUE(rig.waitOutputs(expected));
    std::vector<test::OutputFrame> frames = rig.decoded();
    ASSERT_EQ(frames.size(), expected);
    EXPECT_EQ(frames.front().frames, (total / kBlock + 1) * kBlock - total) << "the first output holds the rest";
    test::Timeline t = joinOutputs(frames);
    EXPECT_EQ(t.start, 0);
    ASSERT_EQ(t.left.size(), static_cast<size_t>(kBlocks * kBlock - total));
    for (size_t i = 0; i < t.left.size(); ++i) {
      const bool impulse = i == static_cast<size_t>(kImpulse);
      ASSERT_EQ(t.left[i], impulse ? 1.0f : 0.0f) << "left at " << i;
      ASSERT_EQ(t.right[i], impulse ? -0.5f : 0.0f) << "right at " << i;
    }
  }
}

TEST(Chain, SwallowsLatencyBlockByBlock) {
  ChainRig rig;
  FakePluginOptions o;
  o.latency = 1000;
  TestSlot a = makeSlot("a", o);
  rig.setSlots({a});
  for (int b = 0; b < 5; ++b) rig.push(makeFrame(at(b * 256), 256, 0.25f));
  ASSERT_TRUE(rig.waitOutputs(2));
  std::vector<test::OutputFrame> f = rig.decoded();
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0].position, 0);
  EXPECT_EQ(f[0].frames, 24);
  EXPECT_EQ(f[1].position, 24);
  EXPECT_EQ(f[1].frames, 256);
  EXPECT_EQ(a.plugin->processCalls.load(), 5);
}

// Mix, step by step, as the chain ramps it: the expectation comes from the same
// float arithmetic, sample by sample.
struct Ramp {
  float mix;
  float step;
  float next(float target) {
    if (target > mix)
      mix = mix + step < target ? mix + step : target;
    else if (target < mix)
      mix = mix - step > target ? mix - step : target;
    return mix;
  }
};

TEST(Chain, BypassCrossFadesOverTenMilliseconds) {
  for (double rate : {48000.0, 44100.0}) {
    SCOPED_TRACE(rate);
    ChainRig::Options options;
    options.rate = rate;
    ChainRig rig(options);
    FakePluginOptions o;
    o.gain = 0.0f;  // wet is silence, so the output is the dry share: 1 - mix
    TestSlot a = makeSlot("a", o);
    rig.setSlots({a});
    constexpr int kBlock = 256;
    int pushed = 0;
    auto block = [&] {
      rig.push(makeFrame(at(pushed * kBlock), kBlock, 1.0f));
      ++pushed;
      EXPECT_TRUE(rig.waitOutputs(static_cast<size_t>(pushed)));
      return rig.decoded().back();
    };
    EXPECT_EQ(block().left, std::vector<float>(kBlock, 0.0f));

    Ramp ramp{1.0f, static_cast<float>(1.0 / (rate * 0.01))};
    auto follow = [&](float target, int blocks, int& rampSamples) {
      for (int b = 0; b < blocks; ++b) {
        const int callsBefore = a.plugin->processCalls.load();
        const bool called = ramp.mix != 0.0f || target == 1.0f;
        test::OutputFrame f = block();
        EXPECT_EQ(a.plugin->processCalls.load() - callsBefore, called ? 1 : 0) << "block " << pushed;
        for (int i = 0; i < kBlock; ++i) {
          float want = 1.0f;
          if (called) {
            const float mix = ramp.next(target);
            want = 1.0f + (0.0f - 1.0f) * mix;
            if (mix != 0.0f && mix != 1.0f) ++rampSamples;
          }
          ASSERT_EQ(f.left[i], want) << "block " << pushed << " sample " << i;
          ASSERT_EQ(f.right[i], want);
        }
      }
    };
    int fadeOut = 0, fadeIn = 0;
    a.slot->bypass = true;
    follow(0.0f, 4, fadeOut);
    EXPECT_NEAR(fadeOut, rate * 0.01, 1.0);
    a.slot->bypass = false;
    follow(1.0f, 3, fadeIn);
    EXPECT_NEAR(fadeIn, rate * 0.01, 1.0);
  }
}

TEST(Chain, AResetTakesTheBypassStateAtOnce) {
  ChainRig rig;
  FakePluginOptions o;
  o.gain = 0.0f;
  TestSlot a = makeSlot("a", o);
  a.slot->bypass = true;
  rig.setSlots({a});
  rig.push(makeFrame(at(0), 128, 0.5f));
  ASSERT_TRUE(rig.waitOutputs(1));
  EXPECT_EQ(rig.decoded()[0].left, std::vector<float>(128, 0.5f)) << "dry from the first sample";
  EXPECT_EQ(a.plugin->processCalls.load(), 0);

  a.slot->bypass = false;
  rig.push(makeFrame(at(0, 1), 128, 0.5f));  // new epoch
  ASSERT_TRUE(rig.waitOutputs(2));
  EXPECT_EQ(rig.decoded()[1].left, std::vector<float>(128, 0.0f)) << "wet from the first sample";
  EXPECT_EQ(a.plugin->processCalls.load(), 1);
}

TEST(Chain, APositionSkipStartsANewRun) {
  ChainRig rig;
  FakePluginOptions o;
  o.latency = 64;
  TestSlot a = makeSlot("a", o), b = makeSlot("b");
  rig.setSlots({a, b});
  rig.push(makeFrame(at(0), 256, 1.0f));
  rig.push(makeFrame(at(256), 256, 1.0f));
  rig.push(makeFrame(at(513), 256, 1.0f));  // one sample ahead of 512
  ASSERT_TRUE(rig.waitOutputs(3));
  std::vector<test::OutputFrame> f = rig.decoded();
  EXPECT_EQ(f[0].position, 0);
  EXPECT_EQ(f[0].frames, 192);
  EXPECT_EQ(f[1].position, 192);
  EXPECT_EQ(f[1].frames, 256);
  EXPECT_EQ(f[2].position, 513) << "swallowing starts again";
  EXPECT_EQ(f[2].frames, 192);
  EXPECT_EQ(a.plugin->resetCalls.load(), 2);
  EXPECT_EQ(b.plugin->resetCalls.load(), 2);
  EXPECT_EQ(rig.chain().takeStats().resets, 2);
}

TEST(Chain, TimelineWrapsPast32Bits) {
  ChainRig rig;
  FakePluginOptions o;
  o.latency = 64;
  TestSlot a = makeSlot("a", o);
  a.slot->meter = true;
  rig.setSlots({a});
  int32_t p = INT32_MAX - 300;
  for (int b = 0; b < 4; ++b) {
    rig.push(makeFrame(at(p), 256, 1.0f));
    p = wrapAdd(p, 256);
  }
  ASSERT_TRUE(rig.waitOutputs(4));
  test::Timeline t = joinOutputs(rig.decoded());
  EXPECT_EQ(t.start, INT32_MAX - 300);
  EXPECT_EQ(t.left.size(), 4u * 256u - 64u);
  EXPECT_EQ(rig.chain().takeStats().resets, 1) << "the wrap continues the run";
  std::vector<SlotLevels> levels = rig.chain().takeLevels();
  ASSERT_EQ(levels.size(), 1u);
  ASSERT_EQ(levels[0].rows.size(), 4u);
  EXPECT_EQ(levels[0].rows[0].position, INT32_MAX - 364);
  EXPECT_EQ(levels[0].rows[2].position, wrapAdd(INT32_MAX - 364, 512));
  EXPECT_LT(levels[0].rows[2].position, 0);
}

TEST(Chain, PluginsReceiveTheTransport) {
  ChainRig rig;
  TestSlot a = makeSlot("a");
  rig.setSlots({a});
  FrameSpec s = at(0);
  s.timelineSample = 987654.25;
  rig.push(makeFrame(s, 32));
  ASSERT_TRUE(rig.waitOutputs(1));
  EXPECT_EQ(a.plugin->lastTimelineSample.load(), 987654.25);
}

TEST(Chain, ChangedLatencyAlignsFromTheNextReset) {
  ChainRig rig;
  TestSlot a = makeSlot("a");
  rig.setSlots({a});
  rig.push(makeFrame(at(0), 256, 1.0f));
  ASSERT_TRUE(rig.waitOutputs(1));
  a.plugin->latency = 64;
  EXPECT_EQ(rig.chain().refreshLatency(), 64);
  EXPECT_EQ(rig.chain().latency.load(), 64);
  EXPECT_EQ(rig.chain().refreshLatency(), 64) << "an unchanged latency keeps the delay line";
  rig.push(makeFrame(at(256), 256, 1.0f));
  ASSERT_TRUE(rig.waitOutputs(2));
  EXPECT_EQ(rig.decoded()[1].position, 256) << "the run goes on with its old alignment";
  EXPECT_EQ(rig.decoded()[1].frames, 256);
  rig.push(makeFrame(at(0, 1), 256, 1.0f));
  ASSERT_TRUE(rig.waitOutputs(3));
  EXPECT_EQ(rig.decoded()[2].position, 0);
  EXPECT_EQ(rig.decoded()[2].frames, 192);
}

TEST(Chain, AbsurdLatencyIsClamped) {
  ChainRig rig;
  FakePluginOptions huge, negative;
  huge.latency = INT_MAX;
  negative.latency = -5;
  TestSlot a = makeSlot("a", huge), b = makeSlot("b", huge), c = makeSlot("c", negative);
  rig.setSlots({a, b, c});
  constexpr int32_t kTotal = 2 * Chain::kMaxSlotLatency;
  EXPECT_EQ(rig.chain().latency.load(), kTotal);
  EXPECT_EQ(a.slot->delayL.size(), static_cast<size_t>(Chain::kMaxSlotLatency) + 1);
  EXPECT_EQ(c.slot->latency, 0);
  EXPECT_EQ(c.slot->delayL.size(), 1u);
  // The clamped total is swallowed like any other latency.
  constexpr int kBlock = 4096;
  for (int k = 0; k <= kTotal / kBlock; ++k) rig.push(makeFrame(at(k * kBlock), kBlock, 1.0f));
  ASSERT_TRUE(rig.waitOutputs(1));
  test::OutputFrame f = rig.decoded()[0];
  EXPECT_EQ(f.position, 0);
  EXPECT_EQ(f.frames, kBlock);
}

TEST(Chain, SetSlotsSizesBuffersBeforeTheSlotGoesLive) {
  ChainRig rig;
  FakePluginOptions o;
  o.latency = 100;
  TestSlot a = makeSlot("a", o);
  rig.setSlots({a});
  EXPECT_EQ(a.slot->latency, 100);
  EXPECT_EQ(a.slot->delayL.size(), 101u);
  EXPECT_EQ(a.slot->delayR.size(), 101u);
  EXPECT_EQ(a.slot->dryL.size(), 4096u);
  EXPECT_EQ(a.slot->dryR.size(), 4096u);
  EXPECT_EQ(rig.chain().slots(), SlotList{a.slot});
  rig.setSlots({});
  EXPECT_TRUE(rig.chain().slots().empty());
  EXPECT_EQ(rig.chain().latency.load(), 0);
}

TEST(Chain, ReleasedSlotsGoThroughTheHook) {
  auto live = std::make_shared<std::atomic<int>>(0);
  std::mutex m;
  std::vector<SlotList> handedOver;
  std::thread::id releasedOn;
  {
    ChainRig::Options options;
    options.release = [&](SlotList list) {
      std::lock_guard<std::mutex> lock(m);
      releasedOn = std::this_thread::get_id();
      handedOver.push_back(std::move(list));
    };
    auto rig = std::make_unique<ChainRig>(options);
    {
      FakePluginOptions o;
      o.liveCounter = live;
      o.editor = true;
      TestSlot a = makeSlot("a", o);
      a.plugin->openEditor("x");
      rig->setSlots({a});
    }
    // A connection thread holds the last reference.
    std::thread connection([r = std::move(rig)]() mutable { r.reset(); });
    const std::thread::id connectionId = connection.get_id();
    connection.join();
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(releasedOn, connectionId);
  }
  ASSERT_EQ(handedOver.size(), 1u);
  ASSERT_EQ(handedOver[0].size(), 1u);
  EXPECT_EQ(live->load(), 1) << "the plug-in lives until the owner lets go";
  auto* plugin = static_cast<test::FakePlugin*>(handedOver[0][0]->plugin.get());
  EXPECT_TRUE(plugin->editorOpen.load());
  handedOver.clear();  // here, on the test's own ("main") thread
  EXPECT_EQ(live->load(), 0);
}

TEST(Chain, WithoutAHookSlotsAreReleasedWithTheChain) {
  auto live = std::make_shared<std::atomic<int>>(0);
  {
    ChainRig rig;
    FakePluginOptions o;
    o.liveCounter = live;
    rig.setSlots({makeSlot("a", o)});
    EXPECT_EQ(live->load(), 1);
  }
  EXPECT_EQ(live->load(), 0);
}

TEST(Chain, WorkerTellsTheRealtimeLayerEachBlockSize) {
  test::FakeRealtimeScheduler os;
  {
    ChainRig::Options options;
    options.scheduler = &os;
    ChainRig rig(options);
    rig.push(makeFrame(at(0), 128));
    rig.push(makeFrame(at(128), 128));
    rig.push(makeFrame(at(256), 256));
    rig.push(std::vector<uint8_t>(10, 1));  // unreadable: sized as 1024
    rig.push(makeFrame(at(512), 256));
    ASSERT_TRUE(rig.waitOutputs(4));
  }
  EXPECT_EQ(os.policyPeriods(), (std::vector<uint64_t>{21333333, 2666666, 5333333, 21333333, 5333333}));
}

}  // namespace
}  // namespace bridge

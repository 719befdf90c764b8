// Level rows and statistics: what the main thread drains from a running chain.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "chain_rig.h"
#include "engine/chain.h"

namespace bridge {
namespace {

using test::ChainRig;
using test::FakePluginOptions;
using test::at;
using test::FrameSpec;
using test::makeFrame;
using test::makeSlot;
using test::TestSlot;

// Pushes `blocks` frames of `frames` samples from `first` on and waits for them.
void run(ChainRig& rig, int blocks, int frames = 128, int32_t first = 0, float value = 0.5f) {
  const size_t before = rig.outputs().size();
  for (int b = 0; b < blocks; ++b) rig.push(makeFrame(at(first + b * frames, 0), frames, value));
  ASSERT_TRUE(rig.waitOutputs(before + static_cast<size_t>(blocks)));
}

TEST(ChainLevels, ARowPerBlockDatedByTheDrySignal) {
  ChainRig rig;
  FakePluginOptions first, second;
  first.latency = 64;
  first.gain = 0.5f;
  first.meter = true;
  second.latency = 0;
  second.gain = 3.0f;
  TestSlot a = makeSlot("a", first), b = makeSlot("b", second);
  a.plugin->meterValue = 0.25f;
  a.slot->meter = true;
  b.slot->meter = true;
  rig.setSlots({a, b});
  rig.push(makeFrame(at(0, 5), 128, 0.8f));
  rig.push(makeFrame(at(128, 5), 128, 0.8f));
  ASSERT_TRUE(rig.waitOutputs(2));
  std::vector<SlotLevels> levels = rig.chain().takeLevels();
  ASSERT_EQ(levels.size(), 2u);
  EXPECT_EQ(levels[0].slot, a.slot);
  EXPECT_EQ(levels[1].slot, b.slot);
  const LevelRow& a0 = levels[0].rows.at(0);
  const LevelRow& a1 = levels[0].rows.at(1);
  const LevelRow& b1 = levels[1].rows.at(1);
  EXPECT_EQ(a0.epoch, 5);
  EXPECT_EQ(a0.frames, 128);
  EXPECT_EQ(a0.position, -64) << "minus this slot's latency";
  EXPECT_EQ(a1.position, 64);
  EXPECT_EQ(b1.position, 64) << "minus the latency of every slot up to this one";
  EXPECT_FLOAT_EQ(a0.peakIn, 0.8f) << "the dry copy is latency-aligned, the block's tail is the input";
  EXPECT_FLOAT_EQ(a0.peakOut, 0.4f);
  EXPECT_EQ(a0.reduction, 0.25f);
  EXPECT_TRUE(std::isnan(b1.reduction)) << "no meter on this plug-in";
  EXPECT_FLOAT_EQ(b1.peakIn, 0.4f);
  EXPECT_FLOAT_EQ(b1.peakOut, 1.2f);
  EXPECT_FALSE(a0.hasSpectrum);
  EXPECT_TRUE(std::isnan(a0.correlation)) << "stereo is off";
  EXPECT_TRUE(rig.chain().takeLevels().empty()) << "taken rows are gone";
}

TEST(ChainLevels, SilentDryCopyHasZeroPeak) {
  ChainRig rig;
  FakePluginOptions o;
  o.latency = 200;
  TestSlot a = makeSlot("a", o);
  a.slot->meter = true;
  rig.setSlots({a});
  rig.push(makeFrame(at(0), 128, 1.0f));
  rig.push(makeFrame(at(128), 128, 1.0f));
  rig.push(makeFrame(at(256), 128, 1.0f));
  ASSERT_TRUE(rig.waitOutputs(2));  // the first block is swallowed whole
  std::vector<SlotLevels> levels = rig.chain().takeLevels();
  ASSERT_EQ(levels.size(), 1u);
  ASSERT_EQ(levels[0].rows.size(), 3u);
  EXPECT_EQ(levels[0].rows[0].peakIn, 0.0f) << "200 samples of delay: the first block's dry copy is silence";
  EXPECT_EQ(levels[0].rows[1].peakIn, 1.0f);
}

TEST(ChainLevels, Correlation) {
  struct Case {
    const char* name;
    float left, right;
    bool stereo;
    float want;  // NaN: none
  };
  const Case cases[] = {
      {"identical", 0.5f, 0.5f, true, 1.0f},
      {"inverted", 0.5f, -0.5f, true, -1.0f},
      {"silence", 0.0f, 0.0f, true, NAN},
      {"one side silent", 0.5f, 0.0f, true, NAN},
      {"stereo off", 0.5f, 0.5f, false, NAN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChainRig rig;
    TestSlot a = makeSlot("a");
    a.slot->meter = true;
    a.slot->stereo = c.stereo;
    rig.setSlots({a});
    rig.push(makeFrame(at(0), std::vector<float>(64, c.left), std::vector<float>(64, c.right)));
    ASSERT_TRUE(rig.waitOutputs(1));
    std::vector<SlotLevels> levels = rig.chain().takeLevels();
    ASSERT_EQ(levels.size(), 1u);
    ASSERT_EQ(levels[0].rows.size(), 1u);
    const float got = levels[0].rows[0].correlation;
    if (std::isnan(c.want))
      EXPECT_TRUE(std::isnan(got)) << got;
    else
      EXPECT_FLOAT_EQ(got, c.want);
  }
}

TEST(ChainLevels, RingKeepsThe64OldestUntilTaken) {
  ChainRig rig;
  TestSlot a = makeSlot("a");
  a.slot->meter = true;
  rig.setSlots({a});
  run(rig, 70, 32);
  std::vector<SlotLevels> levels = rig.chain().takeLevels();
  ASSERT_EQ(levels.size(), 1u);
  ASSERT_EQ(levels[0].rows.size(), 64u);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(levels[0].rows[i].position, i * 32) << i;
  run(rig, 1, 32, 70 * 32);
  levels = rig.chain().takeLevels();
  ASSERT_EQ(levels.size(), 1u);
  ASSERT_EQ(levels[0].rows.size(), 1u);
  EXPECT_EQ(levels[0].rows[0].position, 70 * 32);
}

TEST(ChainLevels, RingIndicesSurviveManyRounds) {
  ChainRig rig;
  TestSlot a = makeSlot("a");
  a.slot->meter = true;
  rig.setSlots({a});
  int32_t position = 0;
  for (int round = 0; round < 5; ++round) {
    run(rig, 50, 16, position);
    std::vector<SlotLevels> levels = rig.chain().takeLevels();
    ASSERT_EQ(levels.size(), 1u);
    ASSERT_EQ(levels[0].rows.size(), 50u);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(levels[0].rows[i].position, position + i * 16);
    position += 50 * 16;
  }
}

TEST(ChainLevels, MeterOffDiscardsUntakenRows) {
  ChainRig rig;
  TestSlot a = makeSlot("a"), quiet = makeSlot("quiet");
  a.slot->meter = true;
  rig.setSlots({a, quiet});
  run(rig, 3);
  a.slot->meter = false;
  EXPECT_TRUE(rig.chain().takeLevels().empty());
  run(rig, 2, 128, 3 * 128);
  a.slot->meter = true;
  EXPECT_TRUE(rig.chain().takeLevels().empty()) << "the rows before were discarded, none written since";
  run(rig, 1, 128, 5 * 128);
  std::vector<SlotLevels> levels = rig.chain().takeLevels();
  ASSERT_EQ(levels.size(), 1u) << "slots without rows are left out";
  EXPECT_EQ(levels[0].slot, a.slot);
  ASSERT_EQ(levels[0].rows.size(), 1u);
  EXPECT_EQ(levels[0].rows[0].position, 5 * 128);
}

TEST(ChainLevels, SpectrumBandsWhenAnAnalyserIsPublished) {
  ChainRig rig;
  TestSlot a = makeSlot("a");
  a.slot->meter = true;
  a.slot->spectrum = true;  // no analyser yet: rows carry no bands
  rig.setSlots({a});
  run(rig, 1);
  std::vector<SlotLevels> levels = rig.chain().takeLevels();
  ASSERT_EQ(levels.size(), 1u);
  EXPECT_FALSE(levels[0].rows[0].hasSpectrum);

  a.slot->spectrumOwner = std::make_unique<Spectrum>(48000.0);
  a.slot->spectrumPtr.store(a.slot->spectrumOwner.get(), std::memory_order_release);
  // A full-scale sine on FFT bin 100 (band 33 at 48 kHz), as a new run.
  constexpr int kBlock = 512, kBlocks = 5;
  for (int b = 0; b < kBlocks; ++b) {
    std::vector<float> sine(kBlock);
    for (int i = 0; i < kBlock; ++i)
      sine[i] = static_cast<float>(std::sin(2.0 * std::numbers::pi * 100.0 * (b * kBlock + i) / 2048.0));
    rig.push(makeFrame(at(b * kBlock, 1), sine, sine));
  }
  ASSERT_TRUE(rig.waitOutputs(1 + kBlocks));
  levels = rig.chain().takeLevels();
  ASSERT_EQ(levels.size(), 1u);
  ASSERT_EQ(levels[0].rows.size(), static_cast<size_t>(kBlocks));
  const LevelRow& last = levels[0].rows.back();
  ASSERT_TRUE(last.hasSpectrum);
  EXPECT_EQ(last.bandsIn[33], 0);
  EXPECT_EQ(last.bandsOut[33], 0);
  EXPECT_LT(last.bandsOut[0], -60);

  a.slot->spectrum = false;
  run(rig, 1, 128, kBlocks * kBlock);
  levels = rig.chain().takeLevels();
  ASSERT_EQ(levels.size(), 1u);
  EXPECT_FALSE(levels[0].rows[0].hasSpectrum);
}

TEST(ChainStats, CountersAreTakenOnce) {
  ChainRig rig;
  TestSlot a = makeSlot("a"), b = makeSlot("b");
  b.slot->bypass = true;
  rig.setSlots({a, b});
  run(rig, 20, 512);
  ChainStats s = rig.chain().takeStats();
  EXPECT_EQ(s.resets, 1);
  EXPECT_EQ(s.late, 0);
  EXPECT_GE(s.load, 0.0);
  ASSERT_EQ(s.slots.size(), 2u);
  EXPECT_EQ(s.slots[0].key, "a");
  EXPECT_EQ(s.slots[1].key, "b");
  EXPECT_GE(s.slots[0].load, 0.0);
  EXPECT_EQ(s.slots[1].load, 0.0) << "a bypassed slot books no time";

  ChainStats again = rig.chain().takeStats();
  EXPECT_EQ(again.load, 0.0);
  EXPECT_EQ(again.resets, 0);
  EXPECT_EQ(again.late, 0);
  ASSERT_EQ(again.slots.size(), 2u);
  EXPECT_EQ(again.slots[0].load, 0.0);
}

}  // namespace
}  // namespace bridge

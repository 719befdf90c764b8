// The VST3 plug-in wrapper against an effect built the usual way: a separate
// controller, and a processor with its own copy of the parameters that learns
// them only in process. Edits made with no audio reach the saved state, a
// latency change restarts the processor, and values the processor drives reach
// the controller.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include "plugins/vst3_split_probe.h"
#include "vst3_fixture.h"

namespace bridge::test {
namespace {

std::string splitId() {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string id = "VST3:";
  for (char c : kSplitEffectUid.bytes) {
    const auto b = static_cast<unsigned char>(c);
    id += kDigits[b >> 4];
    id += kDigits[b & 15];
  }
  return id;
}

class Vst3RulesTest : public Vst3Fixture {
 protected:
  void SetUp() override {
    pluginsDir = testDir() / "plugins";
    fxPath = copyBundle("vst3_fx.vst3", pluginsDir);
    splitPath = copyBundle("vst3_split.vst3", pluginsDir);
    host = newHost({pluginsDir.string()});
    std::atomic<bool> cancel{false};
    catalog = host->scan(cancel);
  }

  std::unique_ptr<Plugin> split() {
    Created c = create(*host, splitId());
    EXPECT_EQ(c.error, "");
    return std::move(c.plugin);
  }

  Vst3SplitRecord record() const {
    Vst3SplitRecord r{};
    void* handle = ::dlopen(bundleObject(splitPath).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return r;
    auto fn = reinterpret_cast<Vst3SplitProbeFn>(::dlsym(handle, "krevlo_vst3_split_probe"));
    ::dlclose(handle);
    if (fn) fn()->record(&r);
    return r;
  }

  static float valueOf(Plugin& p, int index) {
    float value = -1.0f;
    std::string text;
    EXPECT_TRUE(p.getParam(index, value, text));
    return value;
  }

  fs::path splitPath;
};

// Listed: Level 0, Latency 1, Follower 2 (the meter is read-only).
constexpr int kLevelIndex = 0, kLatencyIndex = 1, kFollowerIndex = 2;

TEST_F(Vst3RulesTest, EditsWithoutAudioReachTheSavedStateInOneSilentBlock) {
  auto p = split();
  for (int i = 1; i <= 40; ++i) p->setParam(kLevelIndex, i / 50.0f);
  const std::vector<uint8_t> blob = p->getState();
  Vst3SplitRecord r = record();
  EXPECT_EQ(r.blocks, 1);
  EXPECT_EQ(r.emptyBlocks, 0);
  EXPECT_DOUBLE_EQ(r.level, 0.8f);

  // Nothing waits: a second state costs no block.
  EXPECT_EQ(p->getState(), blob);
  EXPECT_EQ(record().blocks, 1);

  // The controller of a new instance is reset from the component's state.
  auto q = split();
  ASSERT_TRUE(q->setState(blob));
  EXPECT_FLOAT_EQ(valueOf(*q, kLevelIndex), 0.8f);
}

TEST_F(Vst3RulesTest, LatencyChangeRestartsTheProcessorWithItsValues) {
  auto p = split();
  int latencyCalls = 0;
  p->latencyChanged = [&] { ++latencyCalls; };
  EXPECT_EQ(p->latencySamples(), 4);
  const Vst3SplitRecord before = record();
  p->setParam(kLevelIndex, 0.5f);
  p->setParam(kLatencyIndex, 0.25f);  // 16 samples
  EXPECT_EQ(latencyCalls, 1);
  EXPECT_EQ(p->latencySamples(), 16);
  const Vst3SplitRecord after = record();
  EXPECT_EQ(after.deactivations - before.deactivations, 1);
  EXPECT_EQ(after.activations - before.activations, 1);
  EXPECT_DOUBLE_EQ(after.level, 0.5);
  run(*p, 64);
  EXPECT_EQ(record().blocks, after.blocks + 1);
  EXPECT_FLOAT_EQ(valueOf(*p, kLevelIndex), 0.5f);
}

TEST_F(Vst3RulesTest, ValuesTheProcessorDrivesReachTheController) {
  auto p = split();
  std::vector<int> changed;
  p->paramChanged = [&](int index) { changed.push_back(index); };
  p->setParam(kLevelIndex, 0.75f);
  changed.clear();
  run(*p, 64);
  run(*p, 64);
  // Reported once until taken, then read through the controller.
  EXPECT_EQ(changed, std::vector<int>{kFollowerIndex});
  EXPECT_FLOAT_EQ(valueOf(*p, kFollowerIndex), 0.25f);
  const std::vector<ParamInfo> listed = p->params();
  ASSERT_GT(listed.size(), static_cast<size_t>(kFollowerIndex));
  EXPECT_FLOAT_EQ(listed[kFollowerIndex].value, 0.25f);
}

}  // namespace
}  // namespace bridge::test

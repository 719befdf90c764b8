// The VST3 plug-in wrapper against an effect with habits of shipped effects: a
// processor that ignores blocks of 0 samples, announces its latency from inside
// process and reports an output level for its editor, and saves that can fail.
// A hand-drained main queue stands for the main thread; other threads stand
// for the chain's worker.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <thread>

#include "platform/dispatch/main_queue.h"
#include "plugins/vst3_mimic_probe.h"
#include "support/counting_new.h"
#include "vst3_fixture.h"

namespace bridge::test {
namespace {

// Listed: Level 0, Latency 1 (Output is read-only).
constexpr int kLevelIndex = 0, kLatencyIndex = 1;

class Vst3MimicTest : public Vst3Fixture {
 protected:
  void SetUp() override {
    pluginsDir = testDir() / "plugins";
    mimicPath = copyBundle("vst3_mimic.vst3", pluginsDir);
    host = makeVst3Host(testDir() / "data", {pluginsDir.string()},
                        [this](std::function<void()> job) { queue.post(std::move(job)); }, KREVLO_HELPER);
    std::atomic<bool> cancel{false};
    catalog = host->scan(cancel);
  }
  // The host's wakeup posts into the queue, so it goes first.
  void TearDown() override { host.reset(); }

  std::unique_ptr<Plugin> mimic() {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string id = "VST3:";
    for (char c : kMimicEffectUid.bytes) {
      const auto b = static_cast<unsigned char>(c);
      id += kDigits[b >> 4];
      id += kDigits[b & 15];
    }
    Created c = create(*host, id);
    EXPECT_EQ(c.error, "");
    return std::move(c.plugin);
  }

  const Vst3MimicProbe* mimicProbe() const {
    void* handle = ::dlopen(bundleObject(mimicPath).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return nullptr;
    auto fn = reinterpret_cast<Vst3MimicProbeFn>(::dlsym(handle, "krevlo_vst3_mimic_probe"));
    ::dlclose(handle);
    return fn ? fn() : nullptr;
  }

  Vst3MimicRecord record() const {
    Vst3MimicRecord r{};
    if (const Vst3MimicProbe* p = mimicProbe()) p->record(&r);
    return r;
  }

  // Runs main-thread jobs as they come until `done` answers true; false when
  // none came for far longer than any normal run needs.
  template <typename F>
  bool runMainUntil(F done) {
    while (!done()) {
      if (!queue.wait(20000)) return done();
      queue.drain();
    }
    return true;
  }

  // The level inside the component's part of a state blob: "QLV3", N1, "MIM1", level.
  static double savedLevel(const std::vector<uint8_t>& blob) {
    double level = -1.0;
    if (blob.size() >= 8 + 4 + 8 && std::memcmp(blob.data() + 8, "MIM1", 4) == 0)
      std::memcpy(&level, blob.data() + 12, 8);
    return level;
  }

  // One block of 64 frames of constant `amplitude` on both channels; allocates nothing.
  static void block(Plugin& p, float amplitude) {
    float left[64], right[64];
    std::fill(std::begin(left), std::end(left), amplitude);
    std::fill(std::begin(right), std::end(right), amplitude);
    p.process(left, right, 64, Transport{});
  }

  MainQueue queue;
  fs::path mimicPath;
};

struct IdleCase {
  const char* name;
  bool streamedThenStopped;  // audio ran, then the chain's worker stopped the plug-in
};

void PrintTo(const IdleCase& c, std::ostream* os) { *os << c.name; }

class Vst3MimicIdleEdit : public Vst3MimicTest, public ::testing::WithParamInterface<IdleCase> {};

TEST_P(Vst3MimicIdleEdit, ReachesTheSavedStateOfAProcessorThatIgnoresEmptyBlocks) {
  auto p = mimic();
  ASSERT_TRUE(p);
  if (GetParam().streamedThenStopped) {
    std::thread worker([&] {
      block(*p, 0.1f);
      p->stopProcessing();
    });
    worker.join();
  }
  const Vst3MimicRecord before = record();
  p->setParam(kLevelIndex, 0.8f);
  const std::vector<uint8_t> blob = p->getState();
  EXPECT_DOUBLE_EQ(savedLevel(blob), 0.8f);
  const Vst3MimicRecord after = record();
  EXPECT_DOUBLE_EQ(after.level, 0.8f);
  // A stopped plug-in is left stopped, for its worker to start again.
  EXPECT_EQ(after.processingOn - after.processingOff, before.processingOn - before.processingOff);

  // Nothing waits: a second state costs no block.
  EXPECT_EQ(p->getState(), blob);
  EXPECT_EQ(record().blocks, after.blocks);
}

INSTANTIATE_TEST_SUITE_P(Cases, Vst3MimicIdleEdit,
                         ::testing::Values(IdleCase{"NeverProcessed", false}, IdleCase{"ChainWentIdle", true}),
                         [](const auto& info) { return std::string(info.param.name); });

struct AnnounceCase {
  const char* name;
  bool fromTheWorker;  // the block that carries the edit runs there; else the state flush carries it
};

void PrintTo(const AnnounceCase& c, std::ostream* os) { *os << c.name; }

class Vst3MimicLatency : public Vst3MimicTest, public ::testing::WithParamInterface<AnnounceCase> {};

TEST_P(Vst3MimicLatency, AnnouncedFromInsideProcessRestartsOnTheMainThread) {
  auto p = mimic();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->latencySamples(), 4);
  const std::thread::id mainThread = std::this_thread::get_id();
  std::vector<int> seen;  // latencySamples() as each report on the main thread finds it
  std::atomic<int> offMain{0};
  p->latencyChanged = [&] {
    if (std::this_thread::get_id() == mainThread)
      seen.push_back(p->latencySamples());
    else
      offMain.fetch_add(1);
  };
  const int activations = record().activations;
  p->setParam(kLatencyIndex, 0.25f);  // 16 samples, learnt by the processor in a block
  if (GetParam().fromTheWorker) {
    std::thread worker([&] { block(*p, 0.1f); });
    worker.join();
  } else {
    p->getState();
  }
  ASSERT_TRUE(runMainUntil([&] { return !seen.empty(); }));
  EXPECT_EQ(seen, std::vector<int>{16});
  EXPECT_EQ(offMain.load(), 0);
  EXPECT_EQ(record().activations - activations, 1);
  EXPECT_EQ(queue.drain(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, Vst3MimicLatency,
                         ::testing::Values(AnnounceCase{"InsideTheStateFlush", false},
                                           AnnounceCase{"OnTheWorker", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Threads: the worker streams while the main thread runs no jobs, then while it does.
TEST_F(Vst3MimicTest, OutputValuesReachTheControllerOnTheMainThreadCoalesced) {
  auto p = mimic();
  ASSERT_TRUE(p);
  uint64_t allocations = 0;
  std::thread first([&] {
    block(*p, 0.1f);  // the first block may set up what the processor lazily needs
    const uint64_t before = threadAllocations();
    for (int i = 0; i < 50; ++i) block(*p, i == 49 ? 0.25f : 0.1f);
    allocations = threadAllocations() - before;
  });
  first.join();
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(record().outputCalls, 0) << "only the main thread hands values over";
  // However many blocks went by, one hand-over brings the latest.
  ASSERT_TRUE(runMainUntil([&] { return record().outputCalls > 0; }));
  EXPECT_EQ(record().outputCalls, 1);
  EXPECT_FLOAT_EQ(record().outputValue, 0.25f);

  // A meter that moves while the main thread runs its jobs follows.
  std::atomic<bool> stop{false};
  std::thread streaming([&] {
    while (!stop.load()) block(*p, 0.5f);
  });
  const bool followed = runMainUntil([&] { return record().outputValue == 0.5; });
  stop.store(true);
  streaming.join();
  EXPECT_TRUE(followed);
  EXPECT_EQ(record().outputOffMain, 0);
}

TEST_F(Vst3MimicTest, ProcessingStopsAndStartsOnTheThreadThatProcesses) {
  auto p = mimic();
  ASSERT_TRUE(p);
  std::thread::id firstWorker, secondWorker;
  std::thread a([&] {
    firstWorker = std::this_thread::get_id();
    block(*p, 0.1f);
    p->stopProcessing();
  });
  a.join();
  Vst3MimicRecord r = record();
  EXPECT_EQ(r.offThread, firstWorker);
  std::thread b([&] {
    secondWorker = std::this_thread::get_id();
    block(*p, 0.1f);
    p->stopProcessing();
  });
  b.join();
  r = record();
  EXPECT_EQ(r.onThread, secondWorker);
  EXPECT_EQ(r.offThread, secondWorker);
  // Stopped already: destruction on the main thread does not stop it again.
  const int stops = r.processingOff;
  p.reset();
  EXPECT_EQ(record().processingOff, stops);
}

struct SaveCase {
  const char* name;
  uint32_t switches;
};

void PrintTo(const SaveCase& c, std::ostream* os) { *os << c.name; }

class Vst3MimicSave : public Vst3MimicTest, public ::testing::WithParamInterface<SaveCase> {};

TEST_P(Vst3MimicSave, FailureGivesNoState) {
  auto p = mimic();
  ASSERT_TRUE(p);
  const std::vector<uint8_t> good = p->getState();
  EXPECT_EQ(good.size(), 4u + 4u + 20u + 4u + 4u);
  mimicProbe()->setSwitches(GetParam().switches);
  EXPECT_TRUE(p->getState().empty());
  mimicProbe()->setSwitches(0);
  EXPECT_EQ(p->getState(), good);
}

INSTANTIATE_TEST_SUITE_P(Cases, Vst3MimicSave,
                         ::testing::Values(SaveCase{"Component", kMimicFailComponentSave},
                                           SaveCase{"Controller", kMimicFailControllerSave}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace bridge::test

// The VST3 plug-in wrapper against our real, dlopen'ed test bundle: parameters
// and their way to the audio thread, timing, the meter, restarts, state blobs,
// the editor and teardown.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include "platform/vst3/vst3_controller.h"
#include "support/counting_new.h"
#include "support/fake_editor_windows.h"
#include "vst3_fixture.h"

namespace bridge {
namespace {

using namespace bridge::test;
using Steinberg::Vst::ParameterInfo;
using Steinberg::Vst::ProcessContext;

std::vector<Vst3FxChange> changesOf(const Vst3FxProbe* p) {
  std::vector<Vst3FxChange> out(100);
  out.resize(static_cast<size_t>(p->lastChanges(out.data(), 100)));
  return out;
}

ProcessContext contextOf(const Vst3FxProbe* p) {
  ProcessContext c{};
  p->lastContext(&c);
  return c;
}

MATCHER_P3(Change, id, offset, value, "") {
  return arg.id == static_cast<uint32_t>(id) && arg.offset == offset && arg.value == static_cast<double>(value);
}

TEST_F(Vst3Fixture, ListsOnlyVisibleWritableParameters) {
  auto p = make(Vst3FxKind::Gain);
  ASSERT_TRUE(p);
  const auto list = p->params();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].index, 0);
  EXPECT_EQ(list[0].id, "10");
  EXPECT_EQ(list[0].name, "Gain");
  EXPECT_EQ(list[0].unit, "x");
  EXPECT_FLOAT_EQ(list[0].value, 0.5f);
  EXPECT_EQ(list[0].text, "1.00");
  EXPECT_EQ(list[0].steps, 0);
  EXPECT_FLOAT_EQ(list[0].def, 0.5f);
  EXPECT_EQ(list[1].index, 1);
  EXPECT_EQ(list[1].id, "50");
  EXPECT_EQ(list[1].name, "Mode");
  EXPECT_EQ(list[1].text, "Soft");
  EXPECT_EQ(list[1].steps, 3);

  float v = -1.0f;
  std::string text = "unchanged";
  for (int bad : {-1, 2}) {
    EXPECT_FALSE(p->getParam(bad, v, text));
    p->setParam(bad, 0.9f);
  }
  EXPECT_EQ(v, -1.0f);
  EXPECT_EQ(text, "unchanged");
  EXPECT_FALSE(called("Gain.setParamNormalized 10 0.90"));

  ASSERT_TRUE(p->getParam(1, v, text));
  EXPECT_EQ(text, "Soft");

  // A refused info leaves a gap in the list, not in the table.
  probe()->refuseInfo(5);
  ASSERT_EQ(p->params().size(), 1u);
  EXPECT_TRUE(p->getParam(1, v, text));
}

TEST_F(Vst3Fixture, PendingEditsReachTheNextBlockLatestValueWinning) {
  auto p = make(Vst3FxKind::Gain);
  ASSERT_TRUE(p);
  std::vector<int> changed;
  p->paramChanged = [&](int i) { changed.push_back(i); };
  p->setParam(0, 0.2f);
  EXPECT_EQ(probe()->edit(kFxGain, 0.3), 0);  // the plug-in's own editor
  p->setParam(1, 1.0f);
  p->setParam(0, 0.7f);
  EXPECT_EQ(probe()->edit(kFxMeter, 0.25), 0);  // not listed: queued, not reported
  EXPECT_EQ(changed, (std::vector<int>{0, 0, 1, 0}));
  EXPECT_TRUE(called("Gain.setParamNormalized 10 0.20"));

  Block b = run(*p, 64);
  EXPECT_THAT(changesOf(probe()),
              ::testing::ElementsAre(Change(kFxGain, 0, 0.7f), Change(kFxMode, 0, 1.0f), Change(kFxMeter, 0, 0.25)));
  EXPECT_FLOAT_EQ(b.left[9], 0.1f * 2 * 0.7f);

  p->setParam(1, 0.5f);
  run(*p, 64);
  EXPECT_THAT(changesOf(probe()), ::testing::ElementsAre(Change(kFxMode, 0, 0.5f)))
      << "a block takes the list and leaves it empty";
}

// No lock is held while the observers run: they may set parameters again.
TEST_F(Vst3Fixture, ObserversMayCallBackIn) {
  auto p = make(Vst3FxKind::Gain);
  ASSERT_TRUE(p);
  int seen = 0;
  p->paramChanged = [&](int i) {
    if (i == 0 && seen++ == 0) p->setParam(1, 0.5f);
  };
  p->setParam(0, 0.4f);
  EXPECT_EQ(probe()->edit(kFxGain, 0.6), 0);
  p->setParam(0, std::nanf(""));  // not a value: ignored
  EXPECT_EQ(seen, 2);
  run(*p, 16);
  EXPECT_THAT(changesOf(probe()), ::testing::ElementsAre(Change(kFxGain, 0, 0.6), Change(kFxMode, 0, 0.5f)));
}

TEST_F(Vst3Fixture, EditsBeyondOneBlocksRoomWaitForTheNext) {
  auto p = make(Vst3FxKind::Gain);
  ASSERT_TRUE(p);
  for (uint32_t i = 0; i < 70; ++i) probe()->edit(1000 + i, i / 100.0);
  run(*p, 16);
  auto first = changesOf(probe());
  ASSERT_EQ(first.size(), 64u);
  EXPECT_EQ(first.front().id, 1000u);
  EXPECT_EQ(first.back().id, 1063u);
  run(*p, 16);
  auto second = changesOf(probe());
  ASSERT_EQ(second.size(), 6u);
  EXPECT_EQ(second.front().id, 1064u);
}

TEST_F(Vst3Fixture, ProcessAllocatesNothing) {
  auto p = make(Vst3FxKind::Gain);
  ASSERT_TRUE(p);
  std::vector<float> left(512, 0.5f), right(512, 0.5f);
  Transport t;
  t.playing = true;
  for (int round = 0; round < 3; ++round) {
    p->setParam(0, 0.1f * round);
    p->setParam(1, 0.5f);
    float meter = 0;
    const uint64_t before = threadAllocations();
    p->process(left.data(), right.data(), 512, t);
    p->gainReduction(meter);
    EXPECT_EQ(threadAllocations(), before) << "round " << round;
    t.timelineSample += 512;
  }
}

TEST_F(Vst3Fixture, MeterIsTheLastReportedPoint) {
  auto p = make(Vst3FxKind::Gain);
  ASSERT_TRUE(p);
  float v = -1.0f;
  ASSERT_TRUE(p->gainReduction(v));
  EXPECT_FLOAT_EQ(v, 0.125f) << "the controller's value before any report";
  p->setParam(0, 0.3f);
  run(*p, 64);
  ASSERT_TRUE(p->gainReduction(v));
  EXPECT_FLOAT_EQ(v, 0.7f);
  probe()->setMeterOutput(0.25);
  run(*p, 64);
  ASSERT_TRUE(p->gainReduction(v));
  EXPECT_FLOAT_EQ(v, 0.25f);
  EXPECT_FLOAT_EQ(p->toDb(0.25f), -6.0f) << "text -6.0 read with the units dB";

  auto delay = make(Vst3FxKind::Delay);
  ASSERT_TRUE(delay);
  EXPECT_FALSE(delay->gainReduction(v));
  EXPECT_TRUE(std::isnan(delay->toDb(0.5f)));
}

struct RestartCase {
  const char* name;
  int32_t flags;
  int latencyCalls;
  std::vector<int> paramCalls;
};

void PrintTo(const RestartCase& c, std::ostream* os) { *os << c.name; }

class Vst3Restart : public Vst3Fixture, public ::testing::WithParamInterface<RestartCase> {};

TEST_P(Vst3Restart, ReportsWhatTheFlagsSay) {
  const RestartCase& c = GetParam();
  auto p = make(Vst3FxKind::Gain);
  ASSERT_TRUE(p);
  int latency = 0;
  std::vector<int> changed;
  p->latencyChanged = [&] { ++latency; };
  p->paramChanged = [&](int i) { changed.push_back(i); };
  EXPECT_EQ(probe()->restart(c.flags), 0);
  EXPECT_EQ(latency, c.latencyCalls);
  EXPECT_EQ(changed, c.paramCalls);
}

using namespace Steinberg::Vst;
INSTANTIATE_TEST_SUITE_P(
    Flags, Vst3Restart,
    ::testing::Values(RestartCase{"Latency", kLatencyChanged, 1, {}},
                      RestartCase{"Values", kParamValuesChanged, 0, {0, 1}},
                      RestartCase{"Titles", kParamTitlesChanged, 0, {0, 1}},
                      RestartCase{"LatencyAndValues", kLatencyChanged | kParamValuesChanged, 1, {0, 1}},
                      RestartCase{"Others", kReloadComponent | kIoChanged | kRoutingInfoChanged | kKeyswitchChanged,
                                  0, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Vst3Fixture, RebuiltTableFollowsTheControllerAndKeepsTheMeter) {
  auto p = make(Vst3FxKind::Gain);
  ASSERT_TRUE(p);
  std::vector<int> changed;
  p->paramChanged = [&](int i) { changed.push_back(i); };
  probe()->setTitle(kFxGain, u"Level");
  probe()->setFlags(kFxMode, ParameterInfo::kIsHidden);
  probe()->setFlags(kFxMeter, ParameterInfo::kCanAutomate);  // now listed, still the meter
  probe()->restart(kParamTitlesChanged);
  const auto list = p->params();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].name, "Level");
  EXPECT_EQ(list[1].name, "Gain Reduction");
  EXPECT_EQ(changed, (std::vector<int>{0, 1}));
  float v = 0;
  EXPECT_TRUE(p->gainReduction(v));
  run(*p, 32);
  EXPECT_TRUE(p->gainReduction(v));
  EXPECT_FLOAT_EQ(v, 0.5f);  // 1 - gain 0.5
}

TEST_F(Vst3Fixture, LatencyChangeIsReportedFromInsideSetParam) {
  auto p = make(Vst3FxKind::LatencyShift);
  ASSERT_TRUE(p);
  std::vector<int> seen;  // latencySamples() as each report finds it
  p->latencyChanged = [&] { seen.push_back(p->latencySamples()); };
  EXPECT_EQ(p->latencySamples(), 0);
  p->setParam(0, 1.0f);
  p->setParam(0, 1.0f);  // no change, no report
  p->setParam(0, 0.0f);
  EXPECT_EQ(seen, (std::vector<int>{128, 0}));
}

// Threads: the plug-in's own thread restarts and edits while the main thread
// reads and sets parameters and the audio thread processes.
TEST_F(Vst3Fixture, TableRebuildOnThePluginsThreadRacesNoReader) {
  auto p = make(Vst3FxKind::Gain);
  ASSERT_TRUE(p);
  const Vst3FxProbe* fx = probe();
  std::atomic<int> reports{0};
  p->paramChanged = [&](int) { reports.fetch_add(1); };
  std::atomic<bool> stop{false};
  std::thread pluginThread([&] {
    for (int i = 0; i < 300; ++i) {
      fx->restart(i % 2 ? kParamTitlesChanged : kParamValuesChanged);
      fx->edit(kFxGain, (i % 10) / 10.0);
    }
  });
  std::thread audio([&] {
    std::vector<float> l(64, 0.1f), r(64, 0.1f);
    Transport t;
    float meter;
    while (!stop.load()) {
      p->process(l.data(), r.data(), 64, t);
      p->gainReduction(meter);
    }
  });
  for (int i = 0; i < 300; ++i) {
    auto list = p->params();
    float v;
    std::string text;
    p->getParam(i % 2, v, text);
    p->setParam(i % 2, 0.25f);
    EXPECT_EQ(list.size(), 2u);
  }
  pluginThread.join();
  stop.store(true);
  audio.join();
  EXPECT_GE(reports.load(), 300 * 2);
}

struct ContextCase {
  const char* name;
  Transport transport;
  uint32_t state;
  int64_t samples;
  double music;
  double bar;
};

void PrintTo(const ContextCase& c, std::ostream* os) { *os << c.name; }

Transport transport(double timeline, double tempo, int num, int den, bool playing = false, bool looping = false,
                    double rate = 48000.0) {
  Transport t;
  t.timelineSample = timeline;
  t.tempo = tempo;
  t.timeSigNumerator = num;
  t.timeSigDenominator = den;
  t.playing = playing;
  t.looping = looping;
  t.sampleRate = rate;
  return t;
}

class Vst3Context : public Vst3Fixture, public ::testing::WithParamInterface<ContextCase> {};

constexpr uint32_t kBase = 0x22E00;
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST_P(Vst3Context, FromTheTransport) {
  const ContextCase& c = GetParam();
  auto p = make(Vst3FxKind::Gain, 44100.0);
  ASSERT_TRUE(p);
  run(*p, 16, c.transport);
  const ProcessContext ctx = contextOf(probe());
  EXPECT_EQ(ctx.state, c.state);
  EXPECT_EQ(ctx.sampleRate, 44100.0) << "the creation rate";
  EXPECT_EQ(ctx.projectTimeSamples, c.samples);
  EXPECT_DOUBLE_EQ(ctx.projectTimeMusic, c.music);
  EXPECT_DOUBLE_EQ(ctx.barPositionMusic, c.bar);
  EXPECT_EQ(ctx.continousTimeSamples, 0);
  EXPECT_EQ(ctx.tempo, c.transport.tempo);
  EXPECT_EQ(ctx.timeSigNumerator, c.transport.timeSigNumerator);
  EXPECT_EQ(ctx.timeSigDenominator, c.transport.timeSigDenominator);
  EXPECT_EQ(ctx.systemTime, 0);
  EXPECT_EQ(ctx.cycleStartMusic, 0.0);
  EXPECT_EQ(ctx.cycleEndMusic, 0.0);
  EXPECT_EQ(ctx.samplesToNextClock, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Vst3Context,
    ::testing::Values(
        ContextCase{"SixEight", transport(96000, 120, 6, 8), kBase, 96000, 4.0, 3.0},
        ContextCase{"PlayingLooping", transport(96000, 120, 4, 4, true, true), kBase | 2 | 4, 96000, 4.0, 4.0},
        ContextCase{"Playing", transport(0, 120, 4, 4, true), kBase | 2, 0, 0.0, 0.0},
        ContextCase{"DenominatorOne", transport(480000, 120, 4, 1), kBase, 480000, 20.0, 16.0},
        ContextCase{"DenominatorZero", transport(480000, 120, 4, 0), kBase, 480000, 20.0, 16.0},
        ContextCase{"Fraction", transport(1000.9, 60, 4, 4, false, false, 1000.0), kBase, 1000, 1.0009, 0.0},
        ContextCase{"Negative", transport(-48000, 120, 4, 4), kBase, -48000, -2.0, -4.0},
        ContextCase{"NoBars", transport(96000, 120, 0, 4), kBase, 96000, 4.0, 0.0},
        ContextCase{"NaN", transport(std::nan(""), 120, 4, 4), kBase, 0, 0.0, 0.0},
        ContextCase{"Infinite", transport(kInf, 120, 4, 4), kBase, 0, 0.0, 0.0},
        ContextCase{"MinusInfinite", transport(-kInf, 120, 4, 4), kBase, 0, 0.0, 0.0},
        ContextCase{"Huge", transport(1e30, 120, 4, 4), kBase, INT64_MAX, 1e30 / 48000 * 2, 1e30 / 48000 * 2},
        ContextCase{"HugeNegative", transport(-1e30, 0, 4, 4), kBase, INT64_MIN, 0.0, 0.0},
        ContextCase{"NoRate", transport(96000, 120, 4, 4, false, false, 0.0), kBase, 96000, 0.0, 0.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Vst3Fixture, ContinuousTimeCountsFramesUntilReset) {
  auto p = make(Vst3FxKind::Gain);
  ASSERT_TRUE(p);
  run(*p, 64);
  run(*p, 32);
  run(*p, 8);
  EXPECT_EQ(contextOf(probe()).continousTimeSamples, 96);
  clearCalls();
  p->reset();
  EXPECT_EQ(calls(), (std::vector<std::string>{"Gain.setProcessing 0", "Gain.setProcessing 1"}));
  run(*p, 8);
  EXPECT_EQ(contextOf(probe()).continousTimeSamples, 0);
}

TEST_F(Vst3Fixture, BlocksThatCannotBeProcessedPassDry) {
  auto p = make(Vst3FxKind::Gain, 48000.0, 256);
  ASSERT_TRUE(p);
  p->setParam(0, 1.0f);  // gain 2
  for (int frames : {0, 257}) {
    std::vector<float> l(300, 0.5f), r(300, 0.5f);
    p->process(l.data(), r.data(), frames, Transport{});
    EXPECT_EQ(l[0], 0.5f) << frames;
  }
  EXPECT_EQ(probe()->blocks(), 0) << "the plug-in never saw them";
  EXPECT_FLOAT_EQ(run(*p, 256).left[255], 2 * 2.56f);

  auto failing = make(Vst3FxKind::FailProcess);
  ASSERT_TRUE(failing);
  Block b = run(*failing, 32);
  EXPECT_FLOAT_EQ(b.left[3], 0.04f) << "a refused block keeps its input";
  EXPECT_FLOAT_EQ(b.right[3], -0.04f);
}

TEST_F(Vst3Fixture, LatencyAndTail) {
  auto gain = make(Vst3FxKind::Gain);
  auto delay = make(Vst3FxKind::Delay, 96000.0);
  ASSERT_TRUE(gain && delay);
  EXPECT_EQ(gain->latencySamples(), 0);
  EXPECT_DOUBLE_EQ(gain->tailSeconds(), 1.0);  // 48000 samples at 48000 Hz
  EXPECT_EQ(delay->latencySamples(), 64);
  EXPECT_DOUBLE_EQ(delay->tailSeconds(), 10.0) << "an infinite tail";
  Block b = run(*delay, 100);
  EXPECT_FLOAT_EQ(b.left[63], 0.0f);
  EXPECT_FLOAT_EQ(b.left[64], 0.01f);
  EXPECT_FLOAT_EQ(b.right[65], -0.02f);
}

TEST_F(Vst3Fixture, SeparateControllerIsJoinedByHostMadeMessages) {
  auto p = make(Vst3FxKind::Delay);
  ASSERT_TRUE(p);
  const std::vector<std::string> wanted = {
      "Factory.setHostContext set",
      "Delay.initialize",
      "DelayController.initialize",
      "Delay.connect",
      "DelayController.notify ready latency=64 level=0.50 from=Delay blob=3 missing=no",
      "DelayController.connect",
      // the text is cut to the receiver's buffer of 8 units
      "Delay.notify ready latency=64 level=0.50 from=DelayCo blob=3 missing=no",
      "DelayController.setComponentState 1.00",
      "DelayController.setComponentHandler set",
  };
  std::vector<std::string> seen;
  for (const auto& line : calls())
    if (std::find(wanted.begin(), wanted.end(), line) != wanted.end()) seen.push_back(line);
  EXPECT_EQ(seen, wanted);
  const auto list = p->params();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, "Level");
}

// Lengths that 32-bit arithmetic would wrap.
std::vector<uint8_t> blob(uint32_t n1, const std::string& component, uint32_t n2, const std::string& controller) {
  std::vector<uint8_t> b = {'Q', 'L', 'V', '3'};
  auto le = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  le(n1);
  b.insert(b.end(), component.begin(), component.end());
  le(n2);
  b.insert(b.end(), controller.begin(), controller.end());
  return b;
}

std::string gainState(double v) {
  std::string s = "GAIN";
  s.append(reinterpret_cast<const char*>(&v), 8);
  return s;
}

struct BlobCase {
  const char* name;
  Vst3FxKind kind;
  std::vector<uint8_t> bytes;
  bool accepted;
  const char* componentCall;  // what the component's setState logged; null: not called
};

void PrintTo(const BlobCase& c, std::ostream* os) { *os << c.name; }

class Vst3Blob : public Vst3Fixture, public ::testing::WithParamInterface<BlobCase> {};

TEST_P(Vst3Blob, IsCheckedBeforeTheComponentSeesIt) {
  const BlobCase& c = GetParam();
  auto p = make(c.kind);
  ASSERT_TRUE(p);
  clearCalls();
  EXPECT_EQ(p->setState(c.bytes), c.accepted);
  const std::string name = c.kind == Vst3FxKind::Gain ? "Gain" : "Delay";
  if (c.componentCall) {
    EXPECT_TRUE(called(name + ".setState " + c.componentCall));
  } else {
    for (const auto& line : calls()) EXPECT_NE(line.rfind(name + ".setState", 0), 0u) << line;
  }
}

std::vector<uint8_t> withTail(std::vector<uint8_t> b) {
  b.insert(b.end(), {'x', 'y', 'z'});
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Vst3Blob,
    ::testing::Values(
        BlobCase{"Short", Vst3FxKind::Gain, {'Q', 'L', 'V', '3', 0, 0, 0, 0, 0, 0, 0}, false, nullptr},
        BlobCase{"BadMagic", Vst3FxKind::Gain, {'Q', 'L', 'V', '4', 0, 0, 0, 0, 0, 0, 0, 0}, false, nullptr},
        BlobCase{"ComponentPastEnd", Vst3FxKind::Gain, blob(13, gainState(0.3), 0, ""), false, nullptr},
        BlobCase{"ComponentLengthWraps", Vst3FxKind::Gain, blob(0xFFFFFFFCu, "", 0, ""), false, nullptr},
        BlobCase{"ControllerPastEnd", Vst3FxKind::Gain, blob(12, gainState(0.3), 5, "abcd"), false, nullptr},
        BlobCase{"ControllerLengthWraps", Vst3FxKind::Gain, blob(12, gainState(0.3), 0xFFFFFFF8u, "abcd"), false,
                 nullptr},
        BlobCase{"ExactFit", Vst3FxKind::Gain, blob(12, gainState(0.3), 0, ""), true, "0.30"},
        BlobCase{"ExtraBytesIgnored", Vst3FxKind::Gain, withTail(blob(12, gainState(0.4), 0, "")), true, "0.40"},
        BlobCase{"RefusedByTheComponent", Vst3FxKind::Gain, blob(4, "JUNK", 0, ""), false, "refused"},
        BlobCase{"EmptyRefused", Vst3FxKind::Gain, blob(0, "", 0, ""), false, "refused"},
        BlobCase{"EmptyAccepted", Vst3FxKind::Delay, blob(0, "", 0, ""), true, "empty"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Vst3Fixture, StateRoundTripsThroughBothHalves) {
  auto gain = make(Vst3FxKind::Gain);
  ASSERT_TRUE(gain);
  gain->setParam(0, 0.3f);
  run(*gain, 8);
  const auto single = gain->getState();
  ASSERT_EQ(single.size(), 4u + 4u + 12u + 4u);
  EXPECT_EQ(std::memcmp(single.data(), "QLV3\x0c\0\0\0GAIN", 12), 0);
  EXPECT_EQ(std::vector<uint8_t>(single.end() - 4, single.end()), std::vector<uint8_t>(4, 0))
      << "a single object has no controller state";
  auto other = make(Vst3FxKind::Gain);
  ASSERT_TRUE(other);
  ASSERT_TRUE(other->setState(single));
  EXPECT_FLOAT_EQ(run(*other, 8).left[4], 0.05f * 0.6f);

  auto a = make(Vst3FxKind::Delay);
  ASSERT_TRUE(a);
  a->setParam(0, 0.5f);
  run(*a, 8);
  const auto two = a->getState();
  auto b = make(Vst3FxKind::Delay);
  ASSERT_TRUE(b);
  clearCalls();
  ASSERT_TRUE(b->setState(two));
  EXPECT_EQ(calls(), (std::vector<std::string>{"Delay.setState 0.50", "DelayController.setComponentState 0.50",
                                               "DelayController.setState 1"}));
  float v = 0;
  std::string text;
  ASSERT_TRUE(b->getParam(0, v, text));
  EXPECT_FLOAT_EQ(v, 0.5f);
}

TEST_F(Vst3Fixture, TeardownUndoesEverythingInOrder) {
  auto p = make(Vst3FxKind::Delay);
  ASSERT_TRUE(p);
  run(*p, 16);
  clearCalls();
  p.reset();
  EXPECT_EQ(calls(), (std::vector<std::string>{
                         "Delay.setProcessing 0",
                         "Delay.setActive 0",
                         "DelayController.setComponentHandler null",
                         "Delay.disconnect",
                         "DelayController.disconnect",
                         "DelayController.terminate",
                         "Delay.terminate",
                         "DelayController.free",
                         "Delay.free",
                     }));
  EXPECT_EQ(probe()->live(), 0);
}

TEST_F(Vst3Fixture, EditorNeedsWindowsAndAView) {
  auto gain = make(Vst3FxKind::Gain);
  auto delay = make(Vst3FxKind::Delay);
  ASSERT_TRUE(gain && delay);
  EXPECT_FALSE(gain->hasEditor()) << "no windows installed";
  EXPECT_FALSE(called("Gain.createView"));
  FakeEditorWindows windows;
  clearCalls();
  EXPECT_TRUE(gain->hasEditor());
  EXPECT_TRUE(gain->hasEditor());
  EXPECT_EQ(calls(), (std::vector<std::string>{"Gain.createView", "View.free"})) << "asked once, released at once";
  EXPECT_FALSE(delay->hasEditor());
}

TEST_F(Vst3Fixture, EditorOpensFocusesAndCloses) {
  auto p = make(Vst3FxKind::Gain);
  ASSERT_TRUE(p);
  FakeEditorWindows windows;
  int closed = 0;
  p->editorClosed = [&] { ++closed; };
  const int alone = probe()->live();

  p->openEditor("Track 1 - Fx Gain");
  ASSERT_EQ(windows.opened(), 1u);
  EXPECT_EQ(windows.last()->title, "Track 1 - Fx Gain");
  EXPECT_EQ(windows.last()->width, 320);
  EXPECT_TRUE(called("View.attached " + std::to_string(windows.last()->parent) + " X11EmbedWindowID"));
  p->openEditor("again");
  EXPECT_EQ(windows.opened(), 1u);
  EXPECT_EQ(windows.last()->focusCalls, 1);

  clearCalls();
  p->closeEditor();
  EXPECT_TRUE(windows.last()->closedByCaller);
  EXPECT_EQ(calls(), (std::vector<std::string>{"View.removed", "View.free"}));
  EXPECT_EQ(closed, 0) << "the caller's close is not reported";
  p->closeEditor();  // nothing open: nothing happens

  p->openEditor("T");
  ASSERT_EQ(windows.opened(), 2u);
  windows.userClose(windows.lastHandle());
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(probe()->live(), alone) << "the view is released";

  windows.failOpen = true;
  p->openEditor("T");
  EXPECT_EQ(windows.opened(), 2u);
  EXPECT_EQ(probe()->live(), alone);
  windows.failOpen = false;

  p->openEditor("T");
  ASSERT_EQ(windows.openNow(), 1u);
  clearCalls();
  p.reset();
  EXPECT_TRUE(windows.last()->closedByCaller) << "destroying the plug-in closes its window first";
  EXPECT_EQ(closed, 1);
  const auto log = calls();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], "View.removed");
  EXPECT_EQ(log[1], "View.free");
  EXPECT_EQ(log[2], "Gain.setProcessing 0");
  EXPECT_EQ(probe()->live(), 0);
}

}  // namespace
}  // namespace bridge

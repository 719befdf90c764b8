// The Audio Unit plug-in over test components of our layer: parameters and
// the meter, rendering and the timing callbacks, latency, state, observers
// and the editor against the fake window layer.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <thread>

#include "au_fixture.h"
#include "support/fake_editor_windows.h"

namespace bridge::test {
namespace {

using au::ParameterUnit;
using AuPluginTest = AuFixture;

// Keeps each unit that `spec` makes, so a test can look at it or outlive the plug-in.
std::shared_ptr<std::shared_ptr<au::Unit>> keepUnit(au::UnitSpec& spec) {
  auto kept = std::make_shared<std::shared_ptr<au::Unit>>();
  spec.onMade = [kept](const std::shared_ptr<au::Unit>& unit) { *kept = unit; };
  return kept;
}

TEST_F(AuPluginTest, ParametersTable) {
  au::UnitSpec spec = doublingSpec();
  au::ParameterSpec shape = parameter(4, "Shape", ParameterUnit::Indexed, 0, 2, 1);
  shape.valueStrings = {"Sine", "Saw", "Square"};
  au::ParameterSpec level = parameter(6, "Level", ParameterUnit::Decibels, -12, 12, 3);
  level.format = [](float v) {
    char b[32];
    std::snprintf(b, sizeof b, "%+.1f dB", v);
    return std::string(b);
  };
  au::ParameterSpec rate = parameter(7, "Rate", ParameterUnit::Hertz, 20, 20000, 1000);
  rate.unitName = "widgets";
  au::ParameterSpec far = parameter(0x100000003ull, "Far", ParameterUnit::Generic, 0, 10, 5);
  far.global = false;
  spec.parameters = {parameter(0, "Time", ParameterUnit::Seconds, 0, 1, 0.25f),
                     parameter(1, "Plain", ParameterUnit::Generic, 0, 1, 0.25f),
                     parameter(2, "Mode", ParameterUnit::Indexed, 0, 4, 2),
                     parameter(3, "Switch", ParameterUnit::Boolean, 0, 1, 1),
                     shape,
                     parameter(5, "Fixed", ParameterUnit::Generic, 0, 0, 0),
                     level,
                     rate,
                     far,
                     parameter(9, "Big", ParameterUnit::Generic, 0, 1e6f, 123456)};
  auto p = make(spec);
  ASSERT_TRUE(p);
  struct Want {
    const char* id;
    const char* name;
    const char* unit;
    float value;
    const char* text;
    int steps;
    float def;
  } want[] = {
      {"0", "Time", "s", 0.25f, "0.25 s", 0, 0.25f},      // the "%.3g" text with the label
      {"1", "Plain", "", 0.25f, "0.25", 0, 0.25f},        // ... without one
      {"2", "Mode", "", 0.5f, "2", 5, 0.5f},              // Indexed 0..4, no value strings
      {"3", "Switch", "", 1.0f, "1", 2, 1.0f},            // Boolean
      {"4", "Shape", "", 0.5f, "Saw", 3, 0.5f},           // value strings count
      {"5", "Fixed", "", 0.0f, "0", 0, -1.0f},            // range 0..0
      {"6", "Level", "dB", 0.625f, "+3.0 dB", 0, 0.625f}, // the unit's own text
      {"7", "Rate", "widgets", (1000.0f - 20) / 19980, "1e+03 widgets", 0, (1000.0f - 20) / 19980},
      {"4294967299", "Far", "", 0.5f, "5", 0, -1.0f},     // 64-bit address: no info query
      {"9", "Big", "", 0.123456f, "1.23e+05", 0, 0.123456f},
  };
  const std::vector<ParamInfo> list = p->params();
  ASSERT_EQ(list.size(), std::size(want));
  for (size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list[i].index, static_cast<int>(i));
    EXPECT_EQ(list[i].id, want[i].id);
    EXPECT_EQ(list[i].name, want[i].name);
    EXPECT_EQ(list[i].unit, want[i].unit) << want[i].name;
    EXPECT_FLOAT_EQ(list[i].value, want[i].value) << want[i].name;
    EXPECT_EQ(list[i].text, want[i].text) << want[i].name;
    EXPECT_EQ(list[i].steps, want[i].steps) << want[i].name;
    EXPECT_FLOAT_EQ(list[i].def, want[i].def) << want[i].name;
  }

  float value = 7.0f;
  std::string text = "kept";
  EXPECT_FALSE(p->getParam(-1, value, text));
  EXPECT_FALSE(p->getParam(static_cast<int>(list.size()), value, text));
  EXPECT_EQ(value, 7.0f);
  EXPECT_EQ(text, "kept");
  EXPECT_FALSE(p->gainReduction(value));
  EXPECT_TRUE(std::isnan(p->toDb(1.0f)));
  EXPECT_EQ(p->tailSeconds(), 0.0);
}

TEST(AuPluginLabels, UnitLabels) {
  const std::pair<ParameterUnit, const char*> table[] = {
      {ParameterUnit::Percent, "%"},      {ParameterUnit::Seconds, "s"},       {ParameterUnit::Hertz, "Hz"},
      {ParameterUnit::Cents, "cents"},    {ParameterUnit::Decibels, "dB"},     {ParameterUnit::Degrees, "\xC2\xB0"},
      {ParameterUnit::Octaves, "oct"},    {ParameterUnit::Bpm, "BPM"},         {ParameterUnit::Beats, "beats"},
      {ParameterUnit::Milliseconds, "ms"}, {ParameterUnit::Ratio, ":1"},      {ParameterUnit::Generic, ""},
      {ParameterUnit::Indexed, ""},       {ParameterUnit::Boolean, ""},        {ParameterUnit::LinearGain, ""},
      {ParameterUnit::CustomUnit, ""},
  };
  std::vector<au::ParameterSpec> specs;
  for (const auto& [unit, label] : table) specs.push_back(parameter(specs.size(), "x", unit, 0, 1, 0));
  au::ParameterSpec named = parameter(99, "x", ParameterUnit::Percent, 0, 1, 0);
  named.unitName = "pts";
  specs.push_back(named);
  au::ParameterTree tree(specs);
  for (size_t i = 0; i < std::size(table); ++i)
    EXPECT_EQ(AuPlugin::unitLabel(*tree.allParameters()[i]), table[i].second) << i;
  EXPECT_EQ(AuPlugin::unitLabel(*tree.allParameters().back()), "pts") << "the unit name wins";
}

TEST_F(AuPluginTest, MeterCandidates) {
  constexpr uint32_t kWritable = au::kParameterFlagIsReadable | au::kParameterFlagIsWritable;
  constexpr uint32_t kReadOnly = au::kParameterFlagIsReadable;
  constexpr uint32_t kMeter = kWritable | au::kParameterFlagMeterReadOnly;
  struct P {
    const char* name;
    uint32_t flags;
    bool global;
  };
  struct Case {
    const char* what;
    std::vector<P> params;
    int meter;  // index of the meter, -1 for none
  } cases[] = {
      {"writable GR", {{"GR", kWritable, true}}, -1},
      {"meter flag", {{"GR", kMeter, true}}, 0},
      {"not writable", {{"Gain Reduction", kReadOnly, true}}, 0},
      {"not in the global list", {{"Gain Reduction", kReadOnly, false}}, -1},
      {"name that fails", {{"Grit", kReadOnly, true}, {"GR-L", kMeter, true}}, -1},
      {"first passing candidate",
       {{"Output", kReadOnly, true}, {"Compression Amount", kMeter, true}, {"gr left", kReadOnly, true}}, 1},
  };
  for (const Case& c : cases) {
    au::UnitSpec spec = doublingSpec();
    for (size_t i = 0; i < c.params.size(); ++i) {
      au::ParameterSpec s = parameter(i, c.params[i].name, ParameterUnit::Decibels, 0, 10, 1.5f + i);
      s.flags = c.params[i].flags;
      s.global = c.params[i].global;
      if (!s.global) s.address += 0x100000000ull;
      spec.parameters.push_back(s);
    }
    auto p = make(spec);
    float reading = -1.0f;
    EXPECT_EQ(p->gainReduction(reading), c.meter >= 0) << c.what;
    if (c.meter >= 0) {
      EXPECT_EQ(reading, 1.5f + c.meter) << c.what;
      EXPECT_EQ(p->toDb(4.0f), 4.0f) << c.what << ": a decibel meter reads as it is";
    } else {
      EXPECT_TRUE(std::isnan(p->toDb(4.0f))) << c.what;
    }
  }
}

TEST_F(AuPluginTest, ToDbFollowsTheMetersUnitAndText) {
  auto fmt = [](const char* pattern) {
    return [pattern](float v) {
      char b[32];
      std::snprintf(b, sizeof b, pattern, v);
      return std::string(b);
    };
  };
  struct Case {
    const char* what;
    ParameterUnit unit;
    const char* unitName;
    std::function<std::string(float)> format;
    float value, want;
  } cases[] = {
      {"decibel unit", ParameterUnit::Decibels, "", fmt("%.1f"), -3.25f, -3.25f},
      {"label gives dB", ParameterUnit::Generic, "dB", fmt("%.1f"), -3.5f, -3.5f},
      {"text gives dB", ParameterUnit::Generic, "", fmt("%.1fdB"), -2.0f, -2.0f},
      {"no dB anywhere", ParameterUnit::Percent, "", fmt("%.0f"), 12.0f, NAN},
  };
  for (const Case& c : cases) {
    au::UnitSpec spec = doublingSpec();
    au::ParameterSpec m = parameter(0, "Gain Reduction", c.unit, -60, 60, 0);
    m.flags = au::kParameterFlagIsReadable;
    m.unitName = c.unitName;
    m.format = c.format;
    spec.parameters = {m};
    auto p = make(spec);
    const float got = p->toDb(c.value);
    if (std::isnan(c.want))
      EXPECT_TRUE(std::isnan(got)) << c.what;
    else
      EXPECT_FLOAT_EQ(got, c.want) << c.what;
  }
}

TEST_F(AuPluginTest, SetParamGlobalAgainstNonGlobal) {
  au::UnitSpec spec = doublingSpec();
  au::ParameterSpec inTree = parameter(0x100000004ull, "Tree", ParameterUnit::Generic, -1, 1, 0);
  inTree.global = false;
  spec.parameters = {parameter(3, "Global", ParameterUnit::Generic, 0, 10, 0), inTree};
  auto unit = keepUnit(spec);
  auto p = make(spec);
  std::vector<int> changed;
  p->paramChanged = [&](int index) { changed.push_back(index); };

  p->setParam(0, 0.3f);
  float plain = 0.0f;
  ASSERT_EQ((*unit)->getParameter(3, au::Scope::Global, 0, plain), au::kNoErr);
  EXPECT_FLOAT_EQ(plain, 3.0f) << "through the parameter call";
  p->setParam(1, 0.75f);
  EXPECT_FLOAT_EQ((*unit)->parameterTree()->allParameters()[1]->value(), 0.5f) << "through the tree";
  EXPECT_EQ(changed, (std::vector<int>{0, 1})) << "each reported by the observer, by index";

  float v;
  std::string text;
  ASSERT_TRUE(p->getParam(0, v, text));
  EXPECT_FLOAT_EQ(v, 0.3f);
  EXPECT_EQ(text, "3");
  ASSERT_TRUE(p->getParam(1, v, text));
  EXPECT_FLOAT_EQ(v, 0.75f);

  for (int index : {-1, 2}) p->setParam(index, 0.9f);
  p->setParam(0, NAN);
  ASSERT_TRUE(p->getParam(0, v, text));
  EXPECT_FLOAT_EQ(v, 0.3f) << "ignored";
  EXPECT_EQ(changed.size(), 2u);
}

TEST_F(AuPluginTest, LatencyRoundsHalvesAwayFromZero) {
  // 1024 Hz: every latency below is exact in samples.
  au::UnitSpec spec = doublingSpec();
  auto unit = keepUnit(spec);
  auto p = make(spec, 1024.0);
  int changes = 0;
  p->latencyChanged = [&] { ++changes; };
  const std::pair<double, int> table[] = {
      {0.0, 0},          {2.25 / 1024, 2},  {2.5 / 1024, 3},   {1.5 / 1024, 2},   {0.5 / 1024, 1},
      {-0.5 / 1024, -1}, {NAN, 0},          {INFINITY, 0},     {1e300, INT_MAX},  {-1e300, INT_MIN},
  };
  for (const auto& [seconds, samples] : table) {
    (*unit)->setLatency(seconds);
    EXPECT_EQ(p->latencySamples(), samples) << seconds;
  }
  EXPECT_EQ(changes, static_cast<int>(std::size(table))) << "each change is reported";

  for (const auto& [rate, samples] : {std::pair<double, int>{48000.0, 72}, {44100.0, 66}}) {
    Created delay = create("AU:aufx:dely:Krvl", rate);
    ASSERT_TRUE(delay.plugin);
    EXPECT_EQ(delay.plugin->latencySamples(), samples) << rate;
    EXPECT_EQ(delay.plugin->tailSeconds(), 0.0015);
  }
}

TEST_F(AuPluginTest, RenderBranches) {
  struct Case {
    const char* what;
    std::function<void(au::UnitSwitches&)> change;
    int frames;
    bool rendered;
  } cases[] = {
      {"into our buffers, input pointed at the block", [](au::UnitSwitches&) {}, 64, true},
      {"input copied into the unit's buffers", [](au::UnitSwitches& s) { s.ownInputBuffers = true; }, 64, true},
      {"rendered in place into the block", [](au::UnitSwitches& s) { s.renderInPlace = true; }, 64, true},
      {"the largest block", [](au::UnitSwitches&) {}, 256, true},
      {"beyond the largest block", [](au::UnitSwitches&) {}, 257, false},
      {"no frames", [](au::UnitSwitches&) {}, 0, false},
  };
  for (const Case& c : cases) {
    au::UnitSpec spec = doublingSpec();
    c.change(spec.switches);
    auto p = make(spec);
    std::vector<float> left(300), right(300);
    for (size_t i = 0; i < left.size(); ++i) left[i] = 0.25f * i, right[i] = -0.5f * i;
    const std::vector<float> inL = left, inR = right;
    p->process(left.data(), right.data(), c.frames, Transport{});
    for (int i = 0; i < c.frames; ++i) {
      ASSERT_EQ(left[i], c.rendered ? 2 * inL[i] : inL[i]) << c.what << " at " << i;
      ASSERT_EQ(right[i], c.rendered ? 2 * inR[i] : inR[i]) << c.what << " at " << i;
    }
    EXPECT_EQ(left[c.frames], inL[c.frames]) << c.what << ": nothing beyond the block";
  }

  au::UnitSpec failing = doublingSpec();
  failing.switches.failRender = true;
  auto p = make(failing);
  auto q = make(failing);
  float left[8] = {1, 2, 3, 4, 5, 6, 7, 8}, right[8] = {8, 7, 6, 5, 4, 3, 2, 1};
  testing::internal::CaptureStderr();
  p->process(left, right, 8, Transport{});
  p->process(left, right, 8, Transport{});
  q->process(left, right, 8, Transport{});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "AU render failed: -10849\nAU render failed: -10849\n")
      << "once per plug-in";
  EXPECT_EQ(left[0], 1.0f) << "a failed block passes dry";
  EXPECT_EQ(right[7], 1.0f);
}

// Asks the host's three timing callbacks on every render.
struct Timing {
  double beat = -1, tempo = -1, sample = -1, downbeat = -1, cycleStart = -1, cycleEnd = -1;
  uint32_t toNextBeat = 1, denominator = 1;
  float numerator = -1;
  bool playing = false, recording = true, changed = true, cycling = false;
  au::Status status = -1;
};

class TimingDsp final : public au::Dsp {
 public:
  explicit TimingDsp(std::shared_ptr<Timing> t) : t_(std::move(t)) {}
  au::Status render(au::Unit& unit, const float*, const float*, float*, float*, uint32_t) override {
    const au::HostCallbacks& h = unit.hostCallbacks();
    Timing& t = *t_;
    t.status = h.beatAndTempo(h.userData, &t.beat, &t.tempo) |
               h.musicalTime(h.userData, &t.toNextBeat, &t.numerator, &t.denominator, &t.downbeat) |
               h.transportState2(h.userData, &t.playing, &t.recording, &t.changed, &t.sample, &t.cycling,
                                 &t.cycleStart, &t.cycleEnd);
    // Null outputs are left alone.
    h.beatAndTempo(h.userData, nullptr, nullptr);
    h.musicalTime(h.userData, nullptr, nullptr, nullptr, nullptr);
    h.transportState2(h.userData, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    return h.transportState ? -1 : au::kNoErr;  // the first transport entry stays empty
  }

 private:
  std::shared_ptr<Timing> t_;
};

TEST_F(AuPluginTest, TimingCallbacksAnswerFromTheBlocksTransport) {
  auto timing = std::make_shared<Timing>();
  au::UnitSpec spec;
  spec.makeDsp = [timing] { return std::make_unique<TimingDsp>(timing); };
  auto p = make(spec);
  struct Case {
    const char* what;
    double timeline, tempo;
    int num, den;
    double rate;
    double beat;
    uint32_t toNext;
    double downbeat;
  } cases[] = {
      {"on a beat", 48000, 120, 4, 4, 48000, 2, 0, 0},
      {"between beats", 36000, 120, 4, 4, 48000, 1.5, 12000, 0},
      {"slower tempo", 36000, 90, 4, 4, 48000, 1.125, 28000, 0},
      {"second bar of 3/4", 144000, 120, 3, 4, 48000, 6, 0, 6},
      {"eighths of 6/8", 120000, 120, 6, 8, 48000, 10, 0, 6},
      {"tempo 0", 36000, 0, 4, 4, 48000, 0, 0, 0},
      {"negative tempo", 36000, -120, 4, 4, 48000, -1.5, 0, -4},
      {"tempo far too slow", 36000, 1e-9, 4, 4, 48000, 0.75 * 1e-9 / 60, UINT32_MAX, 0},
      {"numerator 0", 36000, 120, 0, 4, 48000, 1.5, 12000, 0},
      {"not a number", NAN, 120, 4, 4, 48000, 0, 0, 0},
      {"infinite", INFINITY, 120, 4, 4, 48000, 0, 0, 0},
      {"rate 0", 36000, 120, 4, 4, 0, 0, 0, 0},
      {"huge", 1e300, 120, 4, 4, 48000, 1e300 / 48000 * 120 / 60, 0, 1e300 / 48000 * 120 / 60},
  };
  for (const Case& c : cases) {
    Transport t;
    t.timelineSample = c.timeline;
    t.tempo = c.tempo;
    t.timeSigNumerator = c.num;
    t.timeSigDenominator = c.den;
    t.sampleRate = c.rate;
    t.playing = true;
    t.looping = true;
    float l[4] = {}, r[4] = {};
    testing::internal::CaptureStderr();
    p->process(l, r, 4, t);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.what;
    EXPECT_EQ(timing->status, au::kNoErr) << c.what;
    EXPECT_DOUBLE_EQ(timing->beat, c.beat) << c.what;
    EXPECT_EQ(timing->tempo, c.tempo) << c.what;
    EXPECT_EQ(timing->toNextBeat, c.toNext) << c.what;
    EXPECT_DOUBLE_EQ(timing->downbeat, c.downbeat) << c.what;
    EXPECT_EQ(timing->numerator, static_cast<float>(c.num)) << c.what;
    EXPECT_EQ(timing->denominator, static_cast<uint32_t>(c.den)) << c.what;
    EXPECT_TRUE(timing->playing && timing->cycling && !timing->recording && !timing->changed) << c.what;
    EXPECT_EQ(timing->cycleStart + timing->cycleEnd, 0.0) << c.what;
    if (std::isnan(c.timeline))
      EXPECT_TRUE(std::isnan(timing->sample));
    else
      EXPECT_EQ(timing->sample, c.timeline) << c.what;
  }
}

TEST_F(AuPluginTest, StateRoundTripAndRefusal) {
  for (const char* id : {"AU:aufx:gain:Krvl", "AU:aufx:dely:Krvl"}) {
    Created a = create(id);
    ASSERT_TRUE(a.plugin) << a.error;
    a.plugin->setParam(0, 0.75f);
    const std::vector<ParamInfo> before = a.plugin->params();
    const std::vector<uint8_t> blob = a.plugin->getState();
    ASSERT_GT(blob.size(), 8u);
    EXPECT_EQ(std::string(blob.begin(), blob.begin() + 8), "bplist00");

    Created b = create(id);
    ASSERT_TRUE(b.plugin);
    std::vector<int> changed;
    b.plugin->paramChanged = [&](int index) { changed.push_back(index); };
    const std::vector<ParamInfo> fresh = b.plugin->params();
    ASSERT_TRUE(b.plugin->setState(blob)) << id;
    const std::vector<ParamInfo> after = b.plugin->params();
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after[0].value, 0.75f) << id;
    EXPECT_EQ(after[0].text, before[0].text) << id;
    EXPECT_EQ(changed, (std::vector<int>{0})) << id << ": the restored values are reported";

    // An array is no state; neither are stray bytes. Nothing changes.
    std::vector<uint8_t> array;
    ASSERT_TRUE(plist::writeBinary(plist::Value(plist::Array{plist::Value(1)}), array));
    Created c = create(id);
    for (const std::vector<uint8_t>& bad : {array, std::vector<uint8_t>{}, std::vector<uint8_t>(40, 0x42)})
      EXPECT_FALSE(c.plugin->setState(bad)) << id;
    EXPECT_EQ(c.plugin->params()[0].value, fresh[0].value) << id;
  }
  Created gain = create("AU:aufx:gain:Krvl");
  EXPECT_EQ(gain.plugin->params()[0].text, "0 dB");
  gain.plugin->setParam(0, 0.75f);
  EXPECT_EQ(gain.plugin->params()[0].text, "12 dB");
}

TEST_F(AuPluginTest, BuiltInCompressorMetersItsReduction) {
  Created c = create("AU:aufx:comp:Krvl");
  ASSERT_TRUE(c.plugin) << c.error;
  float left[32], right[32];
  for (int i = 0; i < 32; ++i) left[i] = right[i] = (i % 2 ? 1.0f : -1.0f);  // 0 dBFS peaks
  c.plugin->process(left, right, 32, Transport{});
  float reduction = 0.0f;
  ASSERT_TRUE(c.plugin->gainReduction(reduction));
  EXPECT_FLOAT_EQ(reduction, 9.0f) << "12 dB over a -12 dB threshold at 4:1";
  EXPECT_FLOAT_EQ(c.plugin->toDb(reduction), 9.0f);
  EXPECT_NEAR(left[1], std::pow(10.0, -9.0 / 20.0), 1e-6);
}

TEST_F(AuPluginTest, ObserversReachOnlyALivePlugin) {
  au::UnitSpec spec = doublingSpec();
  spec.parameters = {parameter(0, "A", ParameterUnit::Generic, 0, 1, 0)};
  auto unit = keepUnit(spec);
  auto p = make(spec);
  auto counts = std::make_shared<std::atomic<int>>(0);
  p->paramChanged = [counts](int) { ++*counts; };
  p->latencyChanged = [counts] { ++*counts; };
  (*unit)->parameterTree()->allParameters()[0]->setValue(0.5f);
  (*unit)->setLatency(0.1);
  EXPECT_EQ(counts->load(), 2);

  // The unit reports from another thread while the plug-in goes.
  std::atomic<bool> stop{false};
  std::thread reporter([&, u = *unit] {
    for (int i = 0; i < 2000 && !stop.load(); ++i) {
      u->parameterTree()->allParameters()[0]->setValue(static_cast<float>(i % 2));
      u->setLatency(i * 1e-4);
    }
  });
  p.reset();
  const int atGone = counts->load();
  stop.store(true);
  reporter.join();
  EXPECT_EQ(counts->load(), atGone) << "nothing reached it after it went";
  (*unit)->parameterTree()->allParameters()[0]->setValue(0.25f);
  (*unit)->setLatency(0.2);
  EXPECT_EQ(counts->load(), atGone);
  EXPECT_FALSE((*unit)->initialized()) << "uninitialised when destroyed";
}

// ---- editor ----

class LegacyView final : public au::CocoaUiBase {
 public:
  std::unique_ptr<au::View> uiViewForAudioUnit(au::Unit&, au::Size) override {
    return std::make_unique<au::View>("legacy", au::Size{500, 250});
  }
};

TEST_F(AuPluginTest, EditorSizes) {
  au::registerViewClass("/test/Legacy.bundle", "LegacyView", {true, [] { return std::make_unique<LegacyView>(); }});
  au::registerViewClass("/test/Legacy.bundle", "Stranger", {false, [] { return std::make_unique<LegacyView>(); }});
  auto controller = [](au::Size frame, au::Size preferred = {}) {
    return [=](au::UnitSpec& s) {
      s.viewFrame = frame;
      s.preferredSize = preferred;
    };
  };
  auto legacy = [](const char* name) {
    return [=](au::UnitSpec& s) { s.cocoaView = au::CocoaViewInfo{"/test/Legacy.bundle", {name, "Other"}}; };
  };
  struct Case {
    const char* what;
    std::function<void(au::UnitSpec&)> change;
    int width, height;
    bool generic;  // the windowing system's generic view is shown
  } cases[] = {
      {"small view", controller({150, 80}), 400, 300, false},
      {"narrow view", controller({150, 120}), 400, 120, false},
      {"preferred size", controller({100, 100}, {640, 480}), 640, 480, false},
      {"preferred height only", controller({300, 200}, {0, 480}), 300, 200, false},
      {"absurd size", controller({1e300, NAN}), 16384, 300, false},
      {"legacy view class", legacy("LegacyView"), 500, 250, false},
      {"class without the view protocol: the generic view", legacy("Stranger"), 360, 300, true},
      {"class not in the bundle: the generic view", legacy("Missing"), 360, 300, true},
      {"generic view of three parameters",
       [](au::UnitSpec& s) {
         for (int i = 0; i < 3; ++i) s.parameters.push_back(parameter(i, "P", ParameterUnit::Generic, 0, 1, 0));
       },
       360, 116, true},
  };
  for (const Case& c : cases) {
    FakeEditorWindows windows;
    au::UnitSpec spec = doublingSpec();
    c.change(spec);
    auto p = make(spec);
    EXPECT_TRUE(p->hasEditor());
    p->openEditor("Track 1 - Test");
    flushCompletion();
    queue.drain();
    ASSERT_EQ(windows.opened(), 1u) << c.what;
    EXPECT_EQ(windows.last()->width, c.width) << c.what;
    EXPECT_EQ(windows.last()->height, c.height) << c.what;
    EXPECT_EQ(windows.last()->title, "Track 1 - Test");
    EXPECT_FALSE(windows.last()->resizable);
    ASSERT_EQ(windows.generics.size(), c.generic ? 1u : 0u) << c.what;
    if (c.generic) {
      EXPECT_EQ(windows.generics[0]->parent, windows.last()->parent) << "attached to the window";
      EXPECT_EQ(windows.generics[0]->rows.size(), p->params().size());
    }
  }
}

// A unit with no view of its own: a gain in dB, an indexed choice, a switch
// and a meter, one of them reached through the tree only.
au::UnitSpec genericSpec() {
  au::UnitSpec spec = doublingSpec();
  au::ParameterSpec mode = parameter(2, "Mode", ParameterUnit::Indexed, 0, 2, 1);
  mode.valueStrings = {"Soft", "Hard", "Clip"};
  au::ParameterSpec bypass = parameter(0x100000005ull, "Bypass", ParameterUnit::Boolean, 0, 1, 0);
  bypass.global = false;
  au::ParameterSpec meter = parameter(7, "Gain Reduction", ParameterUnit::Decibels, 0, 30, 0);
  meter.flags = au::kParameterFlagIsReadable | au::kParameterFlagMeterReadOnly;
  spec.parameters = {parameter(0, "Gain", ParameterUnit::Decibels, -24, 24, 0), mode, bypass, meter};
  return spec;
}

TEST_F(AuPluginTest, GenericViewRowsAreTheParameterTree) {
  FakeEditorWindows windows;
  auto p = make(genericSpec());
  p->openEditor("Track 1 - Gain");
  flushCompletion();
  queue.drain();
  ASSERT_EQ(windows.generics.size(), 1u);
  const auto& rows = windows.generics[0]->rows;
  struct Row {
    const char* name;
    float value;
    const char* text;
    int steps;
    bool writable;
  } want[] = {
      {"Gain", 0.5f, "0 dB", 0, true},
      {"Mode", 0.5f, "Hard", 3, true},
      {"Bypass", 0.0f, "0", 2, true},
      {"Gain Reduction", 0.0f, "0 dB", 0, false},
  };
  ASSERT_EQ(rows.size(), std::size(want));
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].name, want[i].name);
    EXPECT_FLOAT_EQ(rows[i].value, want[i].value) << want[i].name;
    EXPECT_EQ(rows[i].text, want[i].text);
    EXPECT_EQ(rows[i].steps, want[i].steps) << want[i].name;
    EXPECT_EQ(rows[i].writable, want[i].writable) << want[i].name;
  }

  // Without generic views in the windowing system the window opens as before,
  // empty.
  FakeEditorWindows plain;
  plain.genericViews = false;
  auto q = make(genericSpec());
  q->openEditor("Track 2 - Gain");
  flushCompletion();
  queue.drain();
  ASSERT_EQ(plain.opened(), 1u);
  EXPECT_EQ(std::make_pair(plain.last()->width, plain.last()->height), std::make_pair(360, 144));
  EXPECT_TRUE(plain.generics.empty());
}

TEST_F(AuPluginTest, GenericViewFollowsChangesOnTheMainThreadOnly) {
  FakeEditorWindows windows;
  auto p = make(genericSpec());
  p->openEditor("Track 1 - Gain");
  flushCompletion();
  queue.drain();
  ASSERT_EQ(windows.generics.size(), 1u);
  auto& view = *windows.generics[0];

  // Changes from another thread, through the parameter calls and through the
  // tree alone, many in a row: nothing touches the view there; each changed
  // row is refreshed once, on the main queue, with its latest value.
  std::thread([&] {
    for (int i = 0; i <= 8; ++i) p->setParam(0, static_cast<float>(i) / 8.0f);
    p->setParam(2, 1.0f);
  }).join();
  EXPECT_TRUE(view.updates.empty());
  queue.drain();
  EXPECT_EQ(view.updates, (std::vector<int>{0, 2}));
  EXPECT_EQ(view.rows[0].text, "24 dB");
  EXPECT_FLOAT_EQ(view.rows[0].value, 1.0f);
  EXPECT_EQ(view.rows[2].text, "1");

  // The user moves a slider: the parameter is set, and the view shows what the
  // plug-in made of it.
  view.updates.clear();
  view.set(0, 0.25f);
  float v = 0;
  std::string text;
  ASSERT_TRUE(p->getParam(0, v, text));
  EXPECT_EQ(text, "-12 dB");
  queue.drain();
  EXPECT_EQ(view.updates, (std::vector<int>{0}));
  EXPECT_EQ(view.rows[0].text, "-12 dB");
}

TEST_F(AuPluginTest, NoRefreshReachesAGenericViewThatIsGone) {
  struct Case {
    const char* what;
    std::function<void(std::unique_ptr<AuPlugin>&, FakeEditorWindows&)> close;
  } cases[] = {
      {"closed by the caller", [](auto& p, auto&) { p->closeEditor(); }},
      {"closed by the user", [](auto&, auto& w) { w.userClose(w.lastHandle()); }},
      {"the plug-in goes", [](auto& p, auto&) { p.reset(); }},
  };
  for (const Case& c : cases) {
    FakeEditorWindows windows;
    auto p = make(genericSpec());
    int closed = 0;
    p->editorClosed = [&] { ++closed; };
    p->openEditor("Track 1 - Gain");
    flushCompletion();
    queue.drain();
    ASSERT_EQ(windows.generics.size(), 1u) << c.what;
    auto view = windows.generics[0];

    std::thread([&] { p->setParam(0, 1.0f); }).join();  // its refresh is on its way
    c.close(p, windows);
    EXPECT_TRUE(view->gone) << c.what;
    EXPECT_EQ(closed, 1) << c.what;
    queue.drain();
    EXPECT_TRUE(view->updates.empty()) << c.what;
    if (p) {
      std::thread([&] { p->setParam(0, 0.0f); }).join();
      EXPECT_EQ(queue.pending(), 0u) << c.what << ": nothing watches the parameters any more";
    }
  }
}

TEST_F(AuPluginTest, EditorClosePathsAndPendingRequests) {
  au::UnitSpec spec = doublingSpec();
  spec.viewFrame = au::Size{300, 200};
  auto settle = [&] {
    flushCompletion();
    queue.drain();
  };
  {
    auto p = make(spec);
    EXPECT_FALSE(p->hasEditor()) << "no window layer installed";
    p->openEditor("none");
    settle();
  }
  FakeEditorWindows windows;
  auto p = make(spec);
  int closed = 0;
  p->editorClosed = [&] { ++closed; };

  // Asked twice before the view arrives: one window.
  p->openEditor("A");
  p->openEditor("A");
  settle();
  ASSERT_EQ(windows.openNow(), 1u);
  p->openEditor("A");
  EXPECT_EQ(windows.last()->focusCalls, 1) << "an open window comes to the front";

  // The user closes it; it opens anew.
  windows.userClose(windows.lastHandle());
  EXPECT_EQ(closed, 1);
  p->openEditor("B");
  settle();
  ASSERT_EQ(windows.opened(), 2u);
  EXPECT_EQ(windows.openNow(), 1u);

  // The caller closes it; once.
  p->closeEditor();
  p->closeEditor();
  EXPECT_EQ(closed, 2);
  EXPECT_TRUE(windows.last()->closedByCaller);

  // Closed before the view arrives: nothing opens.
  p->openEditor("C");
  p->closeEditor();
  settle();
  EXPECT_EQ(windows.opened(), 2u);
  EXPECT_EQ(closed, 2);

  // Destroyed with the window open: closed and reported.
  p->openEditor("D");
  settle();
  ASSERT_EQ(windows.openNow(), 1u);
  p.reset();
  EXPECT_EQ(closed, 3);
  EXPECT_EQ(windows.openNow(), 0u);

  // Destroyed before the view arrives: the posted work is dropped.
  auto q = make(spec);
  q->openEditor("E");
  q.reset();
  settle();
  EXPECT_EQ(windows.opened(), 3u);
}

}  // namespace
}  // namespace bridge::test

// The CLAP plug-in wrapper against our real test plug-ins: parameters, events,
// transport, audio ports, state, latency, the editor calls and the order of
// destruction, each as the plug-in itself saw it.
#include <gtest/gtest.h>

#include <cmath>

#include "clap_fixture.h"
#include "support/fake_editor_windows.h"

namespace bridge::test {
namespace {

constexpr int64_t F = int64_t{1} << 31;

using ClapPluginTest = ClapFixture;

TEST_F(ClapPluginTest, ListsVisibleParametersWithFlagsAndTexts) {
  auto p = make("params");
  const std::vector<ParamInfo> list = p->params();
  ASSERT_EQ(list.size(), 5u);  // hidden, bypass, read-only and refused ones are left out
  struct Want {
    const char* id;
    const char* name;
    float value;
    std::string text;
    int steps;
    float def;
  };
  const Want want[] = {
      {"1", "Mode", 0.5f, "Mode 2", 5, 0.5f},
      {"6", "Fixed", 0.0f, "1.000", 1, -1.0f},        // max == min
      {"7", "Plain", 0.61725f, "1.23e+03", 0, 0.61725f},  // no text from the plug-in
      {"8", "Long", 0.5f, std::string(255, 'x'), 0, 0.5f},  // a text without NUL
      {"9", "Echo", 0.0f, "0.000", 0, 0.0f},
  };
  for (size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list[i].index, static_cast<int>(i));
    EXPECT_EQ(list[i].id, want[i].id);
    EXPECT_EQ(list[i].name, want[i].name);
    EXPECT_EQ(list[i].unit, "");
    EXPECT_FLOAT_EQ(list[i].value, want[i].value) << want[i].name;
    EXPECT_EQ(list[i].text, want[i].text) << want[i].name;
    EXPECT_EQ(list[i].steps, want[i].steps) << want[i].name;
    EXPECT_FLOAT_EQ(list[i].def, want[i].def) << want[i].name;
  }

  float value = 7.0f;
  std::string text = "kept";
  EXPECT_FALSE(p->getParam(-1, value, text));
  EXPECT_FALSE(p->getParam(5, value, text));
  EXPECT_EQ(value, 7.0f);
  EXPECT_EQ(text, "kept");

  // The first read-only "Gain Reduction" is the meter; the "GR" after it is not.
  float reading = 0.0f;
  ASSERT_TRUE(p->gainReduction(reading));
  EXPECT_FLOAT_EQ(reading, -1.5f);
  EXPECT_FLOAT_EQ(p->toDb(-3.0f), -3.0f);
}

TEST_F(ClapPluginTest, WithoutMeterGainReductionIsAbsentAndValuesPassThrough) {
  auto p = make("state");
  float reading = 1.0f;
  EXPECT_FALSE(p->gainReduction(reading));
  EXPECT_FLOAT_EQ(p->toDb(0.3f), 0.3f);
}

TEST_F(ClapPluginTest, SetParamRoundsSteppedValuesAndQueuesThemForTheNextBlock) {
  auto p = make("params");
  std::vector<int> changed;
  p->paramChanged = [&](int i) { changed.push_back(i); };
  struct Case {
    int index;
    float normalized;
    double plain;
    float readBack;
  };
  const Case cases[] = {
      {0, 0.3f, 1.0, 0.25f},    // 1.2 rounds down
      {0, 0.625f, 3.0, 0.75f},  // 2.5 rounds away from zero
      {0, 0.375f, 2.0, 0.5f},   // 1.5 likewise
      {0, 0.124f, 0.0, 0.0f},
      {0, 1.0f, 4.0, 1.0f},
      {2, 0.5f, 1000.0, 0.5f},  // continuous: not rounded
  };
  for (const Case& c : cases) {
    changed.clear();
    p->setParam(c.index, c.normalized);
    EXPECT_EQ(changed, std::vector<int>{c.index});
    float value = -1.0f;
    std::string text;
    ASSERT_TRUE(p->getParam(c.index, value, text));
    EXPECT_FLOAT_EQ(value, c.readBack) << c.normalized;
    run(*p, 16);
    const KrevloClapFxRecord r = record();
    ASSERT_EQ(r.lastBlockEvents, 1u);
    EXPECT_EQ(r.events[0].value, c.plain) << c.normalized;
  }
  changed.clear();
  p->setParam(-1, 0.5f);
  p->setParam(5, 0.5f);
  p->setParam(0, NAN);
  EXPECT_TRUE(changed.empty());
  run(*p, 16);
  EXPECT_EQ(record().lastBlockEvents, 0u);
}

TEST_F(ClapPluginTest, ParameterEventsArriveInCallOrderWithTheirLayout) {
  auto p = make("params");
  p->setParam(0, 0.25f);  // Mode 1
  p->setParam(2, 0.5f);   // Plain 1000
  p->setParam(4, 0.75f);  // Echo 0.75
  run(*p, 32);
  KrevloClapFxRecord r = record();
  ASSERT_EQ(r.lastBlockEvents, 3u);
  const clap_id ids[] = {1, 7, 9};
  const double values[] = {1.0, 1000.0, 0.75};
  for (int i = 0; i < 3; ++i) {
    const clap_event_param_value_t& e = r.events[i];
    EXPECT_EQ(e.header.size, 56u);
    EXPECT_EQ(e.header.time, 0u);
    EXPECT_EQ(e.header.space_id, CLAP_CORE_EVENT_SPACE_ID);
    EXPECT_EQ(e.header.type, CLAP_EVENT_PARAM_VALUE);
    EXPECT_EQ(e.header.flags, 0u);
    EXPECT_EQ(e.param_id, ids[i]);
    EXPECT_EQ(e.cookie, nullptr);
    EXPECT_EQ(e.note_id, -1);
    EXPECT_EQ(e.port_index, -1);
    EXPECT_EQ(e.channel, -1);
    EXPECT_EQ(e.key, -1);
    EXPECT_EQ(e.value, values[i]);
  }
  const auto all = calls();
  EXPECT_EQ(std::count(all.begin(), all.end(), "event list answers past its end"), 0);
  run(*p, 32);
  EXPECT_EQ(record().lastBlockEvents, 0u);  // each change is sent once
}

TEST_F(ClapPluginTest, OutputEventsUpdateValuesAndMeterButJunkIsIgnored) {
  auto p = make("params");
  std::vector<int> changed;
  p->paramChanged = [&](int i) { changed.push_back(i); };
  p->setParam(0, 0.5f);  // Mode 2: the plug-in answers with Echo = 0.5, meter -7.5 and junk
  run(*p, 16);
  EXPECT_EQ(changed, (std::vector<int>{0, 4}));
  float value = -1.0f;
  std::string text;
  ASSERT_TRUE(p->getParam(4, value, text));
  EXPECT_FLOAT_EQ(value, 0.5f);  // not the 111 of another event space
  EXPECT_EQ(text, "0.500");
  float reading = 0.0f;
  ASSERT_TRUE(p->gainReduction(reading));
  EXPECT_FLOAT_EQ(reading, -7.5f);
}

TEST_F(ClapPluginTest, GainAppliesItsParameterAndReportsItsMeter) {
  auto p = make("gain");
  const std::vector<ParamInfo> list = p->params();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].id, "10");
  EXPECT_EQ(list[0].text, "1.00 x");
  p->setParam(0, 0.25f);  // 0.5 x
  Block b = run(*p, 64);
  for (int i = 0; i < 64; ++i) {
    EXPECT_FLOAT_EQ(b.left[i], 0.005f * (i + 1));
    EXPECT_FLOAT_EQ(b.right[i], -0.005f * (i + 1));
  }
  float reading = 0.0f;
  ASSERT_TRUE(p->gainReduction(reading));
  EXPECT_FLOAT_EQ(reading, -3.0f);
  EXPECT_FLOAT_EQ(p->toDb(reading), -3.0f);
}

TEST_F(ClapPluginTest, TransportBecomesTheClapTransportEvent) {
  auto p = make("params");
  const double inf = INFINITY, nan = NAN;
  struct Case {
    Transport in;
    uint32_t flags;
    int64_t beats, seconds, barStart;
    int32_t bar;
    uint16_t num, den;
  };
  const Case cases[] = {
      {{96000, 120, 4, 4, true, false, 48000}, 31, 4 * F, 2 * F, 4 * F, 1, 4, 4},
      {{72000, 90, 3, 4, false, true, 48000}, 79, 9 * F / 4, 3 * F / 2, 0, 0, 3, 4},
      {{192000, 60, 6, 8, true, true, 48000}, 95, 4 * F, 4 * F, 3 * F, 1, 6, 8},
      {{-48000, 120, 4, 4, false, false, 48000}, 15, -2 * F, -1 * F, -4 * F, -1, 4, 4},
      // a denominator below 2 counts as 1 for the bar length
      {{96000, 120, 4, 0, false, false, 48000}, 15, 4 * F, 2 * F, 0, 0, 4, 0},
      // no bars without a positive numerator
      {{96000, 120, 0, 4, false, false, 48000}, 15, 4 * F, 2 * F, 0, 0, 0, 4},
      {{96000, 120, -3, 4, false, false, 48000}, 15, 4 * F, 2 * F, 0, 0, 0, 4},
      {{96000, 120, 70000, 4, false, false, 48000}, 15, 4 * F, 2 * F, 0, 0, 65535, 4},
      // positions that are not numbers, or no rate, start at zero
      {{nan, 120, 4, 4, false, false, 48000}, 15, 0, 0, 0, 0, 4, 4},
      {{inf, 120, 4, 4, false, false, 48000}, 15, 0, 0, 0, 0, 4, 4},
      {{96000, 120, 4, 4, false, false, 0}, 15, 0, 0, 0, 0, 4, 4},
      {{96000, nan, 4, 4, false, false, 48000}, 15, 0, 2 * F, 0, 0, 4, 4},
      // far beyond the fixed-point range: saturated, never an undefined cast
      {{1e300, 120, 4, 4, false, false, 48000}, 15, INT64_MAX, INT64_MAX, INT64_MAX, INT32_MAX, 4, 4},
  };
  for (const Case& c : cases) {
    run(*p, 16, c.in);
    const KrevloClapFxRecord r = record();
    ASSERT_TRUE(r.hasTransport);
    const clap_event_transport_t& t = r.transport;
    const std::string where = std::to_string(c.in.timelineSample) + " " + std::to_string(c.in.timeSigNumerator) + "/" +
                              std::to_string(c.in.timeSigDenominator);
    EXPECT_EQ(t.header.size, 104u);
    EXPECT_EQ(t.header.time, 0u);
    EXPECT_EQ(t.header.space_id, CLAP_CORE_EVENT_SPACE_ID);
    EXPECT_EQ(t.header.type, CLAP_EVENT_TRANSPORT);
    EXPECT_EQ(t.header.flags, 0u);
    EXPECT_EQ(t.flags, c.flags) << where;
    EXPECT_EQ(t.song_pos_beats, c.beats) << where;
    EXPECT_EQ(t.song_pos_seconds, c.seconds) << where;
    EXPECT_EQ(t.bar_start, c.barStart) << where;
    EXPECT_EQ(t.bar_number, c.bar) << where;
    EXPECT_EQ(t.tsig_num, c.num) << where;
    EXPECT_EQ(t.tsig_denom, c.den) << where;
    if (std::isnan(c.in.tempo))
      EXPECT_TRUE(std::isnan(t.tempo));
    else
      EXPECT_EQ(t.tempo, c.in.tempo);
    EXPECT_EQ(t.tempo_inc, 0.0);
    EXPECT_EQ(t.loop_start_beats, 0);
    EXPECT_EQ(t.loop_end_beats, 0);
    EXPECT_EQ(t.loop_start_seconds, 0);
    EXPECT_EQ(t.loop_end_seconds, 0);
  }
}

TEST_F(ClapPluginTest, SteadyTimeKeepsCountingAcrossResets) {
  auto p = make("params");
  run(*p, 64);
  EXPECT_EQ(record().steadyTime, 0);
  p->reset();
  run(*p, 32);
  EXPECT_EQ(record().steadyTime, 64);
  run(*p, 16);
  EXPECT_EQ(record().steadyTime, 96);
}

TEST_F(ClapPluginTest, RefusedStartOrFailedBlockLeavesTheAudioDry) {
  for (const char* name : {"refuse-start", "fail-process"}) {
    auto p = make(name);
    for (int block = 0; block < 2; ++block) {
      Block b = run(*p, 32);
      for (int i = 0; i < 32; ++i) {
        ASSERT_FLOAT_EQ(b.left[i], 0.01f * (i + 1)) << name;
        ASSERT_FLOAT_EQ(b.right[i], -0.01f * (i + 1)) << name;
      }
    }
  }
  // A refused start is asked again at every block; an accepted one only once.
  EXPECT_EQ(record().startCalls, 3);
}

TEST_F(ClapPluginTest, FurtherPortsGetTheirDeclaredChannels) {
  auto p = make("multiport");
  Block b = run(*p, 128);
  const KrevloClapFxRecord r = record();
  EXPECT_EQ(r.inputCount, 2u);
  EXPECT_EQ(r.outputCount, 3u);
  EXPECT_EQ(r.inputChannels[0], 2u);
  EXPECT_EQ(r.inputChannels[1], 6u);
  EXPECT_EQ(r.outputChannels[0], 2u);
  EXPECT_EQ(r.outputChannels[1], 1u);
  EXPECT_EQ(r.outputChannels[2], 4u);
  EXPECT_EQ(r.channelPointersOk, 1);
  EXPECT_FLOAT_EQ(b.left[127], 1.28f);  // the main port still carries the audio
}

TEST_F(ClapPluginTest, LatencyChangesThroughRestartRequests) {
  auto p = make("latency");
  int latencyCalls = 0;
  p->latencyChanged = [&] { ++latencyCalls; };
  EXPECT_EQ(p->latencySamples(), 8);

  // The plug-in asks for a restart from its audio thread; the host restarts it
  // on the main thread (deactivate, activate) and reports the new latency.
  p->setParam(0, 0.25f);  // 16 samples
  run(*p, 32);
  EXPECT_EQ(latencyCalls, 0);
  queue.drain();
  EXPECT_EQ(latencyCalls, 1);
  EXPECT_EQ(p->latencySamples(), 16);
  const auto since = callsSince("create org.krevlo.fx.latency");
  EXPECT_EQ(std::count(since.begin(), since.end(), "deactivate"), 1);
  EXPECT_EQ(std::count(since.begin(), since.end(), "activate 48000 1 512"), 2);

  std::vector<float> left(64, 0.0f), right(64, 0.0f);
  left[0] = 1.0f;
  right[0] = -1.0f;
  p->process(left.data(), right.data(), 64, Transport{});
  EXPECT_EQ(left[16], 1.0f);
  EXPECT_EQ(right[16], -1.0f);
}

TEST_F(ClapPluginTest, TailInSecondsAtTheCreationRate) {
  EXPECT_EQ(make("latency")->tailSeconds(), 10.0);  // infinite
  EXPECT_EQ(make("gain", 48000)->tailSeconds(), 1.0);
  EXPECT_EQ(make("gain", 96000)->tailSeconds(), 0.5);
  EXPECT_EQ(make("params")->tailSeconds(), 0.0);  // no tail extension
  EXPECT_EQ(make("params")->latencySamples(), 0);
}

TEST_F(ClapPluginTest, StateRoundTripsThroughSmallChunks) {
  auto a = make("state");
  a->setParam(0, 0.8f);
  a->setParam(1, 0.7f);  // Steps 7
  run(*a, 16);           // the plug-in takes the values in its block
  const std::vector<uint8_t> blob = a->getState();
  ASSERT_EQ(blob.size(), 220u);
  EXPECT_EQ(std::string(blob.begin(), blob.begin() + 4), "KFXS");

  auto b = make("state");
  int changes = 0;
  b->paramChanged = [&](int) { ++changes; };
  ASSERT_TRUE(b->setState(blob));
  float value = 0.0f;
  std::string text;
  ASSERT_TRUE(b->getParam(0, value, text));
  EXPECT_FLOAT_EQ(value, 0.8f);
  EXPECT_EQ(text, "0.800");
  ASSERT_TRUE(b->getParam(1, value, text));
  EXPECT_FLOAT_EQ(value, 0.7f);
  EXPECT_EQ(text, "7.000");
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(b->getState(), blob);

  EXPECT_FALSE(b->setState({'K', 'F', 'X', 'S', 1, 2}));
  EXPECT_FALSE(b->setState({}));
  ASSERT_TRUE(b->getParam(0, value, text));
  EXPECT_FLOAT_EQ(value, 0.8f);

  auto gain = make("gain");  // no state extension
  EXPECT_TRUE(gain->getState().empty());
  EXPECT_FALSE(gain->setState(blob));
}

TEST_F(ClapPluginTest, DestructionStopsDeactivatesAndDestroysInOrder) {
  {
    auto p = make("gain");
    p->reset();
    run(*p, 16);
    run(*p, 16);
  }
  EXPECT_EQ(callsSince("create org.krevlo.fx.gain"),
            (std::vector<std::string>{"create org.krevlo.fx.gain", "init", "activate 48000 1 512", "reset",
                                      "start_processing", "process", "stop_processing", "deactivate", "destroy"}));
  make("gain", 44100, 4096).reset();
  EXPECT_EQ(callsSince("create org.krevlo.fx.gain"),
            (std::vector<std::string>{"create org.krevlo.fx.gain", "init", "activate 44100 1 4096", "deactivate",
                                      "destroy"}));
}

// ---- Editor --------------------------------------------------------------

TEST_F(ClapPluginTest, NoEditorWithoutWindows) {
  auto p = make("gain");
  EXPECT_FALSE(p->hasEditor());
  p->openEditor("Gain");
  p->closeEditor();
  const auto all = calls();
  EXPECT_EQ(std::count(all.begin(), all.end(), "gui.create x11"), 0);
}

TEST_F(ClapPluginTest, EditorOpensFocusesAndClosesByTheCaller) {
  FakeEditorWindows windows;
  EXPECT_FALSE(make("params")->hasEditor());  // no gui extension
  auto p = make("gain");
  int closed = 0;
  p->editorClosed = [&] { ++closed; };
  ASSERT_TRUE(p->hasEditor());
  p->openEditor("Fx Gain - Track 1");
  ASSERT_EQ(windows.opened(), 1u);
  const FakeEditorWindows::Window& w = *windows.last();
  EXPECT_EQ(w.title, "Fx Gain - Track 1");
  EXPECT_EQ(w.width, 640);
  EXPECT_EQ(w.height, 480);
  EXPECT_TRUE(w.resizable);
  EXPECT_EQ(callsSince("gui.create x11"),
            (std::vector<std::string>{"gui.create x11", "gui.set_parent x11 " + std::to_string(w.parent),
                                      "gui.show"}));

  p->openEditor("again");
  EXPECT_EQ(windows.opened(), 1u);
  EXPECT_EQ(w.focusCalls, 1);

  p->closeEditor();
  EXPECT_TRUE(w.closedByCaller);
  EXPECT_EQ(callsSince("gui.show"), (std::vector<std::string>{"gui.show", "gui.hide", "gui.destroy"}));
  p->closeEditor();  // nothing open: nothing happens
  EXPECT_EQ(callsSince("gui.show").size(), 3u);
  EXPECT_EQ(closed, 0);
}

TEST_F(ClapPluginTest, EditorClosedByTheUserReportsIt) {
  FakeEditorWindows windows;
  auto p = make("gain");
  int closed = 0;
  p->editorClosed = [&] { ++closed; };
  p->openEditor("Gain");
  const clap_host_t* h = lastHost();
  auto gui = static_cast<const clap_host_gui_t*>(h->get_extension(h, CLAP_EXT_GUI));
  EXPECT_TRUE(gui->request_resize(h, 800, 600));
  queue.drain();
  EXPECT_EQ(windows.last()->resizes, (std::vector<std::pair<int, int>>{{800, 600}}));

  windows.userClose(windows.lastHandle());
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(callsSince("gui.show"), (std::vector<std::string>{"gui.show", "gui.destroy"}));
  // A resize that arrives after the window went does nothing.
  EXPECT_TRUE(gui->request_resize(h, 100, 100));
  queue.drain();
  EXPECT_EQ(windows.last()->resizes.size(), 1u);
  p->closeEditor();
  EXPECT_EQ(callsSince("gui.show").size(), 2u);

  p->openEditor("Gain");
  EXPECT_EQ(windows.opened(), 2u);
}

TEST_F(ClapPluginTest, EditorClosedByThePluginIsNotReported) {
  FakeEditorWindows windows;
  auto p = make("gain");
  int closed = 0;
  p->editorClosed = [&] { ++closed; };
  p->openEditor("Gain");
  const clap_host_t* h = lastHost();
  auto gui = static_cast<const clap_host_gui_t*>(h->get_extension(h, CLAP_EXT_GUI));
  gui->closed(h, true);
  EXPECT_EQ(windows.openNow(), 1u);  // posted, not done on the plug-in's call
  queue.drain();
  EXPECT_EQ(windows.openNow(), 0u);
  EXPECT_TRUE(windows.last()->closedByCaller);
  EXPECT_EQ(callsSince("gui.show"), (std::vector<std::string>{"gui.show", "gui.hide", "gui.destroy"}));
  EXPECT_EQ(closed, 0);
}

TEST_F(ClapPluginTest, DestroyingWithTheEditorOpenClosesItFirst) {
  FakeEditorWindows windows;
  int closed = 0;
  {
    auto p = make("gain");
    p->editorClosed = [&] { ++closed; };
    p->openEditor("Gain");
  }
  EXPECT_TRUE(windows.last()->closedByCaller);
  EXPECT_EQ(callsSince("gui.show"),
            (std::vector<std::string>{"gui.show", "gui.hide", "gui.destroy", "deactivate", "destroy"}));
  EXPECT_EQ(closed, 0);
}

}  // namespace
}  // namespace bridge::test

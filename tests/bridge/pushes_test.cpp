// The pushes nobody asks for: "param" and "dirty" from plug-in changes, "levels"
// from metered slots, and the tick's "stats".
#include <gtest/gtest.h>

#include "chain_fixture.h"
#include "support/manual_clock.h"

namespace bridge::test {
namespace {

std::vector<ParamInfo> numberedParams(int n) {
  std::vector<ParamInfo> out(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    out[i].id = "p" + std::to_string(i);
    out[i].text = "t" + std::to_string(i);
  }
  return out;
}

class BridgePushes : public BridgeChains {
 protected:
  // Sends one frame of `frames` samples of `value` and waits for its answer.
  void block(int32_t position, float value, int frames = 16) {
    ASSERT_TRUE(roundTrip(1, position, std::vector<float>(frames, value), std::vector<float>(frames, value)).valid);
  }
  void meter(const std::string& key, Json switches) {
    switches["t"] = "meter";
    switches["track"] = "a";
    switches["key"] = key;
    say(c, switches);
  }
};

TEST_F(BridgePushes, AtMost200ParamsPerSlotThenDirty) {
  FakePluginOptions options;
  options.params = numberedParams(500);
  host->setPluginOptions("CLAP:Gain", options);
  chain(Json::array({slot("g", "CLAP:Gain")}));
  Plugin* p = slots().at(0)->plugin.get();
  std::thread([p] {
    for (int i = 499; i >= 0; --i) p->paramChanged(i);
  }).join();
  probe().flushParams();
  auto pushes = messages(*c);
  ASSERT_EQ(pushes.size(), 201u);
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(pushes[i].dump(), Json({{"t", "param"},
                                      {"track", "a"},
                                      {"key", "g"},
                                      {"i", i},
                                      {"id", "p" + std::to_string(i)},
                                      {"v", 0.0},
                                      {"text", "t" + std::to_string(i)}})
                                    .dump());
  }
  EXPECT_EQ(pushes[200].dump(), R"({"key":"g","t":"dirty","track":"a"})");
  probe().flushParams();  // the other 300 are dropped, not carried over
  EXPECT_TRUE(c->takeTexts().empty());

  // A change without a parameter, or one the plug-in does not know: only dirty.
  p->paramChanged(-1);
  p->paramChanged(9999);
  probe().flushParams();
  EXPECT_EQ(c->takeTexts(), std::vector<std::string>{R"({"key":"g","t":"dirty","track":"a"})"});

  // Reported for a track that went before the flush: nothing.
  p->paramChanged(1);
  say(c, Json{{"t", "unchain"}, {"track", "a"}});
  probe().flushParams();
  EXPECT_TRUE(c->takeTexts().empty());
}

TEST_F(BridgePushes, LevelRowsInDecibels) {
  FakePluginOptions metered;
  metered.meter = true;
  host->setPluginOptions("CLAP:Gain", metered);
  chain(Json::array({slot("m", "CLAP:Gain"), slot("n", "CLAP:Delay")}));
  probe().flushLevels();
  EXPECT_TRUE(c->takeTexts().empty());  // nothing metered: no message
  meter("m", Json{{"on", true}});
  meter("n", Json{{"on", true}});
  FakePlugin* m = plugin("a", 0);
  ASSERT_NE(m, nullptr);
  // Peak → dB, and the plug-in's reduction reading → never-positive dB.
  const std::vector<std::pair<float, float>> rows = {{0.0f, 3.04f}, {1.0f, -3.04f}, {0.5f, 0.0f}};
  for (size_t i = 0; i < rows.size(); ++i) {
    m->meterValue = rows[i].second;
    block(static_cast<int32_t>(16 * i), rows[i].first);
  }
  probe().flushLevels();
  EXPECT_EQ(
      c->takeTexts(),
      std::vector<std::string>{
          R"({"slots":[{"key":"m","w":[[0,0,16,-120.0,-120.0,-3.0],[0,16,16,0.0,0.0,-3.0],[0,32,16,-6.0,-6.0,0.0]]},)"
          R"({"key":"n","w":[[0,0,16,-120.0,-120.0,null],[0,16,16,0.0,0.0,null],[0,32,16,-6.0,-6.0,null]]}],"t":"levels","track":"a"})"});
  probe().flushLevels();  // drained
  EXPECT_TRUE(c->takeTexts().empty());
}

TEST_F(BridgePushes, SpectrumAndCorrelationFollowTheSwitchesAtFlushTime) {
  chain(Json::array({slot("g", "CLAP:Gain")}));
  meter("g", Json{{"on", true}, {"spectrum", true}, {"stereo", true}});
  block(0, 0.5f, 256);
  probe().flushLevels();
  auto levels = messages(*c, "levels");
  ASSERT_EQ(levels.size(), 1u);
  const Json& object = levels[0]["slots"][0];
  ASSERT_TRUE(object.contains("s") && object.contains("c"));
  ASSERT_EQ(object["s"].size(), 1u);
  EXPECT_EQ(object["s"][0][0].size(), 48u);
  EXPECT_EQ(object["s"][0][1].size(), 48u);
  EXPECT_TRUE(object["s"][0][0][0].is_number_integer());
  EXPECT_EQ(object["c"], Json::array({1.0}));

  // Rows recorded while both were on, flushed after they went off.
  block(256, 0.5f, 256);
  meter("g", Json{{"on", true}});
  probe().flushLevels();
  levels = messages(*c, "levels");
  ASSERT_EQ(levels.size(), 1u);
  EXPECT_FALSE(levels[0]["slots"][0].contains("s"));
  EXPECT_FALSE(levels[0]["slots"][0].contains("c"));
  EXPECT_EQ(levels[0]["slots"][0]["w"].size(), 1u);
}

TEST_F(BridgePushes, StatsGoToReadySessionsWithTheirTracks) {
  ManualClock clock;
  clock.now = 1000.0;
  probe().setClock(clock.fn());
  auto waiting = connect(2);  // never paired
  c->queuedBytes = 77;
  probe().tick();
  EXPECT_EQ(messages(*c, "stats").at(0)["tracks"], Json::array());
  EXPECT_TRUE(waiting->takeTexts().empty());

  chain(Json::array({slot("g", "CLAP:Gain")}));
  block(0, 0.1f);
  block(64, 0.1f);  // a jump: a second stream reset
  probe().tick();
  auto stats = messages(*c, "stats");
  ASSERT_EQ(stats.size(), 1u);
  EXPECT_EQ(stats[0]["queued"], 77);
  EXPECT_TRUE(stats[0]["cpu"].is_number() && stats[0]["net"].is_number());
  ASSERT_EQ(stats[0]["tracks"].size(), 1u);
  Json track = stats[0]["tracks"][0];
  EXPECT_EQ(track["track"], "a");
  EXPECT_EQ(track["resets"], 2);
  EXPECT_EQ(track["late"], 0);
  EXPECT_EQ(track["latency"], 0);
  EXPECT_EQ(track["backlog"], 0);
  EXPECT_TRUE(track["load"].is_number());
  ASSERT_EQ(track["slots"].size(), 1u);
  EXPECT_EQ(track["slots"][0]["key"], "g");
  // The figures restart with every "stats".
  probe().tick();
  EXPECT_EQ(messages(*c, "stats").at(0)["tracks"][0]["resets"], 0);
}

TEST_F(BridgePushes, TickMeasuresOverItsOwnInterval) {
  ManualClock clock;
  clock.now = 5000.0;
  probe().setClock(clock.fn());
  probe().tick();
  const double first = bridge->status().cpu;
  EXPECT_GE(first, 0.0);
  probe().tick();  // no time passed: the figure stays
  EXPECT_EQ(bridge->status().cpu, first);
  clock.advance(1000.0);
  int before = changes;
  probe().tick();
  EXPECT_GE(bridge->status().cpu, 0.0);
  EXPECT_GT(changes, before);
}

}  // namespace
}  // namespace bridge::test

// Chain building: "chain" replies while plug-ins load on every kind of host,
// reuse, rate changes, the instance limit, saved state and parameters, and the
// observers of loaded plug-ins.
#include <gtest/gtest.h>

#include <future>

#include "chain_fixture.h"

namespace bridge::test {
namespace {

TEST_F(BridgeChains, EveryHostKindAnswersLoadingThenTheResult) {
  const std::string loading =
      R"({"latency":0,"slots":[{"key":"g","name":"Gain","plugin":"CLAP:Gain","status":"loading"}],"stream":1,"t":"chain","track":"a"})";
  // Synchronous: both replies come from one request, the load second.
  auto replies = chain(Json::array({slot("g", "CLAP:Gain")}));
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].dump(), loading);
  EXPECT_EQ(
      replies[1].dump(),
      R"({"latency":0,"slots":[{"editor":false,"key":"g","latency":0,"name":"Gain","plugin":"CLAP:Gain","status":"ok"}],"stream":1,"t":"chain","track":"a"})");

  // Deferred to another thread: the second reply waits for the completion.
  host->deferred = true;
  replies = chain(Json::array({slot("g", "CLAP:Gain")}), "b");
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(statuses(replies[0]), std::vector<std::string>{"loading"});
  replies = completeElsewhere();
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(statuses(replies[0]), std::vector<std::string>{"ok"});

  // Failing, with and without a text: "failed" with the host's text.
  host->deferred = false;
  host->failCreate("CLAP:Gain", "boom");
  replies = chain(Json::array({slot("g", "CLAP:Gain")}), "c");
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[1]["slots"][0]["status"], "failed");
  EXPECT_EQ(replies[1]["slots"][0]["error"], "boom");
  host->failCreate("CLAP:Delay", "");
  replies = chain(Json::array({slot("d", "CLAP:Delay")}), "d");
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[1]["slots"][0]["error"], "could not load");
}

TEST_F(BridgeChains, StreamNumbersCountPerSession) {
  auto a = chain(Json::array(), "a");
  auto b = chain(Json::array(), "b");
  EXPECT_EQ(a.at(0)["stream"], 1);
  EXPECT_EQ(b.at(0)["stream"], 2);
  EXPECT_EQ(chain(Json::array(), "a").at(0)["stream"], 1);  // same rate: same chain
  EXPECT_EQ(probe().routeCount(1), 2u);
}

TEST_F(BridgeChains, StatusesOfSlotsThatCannotLoad) {
  // In the catalog but no host for its format; unknown with no scan; an element
  // that is not an object still uses up one of the 16 places.
  host->setEntries({PluginInfo{"AU:Orphan", "CLAP", "Orphan", "Krevlo Test", "1", "Effect", ""},
                    PluginInfo{"CLAP:Gain", "CLAP", "Gain", "Krevlo Test", "1", "Effect", ""}});
  probe().startScan();
  ASSERT_TRUE(drainUntil([&] { return !bridge->status().scanning; }));
  c->takeTexts();
  Json list = Json::array({slot("o", "AU:Orphan"), slot("u", "CLAP:Unknown"), 5});
  for (int i = 0; i < 20; ++i) list.push_back(slot("k" + std::to_string(i), "CLAP:Gain"));
  auto replies = chain(list);
  ASSERT_FALSE(replies.empty());
  const Json& first = replies[0]["slots"];
  ASSERT_EQ(first.size(), 15u);  // 16 places, one taken by the number
  EXPECT_EQ(first[0].dump(), R"({"key":"o","name":"Orphan","plugin":"AU:Orphan","status":"missing"})");
  EXPECT_EQ(first[1].dump(), R"({"key":"u","plugin":"CLAP:Unknown","status":"missing"})");
  EXPECT_EQ(first[14]["key"], "k12");
  EXPECT_EQ(host->createCalls, 13);

  // While a scan runs, an id the catalog lacks may still appear: "loading".
  std::promise<void> release;
  auto released = release.get_future().share();
  host->scanHook = [released] { released.wait(); };
  probe().startScan();
  replies = chain(Json::array({slot("u", "CLAP:Unknown")}), "b");
  EXPECT_EQ(statuses(replies.at(0)), std::vector<std::string>{"loading"});
  release.set_value();
  ASSERT_TRUE(drainUntil([&] { return !bridge->status().scanning; }));
}

TEST_F(BridgeChains, RepeatedRequestKeepsInstancesAndReloadsOnlyChangedSlots) {
  chain(Json::array({slot("g", "CLAP:Gain"), slot("d", "CLAP:Delay")}));
  FakePlugin* g = plugin("a", 0);
  FakePlugin* d = plugin("a", 1);
  ASSERT_TRUE(g && d);
  const int created = host->createCalls;

  Json again = Json::array({slot("g", "CLAP:Gain"), slot("d", "CLAP:Delay")});
  again[0]["bypass"] = true;
  again[0]["state"] = b64("FKignored");  // only new plug-ins take saved state
  auto replies = chain(again);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(statuses(replies[0]), (std::vector<std::string>{"ok", "ok"}));
  EXPECT_EQ(plugin("a", 0), g);
  EXPECT_EQ(plugin("a", 1), d);
  EXPECT_EQ(host->createCalls, created);
  EXPECT_TRUE(slots()[0]->bypass.load());
  EXPECT_TRUE(g->mainCalls.empty());

  // "d" now names another plug-in: it drops out until the new one is in.
  host->deferred = true;
  replies = chain(Json::array({slot("g", "CLAP:Gain"), slot("d", "CLAP:Gain")}));
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(statuses(replies[0]), (std::vector<std::string>{"ok", "loading"}));
  EXPECT_EQ(slots().size(), 1u);
  replies = completeElsewhere();
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(statuses(replies[0]), (std::vector<std::string>{"ok", "ok"}));
  EXPECT_EQ(plugin("a", 0), g);
  EXPECT_NE(plugin("a", 1), d);
  EXPECT_FALSE(slots()[0]->bypass.load());
  EXPECT_EQ(*live, 2);  // the old "d" is gone
}

TEST_F(BridgeChains, SlotsSharingAKeyNeverShareAPlugin) {
  Json twice = Json::array({slot("k", "CLAP:Gain"), slot("k", "CLAP:Gain")});
  auto replies = chain(twice);
  ASSERT_FALSE(replies.empty());
  EXPECT_EQ(statuses(replies.back()), (std::vector<std::string>{"ok", "ok"}));
  for (int round = 0; round < 2; ++round) {
    SlotList list = slots();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_NE(list[0], list[1]);
    EXPECT_NE(list[0]->plugin, list[1]->plugin);
    replies = chain(twice);  // the reused pair stays a pair
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(statuses(replies[0]), (std::vector<std::string>{"ok", "ok"}));
  }
  EXPECT_EQ(*live, 2);
  auto out = roundTrip(1, 0, std::vector<float>(32, 0.25f), std::vector<float>(32, 0.25f));
  EXPECT_TRUE(out.valid);
  EXPECT_EQ(plugin("a", 0)->processCalls, 1);  // each runs once per block
  EXPECT_EQ(plugin("a", 1)->processCalls, 1);
}

TEST_F(BridgeChains, FramesComeBackProcessedAligned) {
  FakePluginOptions gain;
  gain.gain = 0.5f;
  host->setPluginOptions("CLAP:Gain", gain);
  FakePluginOptions delay;
  delay.latency = 16;
  host->setPluginOptions("CLAP:Delay", delay);
  auto replies = chain(Json::array({slot("g", "CLAP:Gain"), slot("d", "CLAP:Delay")}));
  ASSERT_EQ(replies.size(), 3u);  // loading, then one per plug-in made
  EXPECT_EQ(replies[2]["latency"], 16);
  EXPECT_EQ(replies[2]["slots"][1]["latency"], 16);
  std::vector<float> input(128);
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<float>(i + 1) / 128.0f;
  std::vector<float> negative(input.size());
  for (size_t i = 0; i < input.size(); ++i) negative[i] = -input[i];
  auto first = roundTrip(1, 0, {input.begin(), input.begin() + 64}, {negative.begin(), negative.begin() + 64});
  auto second = roundTrip(1, 64, {input.begin() + 64, input.end()}, {negative.begin() + 64, negative.end()});
  ASSERT_TRUE(first.valid && second.valid);
  EXPECT_EQ(first.kind, 2);
  EXPECT_EQ(first.position, 0);
  EXPECT_EQ(first.frames, 48);  // the latency is swallowed at the start
  EXPECT_EQ(second.position, 48);
  EXPECT_EQ(second.frames, 64);
  std::vector<float> left = first.left, right = first.right;
  left.insert(left.end(), second.left.begin(), second.left.end());
  right.insert(right.end(), second.right.begin(), second.right.end());
  for (size_t i = 0; i < left.size(); ++i) {
    EXPECT_EQ(left[i], input[i] * 0.5f) << i;
    EXPECT_EQ(right[i], negative[i] * 0.5f) << i;
  }
}

TEST_F(BridgeChains, RateChangeGivesANewStreamAndDropsTheOldOne) {
  chain(Json::array({slot("g", "CLAP:Gain")}));
  ASSERT_TRUE(roundTrip(1, 0, std::vector<float>(16, 0.1f), std::vector<float>(16, 0.1f)).valid);

  auto replies = chain(Json::array({slot("g", "CLAP:Gain")}), "a", 44100.0);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0]["stream"], 2);
  EXPECT_EQ(statuses(replies[0]), std::vector<std::string>{"loading"});  // every slot reloads
  EXPECT_EQ(statuses(replies[1]), std::vector<std::string>{"ok"});
  EXPECT_EQ(host->lastSampleRate, 44100.0);
  EXPECT_EQ(host->createCalls, 2);
  EXPECT_EQ(*live, 1);
  EXPECT_EQ(probe().routeCount(1), 1u);
  EXPECT_EQ(probe().chainOf(1, "a")->sampleRate, 44100.0);

  c->takeBinaries();
  FrameSpec old;
  old.stream = 1;
  probe().binary(c, makeFrame(old, 16, 0.2f));  // dropped at the route
  auto out = roundTrip(2, 0, std::vector<float>(16, 0.3f), std::vector<float>(16, 0.3f));
  EXPECT_EQ(out.stream, 2);
  EXPECT_EQ(c->binaries().size(), 1u);
}

TEST_F(BridgeChains, PluginMadeForAnEarlierRateIsNotInstalled) {
  host->deferred = true;
  chain(Json::array({slot("g", "CLAP:Gain")}), "a", 48000.0);
  // The rate changes while the plug-in is still being made.
  auto replies = chain(Json::array({slot("g", "CLAP:Gain")}), "a", 96000.0);
  EXPECT_EQ(statuses(replies.at(0)), std::vector<std::string>{"loading"});
  EXPECT_EQ(host->createCalls, 1);
  // The 48 kHz plug-in is thrown away and one for 96 kHz is started.
  replies = completeElsewhere();
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(statuses(replies[0]), std::vector<std::string>{"loading"});
  EXPECT_TRUE(slots().empty());
  EXPECT_EQ(host->createCalls, 2);
  EXPECT_EQ(host->lastSampleRate, 96000.0);
  replies = completeElsewhere();
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(statuses(replies[0]), std::vector<std::string>{"ok"});
  EXPECT_EQ(*live, 1);
}

TEST_F(BridgeChains, CreationStartedBeforeUnchainNeverLandsInTheNextTrack) {
  host->deferred = true;
  Json request = Json::array({slot("g", "CLAP:Gain")});
  request[0]["state"] = b64("FKfirst");
  chain(request);
  EXPECT_TRUE(say(c, Json{{"t", "unchain"}, {"track", "a"}}).empty());
  request[0]["state"] = b64("FKsecond");
  chain(request);
  EXPECT_EQ(host->createCalls, 2);
  auto replies = completeElsewhere();
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(statuses(replies[0]), std::vector<std::string>{"ok"});
  ASSERT_EQ(slots().size(), 1u);
  auto state = plugin("a", 0)->getState();
  EXPECT_EQ(std::string(state.begin(), state.end()), "FKsecond");
  EXPECT_EQ(*live, 1);
  EXPECT_TRUE(probe().track(1, "a")->loaded.empty());
}

TEST_F(BridgeChains, FailureStaysUntilTheTrackIsUnchained) {
  host->failCreate("CLAP:Delay", "broken");
  chain(Json::array({slot("k", "CLAP:Delay")}));
  // Another plug-in under the same key still reports the failure.
  auto replies = chain(Json::array({slot("k", "CLAP:Gain")}));
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0]["slots"][0]["status"], "failed");
  EXPECT_EQ(replies[0]["slots"][0]["error"], "broken");
  say(c, Json{{"t", "unchain"}, {"track", "a"}});
  replies = chain(Json::array({slot("k", "CLAP:Gain")}));
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(statuses(replies[1]), std::vector<std::string>{"ok"});
}

TEST_F(BridgeChains, InstanceLimitCountsEveryTrackAndPendingCreation) {
  host->deferred = true;
  for (int t = 0; t < 16; ++t) {
    Json list = Json::array();
    for (int k = 0; k < 16; ++k) list.push_back(slot("k" + std::to_string(k), "CLAP:Gain"));
    auto replies = chain(list, "t" + std::to_string(t));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(statuses(replies[0]), std::vector<std::string>(16, "loading"));
  }
  // 256 creations pending: the next one is over the limit.
  auto replies = chain(Json::array({slot("x", "CLAP:Gain")}), "x");
  EXPECT_EQ(statuses(replies.at(0)), std::vector<std::string>{"limit"});
  completeElsewhere();
  EXPECT_EQ(*live, 256);
  replies = chain(Json::array({slot("x", "CLAP:Gain")}), "x");  // now 256 installed
  EXPECT_EQ(statuses(replies.at(0)), std::vector<std::string>{"limit"});
  // Loaded slots keep working.
  auto stream = static_cast<uint16_t>(probe().chainOf(1, "t3")->stream);
  EXPECT_TRUE(roundTrip(stream, 0, std::vector<float>(8, 0.5f), std::vector<float>(8, 0.5f)).valid);

  say(c, Json{{"t", "unchain"}, {"track", "t0"}});
  replies = chain(Json::array({slot("x", "CLAP:Gain")}), "x");
  EXPECT_EQ(statuses(replies.at(0)), std::vector<std::string>{"loading"});
  replies = completeElsewhere();
  EXPECT_EQ(statuses(replies.at(0)), std::vector<std::string>{"ok"});
}

struct StateCase {
  Json state;
  std::vector<std::string> calls;  // on the new plug-in, in order
  bool warning;
};

TEST_F(BridgeChains, SavedStateGoesInBeforeSavedParameters) {
  FakePluginOptions options;
  ParamInfo a, b;
  a.id = "10";
  a.name = "A";
  b.id = "11";
  b.name = "B";
  options.params = {a, b};
  host->setPluginOptions("CLAP:Gain", options);
  const std::vector<StateCase> cases = {
      {b64("FKsaved"), {"setState", "setParam 0", "setParam 1"}, false},
      {b64("XY"), {"setState", "setParam 0", "setParam 1"}, true},  // rejected by the plug-in
      // Junk that is not Base64 never reaches setState.
      {"%%%not base64%%%", {"setParam 0", "setParam 1"}, false},
      {"RktzYXZl%%%%", {"setParam 0", "setParam 1"}, false},  // shaped right, wrong characters
      {"RktzYXZlZA", {"setParam 0", "setParam 1"}, false},  // padding missing
      {std::string(5592412, 'A'), {"setParam 0", "setParam 1"}, false},  // too long to decode
      {7, {"setParam 0", "setParam 1"}, false},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string track = "s" + std::to_string(i);
    Json element = slot("g", "CLAP:Gain");
    element["state"] = cases[i].state;
    // Numbers only, clamped; unknown ids, the empty id and booleans are skipped.
    element["params"] = Json{{"11", 1.5}, {"10", -2}, {"", 0.5}, {"99", 0.5}, {"12", true}};
    auto replies = chain(Json::array({element}), track);
    ASSERT_EQ(replies.size(), 2u) << i;
    EXPECT_EQ(replies[1]["slots"][0].contains("warning"), cases[i].warning) << i;
    if (cases[i].warning) {
      EXPECT_EQ(replies[1]["slots"][0]["warning"], "Saved settings did not load; using defaults.");
    }
    FakePlugin* p = plugin(track, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->mainCalls, cases[i].calls) << i;
    float v = -1.0f;
    std::string text;
    ASSERT_TRUE(p->getParam(0, v, text));
    EXPECT_EQ(v, 0.0f);
    ASSERT_TRUE(p->getParam(1, v, text));
    EXPECT_EQ(v, 1.0f);
  }
  auto state = plugin("s0", 0)->getState();
  EXPECT_EQ(std::string(state.begin(), state.end()), "FKsaved");
  // Neither the state nor the saved values are pushed back as changes.
  probe().flushParams();
  EXPECT_TRUE(c->takeTexts().empty());
  // The warning stays with the key on every later report.
  auto again = chain(Json::array({slot("g", "CLAP:Gain")}), "s1");
  EXPECT_TRUE(again.at(0)["slots"][0].contains("warning"));
}

TEST_F(BridgeChains, CreationFinishingAfterTheSessionClosedIsDropped) {
  host->deferred = true;
  chain(Json::array({slot("g", "CLAP:Gain")}));
  probe().close(c);
  queue.drain();
  completeElsewhere();
  EXPECT_EQ(*live, 0);
  EXPECT_TRUE(c->takeTexts().empty());
}

// The parameter observer runs on plug-in threads, the audio thread included. It
// must not keep the Session alive there: the last release would then take the
// chain down on its own worker.
TEST_F(BridgeChains, ParameterObserverNeverHoldsTheSession) {
  chain(Json::array({slot("g", "CLAP:Gain")}));
  std::shared_ptr<Plugin> kept = slots().at(0)->plugin;
  auto pending = probe().pending(1);
  std::weak_ptr<Bridge::PendingParams> weakPending = pending;
  std::weak_ptr<Bridge::Session> weakSession = probe().session(1);
  std::thread reporter;
  {
    // The observer blocks inside its call, on the record's lock.
    std::unique_lock<std::mutex> lock(pending->mutex);
    pending.reset();
    reporter = std::thread([kept] { kept->paramChanged(3); });
    ASSERT_TRUE(waitFor([&] { return weakPending.use_count() == 2; }));
    probe().close(c);
    queue.drain();
    EXPECT_TRUE(weakSession.expired());  // gone while the observer still runs
    EXPECT_FALSE(weakPending.expired());
  }
  reporter.join();
  EXPECT_TRUE(weakPending.expired());
  kept->paramChanged(4);  // later reports find nothing and do nothing
  probe().flushParams();
}

TEST_F(BridgeChains, LatencyAndEditorObserversPush) {
  FakePluginOptions options;
  options.editor = true;
  host->setPluginOptions("CLAP:Gain", options);
  chain(Json::array({slot("g", "CLAP:Gain")}));
  FakePlugin* p = plugin("a", 0);
  ASSERT_NE(p, nullptr);
  p->latency = 12;
  std::thread([p] { p->latencyChanged(); }).join();
  EXPECT_TRUE(c->texts().empty());  // only posted
  queue.drain();
  EXPECT_EQ(c->takeTexts(), std::vector<std::string>{R"({"samples":12,"t":"latency","track":"a"})"});
  EXPECT_EQ(probe().chainOf(1, "a")->latency, 12);

  p->editorClosed();
  queue.drain();
  EXPECT_EQ(c->takeTexts(), (std::vector<std::string>{R"({"key":"g","open":false,"t":"editor","track":"a"})",
                                                      R"({"key":"g","t":"dirty","track":"a"})"}));
}

}  // namespace
}  // namespace bridge::test

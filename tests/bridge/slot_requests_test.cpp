// "meter", "params", "set", "state" and "editor" on the slots of a chain.
#include <gtest/gtest.h>

#include "chain_fixture.h"

namespace bridge::test {
namespace {

std::vector<ParamInfo> manyParams(int n) {
  std::vector<ParamInfo> out;
  for (int i = 0; i < n; ++i) {
    ParamInfo p;
    p.id = "p" + std::to_string(i);
    p.name = "P" + std::to_string(i);
    p.unit = "dB";
    p.value = 0.25f;
    p.text = "t" + std::to_string(i);
    p.steps = i % 2 ? 3 : 0;
    p.def = i % 2 ? 0.5f : -1.0f;
    out.push_back(p);
  }
  return out;
}

class BridgeSlotRequests : public BridgeChains {
 protected:
  std::vector<std::string> ask(const Json& request) { return say(c, request); }
  Json req(const std::string& t, Json extra = Json::object()) {
    extra["t"] = t;
    extra["track"] = "a";
    if (!extra.contains("key")) extra["key"] = "g";
    return extra;
  }
};

TEST_F(BridgeSlotRequests, ParamsListsTheFirst2000AndSetReachesEveryIndex) {
  FakePluginOptions options;
  options.params = manyParams(2500);
  host->setPluginOptions("CLAP:Gain", options);
  chain(Json::array({slot("g", "CLAP:Gain")}));
  auto replies = parsed(ask(req("params")));
  ASSERT_EQ(replies.size(), 1u);
  const Json& list = replies[0]["list"];
  ASSERT_EQ(list.size(), 2000u);
  EXPECT_EQ(list[0].dump(), R"({"i":0,"id":"p0","name":"P0","steps":0,"text":"t0","unit":"dB","v":0.25})");
  EXPECT_EQ(list[1].dump(), R"({"def":0.5,"i":1,"id":"p1","name":"P1","steps":3,"text":"t1","unit":"dB","v":0.25})");
  EXPECT_EQ(list[1999]["id"], "p1999");

  struct SetCase {
    Json request;
    int index;  // -1: nothing is sent
    double v;
  };
  const std::vector<SetCase> cases = {
      {Json{{"i", 2400}, {"v", 0.75}}, 2400, 0.75},
      {Json{{"i", 2.9}, {"v", 1.5}}, 2, 1.0},  // truncated, clamped
      {Json{{"id", "p2499"}, {"v", -1}}, 2499, 0.0},
      {Json{{"id", "p7"}, {"i", 3}}, 7, 0.0},  // "id" wins, "v" defaults to 0
      {Json{{"id", "nope"}, {"i", 3}}, -1, 0},
      {Json{{"id", ""}}, -1, 0},
      {Json{{"id", 5}, {"i", 5}}, -1, 0},  // a member "id" of any kind rules "i" out
      {Json{{"i", 1000000}}, -1, 0},
      {Json{{"i", 2500}}, -1, 0},
      {Json{{"i", -1}}, -1, 0},
      {Json{{"i", "3"}}, -1, 0},
  };
  for (const SetCase& k : cases) {
    auto got = parsed(ask(req("set", k.request)));
    if (k.index < 0) {
      EXPECT_TRUE(got.empty()) << k.request;
      continue;
    }
    ASSERT_EQ(got.size(), 1u) << k.request;
    EXPECT_EQ(got[0]["t"], "param");
    EXPECT_EQ(got[0]["echo"], true);
    EXPECT_EQ(got[0]["i"], k.index);
    EXPECT_EQ(got[0]["id"], "p" + std::to_string(k.index));
    EXPECT_EQ(got[0]["v"].get<double>(), k.v);
  }
}

TEST_F(BridgeSlotRequests, SetEchoesTheValueReadBack) {
  chain(Json::array({slot("g", "CLAP:Gain")}));
  EXPECT_EQ(ask(req("set", Json{{"i", 0}, {"v", 0.5}})),
            std::vector<std::string>{
                R"({"echo":true,"i":0,"id":"0","key":"g","t":"param","text":"0.50","track":"a","v":0.5})"});
}

TEST_F(BridgeSlotRequests, StateCarriesTheBlobAndAtMost512Params) {
  chain(Json::array({slot("g", "CLAP:Gain")}));
  EXPECT_EQ(
      ask(req("state")),
      std::vector<std::string>{
          R"({"data":"Rks=","key":"g","params":[{"id":"0","name":"Gain","text":"0.0","unit":"dB","v":0.5}],"plugin":"CLAP:Gain","t":"state","track":"a"})"});
  FakePluginOptions options;
  options.params = manyParams(600);
  host->setPluginOptions("CLAP:Delay", options);
  chain(Json::array({slot("d", "CLAP:Delay")}), "b");
  auto replies = parsed(say(c, Json{{"t", "state"}, {"track", "b"}, {"key", "d"}}));
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0]["params"].size(), 512u);
}

TEST_F(BridgeSlotRequests, EditorTitleAndRefusal) {
  chain(Json::array({slot("g", "CLAP:Gain")}));
  EXPECT_EQ(ask(req("editor")),
            std::vector<std::string>{
                R"({"code":"no-editor","for":"editor","message":"Gain has no editor window.","t":"error"})"});
  FakePluginOptions options;
  options.editor = true;
  host->setPluginOptions("CLAP:Delay", options);
  for (const auto& [trackName, title] : std::vector<std::pair<Json, std::string>>{
           {"Vocals", "Vocals \xC2\xB7 Delay"}, {"", "Delay"}, {nullptr, "Delay"}, {42, "Delay"}}) {
    Json request{{"t", "chain"}, {"track", "e"}, {"slots", Json::array({slot("d", "CLAP:Delay")})}};
    if (!trackName.is_null()) request["trackName"] = trackName;
    say(c, request);
    EXPECT_EQ(say(c, Json{{"t", "editor"}, {"track", "e"}, {"key", "d"}}),
              std::vector<std::string>{R"({"key":"d","open":true,"t":"editor","track":"e"})"});
    FakePlugin* p = plugin("e", 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->lastEditorTitle, title);
    EXPECT_TRUE(p->editorOpen);
  }
}

TEST_F(BridgeSlotRequests, MeterSwitchesEverySlotOfTheKeyAndMakesOneAnalyser) {
  chain(Json::array({slot("g", "CLAP:Gain"), slot("g", "CLAP:Gain"), slot("d", "CLAP:Delay")}));
  SlotList list = slots();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_TRUE(ask(req("meter", Json{{"on", true}, {"spectrum", false}, {"stereo", true}})).empty());
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_TRUE(list[i]->meter);
    EXPECT_TRUE(list[i]->stereo);
    EXPECT_FALSE(list[i]->spectrum);
    EXPECT_EQ(list[i]->spectrumPtr.load(), nullptr);
  }
  EXPECT_FALSE(list[2]->meter);
  ask(req("meter", Json{{"on", true}, {"spectrum", true}}));
  Spectrum* first = list[0]->spectrumPtr.load();
  ASSERT_NE(first, nullptr);
  EXPECT_NE(list[1]->spectrumPtr.load(), nullptr);
  EXPECT_FALSE(list[0]->stereo);
  // Off switches everything off, and the analyser stays for the slot's life.
  ask(req("meter", Json{{"on", false}, {"spectrum", true}, {"stereo", true}}));
  EXPECT_FALSE(list[0]->meter);
  EXPECT_FALSE(list[0]->spectrum);
  EXPECT_FALSE(list[0]->stereo);
  ask(req("meter", Json{{"on", true}, {"spectrum", true}}));
  EXPECT_EQ(list[0]->spectrumPtr.load(), first);
}

TEST_F(BridgeSlotRequests, TheLastSlotOfAKeyAnswers) {
  chain(Json::array({slot("g", "CLAP:Gain"), slot("g", "CLAP:Gain")}));
  ask(req("set", Json{{"i", 0}, {"v", 0.75}}));
  float first = 0, second = 0;
  std::string text;
  plugin("a", 0)->getParam(0, first, text);
  plugin("a", 1)->getParam(0, second, text);
  EXPECT_EQ(first, 0.5f);
  EXPECT_EQ(second, 0.75f);
}

}  // namespace
}  // namespace bridge::test

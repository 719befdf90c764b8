// MIDI routing over the virtual test controller: ownership between sessions, the
// port switches and their saving, and what "midiOut" and "midiTest" carry.
#include <gtest/gtest.h>

#include "bridge_fixture.h"
#include "util/files.h"

namespace bridge::test {
namespace {

const char* const kPort = "Krevlo Test Controller";

class BridgeMidi : public BridgeTest {
 protected:
  std::shared_ptr<FakeConnection> one, two;

  void SetUp() override {
    make("123456");
    bridge->setMidi(makeTestMidi());
    probe().startMidi();
    one = connect(1);
    two = connect(2);
    pair(one, "123456");
    pair(two, "123456");
  }

  std::vector<Json> ask(const std::shared_ptr<FakeConnection>& c, const Json& request) {
    std::vector<Json> out;
    for (const std::string& text : say(c, request)) out.push_back(Json::parse(text));
    return out;
  }
  static Json ports(bool inOpen, bool outOn, bool outOpen) {
    Json in{{"name", kPort}, {"on", true}, {"open", inOpen}};
    Json out{{"name", kPort}, {"on", outOn}, {"open", outOpen}};
    return Json{{"t", "midiPorts"}, {"ins", Json::array({in})}, {"outs", Json::array({out})}};
  }
  static Json owner(bool mine) { return Json{{"t", "midiOwner"}, {"mine", mine}}; }
};

TEST_F(BridgeMidi, OwnershipPassesBetweenSessions) {
  EXPECT_EQ(ask(one, Json{{"t", "midiOn"}}), (std::vector<Json>{ports(true, true, true), owner(true)}));
  EXPECT_EQ(bridge->status().midiInputs, std::vector<std::string>{kPort});
  // A second session leaves the first the owner; both hear about it.
  EXPECT_EQ(ask(two, Json{{"t", "midiOn"}}), (std::vector<Json>{ports(true, true, true), owner(false)}));
  EXPECT_EQ(messages(*one), (std::vector<Json>{ports(true, true, true), owner(true)}));
  EXPECT_EQ(ask(two, Json{{"t", "midiFocus"}}), std::vector<Json>{owner(true)});
  EXPECT_EQ(messages(*one), std::vector<Json>{owner(false)});
  EXPECT_TRUE(ask(two, Json{{"t", "midiFocus"}}).empty());  // no change, no news

  // Input goes to the owner only.
  EXPECT_TRUE(ask(one, Json{{"t", "midiTest"}, {"port", kPort}, {"d", {144, 60, 100}}}).empty());
  queue.drain();
  Json event = Json::array({kPort, Json::array({144, 60, 100})});
  EXPECT_EQ(messages(*two), (std::vector<Json>{Json{{"t", "midi"}, {"ev", Json::array({event})}}}));

  // The owner leaves: the other MIDI session takes over.
  probe().close(two);
  queue.drain();
  EXPECT_EQ(messages(*one), std::vector<Json>{owner(true)});
  // The last one leaves: every port closes.
  probe().close(one);
  queue.drain();
  EXPECT_TRUE(bridge->status().midiInputs.empty());
}

TEST_F(BridgeMidi, OutputGoesOutOnlyFromTheOwnerAsWholeMessages) {
  ask(one, Json{{"t", "midiOn"}});
  ask(two, Json{{"t", "midiOn"}});
  messages(*one);
  Json tooMany = Json::array();
  for (int i = 0; i < 8193; ++i) tooMany.push_back(0);
  struct OutCase {
    Json d;
    std::vector<std::vector<int>> sent;
  };
  const std::vector<OutCase> cases = {
      {{144, 60, 100, 60, 0}, {{144, 60, 100}, {144, 60, 0}}},  // running status
      {{144, 60}, {}},                                          // incomplete
      {tooMany, {}},
      {{144, 60.5, "x", 300, -1, 60, 100}, {{144, 60, 100}}},  // unusable entries skipped
      {"144", {}},
  };
  for (const OutCase& k : cases) {
    auto got = ask(one, Json{{"t", "midiOut"}, {"port", kPort}, {"d", k.d}});
    std::vector<Json> expected;
    for (const auto& bytes : k.sent) expected.push_back(Json{{"t", "midiSent"}, {"port", kPort}, {"d", bytes}});
    EXPECT_EQ(got, expected) << k.d;
    EXPECT_EQ(messages(*two), expected) << k.d;  // the echo goes to every ready session
  }
  // Not the owner, or not an open port: dropped without a word.
  EXPECT_TRUE(say(two, Json{{"t", "midiOut"}, {"port", kPort}, {"d", {144, 60, 100}}}).empty());
  EXPECT_TRUE(say(one, Json{{"t", "midiOut"}, {"port", "Elsewhere"}, {"d", {144, 60, 100}}}).empty());
  EXPECT_TRUE(messages(*one).empty());
}

TEST_F(BridgeMidi, SwitchingAPortOffClosesItAndIsSaved) {
  ask(one, Json{{"t", "midiOn"}});
  EXPECT_EQ(ask(one, Json{{"t", "midiSet"}, {"port", kPort}, {"dir", "out"}, {"on", false}}),
            std::vector<Json>{ports(true, false, false)});
  Json saved = Json::parse(readFile(dataDir() / "settings.json"));
  EXPECT_EQ(saved["midiOff"], Json({{"in", Json::array()}, {"out", {kPort}}}));
  EXPECT_EQ(probe().midiOffOut(), std::set<std::string>{kPort});
  // The same switch again changes nothing but still answers.
  EXPECT_EQ(ask(one, Json{{"t", "midiSet"}, {"port", kPort}, {"dir", "out"}, {"on", false}}),
            std::vector<Json>{ports(true, false, false)});

  // A switch that cannot be saved stays as the file has it.
  std::filesystem::create_directories(dataDir() / "settings.json.tmp");
  EXPECT_EQ(ask(one, Json{{"t", "midiSet"}, {"port", kPort}, {"dir", "out"}, {"on", true}}),
            std::vector<Json>{ports(true, false, false)});
  EXPECT_EQ(probe().midiOffOut(), std::set<std::string>{kPort});
  std::filesystem::remove_all(dataDir() / "settings.json.tmp");

  // Saved choices survive a restart; anything but "out" means an input.
  ask(one, Json{{"t", "midiSet"}, {"port", kPort}, {"dir", "sideways"}, {"on", false}});
  bridge = nullptr;
  queue.drain();
  make("123456");
  EXPECT_EQ(probe().midiOffIn(), std::set<std::string>{kPort});
  EXPECT_EQ(probe().midiOffOut(), std::set<std::string>{kPort});
}

TEST_F(BridgeMidi, RequestsNeedMidiOnAndAKnownType) {
  const std::vector<std::pair<Json, std::string>> cases = {
      {Json{{"t", "midiSet"}, {"port", kPort}}, R"({"code":"midi-off","for":"midiSet","t":"error"})"},
      {Json{{"t", "midiFocus"}}, R"({"code":"midi-off","for":"midiFocus","t":"error"})"},
      {Json{{"t", "midiOut"}}, R"({"code":"midi-off","for":"midiOut","t":"error"})"},
      {Json{{"t", "midiTest"}}, R"({"code":"midi-off","for":"midiTest","t":"error"})"},
      {Json{{"t", "midiWhat"}}, R"({"code":"unknown","for":"midiWhat","t":"error"})"},
  };
  for (const auto& [request, reply] : cases) EXPECT_EQ(say(one, request), std::vector<std::string>{reply});
  // "midiTest" on a port layer that cannot inject: "unsupported".
  bridge = nullptr;
  queue.drain();
  make("123456");
  auto c = connect(3);
  pair(c, "123456");
  EXPECT_EQ(say(c, Json{{"t", "midiOn"}}), (std::vector<std::string>{R"({"ins":[],"outs":[],"t":"midiPorts"})",
                                                                    R"({"mine":true,"t":"midiOwner"})"}));
  EXPECT_EQ(say(c, Json{{"t", "midiTest"}, {"port", kPort}, {"d", {144, 1, 2}}}),
            std::vector<std::string>{R"({"code":"unsupported","for":"midiTest","t":"error"})"});
}

}  // namespace
}  // namespace bridge::test

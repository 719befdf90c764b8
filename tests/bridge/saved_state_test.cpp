// "pairings.json" and "settings.json": layouts, reading rules, modes and failures.
#include "bridge/saved_state.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "bridge_fixture.h"
#include "util/files.h"

namespace bridge::test {
namespace {

std::filesystem::path golden(const char* name) { return std::filesystem::path(KREVLO_BRIDGE_GOLDEN_DIR) / name; }

std::vector<Pairing> goldenPairings() {
  std::string token;
  for (int i = 0; i < 32; ++i) token += "0123456789abcdef"[i >> 4], token += "0123456789abcdef"[i & 15];
  return {{"0123456789abcdef", token, "https://daw.krevlo.example", "Zo\xC3\xAB's Firefox", 1700000000.0},
          {"fedcba9876543210", std::string(64, 'b'), "http://127.0.0.1:5173", "", 0.0}};
}

SavedSettings goldenSettings() {
  SavedSettings s;
  s.hiddenFormats = {"VST3", "AU"};
  s.places = {{"a1b2c3d4e5f6", "Samples", "/home/u/Samples"},
              {"0a0b0c0d0e0f", "\xC3\x9Cnicode", "/home/u/\xC3\x9Cnicode"}};
  s.midiOffIn = {"Piano", "Krevlo Test Controller"};
  return s;
}

mode_t fileMode(const std::filesystem::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

TEST(BridgeSavedStateLayout, MatchesTheGoldenFiles) {
  std::string text;
  ASSERT_TRUE(pairingsText(goldenPairings(), text));
  EXPECT_EQ(text, readFile(golden("pairings.json")));
  ASSERT_TRUE(pairingsText({}, text));
  EXPECT_EQ(text, "[]");
  EXPECT_EQ(settingsText(goldenSettings()), readFile(golden("settings.json")));
  EXPECT_EQ(settingsText({}), readFile(golden("settings-empty.json")));
}

TEST(BridgeSavedStateLayout, PairingsRefuseInvalidUtf8AndSettingsReplaceIt) {
  std::string text = "untouched";
  EXPECT_FALSE(pairingsText({{"a", "b", "o", "bad\xFF", 0}}, text));
  EXPECT_EQ(text, "untouched");
  SavedSettings s;
  s.places = {{"p", "n", "/x\xFF"}};
  EXPECT_NE(settingsText(s).find("/x\xEF\xBF\xBD"), std::string::npos);
}

TEST(BridgeSavedStateLayout, ReadsTheGoldenFilesBack) {
  auto pairings = parsePairings(readFile(golden("pairings.json")));
  auto expected = goldenPairings();
  ASSERT_EQ(pairings.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(pairings[i].id, expected[i].id);
    EXPECT_EQ(pairings[i].token, expected[i].token);
    EXPECT_EQ(pairings[i].origin, expected[i].origin);
    EXPECT_EQ(pairings[i].name, expected[i].name);
    EXPECT_EQ(pairings[i].created, expected[i].created);
  }
  SavedSettings s = parseSettings(readFile(golden("settings.json")));
  EXPECT_EQ(settingsText(s), readFile(golden("settings.json")));
}

TEST(BridgeSavedStateLayout, PairingsReadUpToTheFirstBadValue) {
  struct Case {
    std::string text;
    std::vector<std::string> ids;  // "id/token/origin/name/created"
  } cases[] = {
      {"", {}},
      {"not json", {}},
      {"[", {}},
      {"null", {}},
      {"[]", {}},
      {"{}", {}},
      {"5", {}},
      {R"([{"id":"a","token":"b"},5,{"id":"c"}])", {"a/b///0"}},
      {R"([{"id":"a","created":5},{"id":"b","created":1.5}])", {"a////5", "b////1.5"}},
      {R"([{"id":"a"},{"id":7},{"id":"c"}])", {"a////0"}},
      {R"([{"id":"a"},{"created":"5"}])", {"a////0"}},
      {R"([{"id":"a"},{"name":null}])", {"a////0"}},
      {R"([{"id":"a","extra":[1,2]}])", {"a////0"}},
      {R"({"y":{"id":"b"},"x":{"id":"a"}})", {"a////0", "b////0"}},
      {R"({"id":"a"})", {}},
      {R"({"id":"a","origin":"o"} )", {}},
      {R"([{"id":"a","created":1e400}])", {}},
      {R"([{"id":"a"}] trailing)", {}},
      {R"([{"id":"a"} /* comment */])", {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> got;
    for (const Pairing& p : parsePairings(c.text)) {
      std::ostringstream s;
      s << p.id << "/" << p.token << "/" << p.origin << "/" << p.name << "/" << p.created;
      got.push_back(s.str());
    }
    EXPECT_EQ(got, c.ids) << c.text;
  }
}

TEST(BridgeSavedStateLayout, SettingsReadUpToTheFirstBadValue) {
  struct Case {
    std::string text;
    std::string expected;  // settingsText of what was read
  } cases[] = {
      {"", settingsText({})},
      {"[]", settingsText({})},
      {R"("VST3")", settingsText({})},
      {R"({"hiddenFormats":["VST3",7],"places":[{"id":"p"}]})", settingsText({{"VST3"}, {}, {}, {}})},
      {R"({"hiddenFormats":"AU"})", settingsText({{"AU"}, {}, {}, {}})},
      {R"({"hiddenFormats":{"x":"CLAP","y":"AU"}})", settingsText({{"AU", "CLAP"}, {}, {}, {}})},
      {R"({"hiddenFormats":null,"places":null,"midiOff":{"in":null}})", settingsText({})},
      {R"({"places":[{"id":"1","name":"n","path":"/p"},5,{"id":"2"}]})",
       settingsText({{}, {{"1", "n", "/p"}}, {}, {}})},
      {R"({"places":[{"id":"1"},{"id":2}]})", settingsText({{}, {{"1", "", ""}}, {}, {}})},
      {R"({"places":[{"id":"1"}],"midiOff":[],"hiddenFormats":["AU"]})",
       settingsText({{"AU"}, {{"1", "", ""}}, {}, {}})},
      {R"({"midiOff":{"in":["B","A"],"out":["C"]}})", settingsText({{}, {}, {"A", "B"}, {"C"}})},
      {R"({"midiOff":{"in":["A",3],"out":["C"]}})", settingsText({{}, {}, {"A"}, {}})},
      {R"({"midiOff":{"out":"C"}})", settingsText({{}, {}, {}, {"C"}})},
  };
  for (const auto& c : cases) EXPECT_EQ(settingsText(parseSettings(c.text)), c.expected) << c.text;
}

class BridgeSavedState : public BridgeTest {};

TEST_F(BridgeSavedState, NoFilesMeansDefaultsAndNothingWritten) {
  make();
  EXPECT_EQ(bridge->status().pairings, 0);
  EXPECT_TRUE(probe().hiddenFormats().empty());
  EXPECT_TRUE(probe().places().empty());
  EXPECT_TRUE(probe().midiOffIn().empty());
  EXPECT_FALSE(std::filesystem::exists(dataDir() / "pairings.json"));
  EXPECT_FALSE(std::filesystem::exists(dataDir() / "settings.json"));
}

TEST_F(BridgeSavedState, LoadsAndRewritesTheFilesUnchanged) {
  std::filesystem::create_directories(dataDir());
  std::filesystem::copy_file(golden("pairings.json"), dataDir() / "pairings.json");
  std::filesystem::copy_file(golden("settings.json"), dataDir() / "settings.json");
  make();
  EXPECT_EQ(bridge->status().pairings, 2);
  EXPECT_EQ(probe().hiddenFormats(), (std::set<std::string>{"AU", "VST3"}));
  EXPECT_EQ(probe().midiOffIn(), (std::set<std::string>{"Krevlo Test Controller", "Piano"}));
  ASSERT_TRUE(probe().saveState());
  EXPECT_EQ(readFile(dataDir() / "pairings.json"), readFile(golden("pairings.json")));
  EXPECT_EQ(readFile(dataDir() / "settings.json"), readFile(golden("settings.json")));
}

TEST_F(BridgeSavedState, BadPairingsStillLetSettingsLoad) {
  writeFile(dataDir() / "pairings.json", "{oops", true);
  writeFile(dataDir() / "settings.json", R"({"hiddenFormats":["VST3"]})", false);
  make();
  EXPECT_EQ(bridge->status().pairings, 0);
  EXPECT_EQ(probe().hiddenFormats(), std::set<std::string>{"VST3"});
}

TEST_F(BridgeSavedState, PairingsAreOwnerOnlyAndSettingsOrdinary) {
  make("123456");
  auto c = connect(1);
  pair(c, "123456");
  EXPECT_EQ(fileMode(dataDir() / "pairings.json"), 0600u);
  mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(fileMode(dataDir() / "settings.json"), 0666u & ~mask);
  EXPECT_EQ(readFile(dataDir() / "settings.json"), readFile(golden("settings-empty.json")));
}

TEST_F(BridgeSavedState, RestartKeepsPairingsWithTheirCreatedSeconds) {
  make("123456");
  auto c = connect(1);
  Json paired = pair(c, "123456");
  double created = probe().pairings().at(0).created;
  std::string text = readFile(dataDir() / "pairings.json");
  EXPECT_NE(text.find("\"created\": " + std::to_string(static_cast<long long>(created)) + ".0,"), std::string::npos)
      << text;
  bridge = nullptr;
  make("123456");
  ASSERT_EQ(probe().pairings().size(), 1u);
  EXPECT_EQ(probe().pairings()[0].id, paired["id"]);
  EXPECT_EQ(probe().pairings()[0].token, paired["token"]);
  EXPECT_EQ(probe().pairings()[0].created, created);
}

// A write that fails leaves the old file whole, and memory is put back to
// match it: a pairing the file does not hold would vanish at the next start.
TEST_F(BridgeSavedState, FailedWriteKeepsFileAndMemoryAgreeing) {
  make("123456");
  auto c = connect(1);
  pair(c, "123456");
  std::string before = readFile(dataDir() / "pairings.json");
  std::filesystem::create_directories(dataDir() / "pairings.json.tmp");  // the temporary cannot be opened
  auto d = connect(2);
  EXPECT_EQ(say(d, Json{{"t", "pair"}, {"code", "123456"}, {"name", "Second"}}),
            std::vector<std::string>{R"({"code":"bad-request","for":"pair","t":"error"})"});
  EXPECT_EQ(readFile(dataDir() / "pairings.json"), before);
  EXPECT_EQ(probe().pairings().size(), 1u);
  EXPECT_EQ(say(d, std::string(R"({"t":"plugins"})")),
            std::vector<std::string>{R"({"code":"unauthenticated","for":"plugins","t":"error"})"});

  // Forgetting that cannot be saved forgets nothing and closes nothing.
  bridge->forgetPairings();
  EXPECT_EQ(probe().pairings().size(), 1u);
  EXPECT_FALSE(c->closed);

  // A format switch that cannot be saved stays as the file has it.
  std::filesystem::create_directories(dataDir() / "settings.json.tmp");
  bridge->setFormatShown("VST3", false);
  EXPECT_TRUE(probe().hiddenFormats().empty());
  EXPECT_TRUE(c->takeTexts().empty());

  std::filesystem::remove_all(dataDir() / "pairings.json.tmp");
  std::filesystem::remove_all(dataDir() / "settings.json.tmp");
  bridge = nullptr;
  make("123456");
  EXPECT_EQ(probe().pairings().size(), 1u);
}

// A pairing the file cannot hold (here an origin that is not UTF-8) is refused
// and never stays in memory, where it would block every later save.
TEST_F(BridgeSavedState, UnsavablePairingIsRefusedAndLaterSavesWork) {
  make("123456");
  auto c = connect(1, "https://daw.krevlo.example\xFF");
  EXPECT_EQ(say(c, Json{{"t", "pair"}, {"code", "123456"}, {"name", "n"}}),
            std::vector<std::string>{R"({"code":"bad-request","for":"pair","t":"error"})"});
  EXPECT_TRUE(probe().pairings().empty());
  EXPECT_FALSE(std::filesystem::exists(dataDir() / "pairings.json"));
  bridge->setFormatShown("CLAP", false);
  EXPECT_EQ(readFile(dataDir() / "pairings.json"), "[]");
  EXPECT_NE(readFile(dataDir() / "settings.json").find("\"CLAP\""), std::string::npos);
  auto d = connect(2);
  EXPECT_EQ(say(d, Json{{"t", "pair"}, {"code", "123456"}, {"name", "n"}}).size(), 3u);
}

}  // namespace
}  // namespace bridge::test

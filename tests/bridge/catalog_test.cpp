// The catalog: scans on their own thread, merges on the main thread, "plugins",
// hidden formats and the lookups.
#include <gtest/gtest.h>

#include <future>

#include "bridge_fixture.h"
#include "util/files.h"

namespace bridge::test {
namespace {

class BridgeCatalog : public BridgeTest {
 protected:
  FakeHost* au = nullptr;
  FakeHost* vst3 = nullptr;
  FakeHost* clap = nullptr;
  std::shared_ptr<FakeConnection> browser;

  void SetUp() override {
    make("123456");
    auto a = std::make_unique<FakeHost>("AU");
    auto v = std::make_unique<FakeHost>("VST3");
    auto c = std::make_unique<FakeHost>("CLAP");
    au = a.get();
    vst3 = v.get();
    clap = c.get();
    bridge->addHost(std::move(a));
    bridge->addHost(std::move(v));
    bridge->addHost(std::move(c));
    browser = connect(1);
    pair(browser, "123456");
  }

  void scanAndWait() {
    probe().startScan();
    ASSERT_TRUE(drainUntil([&] { return !bridge->status().scanning; }));
  }

  // The "plugins" messages received so far, as (ids, scanning).
  std::vector<std::pair<std::vector<std::string>, bool>> pluginPushes(FakeConnection& c) {
    std::vector<std::pair<std::vector<std::string>, bool>> out;
    for (const std::string& text : c.takeTexts()) {
      Json m = Json::parse(text);
      if (m["t"] != "plugins") continue;
      std::vector<std::string> ids;
      for (const Json& e : m["list"]) ids.push_back(e["id"]);
      out.emplace_back(ids, m["scanning"].get<bool>());
    }
    return out;
  }
};

TEST_F(BridgeCatalog, EachHostIsPublishedAsItFinishes) {
  au->add("Delay", "Acme");
  vst3->add("Reverb", "Acme");
  clap->add("Gate", "Acme");
  auto waiting = connect(2);  // not ready: receives nothing
  scanAndWait();
  auto pushes = pluginPushes(*browser);
  ASSERT_EQ(pushes.size(), 3u);
  EXPECT_EQ(pushes[0], std::make_pair(std::vector<std::string>{"AU:Delay"}, true));
  EXPECT_EQ(pushes[1], std::make_pair(std::vector<std::string>{"AU:Delay", "VST3:Reverb"}, true));
  EXPECT_EQ(pushes[2], std::make_pair(std::vector<std::string>{"AU:Delay", "CLAP:Gate", "VST3:Reverb"}, false));
  EXPECT_TRUE(waiting->takeTexts().empty());
  EXPECT_EQ(bridge->status().plugins, 3);
}

TEST_F(BridgeCatalog, EntriesCarryAllSevenStringsSortedByteWise) {
  PluginInfo b{"AU:aufx:bbbb:Beta", "AU", "Zip", "B", "2.0", "Effect", "Delay|Echo"};
  PluginInfo a{"AU:aufx:aaaa:alfa", "AU", "Amp", "a", "1.0", "Music Effect", ""};
  PluginInfo b2{"AU:aufx:cccc:Beta", "AU", "Arc", "B", "", "", ""};
  au->setEntries({a, b, b2});
  scanAndWait();
  browser->takeTexts();
  auto replies = say(browser, std::string(R"({"t":"plugins"})"));
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(
      replies[0],
      R"({"list":[{"category":"","format":"AU","id":"AU:aufx:cccc:Beta","name":"Arc","tags":"","vendor":"B","version":""},)"
      R"({"category":"Effect","format":"AU","id":"AU:aufx:bbbb:Beta","name":"Zip","tags":"Delay|Echo","vendor":"B","version":"2.0"},)"
      R"({"category":"Music Effect","format":"AU","id":"AU:aufx:aaaa:alfa","name":"Amp","tags":"","vendor":"a","version":"1.0"}],)"
      R"("scanning":false,"t":"plugins"})");
}

TEST_F(BridgeCatalog, AFormatThatFindsNothingDisappears) {
  au->add("Delay");
  vst3->add("Reverb");
  scanAndWait();
  vst3->setEntries({});
  vst3->setProblems({"/plugins/Crash.vst3"});
  scanAndWait();
  auto pushes = pluginPushes(*browser);
  EXPECT_EQ(pushes.back().first, std::vector<std::string>{"AU:Delay"});
  EXPECT_EQ(bridge->status().failures, std::vector<std::string>{"/plugins/Crash.vst3 (VST3)"});
}

TEST_F(BridgeCatalog, ProblemsAreListedByFormatName) {
  vst3->setProblems({"/v/One.vst3", "/v/Two.vst3"});
  au->setProblems({"aufx:odd"});
  scanAndWait();
  EXPECT_EQ(bridge->status().failures,
            (std::vector<std::string>{"aufx:odd (AU)", "/v/One.vst3 (VST3)", "/v/Two.vst3 (VST3)"}));
}

TEST_F(BridgeCatalog, ScanDuringAScanStartsNoSecond) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> entered;
  au->scanHook = [&] {
    entered.set_value();
    released.wait();
  };
  auto replies = say(browser, std::string(R"({"t":"scan"})"));
  EXPECT_EQ(replies, std::vector<std::string>{R"({"list":[],"scanning":true,"t":"plugins"})"});
  entered.get_future().wait();
  replies = say(browser, std::string(R"({"t":"scan"})"));
  EXPECT_EQ(replies, std::vector<std::string>{R"({"list":[],"scanning":true,"t":"plugins"})"});
  bridge->rescan();  // asks every host, but starts nothing either
  EXPECT_EQ(au->rescanRequests, 1);
  EXPECT_EQ(clap->rescanRequests, 1);
  release.set_value();
  ASSERT_TRUE(drainUntil([&] { return !bridge->status().scanning; }));
  EXPECT_EQ(au->scanCalls, 1);
  au->scanHook = nullptr;
}

TEST_F(BridgeCatalog, HidingAFormatFiltersThePushesAndIsSavedOnce) {
  au->add("Delay");
  vst3->add("Reverb");
  scanAndWait();
  browser->takeTexts();
  int before = changes;
  bridge->setFormatShown("VST3", false);
  EXPECT_GT(changes, before);
  EXPECT_EQ(pluginPushes(*browser), (std::vector<std::pair<std::vector<std::string>, bool>>{{{"AU:Delay"}, false}}));
  EXPECT_NE(probe().findPlugin("VST3:Reverb"), nullptr);  // chains keep working
  EXPECT_EQ(bridge->status().plugins, 1);
  EXPECT_NE(readFile(dataDir() / "settings.json").find("\"VST3\""), std::string::npos);

  std::filesystem::remove(dataDir() / "settings.json");
  std::filesystem::remove(dataDir() / "pairings.json");
  bridge->setFormatShown("VST3", false);
  EXPECT_TRUE(browser->takeTexts().empty());
  EXPECT_FALSE(std::filesystem::exists(dataDir() / "settings.json"));
  EXPECT_FALSE(std::filesystem::exists(dataDir() / "pairings.json"));

  bridge->setFormatShown("VST3", true);
  EXPECT_EQ(pluginPushes(*browser).size(), 1u);
  EXPECT_EQ(readFile(dataDir() / "settings.json").find("\"VST3\""), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(dataDir() / "pairings.json"));
  bridge->setFormatShown("Nonsense", false);  // any text is accepted
  EXPECT_TRUE(probe().hiddenFormats().count("Nonsense"));
}

TEST_F(BridgeCatalog, HostForMatchesTheTextBeforeTheFirstColon) {
  struct Case {
    std::string id;
    FakeHost* host;
  } cases[] = {
      {"CLAP:com.example.gate", clap},
      {"VST3:0123", vst3},
      {"AU:aufx:abcd:Wxyz", au},
      {"VST3", vst3},
      {"vst3:0123", nullptr},
      {"VST", nullptr},
      {"", nullptr},
      {":CLAP", nullptr},
      {"CLAP :x", nullptr},
  };
  for (const auto& c : cases) EXPECT_EQ(bridge->hostFor(c.id), c.host) << c.id;
  EXPECT_EQ(bridge->formats(), (std::vector<std::string>{"AU", "VST3", "CLAP"}));
  EXPECT_EQ(probe().findPlugin("AU:none"), nullptr);
}

TEST_F(BridgeTest, WithoutHostsNothingScans) {
  make("123456");
  auto c = connect(1);
  pair(c, "123456");
  EXPECT_EQ(say(c, std::string(R"({"t":"scan"})")),
            std::vector<std::string>{R"({"list":[],"scanning":false,"t":"plugins"})"});
  EXPECT_FALSE(bridge->status().scanning);
}

// The scan thread posts its results; a Bridge destroyed meanwhile drops them.
TEST_F(BridgeTest, ScanResultsAfterDestructionAreDropped) {
  make("123456");
  auto host = std::make_unique<FakeHost>("AU");
  host->add("Delay");
  bridge->addHost(std::move(host));
  auto c = connect(1);
  pair(c, "123456");
  probe().startScan();
  bridge = nullptr;  // joins the scan thread
  queue.drain();
  EXPECT_TRUE(c->takeTexts().empty());
}

}  // namespace
}  // namespace bridge::test

// The CLAP host: where it looks, what its catalog holds, and every way create
// can fail, against real helper processes and real loaded test plug-ins.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "clap_fixture.h"

namespace bridge::test {
namespace {

TEST(ClapSearchFolders, StandardFoldersThenClapPathThenExtras) {
  struct Case {
    const char* home;
    const char* clapPath;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"/h", ":/a::/b:", {"/h/.clap", "/usr/lib/clap", "/a", "/b", "/x"}},
      {nullptr, nullptr, {"/usr/lib/clap", "/x"}},
      {"/h", "", {"/h/.clap", "/usr/lib/clap", "/x"}},
  };
  for (const Case& c : cases) {
    ScopedEnv home("HOME", c.home);
    ScopedEnv path("CLAP_PATH", c.clapPath);
    EXPECT_EQ(clapSearchFolders({"/x"}), c.want) << (c.clapPath ? c.clapPath : "(unset)");
  }
}

TEST(ClapFindFiles, WalksFoldersButNotBundlesOrLinks) {
  const fs::path root = testDir() / "walk";
  auto touch = [](const fs::path& p) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "x";
  };
  touch(root / "a" / "one.clap");
  touch(root / "a" / "sub" / "two.clap");
  touch(root / "a" / "Folder.clap" / "inner.clap");  // a bundle inside a bundle
  touch(root / "a" / "upper.CLAP");                   // the extension is case-sensitive
  touch(root / "a" / "not-clap.so");
  touch(root / "elsewhere" / "linked.clap");
  fs::create_directory_symlink(root / "elsewhere", root / "a" / "link");

  const std::string a = (root / "a").string();
  const std::vector<std::string> found =
      findClapFiles({a, (root / "a" / "sub").string(), (root / "missing").string(), a});
  const std::vector<std::string> want = {a + "/Folder.clap", a + "/one.clap", a + "/sub/two.clap"};
  EXPECT_EQ(found, want);
}

TEST(ClapHost, MakingItRemovesTheStaleScanMarker) {
  const fs::path data = testDir() / "data";
  fs::create_directories(data);
  std::ofstream(data / "clap-scanning") << "";
  auto host = makeClapHost(data, {}, [](std::function<void()>) {}, KREVLO_HELPER);
  EXPECT_FALSE(fs::exists(data / "clap-scanning"));
  EXPECT_EQ(host->format(), "CLAP");
}

using ClapHostTest = ClapFixture;

TEST_F(ClapHostTest, CatalogListsEveryEffectOfTheFile) {
  ASSERT_EQ(catalog.size(), 14u);
  const PluginInfo& gain = catalog.front();
  EXPECT_EQ(gain.id, "CLAP:org.krevlo.fx.gain");
  EXPECT_EQ(gain.format, "CLAP");
  EXPECT_EQ(gain.name, "Fx Gain");
  EXPECT_EQ(gain.vendor, "Krevlo Tests");
  EXPECT_EQ(gain.version, "1.2.3");
  EXPECT_EQ(gain.category, "Effect");
  EXPECT_EQ(gain.tags, "audio-effect|stereo");
  EXPECT_TRUE(host->problems().empty());
  // Examined in a helper only: nothing of the file runs in this process yet.
  EXPECT_EQ(probe(), nullptr);
}

TEST_F(ClapHostTest, CreateAnswersOnceWithTheFailureText) {
  struct Case {
    std::string id;
    double rate;
    const char* want;
  };
  const Case cases[] = {
      {"CLAP:", 48000, "plug-in not found"},
      {"CLAP", 48000, "plug-in not found"},
      {fxId("unknown"), 48000, "plug-in not found"},
      {"VST3:org.krevlo.fx.gain", 48000, "plug-in not found"},
      {fxId("null-create"), 48000, "could not create the plug-in"},
      {fxId("init-false"), 48000, "could not create the plug-in"},
      {fxId("no-ports"), 48000, "not an effect with an audio input"},
      {fxId("no-output"), 48000, "not an effect with an audio input"},
      {fxId("no-port-info"), 48000, "not an effect with an audio input"},
      {fxId("mono"), 48000, "this plug-in does not take stereo audio"},
      {fxId("picky"), 44100, "the plug-in refused 44100 Hz"},
      {fxId("picky"), 96000.7, "the plug-in refused 96000 Hz"},
      {fxId("picky"), 48000, ""},
      {fxId("gain"), 44100, ""},
  };
  for (const Case& c : cases) {
    Created made = create(*host, c.id, c.rate);
    EXPECT_EQ(made.calls, 1) << c.id;
    EXPECT_EQ(made.error, c.want) << c.id << " at " << c.rate;
    EXPECT_EQ(made.plugin != nullptr, std::string(c.want).empty()) << c.id;
  }
  // Every instance that was made is destroyed again, the one that failed init
  // included.
  const auto all = calls();
  EXPECT_EQ(std::count(all.begin(), all.end(), "init"), 9);
  EXPECT_EQ(std::count(all.begin(), all.end(), "destroy"), 9);
}

TEST_F(ClapHostTest, BeforeAnyScanNothingIsFound) {
  auto fresh = newHost();
  EXPECT_EQ(create(*fresh, fxId("gain")).error, "plug-in not found");
}

// A file that changed after its examination fails in create with the loader's
// text. Each case has a file of its own, since loaded images are per file.
TEST_F(ClapHostTest, CreateReportsTheLoadersText) {
  struct Case {
    const char* replacement;  // a built test plug-in, or null for bytes that are no shared object
    const char* want;
  };
  const Case cases[] = {
      {nullptr, "could not load the plug-in"},
      {"scan_noentry.clap", "not a CLAP plug-in this bridge can use"},
      {"scan_badversion.clap", "not a CLAP plug-in this bridge can use"},
      {"scan_initfail.clap", "not a CLAP plug-in this bridge can use"},
      {"scan_nofactory.clap", "the plug-in has no plug-in factory"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const fs::path dir = testDir() / ("case" + std::to_string(n++));
    const fs::path file = copyPlugin("clap_fx.clap", dir / "fx.clap");
    auto h = newHost({dir.string()});
    std::atomic<bool> cancel{false};
    ASSERT_EQ(h->scan(cancel).size(), 14u);
    if (c.replacement)
      copyPlugin(c.replacement, file);
    else
      std::ofstream(file, std::ios::trunc) << "not a shared object";
    Created made = create(*h, fxId("gain"));
    EXPECT_EQ(made.calls, 1);
    EXPECT_EQ(made.error, c.want) << (c.replacement ? c.replacement : "garbage");
    EXPECT_FALSE(made.plugin);
  }
}

TEST_F(ClapHostTest, ModuleIsLoadedOnceAcrossCreates) {
  auto first = make("gain");
  auto second = make("state");
  Created failed = create(*host, fxId("mono"));
  auto third = make("gain");
  ASSERT_TRUE(first && second && third);
  EXPECT_EQ(record().entryInits, 1);
  const auto all = calls();
  EXPECT_EQ(std::count(all.begin(), all.end(), "entry.init"), 1);
  EXPECT_EQ(std::count(all.begin(), all.end(), "entry.deinit"), 0);
}

TEST_F(ClapHostTest, RescanRequestRetriesBlockedFilesOnce) {
  const fs::path dir = testDir() / "crashing";
  copyPlugin("scan_crash.clap", dir / "crash.clap");
  HelperSpy spy(testDir() / "spy", KREVLO_HELPER);
  auto h = makeClapHost(testDir() / "data2", {dir.string()}, [](std::function<void()>) {}, spy.path());
  std::atomic<bool> cancel{false};
  h->scan(cancel);
  EXPECT_EQ(spy.runs(), 1);
  EXPECT_EQ(h->problems(), std::vector<std::string>{"crash"});
  h->scan(cancel);
  EXPECT_EQ(spy.runs(), 1);  // skipped while blocked
  h->requestRescan();
  h->scan(cancel);
  EXPECT_EQ(spy.runs(), 2);  // examined again
  h->scan(cancel);
  EXPECT_EQ(spy.runs(), 2);  // and the request is used up
  EXPECT_EQ(h->problems(), std::vector<std::string>{"crash"});
}

TEST_F(ClapHostTest, SameFileThroughTwoFoldersIsOneEntry) {
  auto h = newHost({pluginsDir.string(), pluginsDir.string(), testDir().string()});
  std::atomic<bool> cancel{false};
  EXPECT_EQ(h->scan(cancel).size(), 14u);
}

}  // namespace
}  // namespace bridge::test

// The VST3 host against our real, dlopen'ed test bundles: the catalog, the
// folders, every failure row of create, the module cache and the stereo offer.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "vst3_fixture.h"

namespace bridge {
namespace {

using namespace bridge::test;

TEST_F(Vst3Fixture, CatalogListsEveryEffectClassOnce) {
  const PluginInfo* gain = nullptr;
  const PluginInfo* noLoad = nullptr;
  for (const auto& info : catalog) {
    EXPECT_EQ(info.format, "VST3");
    EXPECT_EQ(info.category, "Effect");
    if (info.id == fxId(Vst3FxKind::Gain)) gain = &info;
    if (info.id == kNoLoadId) noLoad = &info;
    EXPECT_NE(info.id, fxId(Vst3FxKind::DelayController)) << "controllers are no effects";
  }
  EXPECT_EQ(catalog.size(), 16u);  // 15 effects of vst3_fx, one of vst3_noload
  ASSERT_TRUE(gain);
  EXPECT_EQ(gain->name, "Fx Gain");
  EXPECT_EQ(gain->vendor, "Krevlo Tests");
  EXPECT_EQ(gain->version, "1.0.0");
  EXPECT_EQ(gain->tags, "Fx|Dynamics");
  ASSERT_TRUE(noLoad) << "listed from its module info without loading it";
  EXPECT_EQ(noLoad->name, "No Load");
  EXPECT_EQ(host->format(), "VST3");
  EXPECT_TRUE(host->problems().empty());
}

TEST_F(Vst3Fixture, MakingAHostRemovesTheScanMarker) {
  const fs::path marker = testDir() / "data" / "vst3-scanning";
  writeFile(marker, "x", false);
  auto h = newHost({});
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_EQ(create(*h, fxId(Vst3FxKind::Gain)).error, "plug-in not found") << "before any scan";
}

struct FailCase {
  const char* name;
  std::string id;
  const char* error;
  double rate = 48000.0;
  std::vector<std::string> done = {};     // calls the failed create must have made
  std::vector<std::string> notDone = {};  // ... and must not have made
};

void PrintTo(const FailCase& c, std::ostream* os) { *os << c.name; }

class Vst3CreateFailure : public Vst3Fixture, public ::testing::WithParamInterface<FailCase> {};

TEST_P(Vst3CreateFailure, AnswersOnceWithItsTextAndLeavesNothingAlive) {
  const FailCase& c = GetParam();
  Created r = create(*host, c.id, c.rate);
  EXPECT_EQ(r.calls, 1);
  EXPECT_EQ(r.plugin, nullptr);
  EXPECT_EQ(r.error, c.error);
  for (const auto& line : c.done) EXPECT_TRUE(called(line)) << line;
  for (const auto& line : c.notDone) EXPECT_FALSE(called(line)) << line;
  if (const Vst3FxProbe* p = probe()) {
    EXPECT_EQ(p->live(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Vst3CreateFailure,
    ::testing::Values(
        FailCase{"Prefix", "VST3:", "plug-in not found"},
        FailCase{"Unknown", "VST3:00000000000000000000000000000000", "plug-in not found"},
        FailCase{"Load", kNoLoadId, "ModuleEntry failed"},
        FailCase{"Create", fxId(Vst3FxKind::NoCreate), "could not create the plug-in"},
        FailCase{"Initialize", fxId(Vst3FxKind::InitFail), "could not create the plug-in", 48000.0,
                 {"InitFail.initialize", "InitFail.free"}, {"InitFail.terminate"}},
        FailCase{"Processor", fxId(Vst3FxKind::NoProcessor), "not an audio effect", 48000.0,
                 {"NoProcessor.terminate", "NoProcessor.free"}},
        FailCase{"NoController", fxId(Vst3FxKind::NoController), "the plug-in has no edit controller"},
        FailCase{"ControllerInitialize", fxId(Vst3FxKind::BadController), "the plug-in has no edit controller",
                 48000.0, {"FailingController.initialize", "FailingController.free", "BadController.terminate"},
                 {"FailingController.terminate", "FailingController.setComponentHandler null"}},
        FailCase{"NoInput", fxId(Vst3FxKind::NoInput), "not an effect with an audio input", 48000.0,
                 {"NoInput.setComponentHandler null", "NoInput.terminate"}},
        FailCase{"Mono", fxId(Vst3FxKind::Mono), "this plug-in does not take stereo audio", 48000.0,
                 {"Mono.setBusArrangements i3 o3"}, {"Mono.activateBus 0 0 0 1"}},
        FailCase{"Sample32", fxId(Vst3FxKind::No32), "the plug-in does not process 32-bit audio"},
        FailCase{"Rate", fxId(Vst3FxKind::Picky), "the plug-in refused 44100 Hz", 44100.0},
        FailCase{"FractionalRate", fxId(Vst3FxKind::Picky), "the plug-in refused 48000 Hz", 48000.5},
        FailCase{"Start", fxId(Vst3FxKind::NoStart), "could not start the plug-in", 48000.0,
                 {"NoStart.setActive 1", "NoStart.setComponentHandler null", "NoStart.terminate"},
                 {"NoStart.setActive 0", "NoStart.setProcessing 0", "NoStart.setProcessing 1"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Vst3Fixture, PickyPluginTakesItsOwnRate) {
  auto p = make(Vst3FxKind::Picky, 48000.0);
  ASSERT_TRUE(p);
  EXPECT_TRUE(called("Picky.setupProcessing 0 0 512 48000"));
}

TEST_F(Vst3Fixture, BundleIsLoadedOnceAcrossCreates) {
  auto a = make(Vst3FxKind::Gain);
  auto b = make(Vst3FxKind::Delay);
  ASSERT_TRUE(a && b);
  a.reset();
  auto c = make(Vst3FxKind::Gain);
  ASSERT_TRUE(c);
  EXPECT_EQ(probe()->entries(), 1);
}

TEST_F(Vst3Fixture, ModuleOutlivesItsHost) {
  auto p = make(Vst3FxKind::Delay);
  ASSERT_TRUE(p);
  host.reset();
  Block b = run(*p, 128);
  EXPECT_FLOAT_EQ(b.left[64], 0.01f);  // the first input sample, 64 frames late
  p.reset();
  EXPECT_EQ(probe()->live(), 0);
}

TEST_F(Vst3Fixture, LaterBundleWinsADuplicateId) {
  const fs::path a = copyBundle("vst3_fx.vst3", testDir() / "a");
  const fs::path b = copyBundle("vst3_fx.vst3", testDir() / "b");
  auto h = makeVst3Host(testDir() / "data2", {(testDir() / "b").string(), (testDir() / "a").string()},
                        KREVLO_HELPER);
  std::atomic<bool> cancel{false};
  auto entries = h->scan(cancel);
  EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                          [](const PluginInfo& i) { return i.id == fxId(Vst3FxKind::Gain); }),
            2);
  Created c = create(*h, fxId(Vst3FxKind::Gain));
  ASSERT_TRUE(c.plugin) << c.error;
  EXPECT_TRUE(fxProbeOf(b)) << "b sorts after a";
  EXPECT_FALSE(fxProbeOf(a));
}

// Ids that real examination cannot produce, from a scripted helper that answers
// every bundle with the same class list.
TEST_F(Vst3Fixture, IdsAreReadAsTheCreateRuleSays) {
  const fs::path dir = testDir() / "odd";
  copyBundle("vst3_fx.vst3", dir);
  const std::string uid31(31, 'A'), uid33(33, 'A');
  // The Gain class id in lower case, with 00 written "zz" and 01 written "1g".
  const std::string gainOdd = "4b5256334658zz1g010203040a0b0c0d";
  const fs::path helper = testDir() / "helper.sh";
  writeScript(helper, "#!/bin/sh\nout=\"$4\"\n: >> \"$out\"\ni=0\ntr '\\000' '\\n' < \"$3\" | while IFS= read -r p; do\n"
                      "  printf '{\"entry\":{\"classes\":[{\"uid\":\"" + uid31 + "\"},{\"uid\":\"" + uid33 +
                      "\"},{\"uid\":\"" + gainOdd + "\"}]},\"i\":%d}\\n' $i >> \"$out\"\n  i=$((i+1))\ndone\n");
  auto h = makeVst3Host(testDir() / "data2", {dir.string()}, helper.string());
  std::atomic<bool> cancel{false};
  ASSERT_EQ(h->scan(cancel).size(), 3u);
  EXPECT_EQ(create(*h, "VST3:" + uid31).error, "not a VST3 id");
  EXPECT_EQ(create(*h, "VST3:" + uid33).error, "not a VST3 id");
  Created c = create(*h, "VST3:" + gainOdd);
  EXPECT_TRUE(c.plugin) << c.error;
  EXPECT_TRUE(fxProbeOf(dir / "vst3_fx.vst3"));
}

TEST_F(Vst3Fixture, CrashedBundlesWaitForARescan) {
  const fs::path dir = testDir() / "bad";
  copyBundle("scan_crash.vst3", dir);
  HelperSpy spy(testDir() / "spy", KREVLO_HELPER);
  auto h = makeVst3Host(testDir() / "data2", {dir.string()}, spy.path());
  std::atomic<bool> cancel{false};
  h->scan(cancel);
  EXPECT_EQ(h->problems(), std::vector<std::string>{"scan_crash"});
  const int runs = spy.runs();
  EXPECT_GE(runs, 1);
  h->scan(cancel);
  EXPECT_EQ(spy.runs(), runs) << "a blocked bundle is skipped";
  h->requestRescan();
  h->scan(cancel);
  EXPECT_GT(spy.runs(), runs) << "the rescan examines it again";
  const int after = spy.runs();
  h->scan(cancel);
  EXPECT_EQ(spy.runs(), after) << "the retry is used up";
  EXPECT_EQ(h->problems(), std::vector<std::string>{"scan_crash"});
}

TEST(Vst3Folders, StandardFoldersAreSearchedDeepExtraFoldersFlat) {
  const fs::path home = testDir();
  EXPECT_EQ(vst3SearchFolders(),
            (std::vector<std::string>{(home / ".vst3").string(), "/usr/lib/vst3", "/usr/local/lib/vst3"}));
  auto touch = [](const fs::path& p, bool folder) {
    fs::create_directories(folder ? p : p.parent_path());
    if (!folder) std::ofstream(p) << "x";
  };
  const fs::path std1 = home / ".vst3", extra = home / "extra";
  touch(std1 / "Vendor" / "Deep.vst3" / "Contents" / "Inner.vst3", true);
  touch(std1 / "File.vst3", false);
  touch(std1 / "Upper.VST3", true);
  touch(extra / "Flat.vst3", true);
  touch(extra / "sub" / "Hidden.vst3", true);
  const std::vector<std::string> found =
      findVst3Bundles({std1.string(), (home / "missing").string()},
                      {extra.string(), std1.string(), (home / "missing").string()});
  EXPECT_EQ(found, (std::vector<std::string>{(std1 / "File.vst3").string(),
                                             (std1 / "Vendor" / "Deep.vst3").string(),
                                             (extra / "Flat.vst3").string()}));
}

TEST_F(Vst3Fixture, OnlyBusZeroCarriesAudio) {
  auto p = make(Vst3FxKind::Sidechain);
  ASSERT_TRUE(p);
  const std::vector<std::string> wanted = {
      "Sidechain.setBusArrangements i3 i524288 o3 o524288",
      "Sidechain.activateBus 0 0 0 1",
      "Sidechain.activateBus 0 0 1 0",
      "Sidechain.activateBus 0 1 0 1",
      "Sidechain.activateBus 0 1 1 0",
      "Sidechain.activateBus 1 0 0 0",
      "Sidechain.setupProcessing 0 0 512 48000",
      "Sidechain.setActive 1",
      "Sidechain.setProcessing 1",
  };
  std::vector<std::string> seen;
  for (const auto& line : calls())
    if (std::find(wanted.begin(), wanted.end(), line) != wanted.end()) seen.push_back(line);
  EXPECT_EQ(seen, wanted);
  p->setParam(0, 0.75f);  // gain 1.5
  Block b = run(*p, 32);
  EXPECT_FLOAT_EQ(b.left[5], 0.09f) << "processed with every bus's channels in place";
  EXPECT_FLOAT_EQ(b.right[5], -0.09f);
  EXPECT_EQ(probe()->blocks(), 1);
}

}  // namespace
}  // namespace bridge

// Examination through real helper processes and our own test plug-ins.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "hosting/scan.h"
#include "hosting/vst3_probe.h"
#include "util/process.h"
#include "scan_fixture.h"
#include "support/test_dir.h"

namespace bridge {
namespace {

using nlohmann::json;
using namespace bridge::test;

class ScanTest : public ::testing::Test {
 protected:
  fs::path dir = testDir();
  fs::path plugins = dir / "plugins";
  fs::path data = dir / "data";
  HelperSpy spy{dir, KREVLO_HELPER};
  std::atomic<bool> cancel{false};

  ScanSpec clapSpec(bool retry = false) const {
    ScanSpec s;
    s.format = "CLAP";
    s.cacheFile = data / "clap-cache.json";
    s.cacheKey = "files";
    s.retry = retry;
    s.helper = spy.path();
    return s;
  }

  ScanSpec vst3Spec() const {
    ScanSpec s;
    s.format = "VST3";
    s.cacheFile = data / "vst3-cache.json";
    s.cacheKey = "bundles";
    s.probe = vst3ModuleInfo;
    s.helper = spy.path();
    return s;
  }

  // n copies of scan_fx.clap named fx00.clap, fx01.clap, ...; `odd` maps
  // positions to other built plug-ins.
  std::vector<std::string> clapFiles(int n, const std::map<int, std::string>& odd = {}) const {
    std::vector<std::string> files;
    for (int i = 0; i < n; ++i) {
      auto it = odd.find(i);
      std::string built = it == odd.end() ? "scan_fx.clap" : it->second;
      char name[32];
      std::snprintf(name, sizeof name, "p%02d-%s", i, built.c_str());
      files.push_back(copyPlugin(built, plugins / name).string());
    }
    return files;
  }

  json cache(const char* name = "clap-cache.json") const { return json::parse(readFile(data / name)); }

  ScanResult scan(const ScanSpec& spec, const std::vector<std::string>& files) {
    return scanInHelpers(spec, files, cancel);
  }
};

std::vector<std::string> slice(const std::vector<std::string>& v, size_t from, size_t to) {
  return {v.begin() + from, v.begin() + to};
}

TEST_F(ScanTest, FirstScanExaminesAllInOneRunAndRescanStartsNoHelper) {
  std::vector<std::string> files = {copyPlugin("scan_fx.clap", plugins / "a.clap").string(),
                                    copyPlugin("scan_synth.clap", plugins / "b.clap").string(),
                                    copyPlugin("scan_nofactory.clap", plugins / "c.clap").string()};
  ScanResult first = scan(clapSpec(), files);
  EXPECT_EQ(spy.runs(), 1);
  EXPECT_EQ(spy.list(1), files);
  EXPECT_TRUE(first.failed.empty());
  ASSERT_EQ(first.entries.size(), 3u);
  const json& fx = first.entries[files[0]];
  EXPECT_EQ(fx["plugins"], json::parse(R"([{"id":"org.krevlo.test.scan-fx","name":"Scan Fx","vendor":"Krevlo Tests",
                                         "version":"1.0.0","features":"audio-effect|stereo"}])"));
  EXPECT_EQ(fx["tags"], true);
  struct stat st {};
  ASSERT_EQ(::stat(files[0].c_str(), &st), 0);
  EXPECT_EQ(fx["stamp"], int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec);
  EXPECT_EQ(first.entries[files[1]]["plugins"], json::array());
  // An error result is cached like any other, so the file is not loaded again.
  EXPECT_EQ(first.entries[files[2]]["error"], "the plug-in has no plug-in factory");

  ScanResult second = scan(clapSpec(), files);
  EXPECT_EQ(spy.runs(), 1);
  EXPECT_EQ(second.entries, first.entries);

  // The cache file: indent of one space, the entries under the cache key.
  const std::string text = readFile(data / "clap-cache.json");
  EXPECT_EQ(text.rfind("{\n \"blocked\": [],\n \"files\": {", 0), 0u) << text;
  EXPECT_EQ(cache()["files"], first.entries);
  EXPECT_EQ(cache()["hung"], json::array());
}

TEST_F(ScanTest, TouchingOneFileReexaminesOnlyIt) {
  auto files = clapFiles(4);
  scan(clapSpec(), files);
  shiftStamp(files[2], 5);
  ScanResult r = scan(clapSpec(), files);
  ASSERT_EQ(spy.runs(), 2);
  EXPECT_EQ(spy.list(2), std::vector<std::string>{files[2]});
  EXPECT_EQ(r.entries.size(), 4u);
  EXPECT_EQ(r.entries[files[2]]["stamp"], cache()["files"][files[2]]["stamp"]);
}

TEST_F(ScanTest, CrashAtThirdOfSixteenBlocksExactlyThatFile) {
  auto files = clapFiles(16, {{2, "scan_crash.clap"}});
  ScanResult r = scan(clapSpec(), files);
  ASSERT_EQ(spy.runs(), 2);
  EXPECT_EQ(spy.list(1), files);
  EXPECT_EQ(spy.list(2), slice(files, 3, 16));
  EXPECT_EQ(r.failed, std::vector<std::string>{files[2]});
  EXPECT_EQ(r.entries.size(), 15u);
  EXPECT_FALSE(r.entries.contains(files[2]));
  EXPECT_EQ(cache()["blocked"], json::array({files[2]}));

  // Blocked files are skipped until a rescan asks for them.
  ScanResult again = scan(clapSpec(), files);
  EXPECT_EQ(spy.runs(), 2);
  EXPECT_EQ(again.failed, r.failed);
  EXPECT_EQ(again.entries, r.entries);
}

TEST_F(ScanTest, HangingPluginIsKilledAfterTheTimeout) {
  ScopedEnv timeout("QUILLET_SCAN_TIMEOUT_MS", "300");
  auto files = clapFiles(1, {{0, "scan_hang.clap"}});
  ScanResult r = scan(clapSpec(), files);
  // The time-out counts from the spawn: on a loaded machine the low-priority
  // helper may be killed before the spy has even recorded its run. The verdict
  // is the same either way; what must never happen is a second run.
  EXPECT_LE(spy.runs(), 1);
  EXPECT_EQ(r.failed, files);
  EXPECT_TRUE(r.entries.empty());
  EXPECT_EQ(cache()["hung"], json(files));
}

TEST_F(ScanTest, HangIsAttributedToItsFileAndTheRestIsExamined) {
  ScopedEnv timeout("QUILLET_SCAN_TIMEOUT_MS", kPatientTimeoutMs);
  auto files = clapFiles(3, {{1, "scan_hang.clap"}});
  ScanResult r = scan(clapSpec(), files);
  ASSERT_EQ(spy.runs(), 2);
  EXPECT_EQ(spy.list(2), std::vector<std::string>{files[2]});
  EXPECT_EQ(r.failed, std::vector<std::string>{files[1]});
  EXPECT_EQ(r.entries.size(), 2u);
  EXPECT_EQ(cache()["hung"], json::array({files[1]}));
  EXPECT_EQ(cache()["blocked"], json::array());
}

TEST_F(ScanTest, PluginThatExitsIsBlocked) {
  auto files = clapFiles(3, {{0, "scan_exit.clap"}});
  ScanResult r = scan(clapSpec(), files);
  EXPECT_EQ(spy.runs(), 2);
  EXPECT_EQ(r.failed, std::vector<std::string>{files[0]});
  EXPECT_EQ(r.entries.size(), 2u);
}

TEST_F(ScanTest, RetryExaminesBlockedFilesAgain) {
  auto files = clapFiles(3, {{0, "scan_crash.clap"}, {1, "scan_exit.clap"}});
  ScanResult r = scan(clapSpec(), files);
  EXPECT_EQ(r.failed, slice(files, 0, 2));
  const int runs = spy.runs();

  // Both get mended; without retry they stay skipped.
  copyPlugin("scan_fx.clap", files[0]);
  copyPlugin("scan_fx.clap", files[1]);
  EXPECT_EQ(scan(clapSpec(), files).failed, r.failed);
  EXPECT_EQ(spy.runs(), runs);

  ScanResult retried = scan(clapSpec(true), files);
  EXPECT_EQ(spy.runs(), runs + 1);
  EXPECT_EQ(spy.list(runs + 1), slice(files, 0, 2));
  EXPECT_TRUE(retried.failed.empty());
  EXPECT_EQ(retried.entries.size(), 3u);
  EXPECT_EQ(cache()["blocked"], json::array());
}

TEST_F(ScanTest, RetryIgnoresBothStoredLists) {
  auto files = clapFiles(3);
  writeFile(data / "clap-cache.json", json{{"blocked", {files[0]}}, {"hung", {files[1]}}}.dump(), false);
  ScanResult skipped = scan(clapSpec(), files);
  EXPECT_EQ(skipped.failed, slice(files, 0, 2));  // blocked first, then hung
  EXPECT_EQ(spy.list(1), slice(files, 2, 3));

  ScanResult retried = scan(clapSpec(true), files);
  EXPECT_EQ(spy.list(2), slice(files, 0, 2));
  EXPECT_TRUE(retried.failed.empty());
  EXPECT_EQ(retried.entries.size(), 3u);
  EXPECT_EQ(cache()["hung"], json::array());
}

TEST_F(ScanTest, DeletedFilesLeaveEntriesAndLists) {
  auto files = clapFiles(4, {{1, "scan_crash.clap"}});
  scan(clapSpec(), files);
  // One more file listed as hung, as an earlier scan would have left it.
  json edited = cache();
  edited["hung"] = {files[2]};
  edited["files"].erase(files[2]);
  writeFile(data / "clap-cache.json", edited.dump(), false);
  ASSERT_EQ(scan(clapSpec(), files).failed, slice(files, 1, 3));
  const int runs = spy.runs();

  for (int i : {1, 2, 3}) fs::remove(files[i]);
  ScanResult r = scan(clapSpec(), {files[0]});
  EXPECT_EQ(spy.runs(), runs);
  EXPECT_TRUE(r.failed.empty());
  EXPECT_EQ(r.entries.size(), 1u);
  EXPECT_EQ(cache(), (json{{"files", r.entries}, {"blocked", json::array()}, {"hung", json::array()}}));
}

TEST_F(ScanTest, SeventeenFilesAreCoveredExactlyOnceByTwoRuns) {
  auto files = clapFiles(17);
  ScanResult r = scan(clapSpec(), files);
  ASSERT_EQ(spy.runs(), 2);
  std::multiset<std::string> seen;
  for (int n = 1; n <= 2; ++n) {
    auto list = spy.list(n);
    EXPECT_LE(list.size(), 16u);
    seen.insert(list.begin(), list.end());
  }
  EXPECT_EQ(seen, std::multiset<std::string>(files.begin(), files.end()));
  EXPECT_EQ(r.entries.size(), 17u);
  EXPECT_TRUE(r.failed.empty());
}

TEST_F(ScanTest, CancelMidRunKeepsTheCacheWrittenLast) {
  auto files = clapFiles(3, {{0, "scan_crash.clap"}, {1, "scan_hang.clap"}});
  // Cancel once the second run (the one that hangs) has started.
  std::thread canceller([&] {
    while (spy.runs() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    cancel = true;
  });
  ScanResult r = scan(clapSpec(), files);
  canceller.join();
  EXPECT_EQ(spy.runs(), 2);
  EXPECT_EQ(r.failed, std::vector<std::string>{files[0]});
  EXPECT_TRUE(r.entries.empty());
  EXPECT_EQ(cache(), (json{{"files", json::object()}, {"blocked", {files[0]}}, {"hung", json::array()}}));

  // The files the cancelled run did not report are examined by the next scan.
  cancel = false;
  copyPlugin("scan_fx.clap", files[1]);
  ScanResult next = scan(clapSpec(), files);
  EXPECT_EQ(spy.list(3), slice(files, 1, 3));
  EXPECT_EQ(next.failed, std::vector<std::string>{files[0]});
  EXPECT_EQ(next.entries.size(), 2u);
}

TEST_F(ScanTest, QuickProbeAnswersBundlesWithModuleInfo) {
  std::vector<std::string> files = {copyBundle("scan_fx.vst3", plugins / "a").string(),
                                    copyBundle("scan_fx_info.vst3", plugins / "b").string(),
                                    copyBundle("scan_synth.vst3", plugins / "c").string()};
  ScanResult r = scan(vst3Spec(), files);
  ASSERT_EQ(spy.runs(), 1);
  EXPECT_EQ(spy.list(1), (std::vector<std::string>{files[0], files[2]}));
  EXPECT_EQ(r.entries[files[1]]["from"], "moduleinfo");
  EXPECT_FALSE(r.entries[files[0]].contains("from"));
  // The module info and the loaded factory describe the same classes.
  EXPECT_EQ(r.entries[files[0]]["classes"], r.entries[files[1]]["classes"]);
  EXPECT_EQ(r.entries[files[0]]["classes"].size(), 3u);
  EXPECT_EQ(r.entries[files[2]]["classes"], json::array());
  EXPECT_EQ(json::parse(readFile(data / "vst3-cache.json"))["bundles"], r.entries);
}

// A probe that throws answers nothing; text that is not UTF-8 is written to the
// cache replaced, and never throws.
TEST_F(ScanTest, QuickProbeFailuresFallBackToHelpers) {
  auto files = clapFiles(3);
  ScanSpec spec = clapSpec();
  spec.probe = [&](const std::string& path) -> json {
    if (path == files[0]) throw std::runtime_error("probe failed");
    if (path == files[1]) return {{"plugins", json::array()}, {"name", "bad \xff text"}};
    return nullptr;
  };
  ScanResult r = scan(spec, files);
  EXPECT_EQ(spy.list(1), (std::vector<std::string>{files[0], files[2]}));
  EXPECT_EQ(r.entries.size(), 3u);
  EXPECT_EQ(cache()["files"][files[1]]["name"], "bad \uFFFD text");
  EXPECT_EQ(cache()["files"][files[1]]["tags"], true);
}

TEST_F(ScanTest, CrashingAndExitingBundlesAreBlocked) {
  std::vector<std::string> files = {copyBundle("scan_crash.vst3", plugins / "a").string(),
                                    copyBundle("scan_exit.vst3", plugins / "b").string(),
                                    copyBundle("scan_empty.vst3", plugins / "c").string()};
  ScanResult r = scan(vst3Spec(), files);
  EXPECT_EQ(spy.runs(), 3);
  EXPECT_EQ(r.failed, slice(files, 0, 2));
  EXPECT_EQ(r.entries[files[2]],
            (json{{"classes", json::array()}, {"tags", true}, {"stamp", r.entries[files[2]]["stamp"]}}));
}

TEST_F(ScanTest, HangingBundleIsHung) {
  ScopedEnv timeout("QUILLET_SCAN_TIMEOUT_MS", "300");
  std::vector<std::string> files = {copyBundle("scan_hang.vst3", plugins / "a").string()};
  EXPECT_EQ(scan(vst3Spec(), files).failed, files);
  EXPECT_EQ(json::parse(readFile(data / "vst3-cache.json"))["hung"], json(files));
}

TEST_F(ScanTest, HelperThatCannotStartMarksNothing) {
  auto files = clapFiles(3);
  ScanSpec spec = clapSpec();
  spec.helper = (dir / "no-such-helper").string();
  ScanResult r = scan(spec, files);
  EXPECT_TRUE(r.entries.empty());
  EXPECT_TRUE(r.failed.empty());
  EXPECT_EQ(cache(), (json{{"files", json::object()}, {"blocked", json::array()}, {"hung", json::array()}}));
  EXPECT_EQ(scan(clapSpec(), files).entries.size(), 3u);
}

// A list file that cannot be written must not let the stale list of an
// earlier run be examined (its results would land under this run's files).
TEST_F(ScanTest, FailedListWriteIsAFailedRun) {
  auto files = clapFiles(2);
  const std::string stale = copyPlugin("scan_synth.clap", plugins / "stale.clap").string();
  fs::create_directories(data / "scan" / "CLAP-0.txt.tmp");
  writeFile(data / "scan" / "CLAP-0.txt", stale + '\0', false);
  ScanResult r = scan(clapSpec(), files);
  EXPECT_EQ(spy.runs(), 0);
  EXPECT_TRUE(r.entries.empty());
  EXPECT_TRUE(r.failed.empty());
}

// Likewise an output file that cannot be removed: its old lines would be read
// as this run's.
TEST_F(ScanTest, OutputFileThatCannotBeRemovedIsAFailedRun) {
  auto files = clapFiles(2);
  fs::create_directories(data / "scan" / "CLAP-0.jsonl" / "keep");
  ScanResult r = scan(clapSpec(), files);
  EXPECT_EQ(spy.runs(), 0);
  EXPECT_TRUE(r.entries.empty());
  EXPECT_TRUE(r.failed.empty());
}

// Cache files may be edited by hand. Nothing in them may throw, least of all on
// a worker thread, and an entry is reused only with an integer "stamp" equal to
// the file's and "tags" true.
TEST_F(ScanTest, HandEditedCacheNeverThrowsAndIsReusedOnlyWhenSound) {
  auto files = clapFiles(9);
  scan(clapSpec(), files);
  json good = cache()["files"];
  auto stamp = [&](int i) { return good[files[i]]["stamp"]; };
  json edited = {
      {"files",
       {{files[0], good[files[0]]},                                            // reused
        {files[1], {{"stamp", "x"}, {"tags", true}}},                          // examined
        {files[2], {{"stamp", stamp(2)}, {"tags", "yes"}}},                    // examined
        {files[3], {{"stamp", stamp(3)}}},                                     // no tags: examined
        {files[4], {{"stamp", stamp(4)}, {"tags", false}}},                    // examined
        {files[5], 5},                                                         // examined
        {files[6], {{"stamp", 1.5}, {"tags", true}}},                          // examined
        {files[7], {{"stamp", 18446744073709551615u}, {"tags", true}}},        // examined
        {files[8], {{"stamp", stamp(8)}, {"tags", true}, {"plugins", 7}}}}},   // reused as it is
      {"blocked", {1, nullptr, "/not/listed"}},
      {"hung", "nope"}};
  writeFile(data / "clap-cache.json", edited.dump(), false);
  ScanResult r = scan(clapSpec(), files);
  ASSERT_EQ(spy.runs(), 2);
  EXPECT_EQ(spy.list(2), slice(files, 1, 8));
  EXPECT_EQ(r.entries[files[8]]["plugins"], 7);
  EXPECT_EQ(r.entries.size(), 9u);
  EXPECT_TRUE(r.failed.empty());
  EXPECT_EQ(cache()["files"], r.entries);
}

TEST_F(ScanTest, UnreadableCacheIsTreatedAsEmpty) {
  auto files = clapFiles(2);
  const char* texts[] = {"", "not json", "[1,2]", "{\"files\": []}", "{\"files\": {\"a\": 1e400}}"};
  int runs = 0;
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    writeFile(data / "clap-cache.json", text, false);
    ScanResult r = scan(clapSpec(), files);
    EXPECT_EQ(spy.runs(), ++runs);
    EXPECT_EQ(r.entries.size(), 2u);
  }
}

// Test binaries have no helper beside them and would fall back to themselves,
// which is why every test names its helper.
TEST(DefaultScanHelper, IsTheHelperBesideTheExecutableElseTheExecutable) {
  EXPECT_EQ(defaultScanHelper(), selfPath());

  // A copy of this binary with a helper beside it chooses that helper.
  const fs::path bin = testDir() / "bin";
  fs::create_directories(bin);
  fs::copy_file(selfPath(), bin / "scan_tests");
  writeFile(bin / "krevlo-bridge-helper", "", false);
  ScopedEnv report("KREVLO_REPORT_DEFAULT_HELPER", (testDir() / "chosen").c_str());
  EXPECT_EQ(runProcess({(bin / "scan_tests").string(), "--gtest_filter=DefaultScanHelper.Report"}, 60000, {}), 0);
  EXPECT_EQ(readFile(testDir() / "chosen"), (bin / "krevlo-bridge-helper").string());
}

TEST(DefaultScanHelper, TestBinaryRefusesToBeAHelper) {
  const fs::path list = testDir() / "list", out = testDir() / "out";
  writeFile(list, copyPlugin("scan_fx.clap", testDir() / "a.clap").string() + '\0', false);
  EXPECT_EQ(runProcess({selfPath(), "--scan", "CLAP", list.string(), out.string()}, 60000, {}), 1);
  EXPECT_FALSE(fs::exists(out));
}

// Run by the test above in a copy of this binary.
TEST(DefaultScanHelper, Report) {
  const char* to = std::getenv("KREVLO_REPORT_DEFAULT_HELPER");
  if (!to) GTEST_SKIP() << "only run by IsTheHelperBesideTheExecutableElseTheExecutable";
  writeFile(to, defaultScanHelper(), false);
}

}  // namespace
}  // namespace bridge

// Examination that real plug-ins make hard: children that outlive their helper,
// bundles changed in place, module info without a binary, factories that fail
// one kind of class record, a ModuleExit that never returns, and paths that are
// not UTF-8.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "hosting/scan.h"
#include "hosting/vst3_probe.h"
#include "scan_fixture.h"
#include "support/test_dir.h"
#include "util/files.h"

namespace bridge {
namespace {

using nlohmann::json;
using namespace bridge::test;

class ScanSturdyTest : public ::testing::Test {
 protected:
  fs::path dir = testDir();
  fs::path plugins = dir / "plugins";
  fs::path data = dir / "data";
  HelperSpy spy{dir, KREVLO_HELPER};
  std::atomic<bool> cancel{false};

  ScanSpec clapSpec() const {
    ScanSpec s;
    s.format = "CLAP";
    s.cacheFile = data / "clap-cache.json";
    s.cacheKey = "files";
    s.helper = spy.path();
    return s;
  }
  ScanSpec vst3Spec() const {
    ScanSpec s;
    s.format = "VST3";
    s.cacheFile = data / "vst3-cache.json";
    s.cacheKey = "bundles";
    s.probe = vst3ModuleInfo;
    s.stamp = vst3BundleStamp;
    s.helper = spy.path();
    return s;
  }
  ScanResult scan(const ScanSpec& spec, const std::vector<std::string>& files) {
    return scanInHelpers(spec, files, cancel);
  }
  static std::vector<std::string> names(const json& entry) {
    std::vector<std::string> out;
    for (const json& c : entry["classes"]) out.push_back(c["name"].get<std::string>());
    return out;
  }
};

// Gone, or only a zombie waiting for its new parent, within a bound that only
// a process that was never killed reaches.
bool ended(int pid) {
  for (int i = 0; i < 1000; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    const size_t close = line.rfind(')');
    if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z') return true;
    ::usleep(10000);
  }
  return false;
}

TEST_F(ScanSturdyTest, ChildOfAHangingPluginGoesWithItsHelper) {
  // The plug-in never returns: the helper is killed once this has passed,
  // which is long enough for it to have reached the plug-in's init.
  ScopedEnv timeout("QUILLET_SCAN_TIMEOUT_MS", kPatientTimeoutMs);
  const fs::path pidFile = dir / "child.pid";
  ScopedEnv child("KREVLO_SCAN_CHILD_PID", pidFile.c_str());
  const std::vector<std::string> files = {copyPlugin("scan_child.clap", plugins / "child.clap").string()};
  EXPECT_EQ(scan(clapSpec(), files).failed, files);
  const std::string pid = readFile(pidFile);
  ASSERT_FALSE(pid.empty());
  EXPECT_TRUE(ended(std::stoi(pid)));
}

TEST_F(ScanSturdyTest, ReplacingAPartOfABundleInPlaceIsSeen) {
  struct Case {
    const char* name;
    const char* bundle;
    fs::path part;  // inside the bundle
  };
  const fs::path binary = fs::path("Contents") / "x86_64-linux";
  for (const Case& c : {Case{"binary", "scan_fx.vst3", binary / "scan_fx.so"},
                        Case{"moduleinfo", "scan_fx_info.vst3", fs::path("Contents") / "Resources" / "moduleinfo.json"}}) {
    SCOPED_TRACE(c.name);
    const fs::path bundle = copyBundle(c.bundle, plugins / c.name);
    const std::vector<std::string> files = {bundle.string()};
    const int runsBefore = spy.runs();
    ScanResult first = scan(vst3Spec(), files);
    std::vector<std::string> expected = names(first.entries[files[0]]);
    ASSERT_FALSE(expected.empty());
    ASSERT_EQ(expected.front(), "Scan Delay \u00fc");

    // Overwritten where it is: the bundle folder keeps its time.
    struct stat folder {};
    ASSERT_EQ(::stat(bundle.c_str(), &folder), 0);
    const fs::path part = bundle / c.part;
    if (std::string(c.name) == "binary") {
      expected.clear();  // an instrument only
      fs::copy_file(builtPlugins() / "scan_synth.vst3" / binary / "scan_synth.so", part,
                    fs::copy_options::overwrite_existing);
    } else {
      std::string text = readFile(part);
      const std::string from = "Scan Delay \u00fc";
      text.replace(text.find(from), from.size(), "Scan Delay Renamed");
      expected.front() = "Scan Delay Renamed";
      std::ofstream(part, std::ios::trunc) << text;
    }
    const timespec times[2] = {folder.st_atim, folder.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, bundle.c_str(), times, 0), 0);

    ScanResult second = scan(vst3Spec(), files);
    EXPECT_EQ(names(second.entries[files[0]]), expected);
    // Only the binary needs a helper; module info is read in-process.
    EXPECT_EQ(spy.runs() - runsBefore, std::string(c.name) == "binary" ? 2 : 0);
  }
}

TEST_F(ScanSturdyTest, ModuleInfoWithoutABinaryForThisPlatformListsNothing) {
  const fs::path bundle = copyBundle("scan_fx_info.vst3", plugins);
  fs::remove_all(bundle / "Contents" / "x86_64-linux");
  const std::vector<std::string> files = {bundle.string()};
  ScanResult r = scan(vst3Spec(), files);
  EXPECT_EQ(r.entries[files[0]]["classes"], json::array());
  EXPECT_TRUE(r.failed.empty());
  EXPECT_EQ(spy.runs(), 0);
}

TEST_F(ScanSturdyTest, ClassRecordsFallBackAndModuleExitIsNeverWaitedFor) {
  ScopedEnv timeout("QUILLET_SCAN_TIMEOUT_MS", kPatientTimeoutMs);
  const std::vector<std::string> files = {copyBundle("scan_fx.vst3", plugins / "a").string(),
                                          copyBundle("scan_nounicode.vst3", plugins / "b").string(),
                                          copyBundle("scan_exithang.vst3", plugins / "c").string()};
  ScanResult r = scan(vst3Spec(), files);
  EXPECT_TRUE(r.failed.empty());
  EXPECT_EQ(spy.runs(), 1);
  const json& full = r.entries[files[0]]["classes"];
  ASSERT_EQ(full.size(), 3u);
  // The version-2 record has no unicode name: the same classes, plainer text.
  const json& plain = r.entries[files[1]]["classes"];
  ASSERT_EQ(plain.size(), full.size());
  for (size_t i = 0; i < full.size(); ++i) EXPECT_EQ(plain[i]["uid"], full[i]["uid"]);
  EXPECT_EQ(r.entries[files[2]]["classes"], full);
}

TEST_F(ScanSturdyTest, PathsThatAreNotUtf8KeepTheirEntryAndTheirMark) {
  const std::vector<std::string> files = {
      copyPlugin("scan_fx.clap", plugins / "fx-\xff\xfe.clap").string(),
      copyPlugin("scan_crash.clap", plugins / "crash-\xc3(.clap").string(),
  };
  ScanResult first = scan(clapSpec(), files);
  ASSERT_EQ(first.entries.size(), 1u);
  EXPECT_EQ(first.failed, std::vector<std::string>{files[1]});
  const int runs = spy.runs();

  ScanResult again = scan(clapSpec(), files);
  EXPECT_EQ(spy.runs(), runs);  // neither file is examined again
  EXPECT_EQ(again.entries, first.entries);
  EXPECT_EQ(again.failed, first.failed);
}

}  // namespace
}  // namespace bridge

// The helper program, started as the application starts it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "hosting/scan_fixture.h"
#include "support/test_dir.h"
#include "util/process.h"

namespace bridge {
namespace {

using nlohmann::json;
using namespace bridge::test;

class HelperProgram : public ::testing::Test {
 protected:
  // The helper needs no display: it never opens a window.
  ScopedEnv noDisplay{"DISPLAY", nullptr};
  fs::path dir = testDir();
  fs::path list = dir / "list.txt";
  fs::path out = dir / "out.jsonl";

  int run(std::vector<std::string> args) {
    args.insert(args.begin(), KREVLO_HELPER);
    return runProcess(args, 30000, {});
  }
  int scan(const std::string& format, const std::vector<std::string>& paths) {
    std::string text;
    for (const auto& p : paths) text += p + '\0';
    writeFile(list, text, false);
    return run({"--scan", format, list.string(), out.string()});
  }
  std::vector<json> lines() const {
    std::vector<json> v;
    std::ifstream in(out);
    for (std::string l; std::getline(in, l);) v.push_back(json::parse(l));
    return v;
  }
};

TEST_F(HelperProgram, AnyOtherCommandLineExitsWithOneAndWritesNothing) {
  EXPECT_EQ(run({}), 1);
  EXPECT_EQ(run({"--scan", "CLAP", list.string()}), 1);
  EXPECT_EQ(run({"--scan", "CLAP", list.string(), out.string(), "extra"}), 1);
  EXPECT_EQ(run({"--version"}), 1);
  EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(HelperProgram, ScanLineWritesOneLinePerFileAndExitsWithZero) {
  const std::string fx = copyPlugin("scan_fx.clap", dir / "fx.clap").string();
  const std::string synth = copyPlugin("scan_synth.clap", dir / "synth.clap").string();
  // Empty pieces of the list are skipped but keep their position.
  writeFile(list, fx + '\0' + '\0' + synth + '\0', false);
  EXPECT_EQ(run({"--scan", "CLAP", list.string(), out.string()}), 0);
  auto l = lines();
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[0]["i"], 0);
  EXPECT_EQ(l[0]["entry"]["plugins"][0]["id"], "org.krevlo.test.scan-fx");
  EXPECT_EQ(l[1]["i"], 2);
  EXPECT_EQ(l[1]["entry"], (json{{"plugins", json::array()}, {"tags", true}}));
  // Lines are written compactly.
  const std::string text = readFile(out);
  EXPECT_EQ(text, l[0].dump() + "\n" + l[1].dump() + "\n");
}

TEST_F(HelperProgram, Vst3Bundles) {
  const std::string fx = copyBundle("scan_fx.vst3", dir / "a").string();
  EXPECT_EQ(scan("VST3", {fx, (dir / "missing.vst3").string()}), 0);
  auto l = lines();
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[0]["entry"]["classes"].size(), 3u);
  EXPECT_EQ(l[1]["entry"]["classes"], json::array());
  EXPECT_TRUE(l[1]["entry"].contains("error"));
}

TEST_F(HelperProgram, OtherFormatWritesOnlyPositions) {
  EXPECT_EQ(scan("AU", {"/a", "/b"}), 0);
  EXPECT_EQ(lines(), (std::vector<json>{{{"i", 0}}, {{"i", 1}}}));
}

TEST_F(HelperProgram, TextThatIsNotUtf8IsReplaced) {
  EXPECT_EQ(scan("CLAP", {copyPlugin("scan_odd.clap", dir / "odd.clap").string()}), 0);
  auto l = lines();
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0]["entry"]["plugins"][1]["name"], "Late \uFFFD Effect");
}

TEST_F(HelperProgram, CrashEndsTheHelperAfterTheLinesBeforeIt) {
  const std::string fx = copyPlugin("scan_fx.clap", dir / "a.clap").string();
  const std::string crash = copyPlugin("scan_crash.clap", dir / "b.clap").string();
  EXPECT_EQ(scan("CLAP", {fx, crash, fx}), -2);
  auto l = lines();
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0]["i"], 0);
}

TEST_F(HelperProgram, PluginThatCallsExitEndsTheHelper) {
  EXPECT_EQ(scan("CLAP", {copyPlugin("scan_exit.clap", dir / "a.clap").string()}), 3);
  EXPECT_TRUE(lines().empty());
}

TEST_F(HelperProgram, OutputThatCannotBeCreatedExitsWithOneAfterProbingEverything) {
  fs::create_directories(out);  // a folder where the output file should be
  EXPECT_EQ(scan("CLAP", {copyPlugin("scan_fx.clap", dir / "a.clap").string()}), 1);
  // The probes still run: a crashing plug-in at the end still ends the helper.
  EXPECT_EQ(scan("CLAP", {copyPlugin("scan_fx.clap", dir / "b.clap").string(),
                          copyPlugin("scan_crash.clap", dir / "c.clap").string()}),
            -2);
}

TEST_F(HelperProgram, UnreadableListIsEmpty) {
  EXPECT_EQ(run({"--scan", "CLAP", (dir / "no-list").string(), out.string()}), 0);
  EXPECT_TRUE(fs::exists(out));
  EXPECT_TRUE(lines().empty());
}

}  // namespace
}  // namespace bridge

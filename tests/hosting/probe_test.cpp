// The probes, in this process, over copies of our test plug-ins (only those
// that neither crash nor hang), and the parts of the scan command that return.
#include <gtest/gtest.h>

#include <thread>

#include "hosting/clap_module.h"
#include "hosting/clap_probe.h"
#include "hosting/scan.h"
#include "hosting/scan_command.h"
#include "hosting/vst3_probe.h"
#include "scan_fixture.h"
#include "support/test_dir.h"

namespace bridge {
namespace {

using nlohmann::json;
using namespace bridge::test;

const json kDelay = {{"uid", "4B52564C0A0B0C0D01020304A1B2C3D4"}, {"name", "Scan Delay \u00fc"},
                     {"vendor", "Krevlo Tests"}, {"version", "1.0.0"}, {"sub", "Fx|Delay"}};
const json kFxInstrument = {{"uid", "4B52564C0A0B0C0D01020304A1B2C3D6"}, {"name", "Scan Fx Instrument"},
                            {"vendor", "Other Vendor"}, {"version", "2.0"}, {"sub", "Fx|Instrument"}};
const json kAnalyzer = {{"uid", "4B52564C0A0B0C0D01020304A1B2C3D7"}, {"name", "Scan Analyzer"},
                        {"vendor", "Krevlo Tests"}, {"version", "3"}, {"sub", "Analyzer"}};

struct ProbeCase {
  const char* name;
  const char* built;  // built plug-in to copy; null: the path does not exist
  json expected;
};

void PrintTo(const ProbeCase& c, std::ostream* os) { *os << c.name; }

class ClapProbe : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(ClapProbe, Result) {
  const auto& c = GetParam();
  fs::path path = testDir() / "p.clap";
  if (c.built) copyPlugin(c.built, path);
  EXPECT_EQ(clapScanFile(path.string()), c.expected);
}

json clapError(const char* text) { return {{"plugins", json::array()}, {"error", text}}; }

INSTANTIATE_TEST_SUITE_P(
    Files, ClapProbe,
    ::testing::Values(
        ProbeCase{"effect", "scan_fx.clap",
                  {{"plugins",
                    {{{"id", "org.krevlo.test.scan-fx"}, {"name", "Scan Fx"}, {"vendor", "Krevlo Tests"},
                      {"version", "1.0.0"}, {"features", "audio-effect|stereo"}}}},
                   {"tags", true}}},
        // A nameless descriptor is listed by its id; one without an id or
        // features, a missing one and an instrument are skipped.
        ProbeCase{"odd", "scan_odd.clap",
                  {{"plugins",
                    {{{"id", "org.krevlo.test.nameless"}, {"name", "org.krevlo.test.nameless"}, {"vendor", ""},
                      {"version", ""}, {"features", "audio-effect|stereo"}},
                     {{"id", "org.krevlo.test.late"}, {"name", "Late \xff Effect"}, {"vendor", "Krevlo Tests"},
                      {"version", "2.5"}, {"features", "stereo|delay|audio-effect"}}}},
                   {"tags", true}}},
        ProbeCase{"instrument", "scan_synth.clap", {{"plugins", json::array()}, {"tags", true}}},
        ProbeCase{"emptyFactory", "scan_empty.clap", {{"plugins", json::array()}, {"tags", true}}},
        ProbeCase{"noFactory", "scan_nofactory.clap", clapError("the plug-in has no plug-in factory")},
        ProbeCase{"versionZero", "scan_badversion.clap", clapError("not a CLAP plug-in this bridge can use")},
        ProbeCase{"initRefuses", "scan_initfail.clap", clapError("not a CLAP plug-in this bridge can use")},
        ProbeCase{"noEntry", "scan_noentry.clap", clapError("not a CLAP plug-in this bridge can use")},
        ProbeCase{"notASharedObject", "scan_fx_info.vst3/Contents/Resources/moduleinfo.json",
                  clapError("could not load the plug-in")},
        ProbeCase{"missing", nullptr, clapError("could not load the plug-in")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ClapProbe, RecordsTheCallingThreadAsMainThread) {
  fs::path path = copyPlugin("scan_fx.clap", testDir() / "p.clap");
  std::thread::id probing;
  std::thread t([&] {
    probing = std::this_thread::get_id();
    clapScanFile(path.string());
  });
  t.join();
  EXPECT_EQ(mainThread.load(), probing);
}

TEST(ClapModule, LoadsEntryAndFactory) {
  fs::path path = copyPlugin("scan_fx.clap", testDir() / "p.clap");
  std::string error;
  auto module = loadModule(path.string(), error);
  ASSERT_TRUE(module) << error;
  EXPECT_EQ(module->entry->clap_version.major, 1u);
  EXPECT_EQ(module->factory->get_plugin_count(module->factory), 1u);
}

class Vst3Probe : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(Vst3Probe, Result) {
  const auto& c = GetParam();
  fs::path path = c.built ? copyBundle(c.built, testDir()) : testDir() / "missing.vst3";
  json r = vst3ScanFile(path.string());
  if (c.expected.contains("error")) {
    EXPECT_EQ(r["classes"], json::array());
    EXPECT_TRUE(r["error"].is_string() && !r["error"].get<std::string>().empty());
    EXPECT_FALSE(r.contains("tags"));
  } else {
    EXPECT_EQ(r, c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bundles, Vst3Probe,
    ::testing::Values(
        // Controller classes and instruments are left out; an empty vendor
        // falls back to the factory's.
        ProbeCase{"effects", "scan_fx.vst3", {{"classes", {kDelay, kFxInstrument, kAnalyzer}}, {"tags", true}}},
        ProbeCase{"instrumentOnly", "scan_synth.vst3", {{"classes", json::array()}, {"tags", true}}},
        ProbeCase{"emptyFactory", "scan_empty.vst3", {{"classes", json::array()}, {"tags", true}}},
        ProbeCase{"missing", nullptr, {{"error", true}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Vst3Probe, BundleWithoutSharedObjectIsAnError) {
  fs::path path = testDir() / "Empty.vst3";
  fs::create_directories(path / "Contents" / "x86_64-linux");
  json r = vst3ScanFile(path.string());
  EXPECT_EQ(r["classes"], json::array());
  EXPECT_TRUE(r.contains("error"));
}

TEST(Vst3Effect, Rule) {
  using V = std::vector<std::string>;
  EXPECT_TRUE(vst3IsEffect("Audio Module Class", V{"Fx", "Instrument"}));
  EXPECT_FALSE(vst3IsEffect("Audio Module Class", V{"Instrument", "Synth"}));
  EXPECT_TRUE(vst3IsEffect("Audio Module Class", V{"Analyzer"}));
  EXPECT_TRUE(vst3IsEffect("Audio Module Class", V{}));
  EXPECT_TRUE(vst3IsEffect("Audio Module Class", V{"Instrument", "Fx"}));
  EXPECT_FALSE(vst3IsEffect("Component Controller Class", V{}));
  EXPECT_FALSE(vst3IsEffect("audio module class", V{}));
}

TEST(Vst3ModuleInfo, DescribesTheSameClassesAsTheFactory) {
  fs::path path = copyBundle("scan_fx_info.vst3", testDir());
  json r = vst3ModuleInfo(path.string());
  EXPECT_EQ(r, (json{{"classes", {kDelay, kFxInstrument, kAnalyzer}}, {"tags", true}, {"from", "moduleinfo"}}));
  EXPECT_TRUE(vst3ModuleInfo(copyBundle("scan_fx.vst3", testDir()).string()).is_null());
  EXPECT_TRUE(vst3ModuleInfo((testDir() / "missing.vst3").string()).is_null());
}

struct InfoCase {
  const char* name;
  const char* classes;  // the "Classes" array's text
  json expected;        // the probe's "classes", or null for no answer
};

void PrintTo(const InfoCase& c, std::ostream* os) { *os << c.name; }

class ModuleInfoFile : public ::testing::TestWithParam<InfoCase> {};

TEST_P(ModuleInfoFile, Probe) {
  const auto& c = GetParam();
  fs::path bundle = testDir() / "b.vst3";
  // The info is read only beside a binary for this platform.
  writeFile(bundle / "Contents" / "x86_64-linux" / "b.so", "", false);
  writeFile(bundle / "Contents" / "Resources" / "moduleinfo.json",
            std::string(R"({"Name": "b", "Version": "1", "Factory Info": {"Vendor": "Maker"}, "Classes": )") +
                c.classes + "}",
            false);
  json r = vst3ModuleInfo(bundle.string());
  if (c.expected.is_null())
    EXPECT_TRUE(r.is_null()) << r;
  else
    EXPECT_EQ(r, (json{{"classes", c.expected}, {"tags", true}, {"from", "moduleinfo"}}));
}

json infoClass(const char* uid, const char* vendor, const char* sub) {
  return {{"uid", uid}, {"name", "N"}, {"vendor", vendor}, {"version", ""}, {"sub", sub}};
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ModuleInfoFile,
    ::testing::Values(
        InfoCase{"noClasses", "[]", json::array()},
        InfoCase{"lowerCaseIdAndFactoryVendor",
                 R"([{"CID": "0123456789abcdef0123456789ABCDEF", "Category": "Audio Module Class", "Name": "N"}])",
                 json::array({infoClass("0123456789ABCDEF0123456789ABCDEF", "Maker", "")})},
        InfoCase{"pairThatIsNotHexIsZero",
                 R"([{"CID": "zz23456789ABCDEF0123456789ABCDEF", "Category": "Audio Module Class", "Name": "N",
                      "Vendor": "Own", "Sub Categories": ["Fx", "EQ"]}])",
                 json::array({infoClass("0023456789ABCDEF0123456789ABCDEF", "Own", "Fx|EQ")})},
        InfoCase{"shortIdOfAnEffect",
                 R"([{"CID": "0123456789ABCDEF0123456789ABCDE", "Category": "Audio Module Class", "Name": "N"}])",
                 nullptr},
        // Only effect classes need a well-formed id.
        InfoCase{"shortIdOfAController",
                 R"([{"CID": "0123", "Category": "Component Controller Class", "Name": "N"}])", json::array()},
        InfoCase{"subCategoryNotText",
                 R"([{"CID": "0123456789ABCDEF0123456789ABCDEF", "Category": "Audio Module Class", "Name": "N",
                      "Sub Categories": [1]}])",
                 nullptr},
        InfoCase{"classWithoutCategory", R"([{"CID": "0123456789ABCDEF0123456789ABCDEF", "Name": "N"}])", nullptr},
        InfoCase{"classesNotArray", R"({"a": 1})", nullptr},
        InfoCase{"notJson", R"([{"CID": )", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModuleInfoFile, OlderLocationInContentsIsFound) {
  fs::path bundle = testDir() / "b.vst3";
  writeFile(bundle / "Contents" / "x86_64-linux" / "b.so", "", false);
  writeFile(bundle / "Contents" / "moduleinfo.json", R"({"Factory Info": {}, "Classes": []})", false);
  EXPECT_EQ(vst3ModuleInfo(bundle.string())["classes"], json::array());
}

TEST(FileNames, StemsSortedWithDuplicates) {
  EXPECT_EQ(fileNames({"/a/Zed.vst3", "/b/Alpha.clap"}), (std::vector<std::string>{"Alpha", "Zed"}));
  EXPECT_EQ(fileNames({"/x/Foo Bar.vst3", "/y/Foo Bar.vst3/", "/z/a.b.clap"}),
            (std::vector<std::string>{"Foo Bar", "Foo Bar", "a.b"}));
  EXPECT_TRUE(fileNames({}).empty());
}

TEST(ScanCommand, OtherCommandLinesAreNotClaimed) {
  const char* four[] = {"prog", "--scan", "CLAP", "list"};
  const char* six[] = {"prog", "--scan", "CLAP", "list", "out", "more"};
  const char* other[] = {"prog", "--scanx", "CLAP", "list", "out"};
  int code = 42;
  EXPECT_FALSE(runScanHelper(4, four, code));
  EXPECT_FALSE(runScanHelper(6, six, code));
  EXPECT_FALSE(runScanHelper(5, other, code));
  EXPECT_FALSE(runScanHelper(1, four, code));
  EXPECT_EQ(code, 42);
}

}  // namespace
}  // namespace bridge

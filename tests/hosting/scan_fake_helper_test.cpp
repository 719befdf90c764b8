// Exit codes and output lines that real plug-ins cannot produce, through a
// scripted fake helper. Files need not exist: the script goes by their names.
#include <gtest/gtest.h>

#include "hosting/scan.h"
#include "scan_fixture.h"
#include "support/test_dir.h"

namespace bridge {
namespace {

using nlohmann::json;
using namespace bridge::test;

struct FakeCase {
  const char* name;
  std::vector<std::string> files;
  std::vector<std::string> examined;  // files with an entry
  std::vector<std::string> blocked;
  std::vector<std::string> hung;
  int runs;
  const char* timeoutMs = nullptr;  // QUILLET_SCAN_TIMEOUT_MS; null: unset
  const char* exitCode = nullptr;   // the script's code after its last file
  // Ended by the time-out, which counts from the spawn: on a loaded machine the
  // low-priority helper may be killed before the spy has recorded its run, so
  // `runs` is then a most.
  bool timesOut = false;
};

void PrintTo(const FakeCase& c, std::ostream* os) { *os << c.name; }

class FakeHelper : public ::testing::TestWithParam<FakeCase> {};

TEST_P(FakeHelper, Attribution) {
  const FakeCase& c = GetParam();
  ScopedEnv timeout("QUILLET_SCAN_TIMEOUT_MS", c.timeoutMs);
  ScopedEnv code("FAKE_HELPER_EXIT", c.exitCode);
  const fs::path dir = testDir();
  HelperSpy spy(dir, KREVLO_FAKE_HELPER);
  auto paths = [&](const std::vector<std::string>& names) {
    std::vector<std::string> out;
    for (const auto& n : names) out.push_back((dir / "files" / n).string());
    return out;
  };

  ScanSpec spec;
  spec.format = "CLAP";
  spec.cacheFile = dir / "data" / "clap-cache.json";
  spec.cacheKey = "files";
  spec.helper = spy.path();
  std::atomic<bool> cancel{false};
  ScanResult r = scanInHelpers(spec, paths(c.files), cancel);

  std::vector<std::string> examined;
  for (const auto& [path, entry] : r.entries.items()) {
    examined.push_back(fs::path(path).filename().string());
    EXPECT_EQ(entry["tags"], true);
    EXPECT_EQ(entry["stamp"], 0);  // the files do not exist
  }
  std::vector<std::string> failed = paths(c.blocked);
  for (const auto& h : paths(c.hung)) failed.push_back(h);
  EXPECT_EQ(examined, c.examined);
  EXPECT_EQ(r.failed, failed);
  if (c.timesOut)
    EXPECT_LE(spy.runs(), c.runs);
  else
    EXPECT_EQ(spy.runs(), c.runs);
  json cache = json::parse(readFile(spec.cacheFile));
  EXPECT_EQ(cache["blocked"], json(paths(c.blocked)));
  EXPECT_EQ(cache["hung"], json(paths(c.hung)));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, FakeHelper,
    ::testing::Values(
        FakeCase{"allReported", {"ok1", "ok2"}, {"ok1", "ok2"}, {}, {}, 1},
        // Once every file is reported, the exit code does not matter.
        FakeCase{"nonZeroExitAfterAll", {"ok1", "ok2"}, {"ok1", "ok2"}, {}, {}, 1, nullptr, "9"},
        FakeCase{"garbageLine", {"ok1", "garbage", "ok2"}, {"ok1", "ok2"}, {"garbage"}, {}, 2},
        FakeCase{"lineWithoutEntry", {"noentry", "ok1"}, {"ok1"}, {"noentry"}, {}, 1},
        FakeCase{"entryNotObject", {"notobject", "ok1"}, {"ok1"}, {"notobject"}, {}, 1},
        FakeCase{"wrongIndex", {"wrongi", "ok1"}, {"ok1"}, {"wrongi"}, {}, 2},
        FakeCase{"indexAsText", {"stringi", "ok1"}, {"ok1"}, {"stringi"}, {}, 2},
        FakeCase{"lineNotObject", {"array", "ok1"}, {"ok1"}, {"array"}, {}, 2},
        FakeCase{"lineCutShort", {"ok1", "cut", "ok2"}, {"ok1", "ok2"}, {"cut"}, {}, 2},
        FakeCase{"exitWithoutReporting", {"ok1", "skip", "ok2"}, {"ok1", "ok2"}, {"skip"}, {}, 2},
        FakeCase{"exitCodeMidway", {"exit7", "ok1"}, {"ok1"}, {"exit7"}, {}, 2},
        FakeCase{"crash", {"ok1", "crash", "ok2"}, {"ok1", "ok2"}, {"crash"}, {}, 2},
        // A helper that stops is killed and its file counts as hung.
        FakeCase{"stopped", {"ok1", "stop", "ok2"}, {"ok1", "ok2"}, {}, {"stop"}, 2},
        FakeCase{"hang", {"hang"}, {}, {}, {"hang"}, 1, "300", nullptr, true},
        // Would finish, but long after the time-out and well before the default.
        FakeCase{"slowPastTimeout", {"late"}, {}, {}, {"late"}, 1, "300", nullptr, true},
        // Unset, 0 or not a number: 60000 ms, so the slow file finishes (a 0
        // would kill it at the first poll).
        FakeCase{"timeoutUnset", {"slow"}, {"slow"}, {}, {}, 1},
        FakeCase{"timeoutZero", {"slow"}, {"slow"}, {}, {}, 1, "0"},
        FakeCase{"timeoutText", {"slow"}, {"slow"}, {}, {}, 1, "abc"},
        // Each reported file restarts the time-out: eight files of five
        // seconds outlast it, and no gap between two lines comes near it, even
        // for a helper that waits seconds for its turn on a loaded machine.
        FakeCase{"progressRestartsTimeout",
                 {"tick1", "tick2", "tick3", "tick4", "tick5", "tick6", "tick7", "tick8"},
                 {"tick1", "tick2", "tick3", "tick4", "tick5", "tick6", "tick7", "tick8"},
                 {},
                 {},
                 1,
                 kPatientTimeoutMs}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace bridge

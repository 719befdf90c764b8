#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/test_dir.h"

namespace bridge::test {

namespace {

std::filesystem::path current;

class PerTestHome : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo& info) override {
    std::string name = std::string(info.test_suite_name()) + "." + info.name();
    for (char& c : name)
      if (c == '/' || c == ' ') c = '_';
    const char* tmp = std::getenv("TMPDIR");
    std::filesystem::path base = (tmp && *tmp) ? tmp : "/tmp";
    current = base / "krevlo-test" / (name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(current);
    std::filesystem::create_directories(current);
    ::setenv("HOME", current.c_str(), 1);
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("CLAP_PATH");
  }
  void OnTestEnd(const ::testing::TestInfo&) override {
    if (!std::getenv("KREVLO_KEEP_TEST_DIRS")) {
      std::error_code ec;
      std::filesystem::permissions(current, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
      std::filesystem::remove_all(current, ec);
    }
    current.clear();
  }
};

}  // namespace

std::filesystem::path testDir() { return current; }

}  // namespace bridge::test

int main(int argc, char** argv) {
  // A test binary is never a scan helper: started as one by mistake (a scan
  // without an explicit helper falls back to the running executable) it would
  // run the whole suite again, and again in every helper that suite starts.
  if (argc == 5 && std::string(argv[1]) == "--scan") {
    std::fprintf(stderr, "%s: a test binary is not a scan helper; pass the helper explicitly\n", argv[0]);
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  // Real-time scheduling is measured in benchmarks, not in tests.
  ::setenv("QUILLET_RT", "0", 0);
  ::testing::UnitTest::GetInstance()->listeners().Append(new bridge::test::PerTestHome);
  return RUN_ALL_TESTS();
}

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "support/test_dir.h"
#include "util/files.h"
#include "util/process.h"

namespace bridge {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> sh(const std::string& script) { return {"/bin/sh", "-c", script}; }

bool alive(int pid) { return ::kill(pid, 0) == 0; }

int readPid(const fs::path& p) {
  std::string s = readFile(p);
  return s.empty() ? 0 : std::stoi(s);
}

struct ChildCase {
  const char* name;
  std::vector<std::string> argv;
  int timeoutMs;
  int expected;
};

void PrintTo(const ChildCase& c, std::ostream* os) { *os << c.name; }

class RunProcessCases : public ::testing::TestWithParam<ChildCase> {};

TEST_P(RunProcessCases, Result) {
  const auto& c = GetParam();
  EXPECT_EQ(runProcess(c.argv, c.timeoutMs, {}), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Children, RunProcessCases,
    ::testing::Values(ChildCase{"exit0", sh("exit 0"), 60000, 0}, ChildCase{"exit3", sh("exit 3"), 60000, 3},
                      ChildCase{"exit255", sh("exit 255"), 60000, 255},
                      ChildCase{"segv", sh("kill -SEGV $$"), 60000, -2},
                      ChildCase{"abort", sh("kill -ABRT $$"), 60000, -2},
                      ChildCase{"missing", {"/nonexistent/krevlo-helper"}, 5000, -1},
                      ChildCase{"relativeNotSearched", {"sh", "-c", "exit 0"}, 5000, -1},
                      ChildCase{"hangs", sh("exec sleep 30"), 100, -3},
                      ChildCase{"zeroTimeout", sh("exec sleep 30"), 0, -3}),
    [](const auto& info) { return info.param.name; });

TEST(RunProcess, TimedOutChildIsGone) {
  fs::path pidFile = test::testDir() / "pid";
  // The time-out counts from the child's announcement: a loaded machine may
  // take longer than the time-out to start the shell at all.
  ProcessOptions options;
  options.progress = [&] { return readPid(pidFile) <= 0; };
  EXPECT_EQ(runProcess(sh("echo $$ > " + pidFile.string() + "; exec sleep 30"), 200, options), -3);
  int pid = readPid(pidFile);
  ASSERT_GT(pid, 0);
  EXPECT_FALSE(alive(pid));  // killed and reaped: not even a zombie is left
}

TEST(RunProcess, ProgressKeepsChildAliveUntilItExits) {
  // The child outlives the time-out many times over, but reports progress.
  int polls = 0;
  ProcessOptions options;
  options.progress = [&] { return ++polls > 0; };
  EXPECT_EQ(runProcess(sh("sleep 0.5; exit 7"), 30, options), 7);
  EXPECT_GT(polls, 0);
}

TEST(RunProcess, CancelKillsChild) {
  fs::path pidFile = test::testDir() / "pid";
  std::atomic<bool> cancel{false};
  ProcessOptions options;
  options.cancel = &cancel;
  // Cancel once the child has announced itself, not after some guessed time.
  options.progress = [&] {
    if (readPid(pidFile) > 0) cancel = true;
    return true;
  };
  EXPECT_EQ(runProcess(sh("echo $$ > " + pidFile.string() + "; exec sleep 30"), 60000, options), -1);
  int pid = readPid(pidFile);
  ASSERT_GT(pid, 0);
  EXPECT_FALSE(alive(pid));
}

TEST(RunProcess, StoppedChildIsKilledAndReaped) {
  fs::path pidFile = test::testDir() / "pid";
  EXPECT_EQ(runProcess(sh("echo $$ > " + pidFile.string() + "; kill -STOP $$; exec sleep 30"), 60000, {}), -1);
  int pid = readPid(pidFile);
  ASSERT_GT(pid, 0);
  EXPECT_FALSE(alive(pid));
}

TEST(RunProcess, LowPriorityChildRunsAtNiceTen) {
  fs::path pidFile = test::testDir() / "pid";
  int nice = -100;
  std::atomic<bool> cancel{false};
  ProcessOptions options;
  options.lowPriority = true;
  options.cancel = &cancel;
  // Read the child's niceness from outside while it runs (field 19 of its stat).
  options.progress = [&] {
    int pid = readPid(pidFile);
    if (pid <= 0) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 19 && rest >> field; ++i) {
    }
    nice = std::stoi(field);
    cancel = true;
    return true;
  };
  runProcess(sh("echo $$ > " + pidFile.string() + "; exec sleep 30"), 60000, options);
  EXPECT_EQ(nice, 10);
}

TEST(RunProcess, ChildHasOwnGroupAndNoBlockedSignals) {
  // The program blocks SIGINT/SIGTERM to read them from a descriptor; a helper
  // must not inherit that, nor share the terminal's Ctrl-C.
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &old), 0);
  fs::path out = test::testDir() / "status";
  // Only shell built-ins read the status: a shell blocks every signal for a
  // moment while it starts an outside command, so a grep could see that mask
  // instead of the one the spawn gave. Field 5 of /proc/PID/stat is the group.
  int rc = runProcess(sh("{ while read -r k v; do [ \"$k\" = SigBlk: ] && echo \"$k\t$v\"; done < /proc/$$/status;"
                         " read -r f1 f2 f3 f4 f5 rest < /proc/$$/stat; echo \"$f5\"; } > " +
                         out.string()),
                      60000, {});
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ASSERT_EQ(rc, 0);
  std::istringstream lines(readFile(out));
  std::string sigblk, pgid;
  std::getline(lines, sigblk);
  std::getline(lines, pgid);
  EXPECT_EQ(sigblk, "SigBlk:\t0000000000000000");
  ASSERT_FALSE(pgid.empty());
  EXPECT_NE(std::stoi(pgid), static_cast<int>(::getpgrp()));
}

TEST(RunProcess, ChildInheritsEnvironment) {
  ::setenv("KREVLO_PROCESS_TEST", "42", 1);
  EXPECT_EQ(runProcess(sh("test \"$KREVLO_PROCESS_TEST\" = 42"), 60000, {}), 0);
}

TEST(SelfPath, IsCanonicalRunningExecutable) {
  std::string self = selfPath();
  ASSERT_FALSE(self.empty());
  EXPECT_EQ(self, fs::canonical("/proc/self/exe").string());
  EXPECT_EQ(fs::path(self).filename(), "util_tests");
}

}  // namespace
}  // namespace bridge

namespace bridge {
namespace {

// Gone or only a zombie waiting for its new parent, within a bound that only a
// process that was never killed reaches.
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

struct GroupCase {
  const char* name;
  const char* then;  // what the child does after starting its own child
  int timeoutMs;
  int expected;
};

void PrintTo(const GroupCase& c, std::ostream* os) { *os << c.name; }

class RunProcessGroup : public ::testing::TestWithParam<GroupCase> {};

TEST_P(RunProcessGroup, NothingTheChildStartedOutlivesIt) {
  const GroupCase& c = GetParam();
  const fs::path pidFile = test::testDir() / "grandchild";
  const std::string script = "sleep 30 & echo $! > " + pidFile.string() + "; " + c.then;
  // The time-out counts from the moment the child has announced its own child.
  ProcessOptions options;
  options.progress = [&] { return readPid(pidFile) <= 0; };
  EXPECT_EQ(runProcess(sh(script), c.timeoutMs, options), c.expected);
  const int pid = readPid(pidFile);
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(ended(pid));
}

INSTANTIATE_TEST_SUITE_P(Ends, RunProcessGroup,
                         ::testing::Values(GroupCase{"exits", "exit 0", 60000, 0},
                                           GroupCase{"crashes", "kill -SEGV $$", 60000, -2},
                                           GroupCase{"timesOut", "exec sleep 30", 200, -3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RunProcess, StandardInputAndOutputAreDevNull) {
  EXPECT_EQ(runProcess(sh("[ \"$(readlink /proc/$$/fd/0)\" = /dev/null ] && "
                          "[ \"$(readlink /proc/$$/fd/1)\" = /dev/null ]"),
                       60000, {}),
            0);
}

}  // namespace
}  // namespace bridge

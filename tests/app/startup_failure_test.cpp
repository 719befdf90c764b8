// Start-up that cannot get the descriptors it needs, and a main loop that
// cannot wait: each says why, with the system's reason, instead of aborting.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <exception>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "app/desktop/application.h"
#include "app/shell/poll_loop.h"
#include "app/shell/signals.h"
#include "platform/dispatch/main_queue.h"
#include "support/descriptor_limit.h"
#include "support/test_dir.h"

extern char** environ;

namespace bridge {
namespace {

bool sameMask(const sigset_t& a, const sigset_t& b) {
  for (int s = 1; s < NSIG; ++s)
    if (sigismember(&a, s) != sigismember(&b, s)) return false;
  return true;
}

// The sanitizer runtimes need descriptors of their own to check the thrown
// exception's type; without any they report themselves instead.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

TEST(StartupFailure, NoDescriptorLeftThrowsTheNamedReasonWithTheErrno) {
  if (kSanitized) GTEST_SKIP() << "needs a build without sanitizers";
  struct Case {
    const char* name;
    std::function<void()> make;
    const char* message;
  };
  const Case cases[] = {
      {"shutdown signals", [] { ShutdownSignals signals; }, "cannot create signalfd: Too many open files"},
      {"main queue", [] { MainQueue queue; }, "cannot create eventfd: Too many open files"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sigset_t before, after;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);
    std::string what;
    int code = 0;
    std::exception_ptr thrown;
    {
      test::DescriptorLimit limit(static_cast<rlim_t>(test::lowestFreeDescriptor()));
      ASSERT_TRUE(limit.ok());
      try {
        c.make();
      } catch (...) {
        thrown = std::current_exception();
      }
    }
    // Looked at once descriptors are back: the sanitizers' type checks need one.
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const std::system_error& e) {
      what = e.what();
      code = e.code().value();
    }
    EXPECT_EQ(what, c.message);
    EXPECT_EQ(code, EMFILE);
    // A failed start leaves the thread's signal mask as it found it.
    pthread_sigmask(SIG_SETMASK, nullptr, &after);
    EXPECT_TRUE(sameMask(before, after));
  }
}

TEST(StartupFailure, APollThatFailsEndsTheLoopWithItsErrno) {
  MainQueue queue;
  PollLoop loop(queue);
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  bool readable = false;
  loop.watch(pipeFds[0], [&] { readable = true; });
  loop.watch(pipeFds[1], [&] {});
  // Three descriptors polled (the queue's and two watched) against a limit of
  // two: poll refuses at once, and no signal will ever end the loop.
  int result = -1;
  {
    test::DescriptorLimit limit(2);
    ASSERT_TRUE(limit.ok());
    result = loop.run();
  }
  EXPECT_EQ(result, EINVAL);
  EXPECT_FALSE(readable);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
}

// The real program in a child whose limits are fixed (hard and soft) at
// `limit` descriptors; answers its exit code and standard error.
struct ChildRun {
  int exitCode = -1;
  std::string stderrText;
};

ChildRun runProgramWithDescriptors(rlim_t limit) {
  ChildRun run;
  int err[2];
  if (::pipe2(err, O_CLOEXEC) != 0) return run;
  // Made before fork: the child only calls what is safe after it.
  std::string home = "HOME=" + test::testDir().string();
  std::vector<char*> env;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "DISPLAY=", 8) != 0 && std::strncmp(*e, "WAYLAND_DISPLAY=", 16) != 0 &&
        std::strncmp(*e, "HOME=", 5) != 0 && std::strncmp(*e, "XDG_DATA_HOME=", 14) != 0)
      env.push_back(*e);
  env.push_back(home.data());
  env.push_back(nullptr);
  char program[] = KREVLO_BRIDGE_PROGRAM;
  char* argv[] = {program, nullptr};
  const rlimit fixed{limit, limit};
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int devNull = ::open("/dev/null", O_RDWR);
    ::dup2(devNull, 0);
    ::dup2(devNull, 1);
    ::dup2(err[1], 2);
    ::close_range(3, ~0U, 0);
    ::setrlimit(RLIMIT_NOFILE, &fixed);
    ::execve(program, argv, env.data());
    ::_exit(127);
  }
  ::close(err[1]);
  if (pid < 0) {
    ::close(err[0]);
    return run;
  }
  // A program that did start would serve for ever: it is killed after the bound.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{err[0], POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0) {
      ::kill(pid, SIGKILL);
      break;
    }
    const ssize_t n = ::read(err[0], buffer, sizeof buffer);
    if (n <= 0) break;
    run.stderrText.append(buffer, static_cast<size_t>(n));
  }
  ::close(err[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  return run;
}

TEST(StartupFailure, TheProgramNamesTheDescriptorItCannotMakeAndExitsWithItsCode) {
  // 0-2 are the standard streams; the loader needs one more while it maps the
  // libraries, and closes it again. The shutdown signals then take descriptor
  // 3, and the main queue finds none left.
  if (kSanitized) GTEST_SKIP() << "needs a build without sanitizers";
  const ChildRun run = runProgramWithDescriptors(4);
  EXPECT_EQ(run.stderrText, "krevlo-bridge: cannot create eventfd: Too many open files\n");
  EXPECT_EQ(run.exitCode, kExitSystemFailure);
}

}  // namespace
}  // namespace bridge

#include "util/process.h"

#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "util/clock.h"

extern char** environ;

namespace bridge {

namespace {

constexpr int kLowPriorityNice = 10;

void killAndReap(pid_t pid) {
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

int runProcess(const std::vector<std::string>& argv, int timeoutMs, const ProcessOptions& options) {
  if (argv.empty()) return -1;
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  // The child gets its own process group, so a Ctrl-C meant for the program
  // does not reach it (a helper killed that way would be recorded as a crashed
  // plug-in), and an empty signal mask, so it does not inherit signals that the
  // program blocks for its own signal handling.
  posix_spawnattr_t attr;
  if (::posix_spawnattr_init(&attr) != 0) return -1;
  sigset_t none;
  sigemptyset(&none);
  ::posix_spawnattr_setsigmask(&attr, &none);
  ::posix_spawnattr_setpgroup(&attr, 0);
  ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, args[0], nullptr, &attr, args.data(), environ);
  ::posix_spawnattr_destroy(&attr);
  if (spawned != 0) return -1;
  // posix_spawn has no niceness attribute; lowering the child's priority right after
  // the spawn leaves it only its first instants at normal priority.
  if (options.lowPriority) ::setpriority(PRIO_PROCESS, static_cast<id_t>(pid), kLowPriorityNice);

  double deadline = nowMs() + timeoutMs;
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG | WUNTRACED);
    if (r < 0) {
      if (errno == EINTR) continue;
      // Nothing is known about the child any more; make sure it is not left behind.
      killAndReap(pid);
      return -1;
    }
    if (r == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return -2;
      if (WIFSTOPPED(status)) {
        // A stopped child would otherwise stay stopped forever, holding its files.
        killAndReap(pid);
        return -1;
      }
    }
    if (options.progress && options.progress()) deadline = nowMs() + timeoutMs;
    if (nowMs() > deadline || timeoutMs <= 0) {
      killAndReap(pid);
      return -3;
    }
    if (options.cancel && options.cancel->load()) {
      killAndReap(pid);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string selfPath() {
  char buf[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return {};
  buf[n] = '\0';
  std::string raw(buf);
  char* canon = ::realpath(raw.c_str(), nullptr);
  if (!canon) return raw;
  std::string out(canon);
  ::free(canon);
  return out;
}

}  // namespace bridge

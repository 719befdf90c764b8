#include "util/process.h"

#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <thread>

#include "util/clock.h"

extern char** environ;

namespace bridge {

namespace {

constexpr int kLowPriorityNice = 10;

// The child leads a process group of its own; everything it started there
// (a plug-in's licence checker, crash reporter or shell) goes with it. The
// leader is reaped last: until then its id cannot be reused for a new group.
void killAndReap(pid_t pid) {
  ::kill(-pid, SIGKILL);
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
  // Standard input and output are /dev/null: a plug-in that reads its input
  // while the program runs in a terminal would be stopped by SIGTTIN, and one
  // that writes to a closed pipe would die by SIGPIPE. Errors still reach the
  // program's standard error.
  posix_spawn_file_actions_t files;
  if (::posix_spawn_file_actions_init(&files) != 0) {
    ::posix_spawnattr_destroy(&attr);
    return -1;
  }
  ::posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, args[0], &files, &attr, args.data(), environ);
  ::posix_spawn_file_actions_destroy(&files);
  ::posix_spawnattr_destroy(&attr);
  if (spawned != 0) return -1;
  // posix_spawn has no niceness attribute; lowering the child's priority right after
  // the spawn leaves it only its first instants at normal priority.
  if (options.lowPriority) ::setpriority(PRIO_PROCESS, static_cast<id_t>(pid), kLowPriorityNice);

  double deadline = nowMs() + timeoutMs;
  for (;;) {
    // Looked at without reaping, so the group can be ended first.
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WSTOPPED | WNOHANG | WNOWAIT) < 0) {
      if (errno == EINTR) continue;
      // Nothing is known about the child any more; make sure it is not left behind.
      killAndReap(pid);
      return -1;
    }
    if (info.si_pid == pid) {
      // What it left running goes too; a stopped child would otherwise stay
      // stopped forever, holding its files.
      killAndReap(pid);
      if (info.si_code == CLD_EXITED) return info.si_status & 0xff;
      if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) return -2;
      return -1;
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

#pragma once
// Child processes and the running executable's path. Safe to call from any thread.
#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace bridge {

struct ProcessOptions {
  // When it becomes true while the child runs, the child is killed and the result is -1.
  const std::atomic<bool>* cancel = nullptr;
  // Start the child at nice 10, so examination never competes with audio threads.
  bool lowPriority = false;
  // Asked once per poll cycle; true restarts the time-out.
  std::function<bool()> progress;
};

// Runs argv (argv[0] is the executable's path, no PATH search) and waits for it,
// polling every 20 ms. The child runs in a process group of its own with no
// signal blocked, standard input and output on /dev/null; when it ends, times
// out or is cancelled, whatever is left in its group is killed. Returns the exit code 0..255, or
//   -1  spawn failed, state query failed, child stopped, or cancelled;
//   -2  a signal ended the child;
//   -3  killed because `timeoutMs` passed without progress.
// Blocks the calling thread. A child that is killed is always reaped.
int runProcess(const std::vector<std::string>& argv, int timeoutMs, const ProcessOptions& options);

// Canonical path of the running executable; the raw path when it cannot be made
// canonical; "" on failure.
std::string selfPath();

}  // namespace bridge

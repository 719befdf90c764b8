#pragma once
// The application loop as the shell's logic sees it: jobs, one-shot and
// repeating timers, and quitting. A toolkit front end supplies its own loop
// (one that also drains the main queue); without one, PollLoop runs it.
//
// Threads: post from any thread; everything else on the main thread. Jobs and
// timers run on the main thread, one at a time, never inside the call that
// scheduled them.
#include <functional>

namespace bridge {

class EventLoop {
 public:
  using Job = std::function<void()>;
  virtual ~EventLoop() = default;

  virtual void post(Job job) = 0;
  // Runs `job` once, `ms` milliseconds from now.
  virtual void after(double ms, Job job) = 0;
  // Runs `job` every `ms` milliseconds until the loop ends.
  virtual void every(double ms, Job job) = 0;
  // Ends the loop once the job or timer that calls it has returned.
  virtual void quit() = 0;
};

}  // namespace bridge

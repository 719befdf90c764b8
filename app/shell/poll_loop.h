#pragma once
// The application loop without a toolkit: the main queue, timers on a given
// clock, and readable descriptors, all in one poll.
//
// Threads: post from any thread (it only reaches the MainQueue); everything
// else on the thread that runs the loop.
#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "app/shell/event_loop.h"
#include "platform/dispatch/main_queue.h"

namespace bridge {

class PollLoop : public EventLoop {
 public:
  // The queue must outlive the loop; `clockMs` is bridge::nowMs unless a test
  // moves time by hand.
  explicit PollLoop(MainQueue& queue, std::function<double()> clockMs = {});

  void post(Job job) override;
  void after(double ms, Job job) override;
  void every(double ms, Job job) override;
  void quit() override;

  // Calls `readable` whenever fd polls readable (or hung up, or invalid: the
  // callback finds out by reading). It may unwatch itself.
  void watch(int fd, std::function<void()> readable);
  void unwatch(int fd);

  // Runs the timers that are due, then queued jobs (a bounded batch of them,
  // so the descriptors are polled again soon however much is queued). Returns whether
  // anything ran.
  bool runReady();
  // Milliseconds until the next timer is due (0 when one is late), or -1.
  int nextTimeoutMs() const;
  // Runs until quit, sleeping in poll in between. Returns 0 once quit, or the
  // errno of a poll that failed for a reason other than a signal: the loop
  // cannot wait any more, and the caller ends the program.
  int run();
  bool quitting() const { return quit_; }

 private:
  struct Timer {
    double intervalMs = 0.0;  // 0: once
    Job job;
  };
  MainQueue& queue_;
  std::function<double()> clock_;
  // Due time and a sequence number, so equal due times keep their order.
  std::map<std::pair<double, uint64_t>, Timer> timers_;
  uint64_t nextSeq_ = 0;
  std::vector<std::pair<int, std::function<void()>>> watches_;
  bool quit_ = false;
};

}  // namespace bridge

#pragma once
// The application's main queue: work from any thread, run in order on the one
// thread that owns the queue (the main thread).
//
// Threads: post from any thread; it never blocks on the owner and never runs the
// job inline. drain, runOne and wait only on the owner thread. fd may be polled by
// the owner's event loop: it is readable while jobs are waiting.
#include <deque>
#include <functional>
#include <mutex>

namespace bridge {

class MainQueue {
 public:
  using Job = std::function<void()>;

  // Throws std::system_error (with the errno) when no eventfd can be made.
  MainQueue();
  ~MainQueue();
  MainQueue(const MainQueue&) = delete;
  MainQueue& operator=(const MainQueue&) = delete;

  void post(Job job);

  // Runs jobs first in, first out until the queue is empty, including jobs that
  // the running ones post. Returns how many ran.
  size_t drain();
  // Runs the oldest job, if any. Returns whether one ran.
  bool runOne();
  // Like drain, but stops after `maxJobs`, or before a job once `stop` (when
  // given) answers true; returns how many ran. A loop that runs the queue in
  // such batches gets back to its other sources (signals, typed input) in
  // between, however much work is queued.
  size_t runBatch(size_t maxJobs, const std::function<bool()>& stop = nullptr);
  // Waits up to timeoutMs (negative: forever) for a job to be posted. True when
  // jobs are waiting.
  bool wait(int timeoutMs);

  size_t pending() const;
  int fd() const { return eventFd_; }

 private:
  mutable std::mutex mutex_;
  std::deque<Job> jobs_;
  int eventFd_ = -1;
};

}  // namespace bridge

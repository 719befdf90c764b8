#include "app/shell/poll_loop.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "util/clock.h"

namespace bridge {

namespace {
constexpr size_t kJobsPerPass = 256;
}

PollLoop::PollLoop(MainQueue& queue, std::function<double()> clockMs)
    : queue_(queue), clock_(clockMs ? std::move(clockMs) : std::function<double()>(nowMs)) {}

void PollLoop::post(Job job) { queue_.post(std::move(job)); }

void PollLoop::after(double ms, Job job) {
  timers_.emplace(std::make_pair(clock_() + ms, nextSeq_++), Timer{0.0, std::move(job)});
}

void PollLoop::every(double ms, Job job) {
  timers_.emplace(std::make_pair(clock_() + ms, nextSeq_++), Timer{ms, std::move(job)});
}

void PollLoop::quit() { quit_ = true; }

void PollLoop::watch(int fd, std::function<void()> readable) {
  unwatch(fd);
  watches_.emplace_back(fd, std::move(readable));
}

void PollLoop::unwatch(int fd) {
  watches_.erase(std::remove_if(watches_.begin(), watches_.end(), [fd](const auto& w) { return w.first == fd; }),
                 watches_.end());
}

bool PollLoop::runReady() {
  bool ran = false;
  // Only timers due when this pass began: a timer scheduled by one of them for
  // "now" waits for the next pass instead of starving the queue.
  const double now = clock_();
  const uint64_t seqLimit = nextSeq_;
  for (;;) {
    if (quit_) return ran;
    auto it = std::find_if(timers_.begin(), timers_.end(),
                           [&](const auto& t) { return t.first.first <= now && t.first.second < seqLimit; });
    if (it == timers_.end()) break;
    double due = it->first.first;
    Timer timer = std::move(it->second);
    timers_.erase(it);
    if (timer.intervalMs > 0.0) {
      // A repeating timer keeps its beat; beats missed while the loop was busy
      // are skipped, not run in a burst.
      double next = due + timer.intervalMs;
      if (next <= now) next = now + timer.intervalMs;
      timers_.emplace(std::make_pair(next, nextSeq_++), Timer{timer.intervalMs, timer.job});
    }
    timer.job();
    ran = true;
  }
  // One batch per pass: a signal or a typed "quit" is seen between batches,
  // never behind everything that was queued.
  if (queue_.runBatch(kJobsPerPass, [this] { return quit_; }) > 0) ran = true;
  return ran;
}

int PollLoop::nextTimeoutMs() const {
  if (timers_.empty()) return -1;
  double wait = timers_.begin()->first.first - clock_();
  if (wait <= 0.0) return 0;
  return static_cast<int>(std::min(std::ceil(wait), 86400000.0));
}

int PollLoop::run() {
  while (!quit_) {
    runReady();
    if (quit_) break;
    std::vector<pollfd> fds;
    fds.push_back({queue_.fd(), POLLIN, 0});
    for (const auto& [fd, callback] : watches_) fds.push_back({fd, POLLIN, 0});
    int timeout = queue_.pending() > 0 ? 0 : nextTimeoutMs();
    if (::poll(fds.data(), fds.size(), timeout) < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    for (size_t i = 1; i < fds.size() && !quit_; ++i) {
      if (!fds[i].revents) continue;
      // A callback may have unwatched this descriptor (or others) meanwhile.
      auto it = std::find_if(watches_.begin(), watches_.end(), [&](const auto& w) { return w.first == fds[i].fd; });
      if (it == watches_.end()) continue;
      auto callback = it->second;
      callback();
    }
  }
  return 0;
}

}  // namespace bridge

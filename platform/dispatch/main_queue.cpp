#include "platform/dispatch/main_queue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace bridge {

MainQueue::MainQueue() {
  eventFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (eventFd_ < 0) throw std::system_error(errno, std::generic_category(), "cannot create eventfd");
}

MainQueue::~MainQueue() { ::close(eventFd_); }

void MainQueue::post(Job job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  uint64_t one = 1;
  // Non-blocking: a full counter already means "wake up".
  [[maybe_unused]] ssize_t n = ::write(eventFd_, &one, sizeof one);
}

bool MainQueue::runOne() {
  Job job;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (jobs_.empty()) {
      uint64_t count;
      [[maybe_unused]] ssize_t n = ::read(eventFd_, &count, sizeof count);
      return false;
    }
    job = std::move(jobs_.front());
    jobs_.pop_front();
  }
  // Run without the lock, so the job may post more work.
  if (job) job();
  return true;
}

size_t MainQueue::drain() {
  size_t ran = 0;
  while (runOne()) ++ran;
  return ran;
}

size_t MainQueue::runBatch(size_t maxJobs, const std::function<bool()>& stop) {
  size_t ran = 0;
  while (ran < maxJobs && !(stop && stop()) && runOne()) ++ran;
  return ran;
}

bool MainQueue::wait(int timeoutMs) {
  if (pending() > 0) return true;
  pollfd p{eventFd_, POLLIN, 0};
  while (::poll(&p, 1, timeoutMs) < 0 && errno == EINTR) {
  }
  return pending() > 0;
}

size_t MainQueue::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jobs_.size();
}

}  // namespace bridge

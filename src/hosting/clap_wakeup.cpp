#include "hosting/clap_wakeup.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace bridge {

ClapWakeup::ClapWakeup(RunOnMain runOnMain) : runOnMain_(std::move(runOnMain)) {
  eventFd_ = ::eventfd(0, EFD_CLOEXEC);
  if (eventFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd failed");
  try {
    thread_ = std::thread(&ClapWakeup::run, this);
  } catch (...) {
    ::close(eventFd_);
    throw;
  }
}

ClapWakeup::~ClapWakeup() {
  stop_.store(true);
  signal();
  if (thread_.joinable()) thread_.join();
  ::close(eventFd_);
}

void ClapWakeup::add(const void* key, std::function<void()> service) {
  entries_.push_back(Entry{key, std::move(service)});
}

void ClapWakeup::remove(const void* key) {
  std::erase_if(entries_, [key](const Entry& e) { return e.key == key; });
}

void ClapWakeup::signal() {
  uint64_t one = 1;
  // A full counter already means "wake up"; nothing else can fail here.
  [[maybe_unused]] ssize_t n = ::write(eventFd_, &one, sizeof one);
}

void ClapWakeup::run() {
  for (;;) {
    uint64_t count = 0;
    const ssize_t n = ::read(eventFd_, &count, sizeof count);
    if (n < 0 && errno == EINTR) continue;
    if (stop_.load()) return;
    if (n != sizeof count || !runOnMain_) continue;
    // Held weakly: the last owner may go before the job runs.
    runOnMain_([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->serviceAll();
    });
  }
}

void ClapWakeup::serviceAll() {
  // A service may add or remove entries (a plug-in destroyed from its own
  // callback), so it works on a copy of the keys and looks each up again.
  std::vector<const void*> keys;
  keys.reserve(entries_.size());
  for (const Entry& e : entries_) keys.push_back(e.key);
  for (const void* key : keys) {
    for (const Entry& e : entries_) {
      if (e.key != key) continue;
      std::function<void()> service = e.service;
      service();
      break;
    }
  }
}

}  // namespace bridge

#pragma once
// What one connection has handed to the main thread and the main thread has not
// handled yet: its text messages, counted in bytes and in jobs. Past either
// bound the connection's input is held (it reads no more from its socket, so
// TCP slows the peer), and released once the main thread has caught up. Nothing
// is dropped, and one connection's flood never fills the main queue for others.
//
// Threads: take on the connection's thread, give on the main thread; the
// Connection passed must be the one the budget belongs to.
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "server/connection.h"

namespace bridge {

class InputBudget {
 public:
  static constexpr uint64_t kMaxBytes = 1 << 20;
  static constexpr uint32_t kMaxJobs = 64;

  InputBudget(uint64_t maxBytes = kMaxBytes, uint32_t maxJobs = kMaxJobs) : maxBytes_(maxBytes), maxJobs_(maxJobs) {}

  // A message of `bytes` is being posted.
  void take(Connection& connection, uint64_t bytes);
  // A posted message of `bytes` has been handled (or dropped).
  void give(Connection& connection, uint64_t bytes);

 private:
  bool over() const { return bytes_ > maxBytes_ || jobs_ >= maxJobs_; }

  const uint64_t maxBytes_;
  const uint32_t maxJobs_;
  std::mutex mutex_;
  uint64_t bytes_ = 0;
  uint32_t jobs_ = 0;
  bool held_ = false;
};

}  // namespace bridge

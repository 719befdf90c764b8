#include "bridge/input_budget.h"

namespace bridge {

// The hold is placed and lifted under the lock, so the connection's hold count
// always matches held_.
void InputBudget::take(Connection& connection, uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  bytes_ += bytes;
  ++jobs_;
  if (!held_ && over()) {
    held_ = true;
    connection.holdInput(true);
  }
}

void InputBudget::give(Connection& connection, uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  bytes_ -= bytes < bytes_ ? bytes : bytes_;
  if (jobs_ > 0) --jobs_;
  if (held_ && !over()) {
    held_ = false;
    connection.holdInput(false);
  }
}

}  // namespace bridge

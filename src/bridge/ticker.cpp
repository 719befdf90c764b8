#include "bridge/ticker.h"

#include <cstdint>

namespace bridge {

void runTicker(const std::atomic<bool>& stop, const std::function<void()>& sleep,
               const std::function<void()>& postPushes, const std::function<void()>& postTick) {
  if (stop.load()) return;
  for (uint64_t wakeup = 1;; ++wakeup) {
    sleep();
    postPushes();
    if (wakeup % kWakeupsPerTick == 0) postTick();
    if (stop.load()) return;
  }
}

}  // namespace bridge

#pragma once
// The ticker's schedule, apart from its thread: after every sleep the pushes,
// after every 20th also the tick, then a look at the stop flag.
//
// Threads: runs on the ticker thread; the callbacks only post.
#include <atomic>
#include <functional>

namespace bridge {

inline constexpr int kTickerPeriodMs = 50;
inline constexpr int kWakeupsPerTick = 20;

void runTicker(const std::atomic<bool>& stop, const std::function<void()>& sleep,
               const std::function<void()>& postPushes, const std::function<void()>& postTick);

}  // namespace bridge

#include <gtest/gtest.h>

#include <thread>

#include "util/clock.h"

namespace bridge {
namespace {

TEST(Clock, MonotonicNeverGoesBack) {
  double last = nowMs();
  for (int i = 0; i < 1000; ++i) {
    double now = nowMs();
    ASSERT_GE(now, last);
    last = now;
  }
}

TEST(Clock, ThreadCpuCountsOnlyTheCallingThread) {
  double before = threadCpuMs();
  std::thread([] {
    volatile double x = 0;
    double start = threadCpuMs();
    while (threadCpuMs() - start < 20) x = x + 1;
  }).join();
  // The other thread's spinning is not ours; ours grows by far less.
  EXPECT_LT(threadCpuMs() - before, 15);
  EXPECT_GE(processCpuMs(), 20);
}

TEST(Clock, NetCpuCounterAddsWholeMicroseconds) {
  double before = netCpuMs();
  addNetCpuMs(1.0009);
  EXPECT_DOUBLE_EQ(netCpuMs() - before, 1.0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 1000; ++i) addNetCpuMs(0.001);
    });
  for (auto& t : threads) t.join();
  EXPECT_DOUBLE_EQ(netCpuMs() - before, 5.0);
}

}  // namespace
}  // namespace bridge

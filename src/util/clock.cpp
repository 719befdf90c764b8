#include "util/clock.h"

#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace bridge {

namespace {
std::atomic<int64_t> netCpuMicros{0};
}

double nowMs() {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<double>(ns.count()) / 1e6;
}

double threadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double processCpuMs() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0 +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
}

void addNetCpuMs(double ms) { netCpuMicros.fetch_add(static_cast<int64_t>(ms * 1000.0)); }

double netCpuMs() { return static_cast<double>(netCpuMicros.load()) / 1000.0; }

}  // namespace bridge

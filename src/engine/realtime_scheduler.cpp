#include "engine/realtime_scheduler.h"

#include <sched.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>

namespace bridge {

namespace {

constexpr int kTopPriority = 80;
constexpr int kBottomPriority = 60;

class LinuxScheduler : public RealtimeScheduler {
 public:
  Timebase timebase() override { return {1, 1}; }

  uint64_t now() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
  }

  // SCHED_FIFO knows only a priority: the period picks it, computation and
  // constraint have no counterpart. SCHED_RESET_ON_FORK keeps a child a plug-in
  // might start from inheriting it.
  void setTimeConstraint(uint64_t period, uint64_t, uint64_t, bool) override {
    rlimit limit{};
    int ceiling = 0;
    if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
      ceiling = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 99));
    sched_param param{};
    param.sched_priority = fifoPriorityFor(period, ceiling);
    // On Linux pid 0 is the calling thread. EPERM (no privilege, no allowance)
    // leaves it as it was.
    (void)sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param);
  }

  // Linux has no quality-of-service classes; an ordinary thread already is the
  // interactive class.
  void setInteractive() override {}

  WorkInterval* createWorkInterval(const char*) override { return nullptr; }
  bool joinWorkInterval(WorkInterval*, JoinToken&) override { return false; }
  void leaveWorkInterval(WorkInterval*, const JoinToken&) override {}
  void releaseWorkInterval(WorkInterval*) override {}
  int startInterval(WorkInterval*, uint64_t, uint64_t) override { return -1; }
  void finishInterval(WorkInterval*) override {}
};

}  // namespace

RealtimeScheduler& systemRealtimeScheduler() {
  static LinuxScheduler scheduler;
  return scheduler;
}

int fifoPriorityFor(uint64_t periodNs, int ceiling) {
  // Two steps down per doubling of the period above 1 ms.
  int priority = kTopPriority;
  for (uint64_t p = periodNs / 1000000; p > 1 && priority > kBottomPriority; p /= 2) priority -= 2;
  priority = std::max(priority, kBottomPriority);
  if (ceiling > 0) priority = std::min(priority, ceiling);
  return priority;
}

}  // namespace bridge

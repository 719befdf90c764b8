#pragma once
// The operating-system calls that give a chain worker real-time treatment,
// behind an interface so the policy logic in RealtimeThread can be tested with a
// recording fake.
//
// Threads: every operation acts on, and is called from, the thread being
// treated. Implementations never allocate or block; failures are swallowed, since
// each feature is optional.
#include <cstdint>

namespace bridge {

class RealtimeScheduler {
 public:
  virtual ~RealtimeScheduler() = default;

  // Clock ticks to nanoseconds: ns = ticks x numer / denom.
  struct Timebase {
    uint32_t numer = 1;
    uint32_t denom = 1;
  };
  // An audio work interval the thread can join; opaque to callers.
  struct WorkInterval;
  // Proof of a join, handed back on leave.
  struct JoinToken {
    uint64_t value = 0;
  };

  virtual Timebase timebase() = 0;
  virtual uint64_t now() = 0;  // ticks of the monotonic clock

  // Real-time policy for blocks that repeat every `period` ticks, need about
  // `computation` of them and must finish within `constraint`.
  virtual void setTimeConstraint(uint64_t period, uint64_t computation, uint64_t constraint, bool preemptible) = 0;
  // The best ordinary class, for when real-time treatment is switched off.
  virtual void setInteractive() = 0;

  // Null when the system offers no work intervals.
  virtual WorkInterval* createWorkInterval(const char* name) = 0;
  virtual bool joinWorkInterval(WorkInterval* interval, JoinToken& token) = 0;
  virtual void leaveWorkInterval(WorkInterval* interval, const JoinToken& token) = 0;
  virtual void releaseWorkInterval(WorkInterval* interval) = 0;
  // 0 when the interval instance started.
  virtual int startInterval(WorkInterval* interval, uint64_t start, uint64_t deadline) = 0;
  virtual void finishInterval(WorkInterval* interval) = 0;
};

// This system's implementation: SCHED_FIFO (refused without the privilege, which
// is ignored), nanosecond ticks, no work intervals. Lives for the process.
RealtimeScheduler& systemRealtimeScheduler();

// SCHED_FIFO priority for a block period: shorter periods get higher priority
// (rate-monotonic), within 60..80, never above `ceiling` when it is positive
// (RLIMIT_RTPRIO, so an unprivileged user's allowance is still used).
int fifoPriorityFor(uint64_t periodNs, int ceiling);

}  // namespace bridge

#pragma once
// What a chain worker needs to be an audio thread: denormals flushed to zero, a
// real-time policy sized to the current block and, where the system has them,
// membership of an audio work interval renewed for every block. QUILLET_RT=0
// switches the real-time part off.
//
// Threads: one object per worker, constructed, used and destroyed on that
// thread (policy and MXCSR are per thread). begin and end run per block: they
// never allocate, lock or block.
#include <cstdint>

#include "engine/realtime_scheduler.h"

namespace bridge {

class RealtimeThread {
 public:
  // False only when QUILLET_RT is exactly "0". Read once per process.
  static bool enabled();
  // The rule applied to the variable's value; null means unset.
  static bool enabledFrom(const char* value);

  explicit RealtimeThread(double rate);
  RealtimeThread(double rate, RealtimeScheduler& scheduler, bool enabled);
  ~RealtimeThread();
  RealtimeThread(const RealtimeThread&) = delete;
  RealtimeThread& operator=(const RealtimeThread&) = delete;

  // Re-applies the policy when `frames` differs from the last block size.
  void setPeriod(int frames);
  // Before each block of `frames` samples.
  void begin(int frames);
  // After each block.
  void end();

  double rate() const { return rate_; }
  int32_t periodFrames() const { return periodFrames_; }
  uint64_t periodTicks() const { return periodTicks_; }
  bool inInterval() const { return inInterval_; }
  bool hasWorkInterval() const { return workgroup_ != nullptr; }

 private:
  void applyPolicy(int frames);

  double rate_;
  int32_t periodFrames_ = 0;
  bool inInterval_ = false;
  RealtimeScheduler::WorkInterval* workgroup_ = nullptr;
  RealtimeScheduler::JoinToken joinToken_{};
  uint64_t periodTicks_ = 0;
  RealtimeScheduler& scheduler_;
  const bool enabled_;
};

}  // namespace bridge

#include "engine/realtime_thread.h"

#include <cstdlib>
#include <cstring>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace bridge {

namespace {

constexpr const char* kWorkIntervalName = "Krevlo Bridge chain";

// Denormals cost plug-ins hundreds of cycles per sample in decaying tails.
void flushDenormals() {
#if defined(__SSE__)
  constexpr unsigned kFlushToZero = 0x8000, kDenormalsAreZero = 0x0040;
  _mm_setcsr(_mm_getcsr() | kFlushToZero | kDenormalsAreZero);
#endif
}

}  // namespace

bool RealtimeThread::enabledFrom(const char* value) { return value == nullptr || std::strcmp(value, "0") != 0; }

bool RealtimeThread::enabled() {
  static const bool on = enabledFrom(std::getenv("QUILLET_RT"));
  return on;
}

RealtimeThread::RealtimeThread(double rate) : RealtimeThread(rate, systemRealtimeScheduler(), enabled()) {}

RealtimeThread::RealtimeThread(double rate, RealtimeScheduler& scheduler, bool enabled)
    : rate_(rate > 0.0 ? rate : 48000.0), scheduler_(scheduler), enabled_(enabled) {
  flushDenormals();
  if (!enabled_) {
    scheduler_.setInteractive();
    return;
  }
  applyPolicy(1024);
  if (RealtimeScheduler::WorkInterval* interval = scheduler_.createWorkInterval(kWorkIntervalName)) {
    if (scheduler_.joinWorkInterval(interval, joinToken_))
      workgroup_ = interval;
    else
      scheduler_.releaseWorkInterval(interval);
  }
}

RealtimeThread::~RealtimeThread() {
  if (workgroup_ == nullptr) return;
  if (inInterval_) scheduler_.finishInterval(workgroup_);
  scheduler_.leaveWorkInterval(workgroup_, joinToken_);
  scheduler_.releaseWorkInterval(workgroup_);
}

void RealtimeThread::applyPolicy(int frames) {
  if (frames == periodFrames_) return;
  periodFrames_ = frames;
  const RealtimeScheduler::Timebase base = scheduler_.timebase();
  const double seconds = frames / rate_;
  periodTicks_ = static_cast<uint64_t>(base.denom * (seconds * 1e9) / base.numer);
  scheduler_.setTimeConstraint(periodTicks_, periodTicks_ / 2, periodTicks_, true);
}

void RealtimeThread::setPeriod(int frames) { applyPolicy(frames); }

void RealtimeThread::begin(int frames) {
  if (!enabled_) return;
  applyPolicy(frames);
  if (workgroup_ != nullptr && !inInterval_) {
    const uint64_t now = scheduler_.now();
    inInterval_ = scheduler_.startInterval(workgroup_, now, now + periodTicks_) == 0;
  }
}

void RealtimeThread::end() {
  if (!inInterval_) return;
  scheduler_.finishInterval(workgroup_);
  inInterval_ = false;
}

}  // namespace bridge

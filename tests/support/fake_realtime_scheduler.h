#pragma once
// A RealtimeScheduler that records every call and can offer a work interval, so
// the policy logic is checked without privileges or a real system.
//
// Threads: the treated thread calls it while a test reads calls(); the record is
// guarded. Recording allocates, so it is not for allocation counts.
#include <mutex>
#include <string>
#include <vector>

#include "engine/realtime_scheduler.h"

namespace bridge::test {

class FakeRealtimeScheduler : public RealtimeScheduler {
 public:
  struct Call {
    std::string what;  // "policy", "interactive", "create", "join", "leave", "release", "start", "finish"
    uint64_t a = 0, b = 0, c = 0;
    bool operator==(const Call&) const = default;
  };

  // Knobs; set before the treated thread starts.
  Timebase base{1, 1};
  bool offerInterval = false;  // createWorkInterval returns one
  bool joinSucceeds = true;
  int startResult = 0;
  uint64_t clock = 1000;  // now(); advances by 1 per call

  Timebase timebase() override { return base; }
  uint64_t now() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return clock++;
  }
  void setTimeConstraint(uint64_t period, uint64_t computation, uint64_t constraint, bool preemptible) override {
    record({"policy", period, computation, constraint});
    (void)preemptible;
  }
  void setInteractive() override { record({"interactive"}); }
  WorkInterval* createWorkInterval(const char* name) override {
    record({"create"});
    lastName = name;
    return offerInterval ? reinterpret_cast<WorkInterval*>(&interval_) : nullptr;
  }
  bool joinWorkInterval(WorkInterval*, JoinToken& token) override {
    record({"join"});
    token.value = 42;
    return joinSucceeds;
  }
  void leaveWorkInterval(WorkInterval*, const JoinToken& token) override { record({"leave", token.value}); }
  void releaseWorkInterval(WorkInterval*) override { record({"release"}); }
  int startInterval(WorkInterval*, uint64_t start, uint64_t deadline) override {
    record({"start", start, deadline});
    return startResult;
  }
  void finishInterval(WorkInterval*) override { record({"finish"}); }

  std::vector<Call> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  // The names of the calls, in order.
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const Call& c : calls()) out.push_back(c.what);
    return out;
  }
  // The period of every policy call, in order.
  std::vector<uint64_t> policyPeriods() const {
    std::vector<uint64_t> out;
    for (const Call& c : calls())
      if (c.what == "policy") out.push_back(c.a);
    return out;
  }
  std::string lastName;

 private:
  void record(Call call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
  }
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
  int interval_ = 0;
};

}  // namespace bridge::test

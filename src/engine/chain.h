#pragma once
// One track's processing chain: a queue of binary audio frames, a worker thread
// that runs each through the slots' plug-ins with latency compensation, bypass
// cross-fades and metering, and an output callback for the processed frames.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/frame.h"
#include "engine/realtime_scheduler.h"
#include "engine/slot.h"
#include "util/line_ring.h"

namespace bridge {

// Figures since the previous takeStats. load is CPU time per unit of audio time.
struct ChainStats {
  struct SlotLoad {
    std::string key;
    double load = 0.0;
  };
  double load = 0.0;
  std::vector<SlotLoad> slots;
  int32_t resets = 0;
  int32_t late = 0;
  // Blocks lost because processing them threw (a plug-in's exception, memory
  // running out for the output frame); none of them reached the output.
  int32_t dropped = 0;
  // The what() of each failure unlike the one before it, oldest first; a chain
  // failing the same way on every block reports it once.
  std::vector<std::string> errors;
};

// The untaken level rows of one metered slot, oldest first.
struct SlotLevels {
  std::shared_ptr<Slot> slot;
  std::vector<LevelRow> rows;
};

using SlotList = std::vector<std::shared_ptr<Slot>>;

// What an owner may add beyond the four constructor values.
struct ChainHooks {
  // Receives the slot list when the chain is destroyed, on whichever thread let
  // go of it last. The owner posts it to the main thread, where plug-ins and
  // editors must be destroyed. Empty: the list is released where it stands.
  std::function<void(SlotList)> release;
  // Real-time calls for the worker; null means the system's, with QUILLET_RT
  // deciding. A given scheduler is used with real-time treatment on. It must
  // outlive the chain.
  RealtimeScheduler* scheduler = nullptr;
  // Milliseconds for arrival stamps, late dropping and lastBlockMs; empty means
  // bridge::nowMs. Called on connection threads and the worker.
  std::function<double()> clock;
  // Bytes of queued frames a chain keeps. Past it a live chain drops its oldest
  // frames (counted as late), allowing twice its latency's worth of audio on
  // top; a chain that never drops accepts the frame and reports itself full
  // through backPressure.
  size_t maxQueueBytes = 2 << 20;
  // Chains that never drop: called with true by push when the queue reaches
  // maxQueueBytes, then with false once the worker has taken it down to half
  // (or the chain is destroyed while full). Called under the queue lock, so it
  // must only flag and wake (Connection::holdInput). May be empty.
  std::function<void(bool full)> backPressure;
};

// Threads:
// - push: connection threads; takes the queue lock only to append.
// - the worker (run/process): takes the queue lock to dequeue and the slot lock
//   for one block's slot processing; per block it allocates nothing (the output
//   frame is built in the input frame's storage) and waits for no lock but those
//   two.
// - everything else: the main thread. setSlots and refreshLatency ask plug-ins for
//   their latency and size delay lines outside the slot lock, then install under
//   it, so the worker never waits for an allocation or a plug-in call there.
//   setSlots then waits for the worker to stop the plug-ins of the slots it
//   retired (Plugin::stopProcessing), which the worker does between blocks; on
//   shutdown the worker stops every plug-in before it ends. After kQuietTime
//   with no block the worker stops every plug-in's processing too, and starts
//   it again (Plugin::startProcessing) before the next block; the waits for
//   blocks are bounded by that deadline while any plug-in is processing.
// The queue and slot locks are never held together, and the worker is never
// joined while the queue lock is held. Never release the last reference to a
// chain from inside its own output callback.
class Chain {
 public:
  using Output = std::function<void(std::vector<uint8_t>)>;

  // A plug-in's reported latency is clamped to this (about 22 s at 48 kHz): delay
  // lines grow with it, so an absurd report must not allocate without bound.
  static constexpr int32_t kMaxSlotLatency = 1 << 20;
  // The chain's total stays below 2^30, well inside the half of the 32-bit
  // timeline that position arithmetic can tell apart.
  static constexpr int64_t kMaxChainLatency = int64_t{1} << 30;
  // A chain with no block for this long lets its plug-ins stop processing, as
  // a stopped transport would. Some plug-ins smooth an edit only as audio runs
  // while they process, and take it at once while they do not: an edit made
  // once the audio has stopped must reach the plug-in, and its saved state,
  // with no audio. A quarter second is far beyond any gap of a live stream
  // (blocks come every few milliseconds) and short beside a person's reach
  // from the play button to a knob.
  static constexpr std::chrono::milliseconds kQuietTime{250};

  struct Block {
    double arrivalMs = 0.0;
    std::vector<uint8_t> data;
  };

  // Starts the worker; throws std::system_error "thread constructor failed" when
  // no thread can be made.
  Chain(int stream, double sampleRate, Output output, bool dropLate, ChainHooks hooks = {});
  ~Chain();
  Chain(const Chain&) = delete;
  Chain& operator=(const Chain&) = delete;

  // Main thread. Installs a new slot list (latency refreshed for it before it
  // goes live); the old list is released by the caller's thread after unlocking.
  void setSlots(SlotList slots);
  // Main thread. Re-reads every plug-in's latency; returns the chain total.
  // Output alignment follows a change from the next stream reset on.
  int refreshLatency();
  // Any thread. A copy of the slot list.
  SlotList slots() const;
  // Connection threads. Queues one binary message; never blocks for long. The
  // queue is bounded in bytes (ChainHooks::maxQueueBytes).
  void push(std::vector<uint8_t> frame);
  // Any thread. Frames waiting for the worker.
  size_t backlog() const;
  // Main thread. Reads and clears every counter.
  ChainStats takeStats();
  // Main thread (one reader). Drains the level rows of metered slots.
  std::vector<SlotLevels> takeLevels();

  const int32_t stream;
  const double sampleRate;
  // Read-only outside the chain. Total latency of all slots in samples.
  std::atomic<int32_t> latency{0};
  // Read-only outside the chain. Clock at the start of the last accepted block; 0
  // before the first.
  std::atomic<double> lastBlockMs{0.0};

 private:
  struct Prepared;

  void run();
  // Worker: stops the plug-ins of `list` (no slot lock needed: none is live).
  static void stopAll(const SlotList& list);
  void process(std::vector<uint8_t>& frame);
  // Worker: counts a block that threw and leaves its what() for takeStats.
  void blockFailed(const char* what);
  void processSlot(Slot& slot, const FrameHeader& header, const Transport& transport, int32_t& latencySum);
  void resetRun(const FrameHeader& header);
  std::vector<Prepared> prepare(const SlotList& list) const;
  int32_t install(std::vector<Prepared>& prepared);

  const Output output_;
  const bool dropLate_;
  const ChainHooks hooks_;
  const std::function<double()> clock_;
  const float fadeStep_;

  mutable std::mutex slotsMutex_;
  SlotList slotList_;

  mutable std::mutex queueMutex_;
  std::condition_variable wake_;
  std::deque<Block> queue_;
  size_t queueBytes_ = 0;
  bool full_ = false;  // backPressure(true) was the last call
  bool stop_ = false;
  // Slots retired by setSlots, waiting for the worker to stop their plug-ins;
  // null when none wait. Guarded by queueMutex_; `retired_` wakes setSlots.
  const SlotList* retiring_ = nullptr;
  std::condition_variable retired_;

  // Worker state.
  // Some plug-in may be processing: the wait for a block ends at quietAt_.
  bool awake_ = false;
  // The worker stopped every plug-in for quiet; the next block starts them.
  bool asleep_ = false;
  std::chrono::steady_clock::time_point quietAt_{};
  int32_t epoch_ = -1;
  int32_t expectedPosition_ = 0;
  int32_t resetPosition_ = 0;
  int32_t latencyAtReset_ = 0;
  std::vector<float> workL_, workR_;  // the block being processed, planar

  std::atomic<double> cpuMs_{0.0};
  std::atomic<double> audioMs_{0.0};
  std::atomic<int32_t> resets_{0};
  std::atomic<int32_t> late_{0};
  std::atomic<int32_t> dropped_{0};
  // Failure texts from the worker to takeStats; the worker keeps the last one
  // it left, so a repeated failure is left once.
  LineRing<8, 256> errors_;
  char lastError_[256] = {};

  std::thread worker_;  // last: starts once everything above is ready
};

}  // namespace bridge

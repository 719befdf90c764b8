#pragma once
// A chain under test with a recording output callback, a clock the test sets,
// and a gate that can hold the worker inside its first output callback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/chain.h"
#include "support/audio_frames.h"
#include "support/fake_plugin.h"

namespace bridge::test {

// Generous: only a broken chain ever waits this long.
inline constexpr auto kWaitBound = std::chrono::seconds(10);

struct TestSlot {
  std::shared_ptr<Slot> slot;
  std::shared_ptr<FakePlugin> plugin;
};

inline TestSlot makeSlot(const std::string& key, FakePluginOptions options = {}) {
  TestSlot t;
  t.plugin = std::make_shared<FakePlugin>(std::move(options));
  t.slot = std::make_shared<Slot>();
  t.slot->key = key;
  t.slot->pluginId = "CLAP:" + key;
  t.slot->name = key;
  t.slot->plugin = t.plugin;
  return t;
}

class ChainRig {
 public:
  struct Options {
    bool dropLate = true;
    double rate = 48000.0;
    RealtimeScheduler* scheduler = nullptr;
    std::function<void(SlotList)> release;
    size_t maxQueueBytes = 0;  // 0: the chain's own bound
    std::function<void(bool)> backPressure;
  };

  ChainRig() : ChainRig(Options{}) {}
  explicit ChainRig(Options o) {
    ChainHooks hooks;
    hooks.scheduler = o.scheduler;
    hooks.release = std::move(o.release);
    hooks.clock = [this] { return clock.load(); };
    if (o.maxQueueBytes) hooks.maxQueueBytes = o.maxQueueBytes;
    hooks.backPressure = std::move(o.backPressure);
    chain_ = std::make_unique<Chain>(
        1, o.rate, [this](std::vector<uint8_t> frame) { onOutput(std::move(frame)); }, o.dropLate, std::move(hooks));
  }
  ~ChainRig() { destroy(); }

  Chain& chain() { return *chain_; }
  void destroy() { chain_.reset(); }

  void setSlots(const std::vector<TestSlot>& slots) {
    SlotList list;
    for (const TestSlot& t : slots) list.push_back(t.slot);
    chain_->setSlots(std::move(list));
  }

  void push(std::vector<uint8_t> frame) { chain_->push(std::move(frame)); }

  // Waits until `n` output frames have arrived in all.
  bool waitOutputs(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, kWaitBound, [&] { return outputs_.size() >= n; });
  }

  std::vector<std::vector<uint8_t>> outputs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return outputs_;
  }

  std::vector<OutputFrame> decoded() {
    std::vector<OutputFrame> out;
    for (const auto& bytes : outputs()) out.push_back(readOutput(bytes));
    return out;
  }

  // While closed, the next output callback records its frame and then waits for
  // openGate, holding the worker.
  void closeGate() {
    std::lock_guard<std::mutex> lock(mutex_);
    gateClosed_ = true;
  }
  bool waitHeld() {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, kWaitBound, [&] { return held_; });
  }
  void openGate() {
    std::lock_guard<std::mutex> lock(mutex_);
    gateClosed_ = false;
    cv_.notify_all();
  }

  std::atomic<double> clock{0.0};

 private:
  void onOutput(std::vector<uint8_t> frame) {
    std::unique_lock<std::mutex> lock(mutex_);
    outputs_.push_back(std::move(frame));
    cv_.notify_all();
    if (gateClosed_ && !held_) {
      held_ = true;
      cv_.notify_all();
      cv_.wait(lock, [&] { return !gateClosed_; });
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::vector<uint8_t>> outputs_;
  bool gateClosed_ = false;
  bool held_ = false;
  std::unique_ptr<Chain> chain_;  // last: its worker calls onOutput
};

// The output frames of one run laid end to end; checks they are contiguous.
struct Timeline {
  int32_t start = 0;
  std::vector<float> left, right;
};

inline Timeline joinOutputs(const std::vector<OutputFrame>& frames) {
  Timeline t;
  if (frames.empty()) return t;
  t.start = frames.front().position;
  int32_t next = t.start;
  for (const OutputFrame& f : frames) {
    EXPECT_TRUE(f.valid);
    EXPECT_EQ(f.position, next) << "output frames must be contiguous";
    next = wrapAdd(next, f.frames);
    t.left.insert(t.left.end(), f.left.begin(), f.left.end());
    t.right.insert(t.right.end(), f.right.begin(), f.right.end());
  }
  return t;
}

// The header of a frame at `position` in stream run `epoch`.
inline FrameSpec at(int32_t position, int32_t epoch = 0) {
  FrameSpec s;
  s.position = position;
  s.epoch = epoch;
  return s;
}

}  // namespace bridge::test

// The audio path's budget: what one block costs through a chain, what the worker
// allocates, and how long a paced block takes from push to output.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/chain.h"
#include "support/audio_frames.h"
#include "support/counting_new.h"
#include "support/fake_plugin.h"
#include "util/clock.h"

namespace {

using namespace bridge;

constexpr double kRate = 48000.0;

enum Metering { kOff = 0, kPeaks = 1, kSpectrum = 2 };

// Counts output frames; records the worker's allocation count and the time of
// each one without allocating.
struct Sink {
  std::mutex mutex;
  std::condition_variable cv;
  uint64_t outputs = 0;
  uint64_t workerAllocations = 0;
  std::vector<double> outAt;  // sized before use; indexed by output number

  void onOutput(std::vector<uint8_t>) {
    const double now = nowMs();
    const uint64_t allocations = test::threadAllocations();
    std::lock_guard<std::mutex> lock(mutex);
    if (outputs < outAt.size()) outAt[outputs] = now;
    ++outputs;
    workerAllocations = allocations;
    cv.notify_all();
  }
  void waitFor(uint64_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return outputs >= n; });
  }
};

struct Rig {
  Sink sink;
  std::vector<std::shared_ptr<test::FakePlugin>> plugins;
  std::unique_ptr<Chain> chain;

  Rig(int slots, Metering metering) {
    chain = std::make_unique<Chain>(
        1, kRate, [this](std::vector<uint8_t> f) { sink.onOutput(std::move(f)); }, false);
    SlotList list;
    for (int i = 0; i < slots; ++i) {
      test::FakePluginOptions o;
      o.gain = 0.99f;
      plugins.push_back(std::make_shared<test::FakePlugin>(o));
      auto slot = std::make_shared<Slot>();
      slot->key = "s" + std::to_string(i);
      slot->plugin = plugins.back();
      if (metering != kOff) {
        slot->meter = true;
        slot->stereo = true;
      }
      if (metering == kSpectrum) {
        slot->spectrumOwner = std::make_unique<Spectrum>(kRate);
        slot->spectrumPtr = slot->spectrumOwner.get();
        slot->spectrum = true;
      }
      list.push_back(slot);
    }
    chain->setSlots(list);
  }
};

std::vector<uint8_t> frameAt(int32_t position, int frames) {
  test::FrameSpec s;
  s.position = position;
  std::vector<float> left(static_cast<size_t>(frames)), right(static_cast<size_t>(frames));
  for (int i = 0; i < frames; ++i) {
    left[i] = 0.5f * static_cast<float>((i * 7919) % 1000) / 1000.0f;
    right[i] = -left[i];
  }
  return test::makeFrame(s, left, right);
}

// Cost of one block through a chain: a batch is queued at once and drained by
// the worker back to back, so thread wake-ups are spread over the batch.
void BM_ChainBlock(benchmark::State& state) {
  const int frames = static_cast<int>(state.range(0));
  const int slots = static_cast<int>(state.range(1));
  const auto metering = static_cast<Metering>(state.range(2));
  constexpr int kBatch = 32;
  Rig rig(slots, metering);
  const std::vector<uint8_t> templ = frameAt(0, frames);
  int32_t position = 0;
  uint64_t done = 0;
  double loadSum = 0.0;
  int loads = 0;
  std::vector<std::vector<uint8_t>> batch(kBatch);
  for (auto _ : state) {
    state.PauseTiming();
    for (auto& f : batch) {
      f = templ;
      test::putLe<int32_t>(f, 8, position);
      position += frames;
    }
    rig.chain->takeLevels();
    state.ResumeTiming();
    for (auto& f : batch) rig.chain->push(std::move(f));
    done += kBatch;
    rig.sink.waitFor(done);
    state.PauseTiming();
    ChainStats stats = rig.chain->takeStats();
    loadSum += stats.load;
    ++loads;
    state.ResumeTiming();
  }
  const double blocks = static_cast<double>(done);
  state.counters["block"] = benchmark::Counter(blocks, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["xRealtime"] = benchmark::Counter(blocks * frames / kRate, benchmark::Counter::kIsRate);
  state.counters["cpu/audio"] = loads ? loadSum / loads : 0.0;
}

void chainArgs(benchmark::internal::Benchmark* b) {
  for (int frames : {32, 128, 512, 4096})
    for (int slots : {0, 1, 8})
      for (int metering : {kOff, kPeaks, kSpectrum}) {
        if (slots == 0 && metering != kOff) continue;  // nothing to meter
        b->Args({frames, slots, metering});
      }
  b->ArgNames({"frames", "slots", "meter"});
}
BENCHMARK(BM_ChainBlock)->Apply(chainArgs)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Heap allocations the worker makes per block, past the first blocks (which
// grow nothing either, but start the thread).
void BM_WorkerAllocations(benchmark::State& state) {
  const int frames = static_cast<int>(state.range(0));
  Rig rig(8, kSpectrum);
  int32_t position = 0;
  for (int i = 0; i < 16; ++i, position += frames) rig.chain->push(frameAt(position, frames));
  rig.sink.waitFor(16);
  uint64_t startAllocations = 0;
  {
    std::lock_guard<std::mutex> lock(rig.sink.mutex);
    startAllocations = rig.sink.workerAllocations;
  }
  uint64_t done = 16;
  for (auto _ : state) {
    rig.chain->push(frameAt(position, frames));
    position += frames;
    rig.sink.waitFor(++done);
  }
  std::lock_guard<std::mutex> lock(rig.sink.mutex);
  state.counters["allocs/block"] =
      static_cast<double>(rig.sink.workerAllocations - startAllocations) / static_cast<double>(done - 16);
}
BENCHMARK(BM_WorkerAllocations)->Arg(128)->Arg(512)->UseRealTime();

// Push-to-output time of 128-frame blocks pushed at their real-time pace.
void BM_PacedLatency(benchmark::State& state) {
  constexpr int kFrames = 128, kBlocks = 1500;
  const int slots = static_cast<int>(state.range(0));
  for (auto _ : state) {
    Rig rig(slots, kPeaks);
    rig.sink.outAt.assign(kBlocks, 0.0);
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < kBlocks; ++i) frames.push_back(frameAt(i * kFrames, kFrames));
    std::vector<double> pushedAt(kBlocks);
    const auto period = std::chrono::nanoseconds(static_cast<int64_t>(kFrames * 1e9 / kRate));
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBlocks; ++i) {
      std::this_thread::sleep_until(start + i * period);
      pushedAt[i] = nowMs();
      rig.chain->push(std::move(frames[i]));
    }
    rig.sink.waitFor(kBlocks);
    std::vector<double> us(kBlocks);
    {
      std::lock_guard<std::mutex> lock(rig.sink.mutex);
      for (int i = 0; i < kBlocks; ++i) us[i] = (rig.sink.outAt[i] - pushedAt[i]) * 1000.0;
    }
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[kBlocks / 2];
    state.counters["p99_us"] = us[kBlocks * 99 / 100];
    state.counters["max_us"] = us.back();
  }
}
BENCHMARK(BM_PacedLatency)->Arg(1)->Arg(8)->ArgName("slots")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

#include "engine/chain.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "engine/realtime_thread.h"
#include "util/clock.h"

namespace bridge {

namespace {

// The dry copies hold a whole block of the largest size.
constexpr size_t kDrySamples = static_cast<size_t>(kMaxFrameSamples);
// Queue bytes a live chain may hold per sample of latency: twice a stereo
// float32 sample.
constexpr size_t kLatencyAllowance = 2 * 2 * sizeof(float);

int32_t clampLatency(int reported) {
  if (reported < 0) return 0;
  return std::min<int32_t>(reported, Chain::kMaxSlotLatency);
}

// Reads `in` through the slot's delay line into `dry`: dry[i] is the input of
// `latency` samples before.
void delayInto(const float* in, float* dry, float* line, int64_t index, int32_t latency, int frames) {
  const int64_t size = int64_t{latency} + 1;
  int64_t w = index % size;
  for (int i = 0; i < frames; ++i) {
    int64_t r = w + 1 == size ? 0 : w + 1;
    dry[i] = line[r];
    line[w] = in[i];
    w = r;
  }
}

float peakOf(const float* a, const float* b, int frames) {
  float peak = 0.0f;
  for (int i = 0; i < frames; ++i) peak = std::max(peak, std::max(std::fabs(a[i]), std::fabs(b[i])));
  return peak;
}

}  // namespace

// What setSlots/refreshLatency work out for one slot outside the lock.
struct Chain::Prepared {
  Slot* slot = nullptr;
  int32_t latency = 0;
  bool duplicate = false;  // the same slot earlier in the list
  bool newDelay = false;
  std::vector<float> delayL, delayR;
  bool newDry = false;
  std::vector<float> dryL, dryR;
};

Chain::Chain(int streamNumber, double rate, Output output, bool dropLate, ChainHooks hooks)
    : stream(streamNumber),
      sampleRate(rate),
      output_(std::move(output)),
      dropLate_(dropLate),
      hooks_(std::move(hooks)),
      clock_(hooks_.clock ? hooks_.clock : std::function<double()>(nowMs)),
      fadeStep_(static_cast<float>(1.0 / (rate * 0.01))),
      workL_(kDrySamples, 0.0f),
      workR_(kDrySamples, 0.0f) {
  try {
    worker_ = std::thread(&Chain::run, this);
  } catch (const std::system_error& e) {
    throw std::system_error(e.code(), "thread constructor failed");
  }
}

Chain::~Chain() {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    stop_ = true;
  }
  wake_.notify_all();
  // Joined with no lock held: the worker needs the queue lock to see `stop_`.
  if (worker_.joinable()) worker_.join();
  if (full_ && hooks_.backPressure) hooks_.backPressure(false);
  SlotList slots;
  {
    std::lock_guard<std::mutex> lock(slotsMutex_);
    slots.swap(slotList_);
  }
  if (!slots.empty() && hooks_.release) hooks_.release(std::move(slots));
}

std::vector<Chain::Prepared> Chain::prepare(const SlotList& list) const {
  // Runs on the main thread outside the slot lock. It reads only what install
  // alone writes (latency, buffer sizes), which the worker never changes.
  std::vector<Prepared> out(list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    Prepared& p = out[i];
    p.slot = list[i].get();
    if (p.slot == nullptr) continue;
    for (size_t j = 0; j < i; ++j)
      if (out[j].slot == p.slot) {
        p.duplicate = true;
        p.latency = out[j].latency;
      }
    if (p.duplicate) continue;
    const Slot& s = *p.slot;
    p.latency = s.plugin ? clampLatency(s.plugin->latencySamples()) : 0;
    const size_t lineSize = static_cast<size_t>(p.latency) + 1;
    if (p.latency != s.latency || s.delayL.size() != lineSize || s.delayR.size() != lineSize) {
      p.newDelay = true;
      p.delayL.assign(lineSize, 0.0f);
      p.delayR.assign(lineSize, 0.0f);
    }
    if (s.dryL.size() < kDrySamples || s.dryR.size() < kDrySamples) {
      p.newDry = true;
      p.dryL.assign(kDrySamples, 0.0f);
      p.dryR.assign(kDrySamples, 0.0f);
    }
  }
  return out;
}

int32_t Chain::install(std::vector<Prepared>& prepared) {
  // Under slotsMutex_: swaps only, so the old buffers are freed by the caller
  // after unlocking.
  int64_t total = 0;
  for (Prepared& p : prepared) {
    if (p.slot == nullptr) continue;
    total += p.latency;
    if (p.duplicate) continue;
    Slot& s = *p.slot;
    if (p.newDelay) {
      s.latency = p.latency;
      s.delayL.swap(p.delayL);
      s.delayR.swap(p.delayR);
      s.delayIndex = 0;
    }
    if (p.newDry) {
      s.dryL.swap(p.dryL);
      s.dryR.swap(p.dryR);
    }
  }
  const int32_t sum = static_cast<int32_t>(std::min(total, kMaxChainLatency));
  latency.store(sum);
  return sum;
}

void Chain::setSlots(SlotList slots) {
  std::vector<Prepared> prepared = prepare(slots);
  SlotList retired;
  for (const std::shared_ptr<Slot>& s : slotList_)
    if (s && s->plugin && std::find(slots.begin(), slots.end(), s) == slots.end()) retired.push_back(s);
  SlotList old;
  {
    std::lock_guard<std::mutex> lock(slotsMutex_);
    install(prepared);
    old.swap(slotList_);
    slotList_.swap(slots);
  }
  if (!retired.empty()) {
    // Plug-ins end processing on the thread that processed them; the worker
    // takes this between two blocks.
    std::unique_lock<std::mutex> lock(queueMutex_);
    retiring_ = &retired;
    wake_.notify_all();
    retired_.wait(lock, [this] { return retiring_ == nullptr; });
  }
  // `old` and the replaced buffers go here, outside the lock, on the caller's thread.
}

void Chain::stopAll(const SlotList& list) {
  for (const std::shared_ptr<Slot>& slot : list)
    if (slot && slot->plugin) slot->plugin->stopProcessing();
}

int Chain::refreshLatency() {
  for (;;) {
    SlotList current = slots();
    std::vector<Prepared> prepared = prepare(current);
    std::lock_guard<std::mutex> lock(slotsMutex_);
    // A list swapped in meanwhile would get stale figures; work it out again.
    if (slotList_ != current) continue;
    return install(prepared);
  }
}

SlotList Chain::slots() const {
  std::lock_guard<std::mutex> lock(slotsMutex_);
  return slotList_;
}

void Chain::push(std::vector<uint8_t> frame) {
  const double now = clock_();
  std::deque<Block> dropped;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queueBytes_ += frame.size();
    queue_.push_back(Block{now, std::move(frame)});
    if (dropLate_) {
      // A stalled or slow worker: the oldest frames are the latest already. A
      // chain with latency legitimately holds that much more audio in flight.
      const size_t bound = hooks_.maxQueueBytes + kLatencyAllowance * static_cast<size_t>(latency.load());
      while (queueBytes_ > bound && queue_.size() > 1) {
        queueBytes_ -= queue_.front().data.size();
        dropped.push_back(std::move(queue_.front()));
        queue_.pop_front();
      }
      if (!dropped.empty()) late_.fetch_add(static_cast<int32_t>(dropped.size()));
    } else if (!full_ && queueBytes_ >= hooks_.maxQueueBytes && hooks_.backPressure) {
      full_ = true;
      hooks_.backPressure(true);
    }
  }
  wake_.notify_one();
  // `dropped` is freed here, outside the lock.
}

size_t Chain::backlog() const {
  std::lock_guard<std::mutex> lock(queueMutex_);
  return queue_.size();
}

ChainStats Chain::takeStats() {
  ChainStats stats;
  const double cpu = cpuMs_.exchange(0.0);
  const double audio = audioMs_.exchange(0.0);
  stats.load = audio > 0.0 ? cpu / audio : 0.0;
  stats.resets = resets_.exchange(0);
  stats.late = late_.exchange(0);
  stats.dropped = dropped_.exchange(0);
  errors_.drain([&](int, const char* text) { stats.errors.emplace_back(text); });
  for (const std::shared_ptr<Slot>& slot : slots()) {
    const double ms = slot->cpuMs.exchange(0.0);
    stats.slots.push_back({slot->key, audio > 0.0 ? ms / audio : 0.0});
  }
  return stats;
}

std::vector<SlotLevels> Chain::takeLevels() {
  std::vector<SlotLevels> out;
  for (const std::shared_ptr<Slot>& slot : slots()) {
    // Acquire: every row below `written` is complete.
    const uint32_t written = slot->written.load(std::memory_order_acquire);
    const uint32_t read = slot->read.load(std::memory_order_relaxed);
    if (written == read) continue;
    if (slot->meter.load(std::memory_order_relaxed)) {
      SlotLevels levels{slot, {}};
      levels.rows.reserve(written - read);
      for (uint32_t i = read; i != written; ++i) levels.rows.push_back(slot->rows[i % kLevelRingRows]);
      out.push_back(std::move(levels));
    }
    // Release: the rows are copied before the worker may overwrite them.
    slot->read.store(written, std::memory_order_release);
  }
  return out;
}

void Chain::run() {
  // A chain that never drops renders as fast as it is fed: at real-time
  // priority it could starve the connection threads and the shell.
  const bool realtime = dropLate_ && (hooks_.scheduler || RealtimeThread::enabled());
  RealtimeThread rt(sampleRate, hooks_.scheduler ? *hooks_.scheduler : systemRealtimeScheduler(), realtime);
  for (;;) {
    Block block;
    {
      std::unique_lock<std::mutex> lock(queueMutex_);
      const auto ready = [this] { return stop_ || retiring_ != nullptr || !queue_.empty(); };
      if (!awake_) {
        wake_.wait(lock, ready);
      } else if (!wake_.wait_until(lock, quietAt_, ready)) {
        // Quiet: the plug-ins stop processing here, on their audio thread.
        lock.unlock();
        {
          std::lock_guard<std::mutex> slotsLock(slotsMutex_);
          stopAll(slotList_);
        }
        awake_ = false;
        asleep_ = true;
        continue;
      }
      if (retiring_ != nullptr) {
        const SlotList* retiring = retiring_;
        lock.unlock();
        stopAll(*retiring);
        lock.lock();
        retiring_ = nullptr;
        retired_.notify_all();
        continue;
      }
      if (stop_) {
        lock.unlock();
        // The owner destroys the plug-ins on the main thread once this returns.
        std::lock_guard<std::mutex> slotsLock(slotsMutex_);
        stopAll(slotList_);
        return;
      }
      if (dropLate_ && queue_.size() >= 2) {
        const double limit = latencyAtReset_ * 1000.0 / sampleRate + 1000.0;
        const double now = clock_();
        int32_t dropped = 0;
        while (queue_.size() > 1 && now - queue_.front().arrivalMs > limit) {
          queueBytes_ -= queue_.front().data.size();
          queue_.pop_front();
          ++dropped;
        }
        if (dropped != 0) late_.fetch_add(dropped);
      }
      block = std::move(queue_.front());
      queue_.pop_front();
      queueBytes_ -= block.data.size();
      if (full_ && queueBytes_ <= hooks_.maxQueueBytes / 2) {
        full_ = false;
        hooks_.backPressure(false);
      }
    }
    rt.begin(frameBlockSize(block.data.data(), block.data.size()));
    // A plug-in that throws, or memory running out on the way out (the output
    // callback queues a copy), loses this block only; the chain goes on. The
    // next block then breaks the position sequence and starts a new run, so
    // every plug-in is reset after the failure.
    try {
      process(block.data);
    } catch (const std::exception& e) {
      blockFailed(e.what());
    } catch (...) {
      blockFailed("an exception that is not a std::exception");
    }
    rt.end();
    quietAt_ = std::chrono::steady_clock::now() + kQuietTime;
  }
}

void Chain::blockFailed(const char* what) {
  dropped_.fetch_add(1);
  if (what == nullptr || *what == '\0') what = "an exception without a description";
  if (std::strncmp(what, lastError_, sizeof lastError_ - 1) == 0) return;
  // A full ring keeps the old text, so this one is offered again next time.
  if (errors_.push(0, what)) std::snprintf(lastError_, sizeof lastError_, "%s", what);
}

void Chain::resetRun(const FrameHeader& header) {
  epoch_ = header.epoch;
  resetPosition_ = expectedPosition_ = header.position;
  latencyAtReset_ = latency.load();
  resets_.fetch_add(1);
  for (const std::shared_ptr<Slot>& slot : slotList_) {
    if (slot->plugin) slot->plugin->reset();
    std::fill(slot->delayL.begin(), slot->delayL.end(), 0.0f);
    std::fill(slot->delayR.begin(), slot->delayR.end(), 0.0f);
    slot->delayIndex = 0;
    slot->mix = -1.0f;
    if (Spectrum* spectrum = slot->spectrumPtr.load(std::memory_order_acquire)) spectrum->reset();
  }
}

void Chain::process(std::vector<uint8_t>& frame) {
  FrameHeader header;
  if (!parseInputFrame(frame.data(), frame.size(), header)) return;
  const double t0 = threadCpuMs();
  // Relaxed: a lone timestamp that nothing else is published with.
  lastBlockMs.store(clock_(), std::memory_order_relaxed);
  const Transport transport = transportFor(header, sampleRate);
  // Plug-ins work on aligned planar buffers of ours, not on the message bytes.
  readFrameSamples(frame.data(), header, workL_.data(), workR_.data());
  {
    std::lock_guard<std::mutex> lock(slotsMutex_);
    if (asleep_) {
      // Started again before anything else of the block reaches them; slots
      // installed while the chain was quiet start here too.
      for (const std::shared_ptr<Slot>& slot : slotList_)
        if (slot->plugin) slot->plugin->startProcessing();
      asleep_ = false;
    }
    awake_ = !slotList_.empty();
    if (header.epoch != epoch_ || header.position != expectedPosition_) resetRun(header);
    int32_t latencySum = 0;
    for (const std::shared_ptr<Slot>& slot : slotList_) processSlot(*slot, header, transport, latencySum);
  }
  expectedPosition_ = wrapAdd(expectedPosition_, header.frames);
  cpuMs_.fetch_add(threadCpuMs() - t0);
  audioMs_.fetch_add(header.frames * 1000.0 / sampleRate);

  const int32_t swallowed = swallowedSamples(resetPosition_, latencyAtReset_, header.position);
  const size_t bytes = writeOutputFrame(frame.data(), header, latencyAtReset_, swallowed, workL_.data(), workR_.data());
  if (bytes == 0 || !output_) return;
  // Shrinking keeps the storage: the output frame costs no allocation.
  frame.resize(bytes);
  output_(std::move(frame));
}

void Chain::processSlot(Slot& slot, const FrameHeader& header, const Transport& transport, int32_t& latencySum) {
  const int frames = header.frames;
  // setSlots sizes every slot before it goes live; the worker never resizes
  // anything, so a slot without buffers (which cannot be installed) passes
  // the block through untouched.
  if (slot.dryL.size() < static_cast<size_t>(frames) || slot.dryR.size() < static_cast<size_t>(frames)) return;
  float* left = workL_.data();
  float* right = workR_.data();
  const bool bypass = slot.bypass.load(std::memory_order_relaxed);
  const bool meter = slot.meter.load(std::memory_order_relaxed);
  const float target = bypass ? 0.0f : 1.0f;
  if (slot.mix < 0.0f) slot.mix = target;

  float* dryL = slot.dryL.data();
  float* dryR = slot.dryR.data();
  const size_t lineSize = static_cast<size_t>(slot.latency) + 1;
  if (slot.latency == 0 || slot.delayL.size() != lineSize || slot.delayR.size() != lineSize) {
    std::memcpy(dryL, left, sizeof(float) * frames);
    std::memcpy(dryR, right, sizeof(float) * frames);
  } else {
    delayInto(left, dryL, slot.delayL.data(), slot.delayIndex, slot.latency, frames);
    delayInto(right, dryR, slot.delayR.data(), slot.delayIndex, slot.latency, frames);
    slot.delayIndex = (slot.delayIndex + frames) % static_cast<int64_t>(lineSize);
  }
  latencySum = wrapAdd(latencySum, slot.latency);

  float reduction = NAN;
  if (slot.plugin && (slot.mix != 0.0f || !bypass)) {
    const double c0 = threadCpuMs();
    slot.plugin->process(left, right, frames, transport);
    slot.cpuMs.fetch_add(threadCpuMs() - c0);
    float value = 0.0f;
    if (meter && slot.plugin->gainReduction(value)) reduction = value;
    if (slot.mix != 1.0f || target != 1.0f) {
      float mix = slot.mix;
      for (int i = 0; i < frames; ++i) {
        if (target > mix)
          mix = mix + fadeStep_ < target ? mix + fadeStep_ : target;
        else if (target < mix)
          mix = mix - fadeStep_ > target ? mix - fadeStep_ : target;
        left[i] = dryL[i] + (left[i] - dryL[i]) * mix;
        right[i] = dryR[i] + (right[i] - dryR[i]) * mix;
      }
      slot.mix = mix;
    }
  } else {
    std::memcpy(left, dryL, sizeof(float) * frames);
    std::memcpy(right, dryR, sizeof(float) * frames);
  }

  if (!meter) return;
  LevelRow row;
  row.epoch = header.epoch;
  row.position = wrapSub(header.position, latencySum);
  row.frames = frames;
  row.peakIn = peakOf(dryL, dryR, frames);
  row.peakOut = peakOf(left, right, frames);
  row.reduction = reduction;
  if (slot.stereo.load(std::memory_order_relaxed)) {
    double x = 0.0, el = 0.0, er = 0.0;
    for (int i = 0; i < frames; ++i) {
      x += left[i] * right[i];
      el += left[i] * left[i];
      er += right[i] * right[i];
    }
    if (el > 1e-9 && er > 1e-9) row.correlation = static_cast<float>(x / std::sqrt(el * er));
  }
  if (slot.spectrum.load(std::memory_order_relaxed)) {
    if (Spectrum* spectrum = slot.spectrumPtr.load(std::memory_order_acquire)) {
      spectrum->feed(dryL, dryR, left, right, frames, row.bandsIn.data(), row.bandsOut.data());
      row.hasSpectrum = true;
    }
  }
  const uint32_t written = slot.written.load(std::memory_order_relaxed);
  // Acquire: takeLevels has finished copying every row below `read`.
  const uint32_t read = slot.read.load(std::memory_order_acquire);
  if (written - read < kLevelRingRows) {
    slot.rows[written % kLevelRingRows] = row;
    slot.written.store(written + 1, std::memory_order_release);
  }
}

}  // namespace bridge

#include "support/fake_plugin.h"

#include <cmath>
#include <cstdio>

namespace bridge::test {

FakePlugin::FakePlugin(FakePluginOptions options)
    : gain(options.gain),
      latency(options.latency),
      liveCounter_(options.liveCounter),
      meter_(options.meter),
      editor_(options.editor),
      tail_(options.tailSeconds),
      paramsFromAudio_(options.paramsFromAudio),
      onProcess_(std::move(options.onProcess)),
      params_(std::move(options.params)),
      state_{'F', 'K'},
      delayL_(static_cast<size_t>(options.maxLatency) + 1, 0.0f),
      delayR_(static_cast<size_t>(options.maxLatency) + 1, 0.0f) {
  if (liveCounter_) ++*liveCounter_;
  if (params_.empty()) {
    ParamInfo p;
    p.id = "0";
    p.name = "Gain";
    p.unit = "dB";
    p.value = 0.5f;
    p.text = "0.0";
    p.def = 0.5f;
    params_.push_back(p);
  }
  for (size_t i = 0; i < params_.size(); ++i) params_[i].index = static_cast<int32_t>(i);
}

FakePlugin::~FakePlugin() {
  if (editorOpen.exchange(false)) editorClosed();
  if (liveCounter_) --*liveCounter_;
}

void FakePlugin::reset() {
  ++resetCalls;
  std::fill(delayL_.begin(), delayL_.end(), 0.0f);
  std::fill(delayR_.begin(), delayR_.end(), 0.0f);
  writePos_ = 0;
}

void FakePlugin::stopProcessing() {
  lastStopStep.store(++step_);
  stopThread.store(std::this_thread::get_id());
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    ++stopCalls;
  }
  stopped_.notify_all();
}

void FakePlugin::startProcessing() {
  lastStartStep.store(++step_);
  ++startCalls;
}

bool FakePlugin::waitStopCalls(int calls, std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> lock(stopMutex_);
  return stopped_.wait_for(lock, bound, [&] { return stopCalls.load() >= calls; });
}

void FakePlugin::process(float* left, float* right, int frames, const Transport& transport) {
  lastProcessStep.store(++step_);
  processThread.store(std::this_thread::get_id());
  if (onProcess_) onProcess_();
  const float g = gain.load(std::memory_order_relaxed);
  const size_t cap = delayL_.size();
  const size_t delay = std::min(static_cast<size_t>(std::max(latency.load(std::memory_order_relaxed), 0)), cap - 1);
  for (int i = 0; i < frames; ++i) {
    delayL_[writePos_] = left[i] * g;
    delayR_[writePos_] = right[i] * g;
    size_t readPos = (writePos_ + cap - delay) % cap;
    left[i] = delayL_[readPos];
    right[i] = delayR_[readPos];
    writePos_ = (writePos_ + 1) % cap;
  }
  lastTimelineSample.store(transport.timelineSample, std::memory_order_relaxed);
  framesProcessed.fetch_add(frames, std::memory_order_relaxed);
  processCalls.fetch_add(1, std::memory_order_release);
  if (paramsFromAudio_) paramChanged(0);
}

std::vector<ParamInfo> FakePlugin::params() {
  std::lock_guard<std::mutex> lock(mutex_);
  return params_;
}

void FakePlugin::setParam(int index, float normalized) {
  mainCalls.push_back("setParam " + std::to_string(index));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index < 0 || static_cast<size_t>(index) >= params_.size()) return;
    params_[index].value = normalized;
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(normalized));
    params_[index].text = text;
  }
  paramChanged(index);
}

bool FakePlugin::getParam(int index, float& normalized, std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index < 0 || static_cast<size_t>(index) >= params_.size()) return false;
  normalized = params_[index].value;
  text = params_[index].text;
  return true;
}

std::vector<uint8_t> FakePlugin::getState() {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

bool FakePlugin::setState(const std::vector<uint8_t>& blob) {
  mainCalls.push_back("setState");
  if (blob.size() < 2 || blob[0] != 'F' || blob[1] != 'K') return false;
  std::lock_guard<std::mutex> lock(mutex_);
  state_ = blob;
  return true;
}

bool FakePlugin::gainReduction(float& value) {
  if (!meter_) return false;
  value = meterValue.load(std::memory_order_relaxed);
  return true;
}

float FakePlugin::toDb(float value) { return meter_ ? value : NAN; }

void FakePlugin::openEditor(const std::string& title) {
  if (!editor_) return;
  lastEditorTitle = title;
  editorOpen = true;
}

void FakePlugin::closeEditor() { editorOpen = false; }

}  // namespace bridge::test

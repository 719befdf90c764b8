#pragma once
// A Plugin with a gain, a real delay line for its latency, an optional
// gain-reduction meter, a parameter table, a state blob and an editor flag. Tests
// change it and fire its observers from any thread.
//
// Threads: as Plugin. The knobs (gain, latency, meterValue) are atomics, so a test
// may turn them while the worker runs; params and state are guarded for the test
// thread against the main thread.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "hosting/plugin.h"

namespace bridge::test {

struct FakePluginOptions {
  float gain = 1.0f;
  int latency = 0;
  int maxLatency = 4096;  // delay line capacity
  bool meter = false;
  bool editor = false;
  double tailSeconds = 0.0;
  std::vector<ParamInfo> params;  // empty: one parameter "Gain"
  // Reports parameter 0 changed from inside every process call, as plug-ins
  // with automation or their own editors do on the audio thread.
  bool paramsFromAudio = false;
  // Runs first thing in every process call, on the audio thread. It may throw,
  // as a misbehaving plug-in does: the block is then left as it came.
  std::function<void()> onProcess;
  // When set, counts the live plug-ins made with these options.
  std::shared_ptr<std::atomic<int>> liveCounter;
};

class FakePlugin : public Plugin {
 public:
  explicit FakePlugin(FakePluginOptions options = {});
  ~FakePlugin() override;

  // Plugin
  int latencySamples() override { return latency.load(); }
  double tailSeconds() override { return tail_; }
  void reset() override;
  void stopProcessing() override;
  void startProcessing() override;
  void process(float* left, float* right, int frames, const Transport& transport) override;
  std::vector<ParamInfo> params() override;
  void setParam(int index, float normalized) override;
  bool getParam(int index, float& normalized, std::string& text) override;
  std::vector<uint8_t> getState() override;
  // Takes blobs that begin with "FK"; refuses anything else.
  bool setState(const std::vector<uint8_t>& blob) override;
  bool gainReduction(float& value) override;
  float toDb(float value) override;
  bool hasEditor() override { return editor_; }
  void openEditor(const std::string& title) override;
  void closeEditor() override;

  // Knobs and records.
  std::atomic<float> gain;
  std::atomic<int> latency;
  std::atomic<float> meterValue{0.0f};
  std::atomic<int> processCalls{0};
  std::atomic<int> resetCalls{0};
  std::atomic<int> framesProcessed{0};
  std::atomic<double> lastTimelineSample{-1.0};
  std::atomic<bool> editorOpen{false};
  // The audio side's lifecycle: calls, the thread of the last stop and of the
  // last process, and the order of the last stop, start and process (steps of
  // one counter, 0 before the first).
  std::atomic<int> stopCalls{0};
  std::atomic<int> startCalls{0};
  std::atomic<std::thread::id> stopThread{};
  std::atomic<std::thread::id> processThread{};
  std::atomic<int> lastStopStep{0}, lastStartStep{0}, lastProcessStep{0};
  // Waits until stopProcessing has run `calls` times in all; false past a bound
  // that only a broken chain reaches.
  bool waitStopCalls(int calls, std::chrono::milliseconds bound = std::chrono::seconds(10));
  std::string lastEditorTitle;  // main thread
  // Main thread: "setState" and "setParam <index>" calls, in order.
  std::vector<std::string> mainCalls;

 private:
  const std::shared_ptr<std::atomic<int>> liveCounter_;
  const bool meter_;
  const bool editor_;
  const double tail_;
  const bool paramsFromAudio_;
  std::atomic<int> step_{0};
  std::mutex stopMutex_;
  std::condition_variable stopped_;
  const std::function<void()> onProcess_;
  std::mutex mutex_;
  std::vector<ParamInfo> params_;
  std::vector<uint8_t> state_;
  // Delay line: capacity maxLatency + 1 per channel, preallocated.
  std::vector<float> delayL_, delayR_;
  size_t writePos_ = 0;
};

}  // namespace bridge::test

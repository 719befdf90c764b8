#pragma once
// The contract every hosted effect keeps, whatever its format.
#include <cstdint>
#include <string>
#include <vector>

#include "hosting/observer.h"

namespace bridge {

// One parameter as listed to the browser.
struct ParamInfo {
  int32_t index = 0;    // position in params(); what setParam/getParam/paramChanged use
  std::string id;       // the plug-in's own parameter id, in decimal
  std::string name;     // UTF-8
  std::string unit;     // UTF-8, may be empty
  float value = 0.0f;   // normalised 0..1
  std::string text;     // the plug-in's display text of `value`
  int32_t steps = 0;    // distinct values; 0 for a continuous parameter
  float def = -1.0f;    // normalised default; -1 when unknown
};

// The timing of one audio block, filled from the frame header.
struct Transport {
  double timelineSample = 0.0;
  double tempo = 120.0;
  int32_t timeSigNumerator = 4;
  int32_t timeSigDenominator = 4;
  bool playing = false;
  bool looping = false;
  double sampleRate = 48000.0;
};

// One loaded effect instance.
//
// Threads: process, reset, stopProcessing, startProcessing and gainReduction
// run on the chain's worker thread and
// never block on a lock that the main thread holds. Everything else runs on the
// main thread. The observers are set by the owner on the main thread and may be
// called by the implementation from any thread (paramChanged, latencyChanged) or
// from the main thread (editorClosed).
class Plugin {
 public:
  virtual ~Plugin() = default;

  // Index into params(), or -1 when the state as a whole changed.
  Observer<int> paramChanged;
  // The latency may have changed; ask latencySamples() again.
  Observer<> latencyChanged;
  // The editor window went away.
  Observer<> editorClosed;

  virtual int latencySamples() = 0;
  virtual double tailSeconds() = 0;
  virtual void reset() = 0;
  // Ends processing where the format wants it ended: on the audio thread. The
  // chain's worker calls it when the plug-in's slot leaves the chain and when
  // the chain stops, before the plug-in goes to the main thread to be destroyed,
  // and when its chain has had no block for a while (Chain::kQuietTime), so
  // that edits made with no audio reach a plug-in that is not processing.
  // Worker thread, never during process; may come to a plug-in that is not
  // processing, which then changes nothing.
  virtual void stopProcessing() {}
  // Starts processing again after stopProcessing: the worker calls it before the
  // first block after a quiet stop. Worker thread, never during process; may
  // come to a plug-in that is processing already or never processed, which
  // then starts it or changes nothing.
  virtual void startProcessing() {}
  // In place, planar stereo, 1..maxBlock frames. Worker thread; never allocates.
  virtual void process(float* left, float* right, int frames, const Transport& transport) = 0;
  virtual std::vector<ParamInfo> params() = 0;
  // Indexes outside params() are ignored.
  virtual void setParam(int index, float normalized) = 0;
  // False, outputs untouched, for an index outside params().
  virtual bool getParam(int index, float& normalized, std::string& text) = 0;
  virtual std::vector<uint8_t> getState() = 0;
  virtual bool setState(const std::vector<uint8_t>& blob) = 0;
  // The gain-reduction meter's reading in the plug-in's own form. Worker thread.
  virtual bool gainReduction(float& value) {
    (void)value;
    return false;
  }
  virtual float toDb(float value) { return value; }
  virtual bool hasEditor() = 0;
  virtual void openEditor(const std::string& title) = 0;
  virtual void closeEditor() = 0;
};

}  // namespace bridge

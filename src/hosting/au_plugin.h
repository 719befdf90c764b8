#pragma once
// One Audio Unit effect instance behind the Plugin interface, over our
// in-process Audio Unit layer.
//
// Threads: made and prepared on the layer's completion thread, then handed to
// its owner; from then on process, reset and gainReduction run on the chain's
// audio thread, everything else (destruction included) on the main thread.
// The four functions installed on the unit run on the audio thread inside
// render; transport, inputLeft and inputRight are touched there only. The
// parameter and latency observers may run on any thread and reach the owner's
// callbacks only while the plug-in lives. Posted editor work runs on the main
// thread and finds the plug-in alive or is dropped; so do the generic view's
// refreshes, which find the view alive or are dropped.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "hosting/plugin.h"
#include "platform/audiounit/au_unit.h"

namespace bridge {

struct ClapWindow;
class GenericView;
struct GenericViewRow;

using RunOnMain = std::function<void(std::function<void()>)>;

class AuPlugin final : public Plugin {
 public:
  // `runOnMain` carries the editor's work from the unit's thread to the main
  // thread.
  AuPlugin(std::shared_ptr<au::Unit> unit, int maxBlock, double sampleRate, RunOnMain runOnMain);
  ~AuPlugin() override;
  AuPlugin(const AuPlugin&) = delete;
  AuPlugin& operator=(const AuPlugin&) = delete;

  // Prepares the unit for stereo 32-bit float audio: formats, render and host
  // callbacks, initialisation, the parameter table, the meter and the
  // observers. "" on success, else the failure text; the caller then destroys
  // this object, which undoes what was done. Once, before anyone else has it.
  std::string prepare();

  // Plugin
  int latencySamples() override;
  double tailSeconds() override;
  void reset() override;
  void process(float* left, float* right, int frames, const Transport& transport) override;
  std::vector<ParamInfo> params() override;
  void setParam(int index, float normalized) override;
  bool getParam(int index, float& normalized, std::string& text) override;
  std::vector<uint8_t> getState() override;
  bool setState(const std::vector<uint8_t>& blob) override;
  bool gainReduction(float& value) override;
  float toDb(float value) override;
  bool hasEditor() override;
  void openEditor(const std::string& title) override;
  void closeEditor() override;

  // Installed on the unit; `refCon`/`userData` is the plug-in. Audio thread.
  static au::Status pullInput(void* refCon, au::ActionFlags* flags, const au::TimeStamp* time, uint32_t bus,
                              uint32_t frames, au::AudioBufferList* data);
  static au::Status beatAndTempo(void* userData, double* currentBeat, double* currentTempo);
  static au::Status musicalTime(void* userData, uint32_t* samplesToNextBeat, float* timeSigNumerator,
                                uint32_t* timeSigDenominator, double* currentMeasureDownBeat);
  static au::Status transportState(void* userData, bool* isPlaying, bool* isRecording, bool* stateChanged,
                                   double* currentSampleInTimeLine, bool* isCycling, double* cycleStartBeat,
                                   double* cycleEndBeat);

  // The label of a parameter: its unit name, else its unit's own label.
  static std::string unitLabel(const au::Parameter& parameter);
  // How many values a parameter takes; 0 when it is continuous.
  static int32_t steps(const au::Parameter& parameter);

 private:
  class LatencyObserver;
  struct GenericLink;

  bool isGlobal(uint64_t address) const;
  float currentValue(const au::Parameter& parameter) const;
  void showEditor(const std::string& title, std::shared_ptr<au::ViewController> controller);
  std::vector<GenericViewRow> genericRows();
  void watchGenericView();
  void refreshGenericRow(size_t row);
  void dropGenericView();

  std::shared_ptr<au::Unit> avUnit;
  au::Unit* auUnit;
  au::Unit* audioUnit;  // the handle; null when the instance has none
  const double sampleRate;
  const int maxBlock;
  const RunOnMain runOnMain;
  // False from the first moment of destruction; observers and posted work
  // hold it weakly.
  std::shared_ptr<std::atomic<bool>> alive;
  bool initialized = false;
  au::AudioBufferList bufferList{};
  std::vector<float> leftBuffer, rightBuffer;
  const float* inputLeft = nullptr;
  const float* inputRight = nullptr;
  int inputFrames = 0;
  Transport transport;
  double samplePosition = 0.0;
  std::vector<au::Parameter*> parameters;
  std::atomic<bool> renderFailed{false};
  std::map<uint64_t, int64_t> indexByAddress;
  std::set<uint32_t> globalIds;
  const au::Parameter* meter = nullptr;
  int64_t meterAddress = -1;
  std::optional<au::ObserverToken> observerToken;
  std::unique_ptr<LatencyObserver> latencyObserver;

  // Editor, main thread.
  ClapWindow* window = nullptr;
  std::shared_ptr<au::ViewController> viewController;
  std::unique_ptr<au::View> ownView;  // a legacy or generic view shown in the window
  std::unique_ptr<GenericView> genericView;  // the windowing system's view of the parameters
  // While the generic view is shown: what the observer's posted refreshes hold
  // weakly, and that observer's token.
  std::shared_ptr<GenericLink> genericLink;
  std::optional<au::ObserverToken> genericToken;
  bool editorPending = false;         // a view controller has been asked for
  uint64_t editorRequest = 0;         // the request whose answer may open a window
};

}  // namespace bridge

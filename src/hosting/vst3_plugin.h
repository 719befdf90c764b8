#pragma once
// One VST3 effect instance behind the Plugin interface: the component, its audio
// processor and its edit controller (the component itself, or a separate object
// joined to it through connection points).
//
// Threads: process, reset, stopProcessing and gainReduction run on the chain's
// audio thread; everything else, creation and destruction included, on the main
// thread. The controller may call the component handler from any thread. The
// audio thread never allocates: parameter edits reach it through a list that it
// only try-locks, the values the processor reports come back through fixed
// per-parameter slots of atomics, and the meter crosses as atomics.
//
// The processing exclusion (processMutex_) is held by the audio thread for each
// block, reset and stop, and by the main thread while it works on the processor
// in its place: edits that wait while no audio flows are delivered in a short
// block of silence whose output is dropped (before a state is saved, and before
// a restart), and the restart that a latency change asks for. The main thread
// feeds that silence only while no stream runs through the plug-in; while one
// runs, its next block carries the edits.
//
// What the plug-in asks of the main thread from elsewhere (a latency change
// announced off the main thread or from inside a call made under the
// exclusion, values the processor reported for the controller) is recorded in
// requests_ and served by one job at a time, started through the wakeup so the
// audio thread neither allocates nor locks; values go out at most about 60
// times a second. The parameter table is an immutable snapshot, replaced whole
// when the controller reports changed parameters, so readers on the main
// thread never see it half built. No lock of this class is held while it calls
// into an observer.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hosting/clap_wakeup.h"
#include "hosting/plugin.h"
#include "hosting/vst3_host_context.h"
#include "platform/vst3/vst3_controller.h"
#include "platform/vst3/vst3_message.h"
#include "platform/vst3/vst3_module.h"
#include "platform/vst3/vst3_object.h"
#include "platform/vst3/vst3_process_data.h"

namespace bridge {

struct Vst3Window;

// The host context given to every factory, component and controller: made on
// first use, from any thread, and never freed.
Steinberg::FUnknown* vst3HostContext();

class Vst3Plugin final : public Plugin {
 public:
  // `wakeup` carries requests made off the main thread to it; null: a latency
  // change announced there is only reported, and processor values reach the
  // controller when the main thread next asks for parameters or the state.
  Vst3Plugin(std::shared_ptr<VST3::Hosting::Module> module, double sampleRate,
             std::shared_ptr<ClapWakeup> wakeup = nullptr);
  ~Vst3Plugin() override;
  Vst3Plugin(const Vst3Plugin&) = delete;
  Vst3Plugin& operator=(const Vst3Plugin&) = delete;

  // Creates class `classId` from the module's factory, joins it to its edit
  // controller, prepares it for stereo 32-bit audio in blocks of up to
  // `maxBlock` frames, starts it and builds the parameter table. "" on success,
  // else the failure text; the caller then destroys this object, which undoes
  // exactly what was done. Main thread, once.
  std::string open(const Steinberg::TUID classId, int maxBlock);

  // Plugin
  int latencySamples() override;
  double tailSeconds() override;
  void reset() override;
  void stopProcessing() override;
  void process(float* left, float* right, int frames, const Transport& transport) override;
  std::vector<ParamInfo> params() override;
  void setParam(int index, float normalized) override;
  bool getParam(int index, float& normalized, std::string& text) override;
  // Empty when either half fails to save.
  std::vector<uint8_t> getState() override;
  bool setState(const std::vector<uint8_t>& blob) override;
  bool gainReduction(float& value) override;
  float toDb(float value) override;
  bool hasEditor() override;
  void openEditor(const std::string& title) override;
  void closeEditor() override;

  // The "QLV3" blob's magic.
  static constexpr char kStateMagic[4] = {'Q', 'L', 'V', '3'};
  // Room in each block's parameter change lists.
  static constexpr int kMaxBlockParams = 64;
  // Distinct parameters whose processor values are kept for the controller.
  static constexpr int kMaxProcessorValues = 128;
  // Frames of the silent block that delivers edits while no audio flows.
  static constexpr int kFlushFrames = 32;
  // Shortest gap between two hand-overs of processor values: a display's frame.
  static constexpr int64_t kPushIntervalNs = 16'666'667;
  // A plug-in that has had no block for this long is taken as idle.
  static constexpr int64_t kIdleAfterNs = 250'000'000;

 private:
  // The component handler given to the controller; lives inside the plug-in.
  class Handler final : public Steinberg::NonDestroyable<Steinberg::Vst::IComponentHandler> {
   public:
    explicit Handler(Vst3Plugin& owner) : owner_(owner) {}
    Steinberg::tresult beginEdit(Steinberg::Vst::ParamID) override { return Steinberg::kResultOk; }
    Steinberg::tresult performEdit(Steinberg::Vst::ParamID id, Steinberg::Vst::ParamValue value) override;
    Steinberg::tresult endEdit(Steinberg::Vst::ParamID) override { return Steinberg::kResultOk; }
    Steinberg::tresult restartComponent(Steinberg::int32 flags) override;

   private:
    Vst3Plugin& owner_;
  };

  // What the main thread is asked to do (requests_).
  static constexpr uint32_t kWantRestart = 1, kWantValues = 2;

  // The latest value the processor reported for one parameter. The audio side
  // (or the main thread under the exclusion) claims slots and writes values;
  // the main thread takes dirty ones.
  struct ValueSlot {
    std::atomic<Steinberg::Vst::ParamID> id{0};
    std::atomic<double> value{0.0};
    std::atomic<bool> dirty{false};
  };

  // Listed parameters: id and controller index by list index, list index by id.
  struct ParamTable {
    std::vector<Steinberg::Vst::ParamID> ids;
    std::vector<Steinberg::int32> indices;
    std::map<Steinberg::Vst::ParamID, int> indexById;
  };

  std::string openController();
  std::string prepareBuses();
  void buildParamTable();
  std::shared_ptr<const ParamTable> table() const;
  // Appends an edit for the audio thread; one entry per id, the latest value.
  void queueEdit(Steinberg::Vst::ParamID id, double value);
  void takePendingEdits();
  void fillContext(const Transport& transport);
  void readMeter();
  // Audio thread, or under the processing exclusion: keeps the processor's
  // output parameter changes for the controller (latest per id) and, at most
  // every kPushIntervalNs, asks the main thread to hand them over.
  void takeOutputs();
  // Main thread: gives the processor's values to the controller.
  void applyProcessorValues();
  // Main thread, exclusion held: delivers waiting edits in a silent block. With
  // `always`, also while a stream runs (a restart interrupts it anyway).
  void flushEdits(bool always);
  // Main thread: edits, stop, deactivate, activate; processing starts again
  // before the next block. Then reports the latency.
  void restart();
  // Any thread: records `want`; the first since the last service wakes the main thread.
  void request(uint32_t want);
  // Main thread: does what was asked since the last service.
  void serviceRequests();
  std::string paramText(Steinberg::Vst::ParamID id, double value, bool& given);
  void dropWindow();
  void setProcessing(bool on);

  std::shared_ptr<VST3::Hosting::Module> module_;
  // What the component and controller are initialised with; closed once they
  // are terminated.
  Steinberg::IPtr<Vst3HostContext> hostContext_ =
      Steinberg::IPtr<Vst3HostContext>::adopt(new Vst3HostContext(vst3HostContext()));
  const double sampleRate_;
  Steinberg::IPtr<Steinberg::Vst::IComponent> component_;
  Steinberg::IPtr<Steinberg::Vst::IAudioProcessor> processor_;
  Steinberg::IPtr<Steinberg::Vst::IEditController> controller_;
  Steinberg::IPtr<Steinberg::Vst::IConnectionPoint> componentConnection_;
  Steinberg::IPtr<Steinberg::Vst::IConnectionPoint> controllerConnection_;
  bool separateController_ = false;
  Handler handler_{*this};

  // What has really been done to the objects, so teardown undoes only that.
  bool componentInitialized_ = false;
  bool controllerInitialized_ = false;
  bool handlerSet_ = false;
  bool connected_ = false;
  bool active_ = false;
  std::atomic<bool> processing_{false};  // also toggled by reset on the audio thread

  Steinberg::Vst::HostProcessData processData_;
  Steinberg::Vst::ParameterChanges inputChanges_{kMaxBlockParams};
  Steinberg::Vst::ParameterChanges outputChanges_{kMaxBlockParams};
  Steinberg::Vst::ProcessContext context_{};
  int maxBlock_ = 0;
  double samplePosition_ = 0.0;  // audio thread

  std::mutex pendingMutex_;
  std::vector<std::pair<Steinberg::Vst::ParamID, double>> pendingChanges_;

  std::mutex processMutex_;  // the processing exclusion, see above
  const std::thread::id mainThread_ = std::this_thread::get_id();
  bool restarting_ = false;       // main thread
  bool mainHoldsExclusion_ = false;  // main thread: processMutex_ is held by it
  // A block with samples went through since processing last started, and when
  // (steady clock, ns); written under the exclusion.
  std::atomic<bool> streaming_{false};
  std::atomic<int64_t> lastBlockNs_{0};

  std::shared_ptr<ClapWakeup> wakeup_;
  std::atomic<uint32_t> requests_{0};
  int64_t lastPushNs_ = 0;  // under the exclusion

  // Claimed in order; valueCount_ publishes how many are claimed.
  ValueSlot values_[kMaxProcessorValues];
  std::atomic<int> valueCount_{0};

  mutable std::mutex tableMutex_;  // guards only the pointer
  std::shared_ptr<const ParamTable> table_;

  std::atomic<bool> meterClaimed_{false};  // a rebuild has taken the meter
  std::atomic<bool> meterFound_{false};    // ... and published it
  std::atomic<Steinberg::Vst::ParamID> meterId_{0};
  std::atomic<float> meterValue_{0.0f};

  int editorSupport_ = -1;  // -1 unknown, 0 no view, 1 a view can be made
  Steinberg::IPtr<Steinberg::IPlugView> view_;
  Vst3Window* window_ = nullptr;
};

}  // namespace bridge

#pragma once
// One VST3 effect instance behind the Plugin interface: the component, its audio
// processor and its edit controller (the component itself, or a separate object
// joined to it through connection points).
//
// Threads: process, reset and gainReduction run on the chain's audio thread;
// everything else, creation and destruction included, on the main thread. The
// controller may call the component handler from any thread. The audio thread
// never allocates: parameter edits reach it through a list that it only
// try-locks, the processor's own parameter changes come back through another,
// and the meter crosses as atomics. The processing exclusion (processMutex_) is
// held by the audio thread for each block and by the main thread while it
// works on the processor in its place: a block of 0 samples that carries edits
// waiting with no audio (before a state is saved, or a restart), and the
// restart that a latency change asks for. The audio thread waits for those. The parameter
// table is an immutable snapshot, replaced whole when the controller reports
// changed parameters, so readers on the main thread never see it half built.
// No lock of this class is held while it calls into the plug-in or an observer.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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
  Vst3Plugin(std::shared_ptr<VST3::Hosting::Module> module, double sampleRate);
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

  // The "QLV3" blob's magic.
  static constexpr char kStateMagic[4] = {'Q', 'L', 'V', '3'};
  // Room in each block's parameter change lists.
  static constexpr int kMaxBlockParams = 64;

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
  // output parameter changes for the controller (latest per id).
  void takeOutputs();
  // Main thread: gives the processor's values to the controller.
  void applyProcessorValues();
  // Main thread: delivers waiting edits in a block of 0 samples.
  void flushEdits();
  // Main thread: stop, deactivate, activate, start; then reports the latency.
  void restart();
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
  bool restarting_ = false;  // main thread

  // The audio thread adds (try-lock, bounded); the main thread takes.
  std::mutex outputMutex_;
  std::vector<std::pair<Steinberg::Vst::ParamID, double>> processorValues_;

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

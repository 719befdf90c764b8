#pragma once
// One CLAP plug-in instance behind the Plugin interface.
//
// Threads: process, reset, startProcessing and stopProcessing run on the
// chain's audio thread; latencySamples, tailSeconds and gainReduction on the
// threads the Plugin contract names; everything else, creation and destruction included, on the
// main thread. Parameter edits reach the audio thread through a queue that it
// only try-locks, merged per parameter; parameter values and the meter cross as
// atomics. process allocates only when its event list outgrows every earlier
// block.
//
// The processing exclusion (processMutex_) is held by the audio thread for each
// process, reset and stop, and by the main thread while it works on the active
// plug-in in the audio thread's place: it flushes waiting edits (before a state
// is saved, and whenever edits wait with no block to take them) and restarts
// the plug-in when it asks to. Such calls happen with the thread check
// answering as for the audio thread, and the audio thread waits for them; they
// are short and happen only on edits and restarts. An edit that reached the
// plug-in while it processed is handed over once more, on the audio thread,
// when processing stops (a quiet chain stops it), so it lands even when no
// audio carried the plug-in to it.
//
// The plug-in may call its host record (clap_host_callbacks.cpp) from any
// thread. request_callback, request_restart and request_flush set atomic flags
// of this object; at most one service job per plug-in is on its way to the main
// thread at a time. From the audio thread, that job is started through the
// ClapWakeup, so the audio thread neither allocates nor shares a lock with the
// main thread; log from there goes through a small ring that the main thread
// prints. Everything that touches this object runs on the main thread, only
// while the object lives.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "hosting/clap_module.h"
#include "hosting/clap_wakeup.h"
#include "hosting/plugin.h"
#include "util/line_ring.h"
#include "platform/clap/clap_ext.h"

namespace bridge {

struct ClapWindow;

using RunOnMain = std::function<void(std::function<void()>)>;

class ClapPlugin final : public Plugin {
 public:
  // `wakeup` carries requests made on the audio thread to the main thread; null:
  // they are posted through runOnMain like requests from other threads.
  ClapPlugin(std::shared_ptr<Module> module, RunOnMain runOnMain, double sampleRate,
             std::shared_ptr<ClapWakeup> wakeup = nullptr);
  ~ClapPlugin() override;
  ClapPlugin(const ClapPlugin&) = delete;
  ClapPlugin& operator=(const ClapPlugin&) = delete;

  // Creates the instance `pluginId` from the module's factory, takes its
  // extensions, checks its audio ports, builds the parameter table and
  // activates it for `maxBlock` frames. "" on success, else the failure text;
  // the caller then destroys this object. Main thread, once.
  std::string open(const std::string& pluginId, int maxBlock);

  // Plugin
  int latencySamples() override;
  double tailSeconds() override;
  void reset() override;
  void startProcessing() override;
  // Also hands the plug-in, now no longer processing, the latest value of each
  // parameter edited while it processed: a plug-in that smooths edits with the
  // audio may not have reached them, and takes them at once while stopped.
  void stopProcessing() override;
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

  // The host extensions this system offers, by exact id; null for others.
  // Any thread.
  static const void* hostExtension(const clap_host_t* host, const char* id);

  // Runs fn with this plug-in on the main thread, only while it still lives and
  // has its instance. Returns at once; any thread.
  void onMain(std::function<void(ClapPlugin&)> fn);

 private:
  struct Callbacks;  // the host record's functions, clap_host_callbacks.cpp
  friend struct Callbacks;

  // What the plug-in asked of the main thread (requests_).
  static constexpr uint32_t kWantCallback = 1, kWantRestart = 2, kWantFlush = 4, kWantLog = 8;

  void initHostRecord();
  // Any thread: records `want` and makes sure one service job is on its way.
  void request(uint32_t want);
  // Main thread: does what was asked since the last service.
  void serviceRequests();
  // Main thread: hands waiting edits to the plug-in through its flush, under the
  // processing exclusion; with `always`, also when none wait.
  void deliverEdits(bool always);
  // Main thread: stop, deactivate, activate (the plug-in sets its new latency
  // there); processing starts again with the next block.
  void restart();
  // Processing exclusion held: moves the queued edits into events_, marking
  // them unsettled while the plug-in processes.
  void takePendingEdits();
  // Audio thread, processing exclusion held, just stopped: flushes the latest
  // values of the unsettled parameters. Allocates nothing.
  void settleEdits();
  static clap_event_param_value_t valueEvent(clap_id id, double value);
  // Audio thread: a log line for the main thread; dropped when the ring is full.
  void queueLog(int severity, const char* message);
  void printLogs();
  bool queryPorts(bool input, uint32_t& count, std::vector<uint32_t>& channels);
  void buildParamTable();
  double readValue(clap_id id, double start);
  // Main thread: the window went away from the plug-in's side or ours.
  void closeWindow();

  // Audio thread: the event lists given to process.
  static uint32_t inputSize(const clap_input_events_t* list);
  static const clap_event_header_t* inputGet(const clap_input_events_t* list, uint32_t index);
  static bool outputPush(const clap_output_events_t* list, const clap_event_header_t* event);
  void fillTransport(const Transport& transport);

  std::shared_ptr<Module> module_;
  double sampleRate_;
  RunOnMain runOnMain_;
  // False from the first moment of destruction; posted jobs hold it weakly.
  std::shared_ptr<std::atomic<bool>> alive_;
  clap_host_t host_{};
  const clap_plugin_t* instance_ = nullptr;
  const clap_plugin_params_t* paramsExt_ = nullptr;
  const clap_plugin_state_t* stateExt_ = nullptr;
  const clap_plugin_latency_t* latencyExt_ = nullptr;
  const clap_plugin_tail_t* tailExt_ = nullptr;
  const clap_plugin_gui_t* guiExt_ = nullptr;
  const clap_plugin_audio_ports_t* portsExt_ = nullptr;
  std::shared_ptr<ClapWakeup> wakeup_;
  std::mutex processMutex_;  // the processing exclusion, see above
  // Both under the processing exclusion after open.
  bool active_ = false;
  bool processing_ = false;
  int maxBlock_ = 0;
  std::atomic<uint32_t> requests_{0};
  // Single producer (the audio thread), single consumer (the main thread).
  LineRing<8, 512> logRing_;

  // Ports: port 0 is stereo on both sides and carries the audio; every further
  // port gets as many channels as it declares, each on a buffer of its own, so
  // no port reads what another wrote. Extra inputs are silent.
  uint32_t inputPorts_ = 1;
  uint32_t outputPorts_ = 1;
  std::vector<uint32_t> inputChannels_, outputChannels_;
  std::vector<float> inLeft_, inRight_, outLeft_, outRight_;
  float* inMain_[2] = {nullptr, nullptr};
  float* outMain_[2] = {nullptr, nullptr};
  std::vector<std::vector<float>> scratch_;  // one per extra channel
  std::vector<std::vector<float*>> inPortChannels_, outPortChannels_;  // by port; port 0 unused
  std::vector<clap_audio_buffer_t> inputBuffers_, outputBuffers_;

  // Under the processing exclusion.
  std::vector<clap_event_param_value_t> events_;
  // By parameter index: edited while processing, not yet flushed since a stop.
  std::vector<uint8_t> unsettled_;
  bool unsettledAny_ = false;
  clap_event_transport_t transport_{};
  clap_input_events_t inEvents_{};
  clap_output_events_t outEvents_{};
  int64_t steadyTime_ = 0;

  // Main thread adds, one entry per id with the latest value; the audio thread
  // takes them when the lock is free.
  std::mutex pendingMutex_;
  std::vector<std::pair<clap_id, double>> pendingChanges_;

  std::vector<clap_param_info_t> infos_;
  std::vector<std::atomic<double>> values_;  // plain values, one per info
  std::map<clap_id, size_t> paramIndexById_;
  std::atomic<bool> meterFound_{false};
  clap_id meterId_ = CLAP_INVALID_ID;
  std::atomic<float> meterValue_{0.0f};

  ClapWindow* window_ = nullptr;  // main thread
  // The editor's timers and descriptors on the main loop, by the plug-in's
  // timer id and by descriptor; main thread. All are removed before the
  // instance is destroyed, so no callback reaches a plug-in that is gone.
  std::map<clap_id, uint64_t> timers_;
  std::map<int, uint64_t> fds_;
  clap_id nextTimer_ = 1;
  void dropLoopSources();
};

// The audio mark of the calling thread, which the host's thread check reports:
// false on every thread until it enters process or reset of a CLAP plug-in,
// and true inside a ClapAudioScope.
void markClapAudioThread();
bool isClapAudioThread();

// While it lives, the calling thread answers as the audio thread: the main
// thread working on the plug-in under the processing exclusion.
class ClapAudioScope {
 public:
  ClapAudioScope();
  ~ClapAudioScope();
  ClapAudioScope(const ClapAudioScope&) = delete;
  ClapAudioScope& operator=(const ClapAudioScope&) = delete;
};

}  // namespace bridge

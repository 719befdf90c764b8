#include "hosting/vst3_plugin.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "hosting/plugin_rules.h"
#include "hosting/vst3_window.h"
#include "platform/vst3/vst3_host_application.h"
#include "platform/vst3/vst3_memory_stream.h"
#include "platform/vst3/vst3_strings.h"

namespace bridge {

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

constexpr uint32 kTimeFlags = ProcessContext::kContTimeValid | ProcessContext::kTimeSigValid |
                              ProcessContext::kBarPositionValid | ProcessContext::kTempoValid |
                              ProcessContext::kProjectTimeMusicValid;

// A sample position cut toward zero; never an out-of-range or non-finite cast.
int64 toSamples(double position) {
  if (!std::isfinite(position)) return 0;
  const double t = std::trunc(position);
  if (t >= 9223372036854775807.0) return INT64_MAX;
  if (t <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64>(t);
}

uint32 readLe32(const uint8_t* p) {
  return uint32(p[0]) | uint32(p[1]) << 8 | uint32(p[2]) << 16 | uint32(p[3]) << 24;
}

void writeLe32(uint8_t* p, uint32 v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string text128(const String128& text) { return toUtf8(text, std::size(text)); }

int64_t steadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

FUnknown* vst3HostContext() {
  // Plug-ins may keep the context past any host's life, so it is never freed.
  static HostApplication* const app = new HostApplication(u"Krevlo Bridge");
  return static_cast<IHostApplication*>(app);
}

Vst3Plugin::Vst3Plugin(std::shared_ptr<VST3::Hosting::Module> module, double sampleRate,
                       std::shared_ptr<ClapWakeup> wakeup)
    : module_(std::move(module)), sampleRate_(sampleRate), wakeup_(std::move(wakeup)) {
  pendingChanges_.reserve(kMaxBlockParams);
  table_ = std::make_shared<const ParamTable>();
  if (wakeup_) wakeup_->add(this, [this] { serviceRequests(); });
}

// Undoes only what open really did: a half-made plug-in lands here too, and a
// component that never started is not stopped, one that never initialised not
// terminated.
Vst3Plugin::~Vst3Plugin() {
  if (wakeup_) wakeup_->remove(this);
  dropWindow();
  // The chain's worker has stopped it before handing it over; one that was
  // processed outside a chain is stopped here.
  if (processor_ && processing_.load()) processor_->setProcessing(false);
  if (component_ && active_) component_->setActive(false);
  if (controller_ && handlerSet_) controller_->setComponentHandler(nullptr);
  if (connected_) {
    componentConnection_->disconnect(controllerConnection_.get());
    controllerConnection_->disconnect(componentConnection_.get());
  }
  processData_.unprepare();
  if (separateController_ && controllerInitialized_) controller_->terminate();
  if (componentInitialized_) component_->terminate();
  hostContext_->close();
  view_ = {};
  controllerConnection_ = {};
  componentConnection_ = {};
  controller_ = {};
  processor_ = {};
  component_ = {};
  module_.reset();
}

std::string Vst3Plugin::open(const TUID classId, int maxBlock) {
  IPluginFactory* factory = module_ ? module_->getFactory().get() : nullptr;
  if (!factory) return "could not create the plug-in";
  if (auto f3 = queryInterface<IPluginFactory3>(factory)) f3->setHostContext(vst3HostContext());

  void* made = nullptr;
  if (factory->createInstance(classId, IComponent::iid.bytes, &made) != kResultOk || !made)
    return "could not create the plug-in";
  component_ = IPtr<IComponent>::adopt(static_cast<IComponent*>(made));
  // A component whose initialize failed is never terminated.
  if (component_->initialize(hostContext_->unknown()) != kResultOk) return "could not create the plug-in";
  componentInitialized_ = true;

  processor_ = queryInterface<IAudioProcessor>(component_.get());
  if (!processor_) return "not an audio effect";

  if (std::string error = openController(); !error.empty()) return error;

  controller_->setComponentHandler(&handler_);
  handlerSet_ = true;

  if (std::string error = prepareBuses(); !error.empty()) return error;

  if (processor_->canProcessSampleSize(kSample32) != kResultOk) return "the plug-in does not process 32-bit audio";

  maxBlock_ = std::max(maxBlock, 1);
  ProcessSetup setup{kRealtime, kSample32, maxBlock_, sampleRate_};
  if (processor_->setupProcessing(setup) != kResultOk) {
    char rate[64];
    std::snprintf(rate, sizeof rate, "%.0f", std::trunc(sampleRate_));
    return std::string("the plug-in refused ") + rate + " Hz";
  }
  if (component_->setActive(true) != kResultOk) return "could not start the plug-in";
  active_ = true;

  processData_.prepare(*component_.get(), maxBlock_);
  processData_.inputParameterChanges = &inputChanges_;
  processData_.outputParameterChanges = &outputChanges_;
  processData_.processContext = &context_;
  setProcessing(true);  // its answer does not stop the plug-in

  buildParamTable();
  return "";
}

std::string Vst3Plugin::openController() {
  controller_ = queryInterface<IEditController>(component_.get());
  if (controller_) {
    controllerInitialized_ = true;  // the component itself
    return "";
  }
  constexpr const char* kNoController = "the plug-in has no edit controller";
  TUID controllerId = {};
  if (component_->getControllerClassId(controllerId) != kResultOk) return kNoController;
  void* made = nullptr;
  IPluginFactory* factory = module_->getFactory().get();
  if (factory->createInstance(controllerId, IEditController::iid.bytes, &made) != kResultOk || !made)
    return kNoController;
  auto controller = IPtr<IEditController>::adopt(static_cast<IEditController*>(made));
  // Released, not terminated, when its initialize fails.
  if (controller->initialize(hostContext_->unknown()) != kResultOk) return kNoController;
  controller_ = std::move(controller);
  controllerInitialized_ = true;
  separateController_ = true;

  componentConnection_ = queryInterface<IConnectionPoint>(component_.get());
  controllerConnection_ = queryInterface<IConnectionPoint>(controller_.get());
  if (componentConnection_ && controllerConnection_) {
    componentConnection_->connect(controllerConnection_.get());
    controllerConnection_->connect(componentConnection_.get());
    connected_ = true;
  }
  auto stream = IPtr<MemoryStream>::adopt(new MemoryStream);
  if (component_->getState(stream.get()) == kResultOk) {
    stream->rewind();
    controller_->setComponentState(stream.get());
  }
  return "";
}

std::string Vst3Plugin::prepareBuses() {
  const int32 inputs = std::min(component_->getBusCount(kAudio, kInput), HostProcessData::kMaxBuses);
  const int32 outputs = std::min(component_->getBusCount(kAudio, kOutput), HostProcessData::kMaxBuses);
  if (inputs < 1 || outputs < 1) return "not an effect with an audio input";

  std::vector<SpeakerArrangement> ins(static_cast<size_t>(inputs), SpeakerArr::kEmpty);
  std::vector<SpeakerArrangement> outs(static_cast<size_t>(outputs), SpeakerArr::kEmpty);
  for (int32 i = 0; i < inputs; ++i) processor_->getBusArrangement(kInput, i, ins[static_cast<size_t>(i)]);
  for (int32 i = 0; i < outputs; ++i) processor_->getBusArrangement(kOutput, i, outs[static_cast<size_t>(i)]);
  ins[0] = SpeakerArr::kStereo;
  outs[0] = SpeakerArr::kStereo;
  processor_->setBusArrangements(ins.data(), inputs, outs.data(), outputs);
  SpeakerArrangement in0 = SpeakerArr::kEmpty, out0 = SpeakerArr::kEmpty;
  if (processor_->getBusArrangement(kInput, 0, in0) != kResultOk ||
      processor_->getBusArrangement(kOutput, 0, out0) != kResultOk || in0 != SpeakerArr::kStereo ||
      out0 != SpeakerArr::kStereo)
    return "this plug-in does not take stereo audio";

  for (int32 i = 0; i < inputs; ++i) component_->activateBus(kAudio, kInput, i, i == 0);
  for (int32 i = 0; i < outputs; ++i) component_->activateBus(kAudio, kOutput, i, i == 0);
  for (BusDirection dir : {kInput, kOutput}) {
    const int32 events = std::min(component_->getBusCount(kEvent, dir), HostProcessData::kMaxBuses);
    for (int32 i = 0; i < events; ++i) component_->activateBus(kEvent, dir, i, false);
  }
  return "";
}

void Vst3Plugin::setProcessing(bool on) {
  // What it was told, whatever it answered: a processor that refuses to start
  // is not asked again with every block.
  processor_->setProcessing(on);
  processing_.store(on);
}

void Vst3Plugin::buildParamTable() {
  // Built aside and published whole: the controller may rebuild on its own
  // thread while the main thread reads the table.
  auto next = std::make_shared<ParamTable>();
  const int32 count = controller_->getParameterCount();
  for (int32 c = 0; c < count; ++c) {
    ParameterInfo info{};
    if (controller_->getParameterInfo(c, info) != kResultOk) continue;
    if ((info.flags & ParameterInfo::kIsReadOnly) && !meterClaimed_.load() &&
        isGainReductionName(text128(info.title)) && !meterClaimed_.exchange(true)) {
      meterId_.store(info.id);
      meterValue_.store(static_cast<float>(controller_->getParamNormalized(info.id)));
      meterFound_.store(true);
    }
    if (info.flags & (ParameterInfo::kIsReadOnly | ParameterInfo::kIsHidden | ParameterInfo::kIsBypass)) continue;
    next->indexById[info.id] = static_cast<int>(next->ids.size());
    next->ids.push_back(info.id);
    next->indices.push_back(c);
  }
  std::shared_ptr<const ParamTable> published = std::move(next);
  std::lock_guard<std::mutex> lock(tableMutex_);
  table_.swap(published);
  // The old table is freed after the lock is released, when `published` goes.
}

std::shared_ptr<const Vst3Plugin::ParamTable> Vst3Plugin::table() const {
  std::lock_guard<std::mutex> lock(tableMutex_);
  return table_;
}

void Vst3Plugin::queueEdit(ParamID id, double value) {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  // Within one block every edit lands at offset 0 and the latest wins, so one
  // entry per id says all; the list stays bounded while no audio runs.
  for (auto& change : pendingChanges_) {
    if (change.first == id) {
      change.second = value;
      return;
    }
  }
  pendingChanges_.emplace_back(id, value);
}

void Vst3Plugin::takePendingEdits() {
  std::unique_lock<std::mutex> lock(pendingMutex_, std::try_to_lock);
  if (!lock.owns_lock()) return;  // the edits wait for a later block
  size_t kept = 0;
  for (size_t i = 0; i < pendingChanges_.size(); ++i) {
    const auto [id, value] = pendingChanges_[i];
    int32 queueIndex = 0, pointIndex = 0;
    IParamValueQueue* queue = inputChanges_.addParameterData(id, queueIndex);
    if (queue && queue->addPoint(0, value, pointIndex) == kResultOk) continue;
    // No room in this block's list: kept, in order, for the next one.
    pendingChanges_[kept++] = pendingChanges_[i];
  }
  pendingChanges_.resize(kept);  // shrinking keeps the storage
}

void Vst3Plugin::fillContext(const Transport& t) {
  ProcessContext& c = context_;
  c = ProcessContext{};
  c.state = kTimeFlags;
  if (t.playing) c.state |= ProcessContext::kPlaying;
  if (t.looping) c.state |= ProcessContext::kCycleActive;
  c.sampleRate = sampleRate_;
  c.projectTimeSamples = toSamples(t.timelineSample);
  c.continousTimeSamples = toSamples(samplePosition_);
  double music = t.timelineSample / t.sampleRate * t.tempo / 60.0;
  if (!std::isfinite(music)) music = 0.0;
  c.projectTimeMusic = music;
  const int32 denominator = t.timeSigDenominator >= 2 ? t.timeSigDenominator : 1;
  const double bar = t.timeSigNumerator * 4.0 / denominator;
  // Without a bar length (numerator 0) there are no bars to count.
  if (bar != 0.0) {
    const double start = std::floor(music / bar) * bar;
    c.barPositionMusic = std::isfinite(start) ? start : 0.0;
  }
  c.tempo = t.tempo;
  c.timeSigNumerator = t.timeSigNumerator;
  c.timeSigDenominator = t.timeSigDenominator;
}

void Vst3Plugin::readMeter() {
  if (!meterFound_.load(std::memory_order_acquire)) return;
  const ParamID id = meterId_.load(std::memory_order_relaxed);
  const int32 count = outputChanges_.getParameterCount();
  for (int32 i = 0; i < count; ++i) {
    IParamValueQueue* queue = outputChanges_.getParameterData(i);
    if (!queue || queue->getParameterId() != id) continue;
    const int32 points = queue->getPointCount();
    int32 offset = 0;
    ParamValue value = 0.0;
    if (points > 0 && queue->getPoint(points - 1, offset, value) == kResultOk)
      meterValue_.store(static_cast<float>(value), std::memory_order_relaxed);
    return;
  }
}

void Vst3Plugin::takeOutputs() {
  readMeter();
  const int32 count = outputChanges_.getParameterCount();
  if (count == 0) return;
  // Listed parameters are reported once until the main thread takes them; the
  // table is only borrowed when its lock is free.
  std::shared_ptr<const ParamTable> t;
  {
    std::unique_lock<std::mutex> tableLock(tableMutex_, std::try_to_lock);
    if (tableLock.owns_lock()) t = table_;
  }
  int claimed = valueCount_.load(std::memory_order_relaxed);
  for (int32 i = 0; i < count; ++i) {
    IParamValueQueue* queue = outputChanges_.getParameterData(i);
    if (!queue) continue;
    const int32 points = queue->getPointCount();
    int32 offset = 0;
    ParamValue value = 0.0;
    if (points < 1 || queue->getPoint(points - 1, offset, value) != kResultOk) continue;
    const ParamID id = queue->getParameterId();
    ValueSlot* slot = nullptr;
    for (int s = 0; s < claimed && !slot; ++s)
      if (values_[s].id.load(std::memory_order_relaxed) == id) slot = &values_[s];
    if (!slot) {
      if (claimed == kMaxProcessorValues) continue;  // no room: this one is only read on request
      slot = &values_[claimed];
      slot->id.store(id, std::memory_order_relaxed);
      valueCount_.store(++claimed, std::memory_order_release);
    }
    slot->value.store(value, std::memory_order_relaxed);
    if (!slot->dirty.exchange(true, std::memory_order_acq_rel) && t)
      if (auto found = t->indexById.find(id); found != t->indexById.end()) paramChanged(found->second);
  }
  // Coalesced: one hand-over per display frame, however short the blocks.
  const int64_t now = steadyNs();
  if (wakeup_ && now - lastPushNs_ >= kPushIntervalNs) {
    lastPushNs_ = now;
    request(kWantValues);
  }
}

void Vst3Plugin::applyProcessorValues() {
  if (!controller_) return;
  const int claimed = valueCount_.load(std::memory_order_acquire);
  for (int s = 0; s < claimed; ++s) {
    ValueSlot& slot = values_[s];
    // Cleared before the value is read: a newer value written meanwhile sets
    // the flag again and is handed over next time.
    if (!slot.dirty.exchange(false, std::memory_order_acq_rel)) continue;
    controller_->setParamNormalized(slot.id.load(std::memory_order_relaxed), slot.value.load(std::memory_order_relaxed));
  }
}

void Vst3Plugin::flushEdits(bool always) {
  if (!active_ || processData_.numInputs < 1 || processData_.numOutputs < 1) return;
  AudioBusBuffers& in = processData_.inputs[0];
  if (in.numChannels < 2 || processData_.outputs[0].numChannels < 2) return;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    if (pendingChanges_.empty()) return;
  }
  // A running stream takes the edits with its next block; silence slipped in
  // between two of its blocks would be heard.
  if (!always && processing_.load() && streaming_.load() &&
      steadyNs() - lastBlockNs_.load(std::memory_order_relaxed) < kIdleAfterNs)
    return;
  // Some processors read their parameter changes only from blocks with
  // samples, so the edits go in a short block of silence, as any idle track is
  // fed; its output is dropped.
  const bool wasProcessing = processing_.load();
  if (!wasProcessing) setProcessing(true);
  const int frames = std::min(kFlushFrames, maxBlock_);
  const size_t bytes = static_cast<size_t>(frames) * sizeof(float);
  std::memset(in.channelBuffers32[0], 0, bytes);
  std::memset(in.channelBuffers32[1], 0, bytes);
  in.silenceFlags = 3;
  inputChanges_.clear();
  outputChanges_.clear();
  takePendingEdits();
  Transport stopped;
  stopped.sampleRate = sampleRate_;
  fillContext(stopped);
  processData_.numSamples = frames;
  if (processor_->process(processData_) == kResultOk) takeOutputs();
  inputChanges_.clear();
  outputChanges_.clear();
  // An idle chain's plug-in stays stopped; its worker starts it before the next block.
  if (!wasProcessing) setProcessing(false);
}

void Vst3Plugin::restart() {
  if (restarting_ || !component_) return;
  restarting_ = true;
  {
    std::lock_guard<std::mutex> exclusion(processMutex_);
    mainHoldsExclusion_ = true;
    // The processor sets its latency from what it knows when it is activated.
    flushEdits(true);
    if (processing_.load()) setProcessing(false);
    streaming_.store(false);
    if (active_) component_->setActive(false);
    // A plug-in that will not come back passes audio through untouched.
    active_ = component_->setActive(true) == kResultOk;
    mainHoldsExclusion_ = false;
  }
  restarting_ = false;
  latencyChanged();
}

void Vst3Plugin::request(uint32_t want) {
  // Only the first request since the last service starts a job; that job sees
  // every flag set until it runs.
  if (requests_.fetch_or(want) != 0 || !wakeup_) return;
  wakeup_->signal();
}

void Vst3Plugin::serviceRequests() {
  const uint32_t wants = requests_.exchange(0);
  if (wants & kWantValues) applyProcessorValues();
  if (wants & kWantRestart) restart();
}

void Vst3Plugin::stopProcessing() {
  if (!processor_) return;
  std::lock_guard<std::mutex> exclusion(processMutex_);
  streaming_.store(false);
  if (processing_.load()) setProcessing(false);
}

void Vst3Plugin::process(float* left, float* right, int frames, const Transport& transport) {
  // Buffers hold maxBlock frames; anything else passes dry.
  if (frames < 1 || frames > maxBlock_) return;
  std::lock_guard<std::mutex> exclusion(processMutex_);
  if (!active_) return;
  if (processData_.numInputs < 1 || processData_.numOutputs < 1) return;
  AudioBusBuffers& in = processData_.inputs[0];
  AudioBusBuffers& out = processData_.outputs[0];
  if (in.numChannels < 2 || out.numChannels < 2) return;
  // Stopped when the chain went idle or restarted; started again here, on
  // the thread that processes.
  if (!processing_.load()) setProcessing(true);
  const size_t bytes = static_cast<size_t>(frames) * sizeof(float);
  std::memcpy(in.channelBuffers32[0], left, bytes);
  std::memcpy(in.channelBuffers32[1], right, bytes);
  in.silenceFlags = 0;

  inputChanges_.clear();
  outputChanges_.clear();
  takePendingEdits();
  fillContext(transport);

  processData_.numSamples = frames;
  const tresult result = processor_->process(processData_);
  samplePosition_ += frames;
  streaming_.store(true);
  lastBlockNs_.store(steadyNs(), std::memory_order_relaxed);
  if (result != kResultOk) return;
  takeOutputs();
  std::memcpy(left, out.channelBuffers32[0], bytes);
  std::memcpy(right, out.channelBuffers32[1], bytes);
}

int Vst3Plugin::latencySamples() {
  if (!processor_) return 0;
  return static_cast<int>(std::min<uint32>(processor_->getLatencySamples(), INT_MAX));
}

double Vst3Plugin::tailSeconds() {
  if (!processor_) return 0.0;
  const uint32 tail = processor_->getTailSamples();
  if (tail == kInfiniteTail) return 10.0;
  return tail / sampleRate_;
}

void Vst3Plugin::reset() {
  if (!processor_) return;
  std::lock_guard<std::mutex> exclusion(processMutex_);
  if (!active_) return;
  setProcessing(false);
  setProcessing(true);
  samplePosition_ = 0.0;
}

std::string Vst3Plugin::paramText(ParamID id, double value, bool& given) {
  String128 text = {};
  given = controller_->getParamStringByValue(id, value, text) == kResultOk;
  return given ? text128(text) : std::string();
}

std::vector<ParamInfo> Vst3Plugin::params() {
  applyProcessorValues();
  const auto t = table();
  std::vector<ParamInfo> list;
  list.reserve(t->ids.size());
  for (size_t i = 0; i < t->ids.size(); ++i) {
    ParameterInfo info{};
    if (controller_->getParameterInfo(t->indices[i], info) != kResultOk) continue;
    ParamInfo p;
    p.index = static_cast<int32_t>(i);
    p.id = std::to_string(info.id);
    p.name = text128(info.title);
    p.unit = text128(info.units);
    p.steps = info.stepCount > 0 ? (info.stepCount == INT_MAX ? INT_MAX : info.stepCount + 1) : 0;
    p.def = static_cast<float>(info.defaultNormalizedValue);
    const double value = controller_->getParamNormalized(t->ids[i]);
    p.value = static_cast<float>(value);
    bool given = false;
    p.text = paramText(t->ids[i], value, given);
    list.push_back(std::move(p));
  }
  return list;
}

void Vst3Plugin::setParam(int index, float normalized) {
  const auto t = table();
  if (index < 0 || static_cast<size_t>(index) >= t->ids.size() || !std::isfinite(normalized)) return;
  const ParamID id = t->ids[static_cast<size_t>(index)];
  // Queued first: a controller that asks for a restart from here gets the
  // edit delivered before the processor is activated again.
  queueEdit(id, normalized);
  controller_->setParamNormalized(id, normalized);
  paramChanged(index);
}

bool Vst3Plugin::getParam(int index, float& normalized, std::string& text) {
  if (index < 0) return false;
  applyProcessorValues();
  const auto t = table();
  if (static_cast<size_t>(index) >= t->ids.size()) return false;
  const ParamID id = t->ids[static_cast<size_t>(index)];
  const double value = controller_->getParamNormalized(id);
  normalized = static_cast<float>(value);
  bool given = false;
  text = paramText(id, value, given);
  return true;
}

std::vector<uint8_t> Vst3Plugin::getState() {
  {
    // Edits still queued for the processor belong in its state.
    std::lock_guard<std::mutex> exclusion(processMutex_);
    mainHoldsExclusion_ = true;
    flushEdits(false);
    mainHoldsExclusion_ = false;
  }
  applyProcessorValues();
  auto componentState = IPtr<MemoryStream>::adopt(new MemoryStream);
  auto controllerState = IPtr<MemoryStream>::adopt(new MemoryStream);
  // A half that could not save makes no state: one kept with that half empty
  // would later restore as defaults without a word.
  if (component_->getState(componentState.get()) != kResultOk) return {};
  // A controller with nothing of its own to save may say so.
  if (separateController_) {
    const tresult saved = controller_->getState(controllerState.get());
    if (saved != kResultOk && saved != kNotImplemented) return {};
  }
  const std::vector<uint8_t>& a = componentState->bytes();
  const std::vector<uint8_t>& b = controllerState->bytes();
  // Streams never grow past 32-bit lengths.
  std::vector<uint8_t> blob(12 + a.size() + b.size());
  uint8_t* p = blob.data();
  std::memcpy(p, kStateMagic, 4);
  writeLe32(p + 4, static_cast<uint32>(a.size()));
  if (!a.empty()) std::memcpy(p + 8, a.data(), a.size());
  writeLe32(p + 8 + a.size(), static_cast<uint32>(b.size()));
  if (!b.empty()) std::memcpy(p + 12 + a.size(), b.data(), b.size());
  return blob;
}

bool Vst3Plugin::setState(const std::vector<uint8_t>& blob) {
  // Lengths are read as 32-bit values and checked in 64-bit arithmetic, so no
  // crafted length can wrap past the end.
  const uint64_t size = blob.size();
  if (size < 12 || std::memcmp(blob.data(), kStateMagic, 4) != 0) return false;
  const uint64_t n1 = readLe32(blob.data() + 4);
  if (n1 + 8 > size || n1 + 12 > size) return false;
  const uint64_t n2 = readLe32(blob.data() + 8 + n1);
  if (n1 + 12 + n2 > size) return false;

  auto componentState = IPtr<MemoryStream>::adopt(new MemoryStream(blob.data() + 8, n1));
  if (component_->setState(componentState.get()) != kResultOk) return false;
  if (separateController_) {
    componentState->rewind();
    controller_->setComponentState(componentState.get());
    if (n2 > 0) {
      auto controllerState = IPtr<MemoryStream>::adopt(new MemoryStream(blob.data() + 12 + n1, n2));
      controller_->setState(controllerState.get());
    }
  }
  return true;
}

bool Vst3Plugin::gainReduction(float& value) {
  if (!meterFound_.load(std::memory_order_acquire)) return false;
  value = meterValue_.load(std::memory_order_relaxed);
  return true;
}

float Vst3Plugin::toDb(float value) {
  if (!meterFound_.load()) return NAN;
  const ParamID id = meterId_.load();
  bool given = false;
  const std::string text = paramText(id, value, given);
  if (!given) return NAN;
  const float db = parseDb(text);
  if (!std::isnan(db)) return db;
  const int32 count = controller_->getParameterCount();
  for (int32 c = 0; c < count; ++c) {
    ParameterInfo info{};
    if (controller_->getParameterInfo(c, info) != kResultOk || info.id != id) continue;
    return parseDb(text + " " + text128(info.units));
  }
  return NAN;
}

bool Vst3Plugin::hasEditor() {
  if (!vst3WindowsSupported()) return false;
  if (editorSupport_ < 0) {
    IPlugView* view = controller_->createView(ViewType::kEditor);
    editorSupport_ = view ? 1 : 0;
    if (view) view->release();
  }
  return editorSupport_ == 1;
}

void Vst3Plugin::openEditor(const std::string& title) {
  if (window_) {
    vst3FocusWindow(window_);
    return;
  }
  view_ = IPtr<IPlugView>::adopt(controller_->createView(ViewType::kEditor));
  if (!view_) return;
  // The window closes (and drops this callback) before the plug-in is gone.
  window_ = vst3OpenWindow(view_.get(), title, [this] {
    window_ = nullptr;
    view_ = {};
    editorClosed();
  });
  if (!window_) view_ = {};
}

void Vst3Plugin::closeEditor() { dropWindow(); }

void Vst3Plugin::dropWindow() {
  if (!window_) return;
  Vst3Window* w = window_;
  window_ = nullptr;
  vst3CloseWindow(w);
  view_ = {};
}

tresult Vst3Plugin::Handler::performEdit(ParamID id, ParamValue value) {
  owner_.queueEdit(id, value);
  const auto t = owner_.table();
  if (auto it = t->indexById.find(id); it != t->indexById.end()) owner_.paramChanged(it->second);
  return kResultOk;
}

tresult Vst3Plugin::Handler::restartComponent(int32 flags) {
  if (flags & kLatencyChanged) {
    // The processor reports a new latency only once it is activated again,
    // which happens on the main thread and never inside a call made under the
    // processing exclusion (that would wait for itself): elsewhere the
    // request waits for a job of its own.
    const bool onMain = std::this_thread::get_id() == owner_.mainThread_;
    if (onMain && owner_.restarting_) {
      // Asked from inside the restart itself, which already covers it.
    } else if (onMain && !owner_.mainHoldsExclusion_)
      owner_.restart();
    else if (owner_.wakeup_)
      owner_.request(kWantRestart);
    else
      owner_.latencyChanged();
  }
  if (flags & (kParamValuesChanged | kParamTitlesChanged)) {
    owner_.buildParamTable();
    const size_t count = owner_.table()->ids.size();
    for (size_t i = 0; i < count; ++i) owner_.paramChanged(static_cast<int>(i));
  }
  return kResultOk;
}

}  // namespace bridge

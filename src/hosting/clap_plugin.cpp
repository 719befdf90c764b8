#include "hosting/clap_plugin.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

#include "hosting/editor_window.h"
#include "hosting/plugin_rules.h"

namespace bridge {

namespace {

constexpr double kFixedPointFactor = 2147483648.0;  // CLAP_BEATTIME_FACTOR, CLAP_SECTIME_FACTOR
constexpr uint32_t kInfiniteTail = UINT32_MAX;
constexpr uint32_t kTextCapacity = 256;
// A plug-in's port list comes from untrusted code: beyond these it is refused
// rather than sized.
constexpr uint32_t kMaxPorts = 256;
constexpr uint32_t kMaxChannels = 256;
constexpr size_t kEventReserve = 64;
// Extra ports' channels all get buffers of their own; beyond this many in all,
// the plug-in is refused rather than sized.
constexpr uint32_t kMaxExtraChannels = 1024;

// Fixed-point timeline value, rounded; never an out-of-range cast.
int64_t toFixed(double value) {
  const double r = std::round(value * kFixedPointFactor);
  if (!std::isfinite(r)) return 0;
  if (r >= 9223372036854775807.0) return INT64_MAX;
  if (r <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(r);
}

uint16_t toU16(int32_t v) { return static_cast<uint16_t>(std::clamp(v, 0, 65535)); }

// A parameter's value_to_text, always NUL-terminated; false when the plug-in
// gives no text.
bool valueText(const clap_plugin_params_t* ext, const clap_plugin_t* instance, clap_id id, double value,
               std::string& text) {
  if (!ext->value_to_text) return false;
  char buffer[kTextCapacity] = {};
  if (!ext->value_to_text(instance, id, value, buffer, kTextCapacity)) return false;
  buffer[kTextCapacity - 1] = '\0';
  text = buffer;
  return true;
}

// A record is usable only with every function that the host calls.
bool complete(const clap_plugin_t* p) {
  return p->init && p->destroy && p->activate && p->deactivate && p->start_processing && p->stop_processing &&
         p->reset && p->process && p->get_extension;
}

template <typename Ext>
const Ext* extension(const clap_plugin_t* instance, const char* id) {
  return static_cast<const Ext*>(instance->get_extension(instance, id));
}

int64_t writeBytes(const clap_ostream_t* stream, const void* buffer, uint64_t size) {
  if (size == 0) return 0;
  if (!buffer || size > static_cast<uint64_t>(INT64_MAX)) return -1;
  auto* out = static_cast<std::vector<uint8_t>*>(stream->ctx);
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  try {
    out->insert(out->end(), bytes, bytes + size);
  } catch (const std::exception&) {
    // Nothing may unwind through the plug-in's frames.
    return -1;
  }
  return static_cast<int64_t>(size);
}

struct InputStream {
  const std::vector<uint8_t>* bytes;
  size_t pos;
};

int64_t readBytes(const clap_istream_t* stream, void* buffer, uint64_t size) {
  auto* in = static_cast<InputStream*>(stream->ctx);
  const uint64_t left = in->bytes->size() - in->pos;
  const uint64_t n = std::min(left, size);
  if (n == 0) return 0;
  if (!buffer) return -1;
  std::memcpy(buffer, in->bytes->data() + in->pos, n);
  in->pos += n;
  return static_cast<int64_t>(n);
}

}  // namespace

ClapPlugin::ClapPlugin(std::shared_ptr<Module> module, RunOnMain runOnMain, double sampleRate,
                       std::shared_ptr<ClapWakeup> wakeup)
    : module_(std::move(module)),
      sampleRate_(sampleRate),
      runOnMain_(std::move(runOnMain)),
      alive_(std::make_shared<std::atomic<bool>>(true)),
      wakeup_(std::move(wakeup)) {
  initHostRecord();
  if (wakeup_) wakeup_->add(this, [this] { serviceRequests(); });
  inEvents_.ctx = this;
  inEvents_.size = &ClapPlugin::inputSize;
  inEvents_.get = &ClapPlugin::inputGet;
  outEvents_.ctx = this;
  outEvents_.try_push = &ClapPlugin::outputPush;
}

ClapPlugin::~ClapPlugin() {
  alive_->store(false);
  if (wakeup_) wakeup_->remove(this);
  closeWindow();
  dropLoopSources();
  if (instance_) {
    printLogs();
    {
      // The chain's worker has stopped it before handing it over; one that was
      // processed outside a chain is stopped here in the audio thread's place.
      std::lock_guard<std::mutex> lock(processMutex_);
      if (processing_) {
        ClapAudioScope audio;
        instance_->stop_processing(instance_);
        processing_ = false;
      }
    }
    if (active_) instance_->deactivate(instance_);
    instance_->destroy(instance_);
    instance_ = nullptr;
  }
}

std::string ClapPlugin::open(const std::string& pluginId, int maxBlock) {
  const clap_plugin_factory_t* factory = module_ ? module_->factory : nullptr;
  if (!factory || !factory->create_plugin) return "could not create the plug-in";
  const clap_plugin_t* made = factory->create_plugin(factory, &host_, pluginId.c_str());
  if (!made) return "could not create the plug-in";
  if (!complete(made)) {
    if (made->destroy) made->destroy(made);
    return "could not create the plug-in";
  }
  instance_ = made;
  if (!instance_->init(instance_)) {
    instance_->destroy(instance_);
    instance_ = nullptr;
    return "could not create the plug-in";
  }

  // Tables missing a function we call count as missing.
  paramsExt_ = extension<clap_plugin_params_t>(instance_, CLAP_EXT_PARAMS);
  if (paramsExt_ && !(paramsExt_->count && paramsExt_->get_info && paramsExt_->get_value)) paramsExt_ = nullptr;
  stateExt_ = extension<clap_plugin_state_t>(instance_, CLAP_EXT_STATE);
  if (stateExt_ && !(stateExt_->save && stateExt_->load)) stateExt_ = nullptr;
  latencyExt_ = extension<clap_plugin_latency_t>(instance_, CLAP_EXT_LATENCY);
  if (latencyExt_ && !latencyExt_->get) latencyExt_ = nullptr;
  tailExt_ = extension<clap_plugin_tail_t>(instance_, CLAP_EXT_TAIL);
  if (tailExt_ && !tailExt_->get) tailExt_ = nullptr;
  guiExt_ = extension<clap_plugin_gui_t>(instance_, CLAP_EXT_GUI);
  if (guiExt_ && !(guiExt_->is_api_supported && guiExt_->create && guiExt_->destroy && guiExt_->get_size &&
                   guiExt_->can_resize && guiExt_->set_parent && guiExt_->show && guiExt_->hide))
    guiExt_ = nullptr;
  portsExt_ = extension<clap_plugin_audio_ports_t>(instance_, CLAP_EXT_AUDIO_PORTS);
  if (portsExt_ && !(portsExt_->count && portsExt_->get)) portsExt_ = nullptr;

  if (!portsExt_) return "not an effect with an audio input";
  const uint32_t inputs = portsExt_->count(instance_, true);
  const uint32_t outputs = portsExt_->count(instance_, false);
  if (inputs < 1 || outputs < 1 || inputs > kMaxPorts || outputs > kMaxPorts)
    return "not an effect with an audio input";
  clap_audio_port_info_t in0{}, out0{};
  if (!portsExt_->get(instance_, 0, true, &in0) || !portsExt_->get(instance_, 0, false, &out0))
    return "not an effect with an audio input";
  if (in0.channel_count != 2 || out0.channel_count != 2) return "this plug-in does not take stereo audio";
  inputPorts_ = inputs;
  outputPorts_ = outputs;
  // A plug-in indexes a port's channels by the count it declared, so every
  // further port gets that many channel pointers.
  if (!queryPorts(true, inputPorts_, inputChannels_) || !queryPorts(false, outputPorts_, outputChannels_))
    return "this plug-in does not take stereo audio";
  uint64_t extraChannels = 0;
  for (size_t k = 1; k < inputChannels_.size(); ++k) extraChannels += inputChannels_[k];
  for (size_t k = 1; k < outputChannels_.size(); ++k) extraChannels += outputChannels_[k];
  if (extraChannels > kMaxExtraChannels) return "this plug-in does not take stereo audio";

  buildParamTable();

  maxBlock_ = std::max(maxBlock, 1);
  if (!instance_->activate(instance_, sampleRate_, 1, static_cast<uint32_t>(maxBlock_))) {
    char rate[64];
    std::snprintf(rate, sizeof rate, "%.0f", std::trunc(sampleRate_));
    return std::string("the plug-in refused ") + rate + " Hz";
  }
  active_ = true;
  const size_t n = static_cast<size_t>(maxBlock_);
  inLeft_.assign(n, 0.0f);
  inRight_.assign(n, 0.0f);
  outLeft_.assign(n, 0.0f);
  outRight_.assign(n, 0.0f);
  inMain_[0] = inLeft_.data();
  inMain_[1] = inRight_.data();
  outMain_[0] = outLeft_.data();
  outMain_[1] = outRight_.data();
  scratch_.assign(static_cast<size_t>(extraChannels), std::vector<float>(n, 0.0f));
  size_t next = 0;
  auto channelsOf = [&](const std::vector<uint32_t>& counts, std::vector<std::vector<float*>>& ports) {
    ports.assign(counts.size(), {});
    for (size_t k = 1; k < counts.size(); ++k)
      for (uint32_t c = 0; c < counts[k]; ++c) ports[k].push_back(scratch_[next++].data());
  };
  channelsOf(inputChannels_, inPortChannels_);
  channelsOf(outputChannels_, outPortChannels_);
  inputBuffers_.assign(inputPorts_, clap_audio_buffer_t{});
  outputBuffers_.assign(outputPorts_, clap_audio_buffer_t{});
  events_.reserve(std::max(kEventReserve, infos_.size()));
  pendingChanges_.reserve(std::max(kEventReserve, infos_.size()));
  unsettled_.assign(infos_.size(), 0);
  return "";
}

bool ClapPlugin::queryPorts(bool input, uint32_t& count, std::vector<uint32_t>& channels) {
  channels.assign(count, 2);
  for (uint32_t k = 1; k < count; ++k) {
    clap_audio_port_info_t info{};
    // A port that cannot describe itself keeps two channels.
    if (!portsExt_->get(instance_, k, input, &info)) continue;
    if (info.channel_count > kMaxChannels) return false;
    channels[k] = info.channel_count;
  }
  return true;
}

double ClapPlugin::readValue(clap_id id, double start) {
  double value = start;
  // The success flag is not looked at: a value the plug-in does not write stays.
  paramsExt_->get_value(instance_, id, &value);
  return value;
}

void ClapPlugin::buildParamTable() {
  infos_.clear();
  paramIndexById_.clear();
  if (!paramsExt_) return;
  const uint32_t count = paramsExt_->count(instance_);
  for (uint32_t i = 0; i < count; ++i) {
    clap_param_info_t info{};
    if (!paramsExt_->get_info(instance_, i, &info)) continue;
    info.name[CLAP_NAME_SIZE - 1] = '\0';
    info.module[CLAP_PATH_SIZE - 1] = '\0';
    if (!meterFound_.load() && (info.flags & CLAP_PARAM_IS_READONLY) && isGainReductionName(info.name)) {
      meterId_ = info.id;
      meterValue_.store(static_cast<float>(readValue(info.id, info.default_value)));
      meterFound_.store(true);
    }
    if (info.flags & (CLAP_PARAM_IS_HIDDEN | CLAP_PARAM_IS_READONLY | CLAP_PARAM_IS_BYPASS)) continue;
    paramIndexById_[info.id] = infos_.size();
    infos_.push_back(info);
  }
  values_ = std::vector<std::atomic<double>>(infos_.size());
  for (size_t i = 0; i < infos_.size(); ++i) values_[i].store(readValue(infos_[i].id, infos_[i].default_value));
}

int ClapPlugin::latencySamples() {
  if (!latencyExt_ || !active_) return 0;
  return static_cast<int>(std::min<uint32_t>(latencyExt_->get(instance_), INT_MAX));
}

double ClapPlugin::tailSeconds() {
  if (!tailExt_) return 0.0;
  const uint32_t tail = tailExt_->get(instance_);
  if (tail == kInfiniteTail) return 10.0;
  return tail / sampleRate_;
}

void ClapPlugin::reset() {
  // The first block of a run calls reset before process; the plug-in may check
  // its thread already here.
  markClapAudioThread();
  std::lock_guard<std::mutex> lock(processMutex_);
  if (active_) instance_->reset(instance_);
}

void ClapPlugin::startProcessing() {
  markClapAudioThread();
  std::lock_guard<std::mutex> lock(processMutex_);
  if (active_ && !processing_) processing_ = instance_->start_processing(instance_);
}

void ClapPlugin::stopProcessing() {
  markClapAudioThread();
  std::lock_guard<std::mutex> lock(processMutex_);
  if (!processing_) return;
  instance_->stop_processing(instance_);
  processing_ = false;
  settleEdits();
}

void ClapPlugin::settleEdits() {
  if (!unsettledAny_) return;
  unsettledAny_ = false;
  if (!paramsExt_ || !paramsExt_->flush || !active_) return;
  // Within the capacity reserved at open: one event per parameter at most.
  events_.clear();
  for (size_t i = 0; i < infos_.size(); ++i) {
    if (!unsettled_[i]) continue;
    unsettled_[i] = 0;
    events_.push_back(valueEvent(infos_[i].id, values_[i].load()));
  }
  paramsExt_->flush(instance_, &inEvents_, &outEvents_);
  events_.clear();
}

clap_event_param_value_t ClapPlugin::valueEvent(clap_id id, double value) {
  clap_event_param_value_t e{};
  e.header.size = sizeof(clap_event_param_value_t);
  e.header.time = 0;
  e.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
  e.header.type = CLAP_EVENT_PARAM_VALUE;
  e.header.flags = 0;
  e.param_id = id;
  e.cookie = nullptr;
  e.note_id = -1;
  e.port_index = -1;
  e.channel = -1;
  e.key = -1;
  e.value = value;
  return e;
}

void ClapPlugin::takePendingEdits() {
  events_.clear();
  std::unique_lock<std::mutex> lock(pendingMutex_, std::try_to_lock);
  if (!lock.owns_lock()) return;  // the edits wait for a later block
  for (const auto& [id, value] : pendingChanges_) {
    events_.push_back(valueEvent(id, value));
    if (!processing_) continue;
    // A processing plug-in may move toward the value only as audio runs.
    auto it = paramIndexById_.find(id);
    if (it == paramIndexById_.end()) continue;
    unsettled_[it->second] = 1;
    unsettledAny_ = true;
  }
  pendingChanges_.clear();
}

void ClapPlugin::deliverEdits(bool always) {
  if (!instance_ || !paramsExt_ || !paramsExt_->flush) return;
  std::lock_guard<std::mutex> lock(processMutex_);
  if (!active_) return;
  {
    // Blocking here, unlike the audio thread: the main thread owns the edits.
    std::lock_guard<std::mutex> pending(pendingMutex_);
    if (pendingChanges_.empty() && !always) return;
  }
  takePendingEdits();
  ClapAudioScope audio;
  paramsExt_->flush(instance_, &inEvents_, &outEvents_);
  events_.clear();
}

void ClapPlugin::restart() {
  if (!instance_) return;
  // Edits still waiting reach the plug-in before it restarts with them.
  deliverEdits(false);
  {
    std::lock_guard<std::mutex> lock(processMutex_);
    if (processing_) {
      ClapAudioScope audio;
      instance_->stop_processing(instance_);
      processing_ = false;
    }
    if (active_) instance_->deactivate(instance_);
    // A plug-in that will not come back passes audio through untouched.
    active_ = instance_->activate(instance_, sampleRate_, 1, static_cast<uint32_t>(maxBlock_));
  }
  latencyChanged();
}

void ClapPlugin::request(uint32_t want) {
  // Only the first request since the last service starts a job; that job sees
  // every flag set until it runs.
  if (requests_.fetch_or(want) != 0) return;
  if (std::this_thread::get_id() != mainThread.load() && isClapAudioThread() && wakeup_) {
    wakeup_->signal();
    return;
  }
  onMain([](ClapPlugin& p) { p.serviceRequests(); });
}

void ClapPlugin::serviceRequests() {
  if (!instance_) return;
  const uint32_t wants = requests_.exchange(0);
  if (wants & kWantLog) printLogs();
  if (wants & kWantFlush) deliverEdits(true);
  if (wants & kWantRestart) restart();
  if ((wants & kWantCallback) && instance_->on_main_thread) instance_->on_main_thread(instance_);
}

void ClapPlugin::queueLog(int severity, const char* message) {
  if (!logRing_.push(severity, message)) return;
  request(kWantLog);
}

void ClapPlugin::printLogs() {
  logRing_.drain([](int, const char* text) { std::fprintf(stderr, "[clap] %s\n", text); });
}

void ClapPlugin::fillTransport(const Transport& t) {
  double seconds = 0.0;
  if (std::isfinite(t.timelineSample) && std::isfinite(t.sampleRate) && t.sampleRate > 0.0)
    seconds = t.timelineSample / t.sampleRate;
  double beats = seconds * t.tempo / 60.0;
  if (!std::isfinite(beats)) beats = 0.0;
  const int denominator = t.timeSigDenominator < 2 ? 1 : t.timeSigDenominator;
  const double barLength = t.timeSigNumerator * 4.0 / denominator;

  clap_event_transport_t& e = transport_;
  e = clap_event_transport_t{};
  e.header.size = sizeof(clap_event_transport_t);
  e.header.time = 0;
  e.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
  e.header.type = CLAP_EVENT_TRANSPORT;
  e.header.flags = 0;
  e.flags = CLAP_TRANSPORT_HAS_TEMPO | CLAP_TRANSPORT_HAS_BEATS_TIMELINE | CLAP_TRANSPORT_HAS_SECONDS_TIMELINE |
            CLAP_TRANSPORT_HAS_TIME_SIGNATURE;
  if (t.playing) e.flags |= CLAP_TRANSPORT_IS_PLAYING;
  if (t.looping) e.flags |= CLAP_TRANSPORT_IS_LOOP_ACTIVE;
  e.song_pos_beats = toFixed(beats);
  e.song_pos_seconds = toFixed(seconds);
  e.tempo = t.tempo;
  e.tempo_inc = 0.0;
  // Without a positive bar length (numerator 0) there are no bars to count.
  if (barLength > 0.0) {
    const double bar = std::clamp(std::floor(beats / barLength), -2147483648.0, 2147483647.0);
    e.bar_number = static_cast<int32_t>(bar);
    e.bar_start = toFixed(bar * barLength);
  }
  e.tsig_num = toU16(t.timeSigNumerator);
  e.tsig_denom = toU16(t.timeSigDenominator);
}

void ClapPlugin::process(float* left, float* right, int frames, const Transport& transport) {
  markClapAudioThread();
  std::lock_guard<std::mutex> exclusion(processMutex_);
  if (!active_ || frames < 1 || frames > maxBlock_) return;
  if (!processing_) {
    processing_ = instance_->start_processing(instance_);
    if (!processing_) return;
  }
  const size_t n = static_cast<size_t>(frames);
  std::memcpy(inLeft_.data(), left, n * sizeof(float));
  std::memcpy(inRight_.data(), right, n * sizeof(float));

  takePendingEdits();
  fillTransport(transport);

  inputBuffers_[0] = clap_audio_buffer_t{inMain_, nullptr, 2u, 0, 0};
  outputBuffers_[0] = clap_audio_buffer_t{outMain_, nullptr, 2u, 0, 0};
  for (size_t k = 1; k < inputBuffers_.size(); ++k) {
    // Silent every block, whatever the plug-in did to them before.
    for (float* channel : inPortChannels_[k]) std::memset(channel, 0, n * sizeof(float));
    inputBuffers_[k] = clap_audio_buffer_t{inPortChannels_[k].data(), nullptr, inputChannels_[k], 0, 0};
  }
  for (size_t k = 1; k < outputBuffers_.size(); ++k)
    outputBuffers_[k] = clap_audio_buffer_t{outPortChannels_[k].data(), nullptr, outputChannels_[k], 0, 0};

  clap_process_t p{};
  p.steady_time = steadyTime_;
  p.frames_count = static_cast<uint32_t>(frames);
  p.transport = &transport_;
  p.audio_inputs = inputBuffers_.data();
  p.audio_outputs = outputBuffers_.data();
  p.audio_inputs_count = inputPorts_;
  p.audio_outputs_count = outputPorts_;
  p.in_events = &inEvents_;
  p.out_events = &outEvents_;
  const clap_process_status status = instance_->process(instance_, &p);
  steadyTime_ += frames;
  if (status == CLAP_PROCESS_ERROR) return;
  std::memcpy(left, outLeft_.data(), n * sizeof(float));
  std::memcpy(right, outRight_.data(), n * sizeof(float));
}

uint32_t ClapPlugin::inputSize(const clap_input_events_t* list) {
  return static_cast<uint32_t>(static_cast<const ClapPlugin*>(list->ctx)->events_.size());
}

const clap_event_header_t* ClapPlugin::inputGet(const clap_input_events_t* list, uint32_t index) {
  const auto* self = static_cast<const ClapPlugin*>(list->ctx);
  if (index >= self->events_.size()) return nullptr;
  return &self->events_[index].header;
}

bool ClapPlugin::outputPush(const clap_output_events_t* list, const clap_event_header_t* event) {
  auto* self = static_cast<ClapPlugin*>(list->ctx);
  // Only a core parameter value, whole, is read as one; everything else is
  // accepted and ignored.
  if (!event || event->space_id != CLAP_CORE_EVENT_SPACE_ID || event->type != CLAP_EVENT_PARAM_VALUE ||
      event->size < sizeof(clap_event_param_value_t))
    return true;
  clap_event_param_value_t e;
  std::memcpy(&e, event, sizeof e);
  if (self->meterFound_.load(std::memory_order_relaxed) && e.param_id == self->meterId_)
    self->meterValue_.store(static_cast<float>(e.value), std::memory_order_relaxed);
  auto it = self->paramIndexById_.find(e.param_id);
  if (it != self->paramIndexById_.end()) {
    self->values_[it->second].exchange(e.value);
    self->paramChanged(static_cast<int>(it->second));
  }
  return true;
}

std::vector<ParamInfo> ClapPlugin::params() {
  std::vector<ParamInfo> list;
  list.reserve(infos_.size());
  for (size_t i = 0; i < infos_.size(); ++i) {
    const clap_param_info_t& info = infos_[i];
    ParamInfo p;
    p.index = static_cast<int32_t>(i);
    p.id = std::to_string(info.id);
    p.name = info.name;
    getParam(static_cast<int>(i), p.value, p.text);
    if (info.flags & CLAP_PARAM_IS_STEPPED) {
      double range = info.max_value - info.min_value;
      if (!(range >= 0.0)) range = 0.0;
      p.steps = static_cast<int32_t>(std::min(range, 2147483646.0)) + 1;
    }
    if (info.max_value > info.min_value)
      p.def = static_cast<float>(
          std::clamp((info.default_value - info.min_value) / (info.max_value - info.min_value), 0.0, 1.0));
    list.push_back(std::move(p));
  }
  return list;
}

void ClapPlugin::setParam(int index, float normalized) {
  if (index < 0 || static_cast<size_t>(index) >= infos_.size() || !std::isfinite(normalized)) return;
  const clap_param_info_t& info = infos_[index];
  double plain = info.min_value + normalized * (info.max_value - info.min_value);
  if (info.flags & CLAP_PARAM_IS_STEPPED) plain = std::round(plain);
  values_[index].exchange(plain);
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    // Within one block every edit lands at time 0 and the latest wins, so one
    // entry per id says all; the list stays bounded while no audio runs.
    auto it = std::find_if(pendingChanges_.begin(), pendingChanges_.end(),
                           [&](const auto& change) { return change.first == info.id; });
    if (it != pendingChanges_.end())
      it->second = plain;
    else
      pendingChanges_.emplace_back(info.id, plain);
  }
  // Delivered by the next block or, should none come first, by a flush.
  request(kWantFlush);
  paramChanged(index);
}

bool ClapPlugin::getParam(int index, float& normalized, std::string& text) {
  if (index < 0 || static_cast<size_t>(index) >= infos_.size()) return false;
  const clap_param_info_t& info = infos_[index];
  const double value = values_[index].load();
  normalized = info.max_value > info.min_value
                   ? static_cast<float>((value - info.min_value) / (info.max_value - info.min_value))
                   : 0.0f;
  if (!valueText(paramsExt_, instance_, info.id, value, text)) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3g", value);
    text = buffer;
  }
  return true;
}

std::vector<uint8_t> ClapPlugin::getState() {
  std::vector<uint8_t> bytes;
  if (!stateExt_) return bytes;
  // An edit still queued for the audio thread belongs in the state.
  deliverEdits(false);
  clap_ostream_t stream{&bytes, &writeBytes};
  if (!stateExt_->save(instance_, &stream)) bytes.clear();
  return bytes;
}

bool ClapPlugin::setState(const std::vector<uint8_t>& blob) {
  if (!stateExt_) return false;
  InputStream in{&blob, 0};
  clap_istream_t stream{&in, &readBytes};
  const bool loaded = stateExt_->load(instance_, &stream);
  if (loaded && paramsExt_)
    for (size_t i = 0; i < infos_.size(); ++i) values_[i].store(readValue(infos_[i].id, values_[i].load()));
  return loaded;
}

bool ClapPlugin::gainReduction(float& value) {
  if (!meterFound_.load(std::memory_order_relaxed)) return false;
  value = meterValue_.load(std::memory_order_relaxed);
  return true;
}

float ClapPlugin::toDb(float value) {
  if (!meterFound_.load()) return value;
  std::string text;
  if (!valueText(paramsExt_, instance_, meterId_, value, text)) return value;
  return parseDb(text);
}

bool ClapPlugin::hasEditor() {
  return clapWindowsSupported() && guiExt_ && guiExt_->is_api_supported(instance_, kClapWindowApi, false);
}

void ClapPlugin::openEditor(const std::string& title) {
  if (window_) {
    clapFocusWindow(window_);
    return;
  }
  if (!clapWindowsSupported() || !guiExt_ || !guiExt_->is_api_supported(instance_, kClapWindowApi, false) ||
      !guiExt_->create(instance_, kClapWindowApi, false))
    return;
  uint32_t width = 0, height = 0;
  if (!guiExt_->get_size(instance_, &width, &height) || width == 0 || height == 0) {
    width = 400;
    height = 300;
  }
  const bool resizable = guiExt_->can_resize(instance_);
  auto attach = [this](void* parent) {
    clap_window_t w{};
    w.api = kClapWindowApi;
    w.x11 = static_cast<unsigned long>(reinterpret_cast<uintptr_t>(parent));
    if (!guiExt_->set_parent(instance_, &w)) return false;
    return guiExt_->show(instance_);
  };
  std::weak_ptr<std::atomic<bool>> alive = alive_;
  auto onClose = [this, alive] {
    auto flag = alive.lock();
    if (!flag || !flag->load()) return;
    window_ = nullptr;
    guiExt_->destroy(instance_);
    editorClosed();
  };
  window_ = clapOpenWindow(title, static_cast<int>(std::min<uint32_t>(width, INT_MAX)),
                           static_cast<int>(std::min<uint32_t>(height, INT_MAX)), resizable, attach, onClose);
  if (!window_) guiExt_->destroy(instance_);
}

void ClapPlugin::closeEditor() { closeWindow(); }

void ClapPlugin::dropLoopSources() {
  for (const auto& [id, source] : timers_) editorRemove(source);
  for (const auto& [fd, source] : fds_) editorRemove(source);
  timers_.clear();
  fds_.clear();
}

void ClapPlugin::closeWindow() {
  if (!window_) return;
  ClapWindow* w = window_;
  window_ = nullptr;
  guiExt_->hide(instance_);
  clapCloseWindow(w);
  guiExt_->destroy(instance_);
}

}  // namespace bridge

// Processing test plug-ins for the CLAP host: one file, one descriptor per
// behaviour (ids "org.krevlo.fx.<name>"), all stereo audio effects unless their
// ports say otherwise:
//   gain          Gain (0..2, x) and a read-only "Gain Reduction" meter reported
//                 by output events (-6 x gain); tail 48000; an editor ("x11")
//   latency       a delay line whose length is the stepped "Latency" parameter;
//                 a change calls request_restart from process; infinite tail
//   params        stepped, hidden, bypass, read-only, fixed-range, text-less and
//                 over-long-text parameters; records input events and transport;
//                 answers each "Mode" event with output events, junk among them
//   state         "Level" and "Steps", saved and loaded in 7- and 5-byte chunks
//   multiport     a 6-channel side input and 1- and 4-channel extra outputs, each
//                 indexed by its declared count
//   mono, no-output, no-ports, no-port-info, init-false, null-create,
//   picky (only 48000 Hz), fail-process, refuse-start: misbehaviour
// What they see is recorded for tests (clap_fx_probe.h).
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "plugins/clap_fx_probe.h"
#include "plugins/x11_test_editor.h"

namespace {

enum class Kind {
  Gain,
  Latency,
  Params,
  State,
  MultiPort,
  Mono,
  NoOutput,
  NoPorts,
  NoPortInfo,
  InitFalse,
  NullCreate,
  Picky,
  FailProcess,
  RefuseStart,
};

const char* const kFeatures[] = {CLAP_PLUGIN_FEATURE_AUDIO_EFFECT, CLAP_PLUGIN_FEATURE_STEREO, nullptr};

#define FX_DESCRIPTOR(id, name) \
  {CLAP_VERSION_INIT, "org.krevlo.fx." id, name, "Krevlo Tests", nullptr, nullptr, nullptr, "1.2.3", nullptr, kFeatures}

const clap_plugin_descriptor_t kDescriptors[] = {
    FX_DESCRIPTOR("gain", "Fx Gain"),
    FX_DESCRIPTOR("latency", "Fx Latency"),
    FX_DESCRIPTOR("params", "Fx Params"),
    FX_DESCRIPTOR("state", "Fx State"),
    FX_DESCRIPTOR("multiport", "Fx Multiport"),
    FX_DESCRIPTOR("mono", "Fx Mono"),
    FX_DESCRIPTOR("no-output", "Fx No Output"),
    FX_DESCRIPTOR("no-ports", "Fx No Ports"),
    FX_DESCRIPTOR("no-port-info", "Fx No Port Info"),
    FX_DESCRIPTOR("init-false", "Fx Init False"),
    FX_DESCRIPTOR("null-create", "Fx Null Create"),
    FX_DESCRIPTOR("picky", "Fx Picky"),
    FX_DESCRIPTOR("fail-process", "Fx Fail Process"),
    FX_DESCRIPTOR("refuse-start", "Fx Refuse Start"),
};
constexpr uint32_t kDescriptorCount = sizeof kDescriptors / sizeof kDescriptors[0];

struct Param {
  clap_id id;
  const char* name;
  uint32_t flags;
  double min, max, def;
};

constexpr uint32_t kAuto = CLAP_PARAM_IS_AUTOMATABLE;

const std::vector<Param> kGainParams = {
    {10, "Gain", kAuto, 0.0, 2.0, 1.0},
    {11, "Gain Reduction", CLAP_PARAM_IS_READONLY, -60.0, 0.0, 0.0},
};
const std::vector<Param> kLatencyParams = {
    {20, "Latency", kAuto | CLAP_PARAM_IS_STEPPED, 0.0, 64.0, 8.0},
};
// get_info refuses index 3 ("Skipped"), which must not be listed.
const std::vector<Param> kParamsParams = {
    {1, "Mode", kAuto | CLAP_PARAM_IS_STEPPED, 0.0, 4.0, 2.0},
    {2, "Hidden", kAuto | CLAP_PARAM_IS_HIDDEN, 0.0, 1.0, 0.5},
    {3, "Bypass", kAuto | CLAP_PARAM_IS_BYPASS | CLAP_PARAM_IS_STEPPED, 0.0, 1.0, 0.0},
    {99, "Skipped", kAuto, 0.0, 1.0, 0.0},
    {4, "Gain Reduction", CLAP_PARAM_IS_READONLY, -30.0, 0.0, -1.5},
    {5, "GR", CLAP_PARAM_IS_READONLY, -30.0, 0.0, 0.0},
    {6, "Fixed", kAuto | CLAP_PARAM_IS_STEPPED, 1.0, 1.0, 1.0},
    {7, "Plain", kAuto, 0.0, 2000.0, 1234.5},
    {8, "Long", kAuto, 0.0, 1.0, 0.5},
    {9, "Echo", kAuto, 0.0, 1.0, 0.0},
};
const std::vector<Param> kStateParams = {
    {1, "Level", kAuto, 0.0, 1.0, 0.25},
    {2, "Steps", kAuto | CLAP_PARAM_IS_STEPPED, 0.0, 10.0, 3.0},
};
const std::vector<Param> kNoParams;

const std::vector<Param>& paramsOf(Kind kind) {
  switch (kind) {
    case Kind::Gain: return kGainParams;
    case Kind::Latency: return kLatencyParams;
    case Kind::Params: return kParamsParams;
    case Kind::State: return kStateParams;
    default: return kNoParams;
  }
}

constexpr uint32_t kMaxLatency = 64;
constexpr char kStateMagic[4] = {'K', 'F', 'X', 'S'};
constexpr size_t kStateSize = 4 + 2 * sizeof(double) + 200;

// ---- Records -------------------------------------------------------------

std::mutex recordMutex;
std::string callLog;
KrevloClapFxRecord record = [] {
  KrevloClapFxRecord r{};
  r.resetSawAudio = r.resetSawMain = r.processSawAudio = r.processSawMain = -1;
  r.channelPointersOk = 1;
  return r;
}();
std::atomic<const clap_host_t*> lastHost{nullptr};

void logCall(const std::string& line) {
  std::lock_guard<std::mutex> lock(recordMutex);
  callLog += line;
  callLog += '\n';
}

// ---- Instance ------------------------------------------------------------

struct Instance {
  clap_plugin_t plugin{};
  Kind kind = Kind::Gain;
  const clap_host_t* host = nullptr;
  const std::vector<Param>* params = nullptr;
  std::atomic<double> values[16];
  bool processedOnce = false;
  bool resetOnce = false;
  // latency
  std::atomic<uint32_t> latency{0};
  std::vector<float> delayL, delayR;
  size_t writePos = 0;

  int indexOf(clap_id id) const {
    for (size_t i = 0; i < params->size(); ++i)
      if ((*params)[i].id == id) return static_cast<int>(i);
    return -1;
  }
  double value(clap_id id) const {
    int i = indexOf(id);
    return i < 0 ? 0.0 : values[i].load();
  }
  void set(clap_id id, double v) {
    int i = indexOf(id);
    if (i >= 0) values[i].store(v);
  }
};

Instance* self(const clap_plugin_t* p) { return static_cast<Instance*>(p->plugin_data); }

template <typename Ext>
const Ext* hostExt(const Instance* in, const char* id) {
  return static_cast<const Ext*>(in->host->get_extension(in->host, id));
}

// Asks the host's thread check; -1 when it offers none.
void threadCheck(const Instance* in, int& audio, int& main) {
  auto* tc = hostExt<clap_host_thread_check_t>(in, CLAP_EXT_THREAD_CHECK);
  if (!tc) return;
  audio = tc->is_audio_thread(in->host) ? 1 : 0;
  main = tc->is_main_thread(in->host) ? 1 : 0;
}

bool pluginInit(const clap_plugin_t* p) {
  logCall("init");
  return self(p)->kind != Kind::InitFalse;
}

void pluginDestroy(const clap_plugin_t* p) {
  logCall("destroy");
  delete self(p);
}

bool pluginActivate(const clap_plugin_t* p, double rate, uint32_t minFrames, uint32_t maxFrames) {
  char line[96];
  std::snprintf(line, sizeof line, "activate %.0f %u %u", rate, minFrames, maxFrames);
  logCall(line);
  Instance* in = self(p);
  if (in->kind == Kind::Picky && rate != 48000.0) return false;
  if (in->kind == Kind::Latency) {
    in->delayL.assign(kMaxLatency + 1, 0.0f);
    in->delayR.assign(kMaxLatency + 1, 0.0f);
  }
  return true;
}

void pluginDeactivate(const clap_plugin_t*) { logCall("deactivate"); }

bool pluginStart(const clap_plugin_t* p) {
  {
    std::lock_guard<std::mutex> lock(recordMutex);
    ++record.startCalls;
  }
  logCall("start_processing");
  return self(p)->kind != Kind::RefuseStart;
}

void pluginStop(const clap_plugin_t*) { logCall("stop_processing"); }

void pluginReset(const clap_plugin_t* p) {
  Instance* in = self(p);
  logCall("reset");
  if (!in->resetOnce) {
    in->resetOnce = true;
    int audio = -1, main = -1;
    threadCheck(in, audio, main);
    std::lock_guard<std::mutex> lock(recordMutex);
    record.resetSawAudio = audio;
    record.resetSawMain = main;
  }
  std::fill(in->delayL.begin(), in->delayL.end(), 0.0f);
  std::fill(in->delayR.begin(), in->delayR.end(), 0.0f);
  in->writePos = 0;
}

void pushParam(const clap_output_events_t* out, clap_id id, double value, uint16_t space = CLAP_CORE_EVENT_SPACE_ID) {
  clap_event_param_value_t e{};
  e.header.size = sizeof e;
  e.header.space_id = space;
  e.header.type = CLAP_EVENT_PARAM_VALUE;
  e.param_id = id;
  e.note_id = e.port_index = e.channel = e.key = -1;
  e.value = value;
  out->try_push(out, &e.header);
}

// Events a host must not take for parameter values: another space, another type
// whose note id sits where a param id would, and a value event cut short. Each
// lives in exactly its own size, so reading past it is caught.
void pushJunk(const clap_output_events_t* out, clap_id id) {
  pushParam(out, id, 111.0, 1);
  clap_event_note_t note{};
  note.header.size = sizeof note;
  note.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
  note.header.type = CLAP_EVENT_NOTE_ON;
  note.note_id = static_cast<int32_t>(id);
  note.velocity = 1.0;
  out->try_push(out, &note.header);
  clap_event_header_t cut{};
  cut.size = sizeof cut;
  cut.space_id = CLAP_CORE_EVENT_SPACE_ID;
  cut.type = CLAP_EVENT_PARAM_VALUE;
  out->try_push(out, &cut);
}

clap_process_status pluginProcess(const clap_plugin_t* p, const clap_process_t* proc) {
  Instance* in = self(p);
  const uint32_t frames = proc->frames_count;
  if (!in->processedOnce) {
    in->processedOnce = true;
    logCall("process");
    int audio = -1, main = -1;
    threadCheck(in, audio, main);
    std::lock_guard<std::mutex> lock(recordMutex);
    record.processSawAudio = audio;
    record.processSawMain = main;
  }

  // Parameter events, in order.
  const uint32_t count = proc->in_events->size(proc->in_events);
  bool modeChanged = false;
  double mode = 0.0;
  for (uint32_t i = 0; i < count; ++i) {
    const clap_event_header_t* h = proc->in_events->get(proc->in_events, i);
    if (!h || h->space_id != CLAP_CORE_EVENT_SPACE_ID || h->type != CLAP_EVENT_PARAM_VALUE) continue;
    const auto* e = reinterpret_cast<const clap_event_param_value_t*>(h);
    in->set(e->param_id, e->value);
    if (in->kind == Kind::Params && e->param_id == 1) modeChanged = true, mode = e->value;
    if (in->kind == Kind::Latency && e->param_id == 20) {
      in->latency.store(static_cast<uint32_t>(std::clamp(e->value, 0.0, double(kMaxLatency))));
      in->host->request_restart(in->host);
    }
  }
  if (proc->in_events->get(proc->in_events, count) != nullptr) {
    std::lock_guard<std::mutex> lock(recordMutex);
    callLog += "event list answers past its end\n";
  }

  if (in->kind != Kind::Gain) {
    std::lock_guard<std::mutex> lock(recordMutex);
    record.lastBlockEvents = count;
    if (count > 0) {
      record.eventCount = std::min<uint32_t>(count, KREVLO_CLAP_FX_MAX_EVENTS);
      for (uint32_t i = 0; i < record.eventCount; ++i) {
        const clap_event_header_t* h = proc->in_events->get(proc->in_events, i);
        std::memcpy(&record.events[i], h, std::min<size_t>(h->size, sizeof record.events[i]));
      }
    }
    record.hasTransport = proc->transport != nullptr;
    if (proc->transport) record.transport = *proc->transport;
    record.steadyTime = proc->steady_time;
    record.inputCount = proc->audio_inputs_count;
    record.outputCount = proc->audio_outputs_count;
    for (uint32_t k = 0; k < KREVLO_CLAP_FX_MAX_PORTS; ++k) {
      record.inputChannels[k] = k < proc->audio_inputs_count ? proc->audio_inputs[k].channel_count : 0;
      record.outputChannels[k] = k < proc->audio_outputs_count ? proc->audio_outputs[k].channel_count : 0;
    }
  }

  const float* inL = proc->audio_inputs[0].data32[0];
  const float* inR = proc->audio_inputs[0].data32[1];
  float* outL = proc->audio_outputs[0].data32[0];
  float* outR = proc->audio_outputs[0].data32[1];

  switch (in->kind) {
    case Kind::Gain: {
      const float g = static_cast<float>(in->value(10));
      for (uint32_t i = 0; i < frames; ++i) outL[i] = inL[i] * g, outR[i] = inR[i] * g;
      pushParam(proc->out_events, 11, -6.0 * g);
      return CLAP_PROCESS_CONTINUE;
    }
    case Kind::Latency: {
      const size_t cap = in->delayL.size();
      const size_t delay = in->latency.load();
      for (uint32_t i = 0; i < frames; ++i) {
        in->delayL[in->writePos] = inL[i];
        in->delayR[in->writePos] = inR[i];
        const size_t readPos = (in->writePos + cap - delay) % cap;
        outL[i] = in->delayL[readPos];
        outR[i] = in->delayR[readPos];
        in->writePos = (in->writePos + 1) % cap;
      }
      return CLAP_PROCESS_CONTINUE;
    }
    case Kind::MultiPort: {
      // Like a real plug-in: every further port by the count it declared.
      static const uint32_t inDeclared[] = {2, 6}, outDeclared[] = {2, 1, 4};
      bool ok = true;
      float sum = 0.0f;
      for (uint32_t k = 1; k < 2 && k < proc->audio_inputs_count; ++k)
        for (uint32_t c = 0; c < inDeclared[k]; ++c) {
          const float* ch = proc->audio_inputs[k].data32[c];
          if (!ch) ok = false;
          else for (uint32_t i = 0; i < frames; ++i) sum += ch[i];
        }
      for (uint32_t k = 1; k < 3 && k < proc->audio_outputs_count; ++k)
        for (uint32_t c = 0; c < outDeclared[k]; ++c) {
          float* ch = proc->audio_outputs[k].data32[c];
          if (!ch) ok = false;
          else std::fill(ch, ch + frames, 0.0f);
        }
      (void)sum;
      if (!ok) {
        std::lock_guard<std::mutex> lock(recordMutex);
        record.channelPointersOk = 0;
      }
      std::copy(inL, inL + frames, outL);
      std::copy(inR, inR + frames, outR);
      return CLAP_PROCESS_CONTINUE;
    }
    case Kind::FailProcess:
      std::fill(outL, outL + frames, 99.0f);
      std::fill(outR, outR + frames, 99.0f);
      return CLAP_PROCESS_ERROR;
    default:
      break;
  }
  if (modeChanged) {
    pushJunk(proc->out_events, 9);
    pushParam(proc->out_events, 9, mode / 4.0);
    pushParam(proc->out_events, 4, -7.5);
  }
  std::copy(inL, inL + frames, outL);
  std::copy(inR, inR + frames, outR);
  return CLAP_PROCESS_CONTINUE;
}

// ---- Parameters ----------------------------------------------------------

uint32_t paramsCount(const clap_plugin_t* p) { return static_cast<uint32_t>(self(p)->params->size()); }

bool paramsInfo(const clap_plugin_t* p, uint32_t index, clap_param_info_t* info) {
  const auto& list = *self(p)->params;
  if (index >= list.size() || list[index].id == 99) return false;
  const Param& q = list[index];
  info->id = q.id;
  info->flags = q.flags;
  info->cookie = nullptr;
  std::snprintf(info->name, sizeof info->name, "%s", q.name);
  std::snprintf(info->module, sizeof info->module, "%s", "");
  info->min_value = q.min;
  info->max_value = q.max;
  info->default_value = q.def;
  return true;
}

bool paramsValue(const clap_plugin_t* p, clap_id id, double* out) {
  const Instance* in = self(p);
  const int i = in->indexOf(id);
  if (i < 0) return false;
  *out = in->values[i].load();
  return true;
}

bool paramsText(const clap_plugin_t* p, clap_id id, double value, char* out, uint32_t capacity) {
  const Instance* in = self(p);
  if (in->indexOf(id) < 0 || capacity == 0) return false;
  if (in->kind == Kind::Params) {
    if (id == 7) return false;
    if (id == 8) {
      std::memset(out, 'x', capacity);  // no NUL anywhere
      return true;
    }
    if (id == 1) return std::snprintf(out, capacity, "Mode %d", static_cast<int>(value)) > 0;
  }
  if ((in->kind == Kind::Gain && id == 11) || (in->kind == Kind::Params && id == 4))
    return std::snprintf(out, capacity, "%.1f dB", value) > 0;
  if (in->kind == Kind::Gain) return std::snprintf(out, capacity, "%.2f x", value) > 0;
  if (in->kind == Kind::Latency) return std::snprintf(out, capacity, "%d smp", static_cast<int>(value)) > 0;
  return std::snprintf(out, capacity, "%.3f", value) > 0;
}

bool paramsFromText(const clap_plugin_t*, clap_id, const char*, double*) { return false; }
// Parameter values only; what process answers to them is left to process.
void paramsFlush(const clap_plugin_t* p, const clap_input_events_t* events, const clap_output_events_t*) {
  Instance* in = self(p);
  const uint32_t count = events ? events->size(events) : 0;
  for (uint32_t i = 0; i < count; ++i) {
    const clap_event_header_t* h = events->get(events, i);
    if (!h || h->space_id != CLAP_CORE_EVENT_SPACE_ID || h->type != CLAP_EVENT_PARAM_VALUE) continue;
    const auto* e = reinterpret_cast<const clap_event_param_value_t*>(h);
    in->set(e->param_id, e->value);
    if (in->kind == Kind::Latency && e->param_id == 20) {
      in->latency.store(static_cast<uint32_t>(std::clamp(e->value, 0.0, double(kMaxLatency))));
      in->host->request_restart(in->host);
    }
  }
}

const clap_plugin_params_t kParamsExt = {paramsCount, paramsInfo, paramsValue, paramsText, paramsFromText, paramsFlush};

// ---- State ---------------------------------------------------------------

bool stateSave(const clap_plugin_t* p, const clap_ostream_t* stream) {
  const Instance* in = self(p);
  unsigned char bytes[kStateSize];
  std::memcpy(bytes, kStateMagic, 4);
  const double level = in->value(1), steps = in->value(2);
  std::memcpy(bytes + 4, &level, sizeof level);
  std::memcpy(bytes + 12, &steps, sizeof steps);
  for (size_t i = 20; i < kStateSize; ++i) bytes[i] = static_cast<unsigned char>(i * 7);
  for (size_t pos = 0; pos < kStateSize;) {
    const int64_t n = stream->write(stream, bytes + pos, std::min<size_t>(7, kStateSize - pos));
    if (n <= 0) return false;
    pos += static_cast<size_t>(n);
  }
  return true;
}

bool stateLoad(const clap_plugin_t* p, const clap_istream_t* stream) {
  Instance* in = self(p);
  std::vector<unsigned char> bytes;
  unsigned char chunk[5];
  for (;;) {
    const int64_t n = stream->read(stream, chunk, sizeof chunk);
    if (n < 0) return false;
    if (n == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  if (bytes.size() != kStateSize || std::memcmp(bytes.data(), kStateMagic, 4) != 0) return false;
  double level, steps;
  std::memcpy(&level, bytes.data() + 4, sizeof level);
  std::memcpy(&steps, bytes.data() + 12, sizeof steps);
  in->set(1, level);
  in->set(2, steps);
  return true;
}

const clap_plugin_state_t kStateExt = {stateSave, stateLoad};

// ---- Latency and tail ----------------------------------------------------

uint32_t latencyGet(const clap_plugin_t* p) { return self(p)->latency.load(); }
const clap_plugin_latency_t kLatencyExt = {latencyGet};

uint32_t tailGet(const clap_plugin_t* p) { return self(p)->kind == Kind::Latency ? UINT32_MAX : 48000; }
const clap_plugin_tail_t kTailExt = {tailGet};

// ---- Audio ports ---------------------------------------------------------

uint32_t portsCount(const clap_plugin_t* p, bool input) {
  switch (self(p)->kind) {
    case Kind::MultiPort: return input ? 2 : 3;
    case Kind::NoOutput: return input ? 1 : 0;
    default: return 1;
  }
}

bool portsGet(const clap_plugin_t* p, uint32_t index, bool input, clap_audio_port_info_t* info) {
  const Kind kind = self(p)->kind;
  if (kind == Kind::NoPortInfo || index >= portsCount(p, input)) return false;
  uint32_t channels = 2;
  if (kind == Kind::Mono && input) channels = 1;
  if (kind == Kind::MultiPort && index > 0) channels = input ? 6 : (index == 1 ? 1 : 4);
  info->id = index;
  std::snprintf(info->name, sizeof info->name, "%s %u", input ? "In" : "Out", index);
  info->flags = index == 0 ? CLAP_AUDIO_PORT_IS_MAIN : 0;
  info->channel_count = channels;
  info->port_type = channels == 2 ? CLAP_PORT_STEREO : channels == 1 ? CLAP_PORT_MONO : nullptr;
  info->in_place_pair = CLAP_INVALID_ID;
  return true;
}

const clap_plugin_audio_ports_t kPortsExt = {portsCount, portsGet};

// ---- Editor --------------------------------------------------------------

bool guiSupported(const clap_plugin_t*, const char* api, bool floating) {
  return api && std::strcmp(api, CLAP_WINDOW_API_X11) == 0 && !floating;
}
bool guiPreferred(const clap_plugin_t*, const char** api, bool* floating) {
  *api = CLAP_WINDOW_API_X11;
  *floating = false;
  return true;
}
bool guiCreate(const clap_plugin_t*, const char* api, bool floating) {
  logCall(std::string("gui.create ") + (api ? api : "null") + (floating ? " floating" : ""));
  return true;
}
void guiDestroy(const clap_plugin_t*) {
  logCall("gui.destroy");
  krevlo_test::clapEditor().destroy();
}
bool guiScale(const clap_plugin_t*, double) { return false; }
bool guiSize(const clap_plugin_t*, uint32_t* w, uint32_t* h) {
  *w = 640;
  *h = 480;
  return true;
}
bool guiCanResize(const clap_plugin_t*) { return true; }
bool guiHints(const clap_plugin_t*, clap_gui_resize_hints_t*) { return false; }
bool guiAdjust(const clap_plugin_t*, uint32_t*, uint32_t*) { return true; }
bool guiSetSize(const clap_plugin_t*, uint32_t, uint32_t) { return true; }
bool guiParent(const clap_plugin_t* p, const clap_window_t* w) {
  logCall(std::string("gui.set_parent ") + w->api + " " + std::to_string(w->x11));
  return krevlo_test::clapEditor().setParent(self(p)->host, w->x11, 640, 480);
}
bool guiTransient(const clap_plugin_t*, const clap_window_t*) { return false; }
void guiTitle(const clap_plugin_t*, const char*) {}
bool guiShow(const clap_plugin_t*) {
  logCall("gui.show");
  return true;
}
bool guiHide(const clap_plugin_t*) {
  logCall("gui.hide");
  return true;
}

const clap_plugin_gui_t kGuiExt = {guiSupported, guiPreferred, guiCreate,  guiDestroy,   guiScale,
                                   guiSize,      guiCanResize, guiHints,   guiAdjust,    guiSetSize,
                                   guiParent,    guiTransient, guiTitle,   guiShow,      guiHide};

// ---- Plug-in and factory -------------------------------------------------

const void* pluginExtension(const clap_plugin_t* p, const char* id) {
  const Kind kind = self(p)->kind;
  if (std::strcmp(id, CLAP_EXT_AUDIO_PORTS) == 0) return kind == Kind::NoPorts ? nullptr : &kPortsExt;
  if (std::strcmp(id, CLAP_EXT_PARAMS) == 0) return paramsOf(kind).empty() ? nullptr : &kParamsExt;
  if (std::strcmp(id, CLAP_EXT_STATE) == 0) return kind == Kind::State ? &kStateExt : nullptr;
  if (std::strcmp(id, CLAP_EXT_LATENCY) == 0) return kind == Kind::Latency ? &kLatencyExt : nullptr;
  if (std::strcmp(id, CLAP_EXT_TAIL) == 0)
    return kind == Kind::Latency || kind == Kind::Gain ? &kTailExt : nullptr;
  if (std::strcmp(id, CLAP_EXT_GUI) == 0) return kind == Kind::Gain ? &kGuiExt : nullptr;
  if (std::strcmp(id, CLAP_EXT_TIMER_SUPPORT) == 0)
    return kind == Kind::Gain ? &krevlo_test::ClapX11Editor::timerExtension : nullptr;
  if (std::strcmp(id, CLAP_EXT_POSIX_FD_SUPPORT) == 0)
    return kind == Kind::Gain ? &krevlo_test::ClapX11Editor::fdExtension : nullptr;
  return nullptr;
}

void pluginOnMainThread(const clap_plugin_t*) {
  {
    std::lock_guard<std::mutex> lock(recordMutex);
    ++record.onMainThreadCalls;
  }
  logCall("on_main_thread");
}

uint32_t factoryCount(const clap_plugin_factory_t*) { return kDescriptorCount; }

const clap_plugin_descriptor_t* factoryDescriptor(const clap_plugin_factory_t*, uint32_t index) {
  return index < kDescriptorCount ? &kDescriptors[index] : nullptr;
}

const clap_plugin_t* factoryCreate(const clap_plugin_factory_t*, const clap_host_t* host, const char* id) {
  for (uint32_t i = 0; i < kDescriptorCount; ++i) {
    if (std::strcmp(kDescriptors[i].id, id) != 0) continue;
    logCall(std::string("create ") + id);
    const Kind kind = static_cast<Kind>(i);
    if (kind == Kind::NullCreate) return nullptr;
    auto* in = new Instance;
    in->kind = kind;
    in->host = host;
    in->params = &paramsOf(kind);
    for (size_t k = 0; k < in->params->size(); ++k) in->values[k].store((*in->params)[k].def);
    in->plugin.desc = &kDescriptors[i];
    in->plugin.plugin_data = in;
    in->plugin.init = pluginInit;
    in->plugin.destroy = pluginDestroy;
    in->plugin.activate = pluginActivate;
    in->plugin.deactivate = pluginDeactivate;
    in->plugin.start_processing = pluginStart;
    in->plugin.stop_processing = pluginStop;
    in->plugin.reset = pluginReset;
    in->plugin.process = pluginProcess;
    in->plugin.get_extension = pluginExtension;
    in->plugin.on_main_thread = pluginOnMainThread;
    if (kind == Kind::Latency) in->latency.store(8);
    lastHost.store(host);
    return &in->plugin;
  }
  return nullptr;
}

const clap_plugin_factory_t kFactory = {factoryCount, factoryDescriptor, factoryCreate};

bool entryInit(const char*) {
  {
    std::lock_guard<std::mutex> lock(recordMutex);
    ++record.entryInits;
  }
  logCall("entry.init");
  return true;
}

void entryDeinit() { logCall("entry.deinit"); }

const void* entryFactory(const char* id) { return std::strcmp(id, CLAP_PLUGIN_FACTORY_ID) == 0 ? &kFactory : nullptr; }

// ---- Probe ---------------------------------------------------------------

void probeLog(char* out, size_t capacity) {
  if (capacity == 0) return;
  std::lock_guard<std::mutex> lock(recordMutex);
  std::snprintf(out, capacity, "%s", callLog.c_str());
}

void probeRecord(KrevloClapFxRecord* out) {
  std::lock_guard<std::mutex> lock(recordMutex);
  *out = record;
}

const clap_host_t* probeLastHost() { return lastHost.load(); }

const KrevloClapFxProbe kProbe = {probeLog, probeRecord, probeLastHost};

}  // namespace

extern "C" {
CLAP_EXPORT extern const clap_plugin_entry_t clap_entry;
const clap_plugin_entry_t clap_entry = {CLAP_VERSION_INIT, entryInit, entryDeinit, entryFactory};

CLAP_EXPORT const KrevloClapFxProbe* krevlo_clap_fx_probe(void) { return &kProbe; }
}

// A CLAP test plug-in that keeps its format's rules as strictly as a plug-in
// built with full checking does: every call asks the host's thread check and
// the plug-in's lifecycle, and any violation prints what went wrong and aborts
// the whole process. Descriptors ("org.krevlo.strict.<name>"):
//   effect     "Level" (0..1) and the stepped "Latency" (0..64 samples). Its
//              latency changes only inside activate: a "Latency" event asks for
//              a restart. Every block calls request_callback; the first one
//              also logs a warning.
//   sidechain  the same, with a stereo side input and a stereo aux output; it
//              writes 1.0 to the aux output and records the side input's peak.
//   smooth     the effect, whose "Level" glides toward an edit that arrives
//              while it processes (by kGlidePerFrame for each frame of audio,
//              so with no audio it stays where it was), as plug-ins that
//              smooth their parameters do, and takes an edit at once while it
//              is not processing. The state saves where the level is.
// Parameter values change only through events (process or flush), as in a
// plug-in whose audio side owns its parameters; the state saves them.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/clap/clap_ext.h"
#include "plugins/clap_strict_probe.h"

namespace {

const char* const kFeatures[] = {CLAP_PLUGIN_FEATURE_AUDIO_EFFECT, CLAP_PLUGIN_FEATURE_STEREO, nullptr};

const clap_plugin_descriptor_t kDescriptors[] = {
    {CLAP_VERSION_INIT, "org.krevlo.strict.effect", "Strict Effect", "Krevlo Tests", nullptr, nullptr, nullptr,
     "1.0.0", nullptr, kFeatures},
    {CLAP_VERSION_INIT, "org.krevlo.strict.sidechain", "Strict Sidechain", "Krevlo Tests", nullptr, nullptr,
     nullptr, "1.0.0", nullptr, kFeatures},
    {CLAP_VERSION_INIT, "org.krevlo.strict.smooth", "Strict Smooth", "Krevlo Tests", nullptr, nullptr, nullptr,
     "1.0.0", nullptr, kFeatures},
};
constexpr uint32_t kDescriptorCount = sizeof kDescriptors / sizeof kDescriptors[0];

constexpr clap_id kLevel = 1, kLatency = 2;
constexpr double kLevelDefault = 0.25, kLatencyDefault = 4.0, kMaxLatency = 64.0;
constexpr char kStateMagic[4] = {'K', 'S', 'T', 'R'};
// The smooth kind's glide: the whole range in a second of audio at 48 kHz.
constexpr double kGlidePerFrame = 1.0 / 48000.0;

std::mutex recordMutex;
KrevloClapStrictRecord record{};
std::atomic<const clap_host_t*> lastHost{nullptr};

template <typename F>
void note(F change) {
  std::lock_guard<std::mutex> lock(recordMutex);
  change(record);
}

struct Instance {
  clap_plugin_t plugin{};
  const clap_host_t* host = nullptr;
  const clap_host_thread_check_t* check = nullptr;
  bool sidechain = false;
  bool smooth = false;
  bool active = false;
  bool processing = false;
  // Written by events on the audio side, read by the main side's calls, which
  // the host never runs at once with process.
  std::atomic<double> level{kLevelDefault}, latency{kLatencyDefault};
  // Where the smooth kind's level glides to; the level itself otherwise.
  std::atomic<double> levelTarget{kLevelDefault};
  uint32_t activeLatency = static_cast<uint32_t>(kLatencyDefault);
  std::atomic<std::thread::id> processThread{};
  bool logged = false;
};

Instance* self(const clap_plugin_t* p) { return static_cast<Instance*>(p->plugin_data); }

[[noreturn]] void violation(const char* method, const char* rule) {
  std::fprintf(stderr, "strict plug-in: %s called %s\n", method, rule);
  std::fflush(stderr);
  std::abort();
}

void onMain(const Instance* in, const char* method) {
  if (!in->check || !in->check->is_main_thread(in->host)) violation(method, "off the main thread");
}

void onAudio(const Instance* in, const char* method) {
  if (!in->check || !in->check->is_audio_thread(in->host)) violation(method, "off the audio thread");
}

void expect(bool ok, const char* method, const char* rule) {
  if (!ok) violation(method, rule);
}

int applyEvents(Instance* in, const clap_input_events_t* events) {
  int seen = 0;
  const uint32_t count = events ? events->size(events) : 0;
  for (uint32_t i = 0; i < count; ++i) {
    const clap_event_header_t* h = events->get(events, i);
    if (!h || h->space_id != CLAP_CORE_EVENT_SPACE_ID || h->type != CLAP_EVENT_PARAM_VALUE) continue;
    const auto* e = reinterpret_cast<const clap_event_param_value_t*>(h);
    ++seen;
    if (e->param_id == kLevel) {
      in->levelTarget.store(std::clamp(e->value, 0.0, 1.0));
      if (!in->smooth || !in->processing) in->level.store(in->levelTarget.load());
    }
    if (e->param_id == kLatency) {
      in->latency.store(std::clamp(std::round(e->value), 0.0, kMaxLatency));
      // The new latency may only be reported from activate.
      in->host->request_restart(in->host);
    }
  }
  return seen;
}

// ---- Plug-in -------------------------------------------------------------

bool pluginInit(const clap_plugin_t* p) {
  Instance* in = self(p);
  in->check = static_cast<const clap_host_thread_check_t*>(in->host->get_extension(in->host, CLAP_EXT_THREAD_CHECK));
  onMain(in, "clap_plugin.init()");
  return true;
}

void pluginDestroy(const clap_plugin_t* p) {
  Instance* in = self(p);
  onMain(in, "clap_plugin.destroy()");
  expect(!in->active, "clap_plugin.destroy()", "while the plug-in is still active!");
  note([](KrevloClapStrictRecord& r) { ++r.destroys; });
  delete in;
}

bool pluginActivate(const clap_plugin_t* p, double, uint32_t, uint32_t) {
  Instance* in = self(p);
  onMain(in, "clap_plugin.activate()");
  expect(!in->active, "clap_plugin.activate()", "while the plug-in is already active!");
  in->active = true;
  in->activeLatency = static_cast<uint32_t>(in->latency.load());
  note([](KrevloClapStrictRecord& r) { ++r.activates; });
  return true;
}

void pluginDeactivate(const clap_plugin_t* p) {
  Instance* in = self(p);
  onMain(in, "clap_plugin.deactivate()");
  expect(in->active, "clap_plugin.deactivate()", "while the plug-in is not active!");
  expect(!in->processing, "clap_plugin.deactivate()", "while the plug-in is still processing!");
  in->active = false;
  note([](KrevloClapStrictRecord& r) { ++r.deactivates; });
}

bool pluginStart(const clap_plugin_t* p) {
  Instance* in = self(p);
  onAudio(in, "clap_plugin.start_processing()");
  expect(in->active && !in->processing, "clap_plugin.start_processing()", "out of order!");
  in->processing = true;
  note([](KrevloClapStrictRecord& r) { ++r.starts; });
  return true;
}

void pluginStop(const clap_plugin_t* p) {
  Instance* in = self(p);
  onAudio(in, "clap_plugin.stop_processing()");
  expect(in->processing, "clap_plugin.stop_processing()", "while the plug-in is not processing!");
  in->processing = false;
  const bool off = in->processThread.load() != std::this_thread::get_id();
  note([off](KrevloClapStrictRecord& r) {
    ++r.stops;
    if (off) ++r.stopsOffProcessThread;
  });
}

void pluginReset(const clap_plugin_t* p) {
  Instance* in = self(p);
  onAudio(in, "clap_plugin.reset()");
  expect(in->active, "clap_plugin.reset()", "while the plug-in is not active!");
}

clap_process_status pluginProcess(const clap_plugin_t* p, const clap_process_t* proc) {
  Instance* in = self(p);
  onAudio(in, "clap_plugin.process()");
  expect(in->processing, "clap_plugin.process()", "while the plug-in is not processing!");
  in->processThread.store(std::this_thread::get_id());
  const int events = applyEvents(in, proc->in_events);

  const uint32_t n = proc->frames_count;
  if (in->smooth) {
    const double from = in->level.load(), to = in->levelTarget.load(), step = n * kGlidePerFrame;
    in->level.store(to > from ? std::min(to, from + step) : std::max(to, from - step));
  }
  const float gain = static_cast<float>(in->level.load() * 4.0);
  for (uint32_t c = 0; c < 2; ++c)
    for (uint32_t i = 0; i < n; ++i)
      proc->audio_outputs[0].data32[c][i] = proc->audio_inputs[0].data32[c][i] * gain;
  float sidePeak = 0.0f;
  if (in->sidechain) {
    expect(proc->audio_inputs_count == 2 && proc->audio_outputs_count == 2, "clap_plugin.process()",
           "with the wrong number of ports!");
    for (uint32_t c = 0; c < 2; ++c) {
      for (uint32_t i = 0; i < n; ++i)
        sidePeak = std::max(sidePeak, std::fabs(proc->audio_inputs[1].data32[c][i]));
      for (uint32_t i = 0; i < n; ++i) proc->audio_outputs[1].data32[c][i] = 1.0f;
    }
  }

  in->host->request_callback(in->host);
  if (!in->logged) {
    in->logged = true;
    auto log = static_cast<const clap_host_log_t*>(in->host->get_extension(in->host, CLAP_EXT_LOG));
    if (log) log->log(in->host, CLAP_LOG_WARNING, "strict plug-in: first block");
  }
  note([&](KrevloClapStrictRecord& r) {
    ++r.blocks;
    r.processEvents += events;
    r.sidePeak = std::max(r.sidePeak, sidePeak);
  });
  return CLAP_PROCESS_CONTINUE;
}

void pluginOnMainThread(const clap_plugin_t* p) {
  onMain(self(p), "clap_plugin.on_main_thread()");
  note([](KrevloClapStrictRecord& r) { ++r.onMainThreadCalls; });
}

// ---- Parameters ----------------------------------------------------------

uint32_t paramsCount(const clap_plugin_t* p) {
  onMain(self(p), "clap_plugin_params.count()");
  return 2;
}

bool paramsInfo(const clap_plugin_t* p, uint32_t index, clap_param_info_t* info) {
  onMain(self(p), "clap_plugin_params.get_info()");
  if (index > 1) return false;
  *info = clap_param_info_t{};
  info->id = index == 0 ? kLevel : kLatency;
  info->flags = CLAP_PARAM_IS_AUTOMATABLE | (index == 1 ? uint32_t{CLAP_PARAM_IS_STEPPED} : 0u);
  std::snprintf(info->name, sizeof info->name, "%s", index == 0 ? "Level" : "Latency");
  info->min_value = 0.0;
  info->max_value = index == 0 ? 1.0 : kMaxLatency;
  info->default_value = index == 0 ? kLevelDefault : kLatencyDefault;
  return true;
}

bool paramsValue(const clap_plugin_t* p, clap_id id, double* value) {
  Instance* in = self(p);
  onMain(in, "clap_plugin_params.get_value()");
  if (id == kLevel) *value = in->level.load();
  else if (id == kLatency) *value = in->latency.load();
  else return false;
  return true;
}

bool paramsToText(const clap_plugin_t* p, clap_id id, double value, char* out, uint32_t capacity) {
  onMain(self(p), "clap_plugin_params.value_to_text()");
  if (id == kLevel) return std::snprintf(out, capacity, "%.2f", value) > 0;
  if (id == kLatency) return std::snprintf(out, capacity, "%d smp", static_cast<int>(value)) > 0;
  return false;
}

bool paramsFromText(const clap_plugin_t* p, clap_id, const char*, double*) {
  onMain(self(p), "clap_plugin_params.text_to_value()");
  return false;
}

void paramsFlush(const clap_plugin_t* p, const clap_input_events_t* in, const clap_output_events_t*) {
  Instance* i = self(p);
  if (i->active)
    onAudio(i, "clap_plugin_params.flush()");
  else
    onMain(i, "clap_plugin_params.flush()");
  expect(!i->processing || i->check->is_audio_thread(i->host), "clap_plugin_params.flush()", "while processing!");
  const int events = applyEvents(i, in);
  note([events](KrevloClapStrictRecord& r) {
    ++r.flushes;
    r.flushEvents += events;
  });
}

const clap_plugin_params_t kParamsExt = {paramsCount, paramsInfo, paramsValue, paramsToText, paramsFromText,
                                         paramsFlush};

// ---- State, latency, ports ----------------------------------------------

bool stateSave(const clap_plugin_t* p, const clap_ostream_t* stream) {
  Instance* in = self(p);
  onMain(in, "clap_plugin_state.save()");
  unsigned char bytes[4 + 2 * sizeof(double)];
  const double level = in->level.load(), latency = in->latency.load();
  std::memcpy(bytes, kStateMagic, 4);
  std::memcpy(bytes + 4, &level, sizeof level);
  std::memcpy(bytes + 4 + sizeof level, &latency, sizeof latency);
  return stream->write(stream, bytes, sizeof bytes) == static_cast<int64_t>(sizeof bytes);
}

bool stateLoad(const clap_plugin_t* p, const clap_istream_t* stream) {
  Instance* in = self(p);
  onMain(in, "clap_plugin_state.load()");
  unsigned char bytes[4 + 2 * sizeof(double)];
  size_t got = 0;
  while (got < sizeof bytes) {
    const int64_t n = stream->read(stream, bytes + got, sizeof bytes - got);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  if (std::memcmp(bytes, kStateMagic, 4) != 0) return false;
  double level = 0.0, latency = 0.0;
  std::memcpy(&level, bytes + 4, sizeof level);
  std::memcpy(&latency, bytes + 4 + sizeof level, sizeof latency);
  in->level.store(std::clamp(level, 0.0, 1.0));
  in->levelTarget.store(in->level.load());
  in->latency.store(std::clamp(latency, 0.0, kMaxLatency));
  return true;
}

const clap_plugin_state_t kStateExt = {stateSave, stateLoad};

uint32_t latencyGet(const clap_plugin_t* p) {
  Instance* in = self(p);
  onMain(in, "clap_plugin_latency.get()");
  return in->activeLatency;
}

const clap_plugin_latency_t kLatencyExt = {latencyGet};

uint32_t portsCount(const clap_plugin_t* p, bool) {
  onMain(self(p), "clap_plugin_audio_ports.count()");
  return self(p)->sidechain ? 2 : 1;
}

bool portsGet(const clap_plugin_t* p, uint32_t index, bool input, clap_audio_port_info_t* info) {
  onMain(self(p), "clap_plugin_audio_ports.get()");
  if (index >= portsCount(p, input)) return false;
  *info = clap_audio_port_info_t{};
  info->id = index;
  std::snprintf(info->name, sizeof info->name, "%s", index == 0 ? "Main" : input ? "Sidechain" : "Aux");
  info->flags = index == 0 ? uint32_t{CLAP_AUDIO_PORT_IS_MAIN} : 0u;
  info->channel_count = 2;
  info->port_type = CLAP_PORT_STEREO;
  info->in_place_pair = CLAP_INVALID_ID;
  return true;
}

const clap_plugin_audio_ports_t kPortsExt = {portsCount, portsGet};

const void* pluginExtension(const clap_plugin_t*, const char* id) {
  if (std::strcmp(id, CLAP_EXT_PARAMS) == 0) return &kParamsExt;
  if (std::strcmp(id, CLAP_EXT_STATE) == 0) return &kStateExt;
  if (std::strcmp(id, CLAP_EXT_LATENCY) == 0) return &kLatencyExt;
  if (std::strcmp(id, CLAP_EXT_AUDIO_PORTS) == 0) return &kPortsExt;
  return nullptr;
}

// ---- Factory, entry, probe ------------------------------------------------

uint32_t factoryCount(const clap_plugin_factory_t*) { return kDescriptorCount; }

const clap_plugin_descriptor_t* factoryDescriptor(const clap_plugin_factory_t*, uint32_t index) {
  return index < kDescriptorCount ? &kDescriptors[index] : nullptr;
}

const clap_plugin_t* factoryCreate(const clap_plugin_factory_t*, const clap_host_t* host, const char* id) {
  for (uint32_t i = 0; i < kDescriptorCount; ++i) {
    if (std::strcmp(kDescriptors[i].id, id) != 0) continue;
    auto* in = new Instance;
    in->host = host;
    in->sidechain = i == 1;
    in->smooth = i == 2;
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
    lastHost.store(host);
    return &in->plugin;
  }
  return nullptr;
}

const clap_plugin_factory_t kFactory = {factoryCount, factoryDescriptor, factoryCreate};

bool entryInit(const char*) { return true; }
void entryDeinit() {}
const void* entryFactory(const char* id) { return std::strcmp(id, CLAP_PLUGIN_FACTORY_ID) == 0 ? &kFactory : nullptr; }

void probeRecord(KrevloClapStrictRecord* out) {
  std::lock_guard<std::mutex> lock(recordMutex);
  *out = record;
}

const clap_host_t* probeLastHost() { return lastHost.load(); }

const KrevloClapStrictProbe kProbe = {probeRecord, probeLastHost};

}  // namespace

extern "C" {
CLAP_EXPORT extern const clap_plugin_entry_t clap_entry;
const clap_plugin_entry_t clap_entry = {CLAP_VERSION_INIT, entryInit, entryDeinit, entryFactory};

CLAP_EXPORT const KrevloClapStrictProbe* krevlo_clap_strict_probe(void) { return &kProbe; }
}

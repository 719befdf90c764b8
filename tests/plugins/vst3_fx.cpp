// Processing test plug-ins for the VST3 host: one bundle, one class per
// behaviour (vst3_fx_probe.h lists them), all stereo effects unless their buses
// say otherwise. What they see is recorded for the tests.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/vst3/vst3_controller.h"
#include "platform/vst3/vst3_factory.h"
#include "platform/vst3/vst3_host.h"
#include "platform/vst3/vst3_message.h"
#include "platform/vst3/vst3_processor.h"
#include "platform/vst3/vst3_view.h"
#include "plugins/x11_test_editor.h"
#include "plugins/vst3_fx_probe.h"

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

constexpr Uid classUid(Vst3FxKind kind) {
  return makeUid(0x4B525633, 0x46580000 + static_cast<uint32>(kind), 0x01020304, 0x0A0B0C0D);
}

// ---- records -------------------------------------------------------------

constexpr int kMaxChanges = 80;

std::mutex gMutex;  // guards everything below it
std::string gLog;
ProcessContext gContext{};
Vst3FxChange gChanges[kMaxChanges];
int gChangeCount = 0;
IComponentHandler* gHandler = nullptr;  // the last one given to any object
std::u16string gGainTitle = u"Gain";
std::vector<std::pair<ParamID, int32>> gFlagOverrides;
int32 gRefusedInfo = -1;
double gMeterOutput = -1.0;  // < 0: 1 - gain

std::atomic<int> gLive{0};
std::atomic<int> gEntries{0};
std::atomic<int> gBlocks{0};

void note(const std::string& line) {
  std::lock_guard<std::mutex> lock(gMutex);
  gLog += line;
  gLog += '\n';
}

template <size_t N>
void copy16(char16 (&to)[N], const std::u16string& from) {
  size_t i = 0;
  for (; i + 1 < N && i < from.size(); ++i) to[i] = from[i];
  to[i] = 0;
}

void copy16(char16* to, size_t n, const char* from) {
  size_t i = 0;
  for (; i + 1 < n && from[i]; ++i) to[i] = static_cast<char16>(from[i]);
  to[i] = 0;
}

std::string narrow(const char16* text, size_t max) {
  std::string out;
  for (size_t i = 0; i < max && text[i]; ++i) out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
  return out;
}

bool readAll(IBStream* s, void* to, int32 n) {
  int32 got = 0;
  return s && s->read(to, n, &got) == kResultOk && got == n;
}

bool writeAll(IBStream* s, const void* from, int32 n) {
  int32 put = 0;
  return s && s->write(const_cast<void*>(from), n, &put) == kResultOk && put == n;
}

// ---- parameters ------------------------------------------------------------

struct Param {
  ParameterInfo info;
  double value;
};

Param makeParam(ParamID id, const char16_t* title, const char16_t* units, int32 steps, double def, int32 flags) {
  Param p{};
  p.info.id = id;
  copy16(p.info.title, title);
  copy16(p.info.shortTitle, title);
  copy16(p.info.units, units);
  p.info.stepCount = steps;
  p.info.defaultNormalizedValue = def;
  p.info.flags = flags;
  p.value = def;
  return p;
}

std::vector<Param> paramsOf(Vst3FxKind kind) {
  constexpr int32 kAuto = ParameterInfo::kCanAutomate;
  switch (kind) {
    case Vst3FxKind::Gain:
      return {makeParam(kFxGain, u"Gain", u"x", 0, 0.5, kAuto),
              makeParam(kFxOutputLevel, u"Output Level", u"dB", 0, 0.0, ParameterInfo::kIsReadOnly),
              makeParam(kFxMeter, u"Gain Reduction", u"dB", 0, 0.125, ParameterInfo::kIsReadOnly),
              makeParam(kFxBypass, u"Bypass", u"", 1, 0.0, kAuto | ParameterInfo::kIsBypass),
              makeParam(kFxHidden, u"Hidden", u"", 0, 0.0, ParameterInfo::kIsHidden),
              makeParam(kFxMode, u"Mode", u"", 2, 0.0, kAuto | ParameterInfo::kIsList)};
    case Vst3FxKind::LatencyShift:
      return {makeParam(kFxLatency, u"Latency", u"", 1, 0.0, kAuto)};
    case Vst3FxKind::DelayController:
      return {makeParam(kFxLevel, u"Level", u"", 0, 1.0, kAuto)};
    default:
      return {makeParam(kFxGain, u"Gain", u"x", 0, 0.5, kAuto)};
  }
}

// The controller half, shared by single objects and separate controllers.
class Controls {
 public:
  Controls(std::string name, Vst3FxKind kind) : name_(std::move(name)), kind_(kind), params_(paramsOf(kind)) {}
  ~Controls() { setHandler(nullptr); }

  int32 count() const { return static_cast<int32>(params_.size()); }

  tresult info(int32 index, ParameterInfo& out) {
    std::lock_guard<std::mutex> lock(gMutex);
    if (index < 0 || index >= count() || index == gRefusedInfo) return kInvalidArgument;
    out = params_[static_cast<size_t>(index)].info;
    if (kind_ == Vst3FxKind::Gain && out.id == kFxGain) copy16(out.title, gGainTitle);
    for (const auto& [id, flags] : gFlagOverrides)
      if (id == out.id) out.flags = flags;
    return kResultOk;
  }

  Param* find(ParamID id) {
    for (auto& p : params_)
      if (p.info.id == id) return &p;
    return nullptr;
  }

  tresult text(ParamID id, ParamValue v, String128 out) {
    char buffer[64];
    if (id == kFxGain) {
      std::snprintf(buffer, sizeof buffer, "%.2f", 2.0 * v);
    } else if (id == kFxMeter) {
      std::snprintf(buffer, sizeof buffer, "%.1f", -24.0 * v);
    } else if (id == kFxMode) {
      static const char* const kModes[] = {"Soft", "Hard", "Clip"};
      std::snprintf(buffer, sizeof buffer, "%s", kModes[std::lround(std::fmin(std::fmax(v, 0.0), 1.0) * 2)]);
    } else if (find(id)) {
      std::snprintf(buffer, sizeof buffer, "%.3f", v);
    } else {
      return kInvalidArgument;
    }
    copy16(out, 128, buffer);
    return kResultOk;
  }

  ParamValue get(ParamID id) {
    std::lock_guard<std::mutex> lock(valueMutex_);
    Param* p = find(id);
    return p ? p->value : 0.0;
  }

  tresult set(ParamID id, ParamValue v) {
    std::lock_guard<std::mutex> lock(valueMutex_);
    Param* p = find(id);
    if (!p) return kInvalidArgument;
    p->value = v;
    return kResultOk;
  }

  void setHandler(IComponentHandler* h) {
    if (h) h->addRef();
    IComponentHandler* old = nullptr;
    {
      std::lock_guard<std::mutex> lock(gMutex);
      old = handler_;
      handler_ = h;
      if (h) {
        gHandler = h;
      } else if (gHandler == old) {
        gHandler = nullptr;
      }
    }
    if (old) old->release();
  }

  IComponentHandler* handler() {
    std::lock_guard<std::mutex> lock(gMutex);
    return handler_;
  }

 private:
  const std::string name_;
  const Vst3FxKind kind_;
  std::vector<Param> params_;
  std::mutex valueMutex_;
  IComponentHandler* handler_ = nullptr;  // under gMutex
};

// ---- the view of the Gain kind -------------------------------------------

class View final : public IPlugView {
 public:
  View() { ++gLive; }
  ~View() {
    --gLive;
    note("View.free");
  }

  tresult queryInterface(const TUID iid, void** obj) override {
    if (FUnknown::iid.matches(iid) || IPlugView::iid.matches(iid)) {
      addRef();
      *obj = this;
      return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
  }
  uint32 addRef() override { return ++refs_; }
  uint32 release() override {
    const uint32 left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  tresult isPlatformTypeSupported(FIDString type) override {
    return type && std::strcmp(type, kPlatformTypeX11EmbedWindowID) == 0 ? kResultTrue : kResultFalse;
  }
  tresult attached(void* parent, FIDString type) override {
    note("View.attached " + std::to_string(reinterpret_cast<uintptr_t>(parent)) + " " + (type ? type : ""));
    return editor_.attached(this, frame_, parent, 320, 200) ? kResultOk : kResultFalse;
  }
  tresult removed() override {
    note("View.removed");
    editor_.removed();
    return kResultOk;
  }
  tresult onWheel(float) override { return kResultFalse; }
  tresult onKeyDown(char16, int16, int16) override { return kResultFalse; }
  tresult onKeyUp(char16, int16, int16) override { return kResultFalse; }
  tresult getSize(ViewRect* size) override {
    if (!size) return kInvalidArgument;
    *size = ViewRect{0, 0, 320, 200};
    return kResultOk;
  }
  tresult onSize(ViewRect*) override { return kResultOk; }
  tresult onFocus(TBool) override { return kResultOk; }
  tresult setFrame(IPlugFrame* frame) override {
    frame_ = frame;
    return kResultOk;
  }
  tresult canResize() override { return kResultFalse; }
  tresult checkSizeConstraint(ViewRect*) override { return kResultOk; }

 private:
  std::atomic<uint32> refs_{1};
  IPlugFrame* frame_ = nullptr;
  krevlo_test::Vst3X11Editor editor_;
};

// ---- the component (and, for single objects, the controller) -------------

const char* nameOf(Vst3FxKind kind) {
  switch (kind) {
    case Vst3FxKind::Gain: return "Gain";
    case Vst3FxKind::Delay: return "Delay";
    case Vst3FxKind::LatencyShift: return "LatencyShift";
    case Vst3FxKind::Sidechain: return "Sidechain";
    case Vst3FxKind::NoCreate: return "NoCreate";
    case Vst3FxKind::InitFail: return "InitFail";
    case Vst3FxKind::NoProcessor: return "NoProcessor";
    case Vst3FxKind::NoController: return "NoController";
    case Vst3FxKind::BadController: return "BadController";
    case Vst3FxKind::NoInput: return "NoInput";
    case Vst3FxKind::Mono: return "Mono";
    case Vst3FxKind::No32: return "No32";
    case Vst3FxKind::Picky: return "Picky";
    case Vst3FxKind::NoStart: return "NoStart";
    case Vst3FxKind::FailProcess: return "FailProcess";
    case Vst3FxKind::DelayController: return "DelayController";
    case Vst3FxKind::FailingController: return "FailingController";
  }
  return "?";
}

constexpr int kDelay = 64;

// Sends a message made by the host to `peer`.
void sendReady(FUnknown* context, IConnectionPoint* peer, const std::string& from) {
  IHostApplication* host = nullptr;
  if (!context || context->queryInterface(IHostApplication::iid.bytes, reinterpret_cast<void**>(&host)) != kResultOk)
    return;
  void* made = nullptr;
  TUID cid, iid;
  std::memcpy(cid, IMessage::iid.bytes, 16);
  std::memcpy(iid, IMessage::iid.bytes, 16);
  if (host->createInstance(cid, iid, &made) == kResultOk && made) {
    auto* message = static_cast<IMessage*>(made);
    message->setMessageID("ready");
    IAttributeList* attributes = message->getAttributes();
    attributes->setInt("latency", kDelay);
    attributes->setFloat("level", 0.5);
    attributes->setString("from", std::u16string(from.begin(), from.end()).c_str());
    const uint8 blob[3] = {1, 2, 3};
    attributes->setBinary("blob", blob, sizeof blob);
    peer->notify(message);
    message->release();
  }
  host->release();
}

// What a notify brought, as one log line.
std::string describe(IMessage* message) {
  std::string line = message->getMessageID() ? message->getMessageID() : "(none)";
  IAttributeList* a = message->getAttributes();
  if (!a) return line;
  int64 latency = 0;
  double level = 0;
  char16 from[8] = {};
  const void* data = nullptr;
  uint32 size = 0;
  if (a->getInt("latency", latency) == kResultOk) line += " latency=" + std::to_string(latency);
  if (a->getFloat("level", level) == kResultOk) line += " level=" + std::to_string(level).substr(0, 4);
  // A buffer too small for the text gets what fits and a NUL.
  if (a->getString("from", from, sizeof from) == kResultOk) line += " from=" + narrow(from, 8);
  if (a->getBinary("blob", data, size) == kResultOk) line += " blob=" + std::to_string(size);
  if (a->getInt("missing", latency) != kResultOk) line += " missing=no";
  return line;
}

class Effect final : public IComponent, public IAudioProcessor, public IEditController, public IConnectionPoint {
 public:
  explicit Effect(Vst3FxKind kind) : kind_(kind), name_(nameOf(kind)), controls_(name_, kind) {
    ++gLive;
    std::memset(delayL_, 0, sizeof delayL_);
    std::memset(delayR_, 0, sizeof delayR_);
  }
  ~Effect() {
    if (context_) context_->release();
    --gLive;
    note(name_ + ".free");
  }

  bool hasController() const {
    return kind_ != Vst3FxKind::Delay && kind_ != Vst3FxKind::NoController && kind_ != Vst3FxKind::BadController;
  }

  // FUnknown
  tresult queryInterface(const TUID iid, void** obj) override {
    void* found = nullptr;
    if (FUnknown::iid.matches(iid) || IPluginBase::iid.matches(iid) || IComponent::iid.matches(iid))
      found = static_cast<IComponent*>(this);
    else if (IAudioProcessor::iid.matches(iid) && kind_ != Vst3FxKind::NoProcessor)
      found = static_cast<IAudioProcessor*>(this);
    else if (IEditController::iid.matches(iid) && hasController())
      found = static_cast<IEditController*>(this);
    else if (IConnectionPoint::iid.matches(iid) && kind_ == Vst3FxKind::Delay)
      found = static_cast<IConnectionPoint*>(this);
    *obj = found;
    if (!found) return kNoInterface;
    addRef();
    return kResultOk;
  }
  uint32 addRef() override { return ++refs_; }
  uint32 release() override {
    const uint32 left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  // IPluginBase (both halves)
  tresult initialize(FUnknown* context) override {
    note(name_ + ".initialize");
    if (kind_ == Vst3FxKind::InitFail) return kResultFalse;
    if (context_ || !context) return kResultFalse;
    context_ = context;
    context_->addRef();
    return kResultOk;
  }
  tresult terminate() override {
    note(name_ + ".terminate");
    controls_.setHandler(nullptr);
    if (context_) context_->release();
    context_ = nullptr;
    return kResultOk;
  }

  // IComponent
  tresult getControllerClassId(TUID classId) override {
    Uid id{};
    if (kind_ == Vst3FxKind::Delay)
      id = classUid(Vst3FxKind::DelayController);
    else if (kind_ == Vst3FxKind::BadController)
      id = classUid(Vst3FxKind::FailingController);
    else
      return kResultFalse;
    std::memcpy(classId, id.bytes, 16);
    return kResultOk;
  }
  tresult setIoMode(IoMode) override { return kNotImplemented; }
  int32 getBusCount(MediaType type, BusDirection dir) override {
    if (type == kEvent) return kind_ == Vst3FxKind::Sidechain && dir == kInput ? 1 : 0;
    if (type != kAudio) return 0;
    if (kind_ == Vst3FxKind::NoInput && dir == kInput) return 0;
    return kind_ == Vst3FxKind::Sidechain ? 2 : 1;
  }
  tresult getBusInfo(MediaType type, BusDirection dir, int32 index, BusInfo& bus) override {
    if (dir != kInput && dir != kOutput) return kInvalidArgument;
    if (index < 0 || index >= getBusCount(type, dir)) return kInvalidArgument;
    bus = BusInfo{};
    bus.mediaType = type;
    bus.direction = dir;
    bus.channelCount = type == kEvent ? 16 : index == 0 ? (arrangement_[dir] == SpeakerArr::kStereo ? 2 : 1) : 1;
    copy16(bus.name, 128, index == 0 ? "Main" : "Side");
    bus.busType = index == 0 ? kMain : kAux;
    bus.flags = BusInfo::kDefaultActive;
    return kResultOk;
  }
  tresult getRoutingInfo(RoutingInfo&, RoutingInfo&) override { return kNotImplemented; }
  tresult activateBus(MediaType type, BusDirection dir, int32 index, TBool state) override {
    note(name_ + ".activateBus " + std::to_string(type) + " " + std::to_string(dir) + " " + std::to_string(index) +
         " " + std::to_string(state));
    return kResultOk;
  }
  tresult setActive(TBool state) override {
    note(name_ + ".setActive " + std::to_string(state));
    if (state && kind_ == Vst3FxKind::NoStart) return kResultFalse;
    return kResultOk;
  }
  tresult setState(IBStream* state) override {
    // Gain: "GAIN" and the gain value; Delay: "DLY1" and the level, or nothing.
    char magic[4] = {};
    double value = 0;
    int64 size = -1;
    if (kind_ == Vst3FxKind::Delay && state && state->seek(0, IBStream::kIBSeekEnd, &size) == kResultOk &&
        size == 0) {
      note(name_ + ".setState empty");
      return kResultOk;
    }
    if (state) state->seek(0, IBStream::kIBSeekSet, nullptr);
    const char* want = kind_ == Vst3FxKind::Delay ? "DLY1" : "GAIN";
    if (!readAll(state, magic, 4) || std::memcmp(magic, want, 4) != 0 || !readAll(state, &value, 8)) {
      note(name_ + ".setState refused");
      return kResultFalse;
    }
    note(name_ + ".setState " + std::to_string(value).substr(0, 4));
    processValue_.store(value);
    if (hasController()) controls_.set(kFxGain, value);
    return kResultOk;
  }
  tresult getState(IBStream* state) override {
    const double value = processValue_.load();
    const char* magic = kind_ == Vst3FxKind::Delay ? "DLY1" : "GAIN";
    return writeAll(state, magic, 4) && writeAll(state, &value, 8) ? kResultOk : kResultFalse;
  }

  // IAudioProcessor
  tresult setBusArrangements(SpeakerArrangement* inputs, int32 numIns, SpeakerArrangement* outputs,
                             int32 numOuts) override {
    std::string line = name_ + ".setBusArrangements";
    for (int32 i = 0; i < numIns; ++i) line += " i" + std::to_string(inputs[i]);
    for (int32 i = 0; i < numOuts; ++i) line += " o" + std::to_string(outputs[i]);
    note(line);
    if (numIns != getBusCount(kAudio, kInput) || numOuts != getBusCount(kAudio, kOutput)) return kResultFalse;
    if (kind_ == Vst3FxKind::Mono) return kResultFalse;
    if (numIns > 0) arrangement_[kInput] = inputs[0];
    if (numOuts > 0) arrangement_[kOutput] = outputs[0];
    return kResultOk;
  }
  tresult getBusArrangement(BusDirection dir, int32 index, SpeakerArrangement& arr) override {
    if (dir != kInput && dir != kOutput) return kInvalidArgument;
    if (index < 0 || index >= getBusCount(kAudio, dir)) return kInvalidArgument;
    arr = index == 0 ? arrangement_[dir] : SpeakerArr::kMono;
    return kResultOk;
  }
  tresult canProcessSampleSize(int32 size) override {
    return size == kSample32 && kind_ != Vst3FxKind::No32 ? kResultTrue : kResultFalse;
  }
  uint32 getLatencySamples() override {
    if (kind_ == Vst3FxKind::Delay) return kDelay;
    return static_cast<uint32>(latency_.load());
  }
  tresult setupProcessing(ProcessSetup& setup) override {
    note(name_ + ".setupProcessing " + std::to_string(setup.processMode) + " " +
         std::to_string(setup.symbolicSampleSize) + " " + std::to_string(setup.maxSamplesPerBlock) + " " +
         std::to_string(static_cast<int64>(setup.sampleRate)));
    if (kind_ == Vst3FxKind::Picky && setup.sampleRate != 48000.0) return kResultFalse;
    return kResultOk;
  }
  tresult setProcessing(TBool state) override {
    note(name_ + ".setProcessing " + std::to_string(state));
    return kNotImplemented;  // as many plug-ins answer
  }
  tresult process(ProcessData& data) override {
    ++gBlocks;
    record(data);
    if (data.numInputs < 1 || data.numOutputs < 1 || data.inputs[0].numChannels < 2 ||
        data.outputs[0].numChannels < 2)
      return kResultFalse;
    float** in = data.inputs[0].channelBuffers32;
    float** out = data.outputs[0].channelBuffers32;
    const int32 n = data.numSamples;
    if (kind_ == Vst3FxKind::FailProcess) {
      for (int32 i = 0; i < n; ++i) out[0][i] = out[1][i] = 99.0f;
      return kResultFalse;
    }
    // Every further bus must have as many channels as it was declared with.
    for (int32 b = 1; b < data.numInputs; ++b)
      for (int32 c = 0; c < data.inputs[b].numChannels; ++c)
        if (!data.inputs[b].channelBuffers32[c]) return kResultFalse;
    for (int32 b = 1; b < data.numOutputs; ++b)
      for (int32 c = 0; c < data.outputs[b].numChannels; ++c) data.outputs[b].channelBuffers32[c][0] = 0.0f;

    if (kind_ == Vst3FxKind::Delay) {
      const float level = static_cast<float>(processValue_.load());
      for (int32 i = 0; i < n; ++i) {
        const float l = in[0][i], r = in[1][i];
        out[0][i] = delayL_[delayPos_] * level;
        out[1][i] = delayR_[delayPos_] * level;
        delayL_[delayPos_] = l;
        delayR_[delayPos_] = r;
        delayPos_ = (delayPos_ + 1) % kDelay;
      }
      return kResultOk;
    }
    const float gain = bypass_ ? 1.0f : static_cast<float>(2.0 * processValue_.load());
    for (int32 i = 0; i < n; ++i) {
      out[0][i] = in[0][i] * gain;
      out[1][i] = in[1][i] * gain;
    }
    if (kind_ == Vst3FxKind::Gain && data.outputParameterChanges) {
      double meter;
      {
        std::lock_guard<std::mutex> lock(gMutex);
        meter = gMeterOutput;
      }
      if (meter < 0) meter = 1.0 - processValue_.load();
      int32 q = 0, p = 0;
      if (IParamValueQueue* other = data.outputParameterChanges->addParameterData(kFxOutputLevel, q))
        other->addPoint(0, 0.5, p);
      if (IParamValueQueue* queue = data.outputParameterChanges->addParameterData(kFxMeter, q)) {
        queue->addPoint(0, 0.9, p);  // an earlier point: only the last counts
        queue->addPoint(n - 1, meter, p);
      }
    }
    return kResultOk;
  }
  uint32 getTailSamples() override { return kind_ == Vst3FxKind::Delay ? kInfiniteTail : 48000; }

  // IEditController (single objects)
  tresult setComponentState(IBStream*) override { return kNotImplemented; }
  int32 getParameterCount() override { return controls_.count(); }
  tresult getParameterInfo(int32 index, ParameterInfo& info) override { return controls_.info(index, info); }
  tresult getParamStringByValue(ParamID id, ParamValue v, String128 string) override {
    return controls_.text(id, v, string);
  }
  tresult getParamValueByString(ParamID, TChar*, ParamValue&) override { return kNotImplemented; }
  ParamValue normalizedParamToPlain(ParamID, ParamValue v) override { return v; }
  ParamValue plainParamToNormalized(ParamID, ParamValue v) override { return v; }
  ParamValue getParamNormalized(ParamID id) override { return controls_.get(id); }
  tresult setParamNormalized(ParamID id, ParamValue v) override {
    note(name_ + ".setParamNormalized " + std::to_string(id) + " " + std::to_string(v).substr(0, 4));
    const tresult r = controls_.set(id, v);
    if (kind_ == Vst3FxKind::LatencyShift && id == kFxLatency) {
      const int next = v >= 0.5 ? 128 : 0;
      if (latency_.exchange(next) != next)
        if (IComponentHandler* h = controls_.handler()) h->restartComponent(kLatencyChanged);
    }
    return r;
  }
  tresult setComponentHandler(IComponentHandler* handler) override {
    note(name_ + ".setComponentHandler " + (handler ? "set" : "null"));
    controls_.setHandler(handler);
    return kResultOk;
  }
  IPlugView* createView(FIDString name) override {
    if (kind_ != Vst3FxKind::Gain || !name || std::strcmp(name, "editor") != 0) return nullptr;
    note("Gain.createView");
    return new View;
  }

  // IConnectionPoint (Delay)
  tresult connect(IConnectionPoint* other) override {
    note(name_ + ".connect");
    if (!other || peer_) return kResultFalse;
    peer_ = other;
    sendReady(context_, peer_, name_);
    return kResultOk;
  }
  tresult disconnect(IConnectionPoint* other) override {
    note(name_ + ".disconnect");
    if (other != peer_) return kResultFalse;
    peer_ = nullptr;
    return kResultOk;
  }
  tresult notify(IMessage* message) override {
    note(name_ + ".notify " + describe(message));
    return kResultOk;
  }

 private:
  void record(ProcessData& data) {
    // Input changes set the values the block plays with.
    IParameterChanges* changes = data.inputParameterChanges;
    const int32 queues = changes ? changes->getParameterCount() : 0;
    std::lock_guard<std::mutex> lock(gMutex);
    if (data.processContext) gContext = *data.processContext;
    if (queues > 0) gChangeCount = 0;
    for (int32 q = 0; q < queues; ++q) {
      IParamValueQueue* queue = changes->getParameterData(q);
      if (!queue) continue;
      for (int32 i = 0; i < queue->getPointCount(); ++i) {
        int32 offset = 0;
        ParamValue value = 0;
        if (queue->getPoint(i, offset, value) != kResultOk) continue;
        if (gChangeCount < kMaxChanges) gChanges[gChangeCount++] = {queue->getParameterId(), offset, value};
        if (queue->getParameterId() == kFxGain || queue->getParameterId() == kFxLevel) processValue_.store(value);
        if (queue->getParameterId() == kFxBypass) bypass_ = value >= 0.5;
      }
    }
  }

  const Vst3FxKind kind_;
  const std::string name_;
  std::atomic<uint32> refs_{1};
  FUnknown* context_ = nullptr;
  Controls controls_;
  IConnectionPoint* peer_ = nullptr;
  SpeakerArrangement arrangement_[2] = {kind_ == Vst3FxKind::Mono ? SpeakerArr::kMono : SpeakerArr::kStereo,
                                        kind_ == Vst3FxKind::Mono ? SpeakerArr::kMono : SpeakerArr::kStereo};
  std::atomic<double> processValue_{kind_ == Vst3FxKind::Delay ? 1.0 : 0.5};
  bool bypass_ = false;
  std::atomic<int> latency_{0};
  float delayL_[kDelay], delayR_[kDelay];
  int delayPos_ = 0;
};

// ---- separate controllers -------------------------------------------------

class Controller final : public IEditController, public IConnectionPoint {
 public:
  explicit Controller(Vst3FxKind kind) : kind_(kind), name_(nameOf(kind)), controls_(name_, kind) { ++gLive; }
  ~Controller() {
    if (context_) context_->release();
    --gLive;
    note(name_ + ".free");
  }

  tresult queryInterface(const TUID iid, void** obj) override {
    void* found = nullptr;
    if (FUnknown::iid.matches(iid) || IPluginBase::iid.matches(iid) || IEditController::iid.matches(iid))
      found = static_cast<IEditController*>(this);
    else if (IConnectionPoint::iid.matches(iid))
      found = static_cast<IConnectionPoint*>(this);
    *obj = found;
    if (!found) return kNoInterface;
    addRef();
    return kResultOk;
  }
  uint32 addRef() override { return ++refs_; }
  uint32 release() override {
    const uint32 left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  tresult initialize(FUnknown* context) override {
    note(name_ + ".initialize");
    if (kind_ == Vst3FxKind::FailingController || !context) return kResultFalse;
    context_ = context;
    context_->addRef();
    return kResultOk;
  }
  tresult terminate() override {
    note(name_ + ".terminate");
    controls_.setHandler(nullptr);
    if (context_) context_->release();
    context_ = nullptr;
    return kResultOk;
  }

  tresult setComponentState(IBStream* state) override {
    char magic[4] = {};
    double level = 0;
    if (!readAll(state, magic, 4) || std::memcmp(magic, "DLY1", 4) != 0 || !readAll(state, &level, 8)) {
      note(name_ + ".setComponentState refused");
      return kResultFalse;
    }
    note(name_ + ".setComponentState " + std::to_string(level).substr(0, 4));
    controls_.set(kFxLevel, level);
    return kResultOk;
  }
  tresult setState(IBStream* state) override {
    char magic[4] = {};
    int32 counter = 0;
    if (!readAll(state, magic, 4) || std::memcmp(magic, "CTL1", 4) != 0 || !readAll(state, &counter, 4))
      return kResultFalse;
    note(name_ + ".setState " + std::to_string(counter));
    uiCounter_ = counter;
    return kResultOk;
  }
  tresult getState(IBStream* state) override {
    ++uiCounter_;
    return writeAll(state, "CTL1", 4) && writeAll(state, &uiCounter_, 4) ? kResultOk : kResultFalse;
  }
  int32 getParameterCount() override { return controls_.count(); }
  tresult getParameterInfo(int32 index, ParameterInfo& info) override { return controls_.info(index, info); }
  tresult getParamStringByValue(ParamID id, ParamValue v, String128 string) override {
    return controls_.text(id, v, string);
  }
  tresult getParamValueByString(ParamID, TChar*, ParamValue&) override { return kNotImplemented; }
  ParamValue normalizedParamToPlain(ParamID, ParamValue v) override { return v; }
  ParamValue plainParamToNormalized(ParamID, ParamValue v) override { return v; }
  ParamValue getParamNormalized(ParamID id) override { return controls_.get(id); }
  tresult setParamNormalized(ParamID id, ParamValue v) override { return controls_.set(id, v); }
  tresult setComponentHandler(IComponentHandler* handler) override {
    note(name_ + ".setComponentHandler " + (handler ? "set" : "null"));
    controls_.setHandler(handler);
    return kResultOk;
  }
  IPlugView* createView(FIDString) override { return nullptr; }

  tresult connect(IConnectionPoint* other) override {
    note(name_ + ".connect");
    if (!other || peer_) return kResultFalse;
    peer_ = other;
    sendReady(context_, peer_, name_);
    return kResultOk;
  }
  tresult disconnect(IConnectionPoint* other) override {
    note(name_ + ".disconnect");
    if (other != peer_) return kResultFalse;
    peer_ = nullptr;
    return kResultOk;
  }
  tresult notify(IMessage* message) override {
    note(name_ + ".notify " + describe(message));
    return kResultOk;
  }

 private:
  const Vst3FxKind kind_;
  const std::string name_;
  std::atomic<uint32> refs_{1};
  FUnknown* context_ = nullptr;
  Controls controls_;
  IConnectionPoint* peer_ = nullptr;
  int32 uiCounter_ = 0;
};

// ---- the factory ------------------------------------------------------------

constexpr Vst3FxKind kEffects[] = {
    Vst3FxKind::Gain,        Vst3FxKind::Delay,         Vst3FxKind::LatencyShift, Vst3FxKind::Sidechain,
    Vst3FxKind::NoCreate,    Vst3FxKind::InitFail,      Vst3FxKind::NoProcessor,  Vst3FxKind::NoController,
    Vst3FxKind::BadController, Vst3FxKind::NoInput,     Vst3FxKind::Mono,         Vst3FxKind::No32,
    Vst3FxKind::Picky,       Vst3FxKind::NoStart,       Vst3FxKind::FailProcess,
};
constexpr Vst3FxKind kControllers[] = {Vst3FxKind::DelayController, Vst3FxKind::FailingController};
constexpr int32 kEffectCount = sizeof kEffects / sizeof kEffects[0];
constexpr int32 kClassCount = kEffectCount + 2;

Vst3FxKind kindAt(int32 index) {
  return index < kEffectCount ? kEffects[index] : kControllers[index - kEffectCount];
}

class Factory final : public IPluginFactory3 {
 public:
  tresult queryInterface(const TUID iid, void** obj) override {
    if (FUnknown::iid.matches(iid) || IPluginFactory::iid.matches(iid) || IPluginFactory2::iid.matches(iid) ||
        IPluginFactory3::iid.matches(iid)) {
      *obj = this;
      return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
  }
  uint32 addRef() override { return 1; }
  uint32 release() override { return 1; }  // a static object

  tresult getFactoryInfo(PFactoryInfo* info) override {
    std::memset(info, 0, sizeof *info);
    std::strcpy(info->vendor, "Krevlo Tests");
    info->flags = PFactoryInfo::kUnicode;
    return kResultOk;
  }
  int32 countClasses() override { return kClassCount; }
  tresult getClassInfo(int32 index, PClassInfo* info) override {
    if (index < 0 || index >= kClassCount) return kInvalidArgument;
    std::memset(info, 0, sizeof *info);
    fill(index, info->cid, info->category, info->name, sizeof info->name);
    info->cardinality = PClassInfo::kManyInstances;
    return kResultOk;
  }
  tresult getClassInfo2(int32 index, PClassInfo2* info) override {
    if (index < 0 || index >= kClassCount) return kInvalidArgument;
    std::memset(info, 0, sizeof *info);
    fill(index, info->cid, info->category, info->name, sizeof info->name);
    info->cardinality = PClassInfo::kManyInstances;
    std::strcpy(info->subCategories, index < kEffectCount ? "Fx|Dynamics" : "");
    std::strcpy(info->version, "1.0.0");
    std::strcpy(info->sdkVersion, "VST 3.7.14");
    return kResultOk;
  }
  tresult getClassInfoUnicode(int32 index, PClassInfoW* info) override {
    if (index < 0 || index >= kClassCount) return kInvalidArgument;
    std::memset(info, 0, sizeof *info);
    char name[64] = {};
    fill(index, info->cid, info->category, name, sizeof name);
    copy16(info->name, 64, name);
    info->cardinality = PClassInfo::kManyInstances;
    std::strcpy(info->subCategories, index < kEffectCount ? "Fx|Dynamics" : "");
    copy16(info->version, 64, "1.0.0");
    copy16(info->sdkVersion, 64, "VST 3.7.14");
    return kResultOk;
  }
  tresult setHostContext(FUnknown* context) override {
    note(std::string("Factory.setHostContext ") + (context ? "set" : "null"));
    return kResultOk;
  }

  tresult createInstance(FIDString cid, FIDString iid, void** obj) override {
    *obj = nullptr;
    for (int32 i = 0; i < kClassCount; ++i) {
      const Vst3FxKind kind = kindAt(i);
      if (!classUid(kind).matches(cid)) continue;
      if (kind == Vst3FxKind::NoCreate) return kResultFalse;
      FUnknown* made = i < kEffectCount ? static_cast<FUnknown*>(static_cast<IComponent*>(new Effect(kind)))
                                        : static_cast<FUnknown*>(static_cast<IEditController*>(new Controller(kind)));
      const tresult r = made->queryInterface(iid, obj);
      made->release();
      return r;
    }
    return kInvalidArgument;
  }

 private:
  static void fill(int32 index, char8* cid, char8* category, char8* name, size_t nameSize) {
    const Vst3FxKind kind = kindAt(index);
    std::memcpy(cid, classUid(kind).bytes, 16);
    std::strcpy(category, index < kEffectCount ? kVstAudioEffectClass : kVstComponentControllerClass);
    std::snprintf(name, nameSize, "Fx %s", nameOf(kind));
  }
};

Factory gFactory;

// ---- the probe ---------------------------------------------------------------

size_t probeLog(char* out, size_t capacity) {
  std::lock_guard<std::mutex> lock(gMutex);
  if (capacity == 0) return gLog.size();
  const size_t n = std::min(capacity - 1, gLog.size());
  std::memcpy(out, gLog.data(), n);
  out[n] = 0;
  return gLog.size();
}

void probeClearLog() {
  std::lock_guard<std::mutex> lock(gMutex);
  gLog.clear();
}

void probeLastContext(ProcessContext* out) {
  std::lock_guard<std::mutex> lock(gMutex);
  *out = gContext;
}

int probeLastChanges(Vst3FxChange* out, int capacity) {
  std::lock_guard<std::mutex> lock(gMutex);
  int n = 0;
  for (; n < gChangeCount && n < capacity; ++n) out[n] = gChanges[n];
  return n;
}

// The handler is called outside the records' lock, as the host may call back in.
IComponentHandler* takeHandler() {
  std::lock_guard<std::mutex> lock(gMutex);
  if (gHandler) gHandler->addRef();
  return gHandler;
}

int probeRestart(int32_t flags) {
  IComponentHandler* h = takeHandler();
  if (!h) return -100;
  const tresult r = h->restartComponent(flags);
  h->release();
  return r;
}

int probeEdit(uint32_t id, double value) {
  IComponentHandler* h = takeHandler();
  if (!h) return -100;
  h->beginEdit(id);
  const tresult r = h->performEdit(id, value);
  h->endEdit(id);
  h->release();
  return r;
}

void probeSetTitle(uint32_t, const char16_t* title) {
  std::lock_guard<std::mutex> lock(gMutex);
  gGainTitle = title;
}

void probeSetFlags(uint32_t id, int32_t flags) {
  std::lock_guard<std::mutex> lock(gMutex);
  gFlagOverrides.emplace_back(id, flags);
}

void probeRefuseInfo(int32_t index) {
  std::lock_guard<std::mutex> lock(gMutex);
  gRefusedInfo = index;
}

void probeSetMeterOutput(double value) {
  std::lock_guard<std::mutex> lock(gMutex);
  gMeterOutput = value;
}

const Vst3FxProbe kProbe = {
    probeLog,         probeClearLog, [] { return gLive.load(); }, [] { return gEntries.load(); },
    [] { return gBlocks.load(); }, probeLastContext, probeLastChanges, probeRestart, probeEdit, probeSetTitle,
    probeSetFlags,    probeRefuseInfo, probeSetMeterOutput,
};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) bool ModuleEntry(void*) {
  ++gEntries;
  return true;
}

__attribute__((visibility("default"))) bool ModuleExit() { return true; }

__attribute__((visibility("default"))) IPluginFactory* GetPluginFactory() { return &gFactory; }

__attribute__((visibility("default"))) const Vst3FxProbe* krevlo_vst3_fx_probe() { return &kProbe; }
}

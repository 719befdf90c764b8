// A VST3 test effect with habits that shipped effects have and a host must
// cope with, in a component with a separate edit controller:
// - its processor returns at once from a process call of 0 samples, without
//   reading the parameter changes it carries, so it learns edits only from
//   blocks with samples;
// - it announces a new latency itself, from inside process, through the
//   component handler (which it shares with its controller inside the module);
// - it reports its output peak as a read-only output parameter, which its
//   controller keeps for an editor's meter to draw; the controller records
//   which thread handed each value over;
// - its component or controller save can be made to fail.
// It records what it sees for the tests (vst3_mimic_probe.h).
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/vst3/vst3_controller.h"
#include "platform/vst3/vst3_factory.h"
#include "platform/vst3/vst3_message.h"
#include "platform/vst3/vst3_processor.h"
#include "plugins/vst3_mimic_probe.h"

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

constexpr double kLevelDefault = 0.5, kLatencyDefault = 0.0625;  // 4 samples
constexpr char kMagic[4] = {'M', 'I', 'M', '1'};

std::mutex gMutex;
Vst3MimicRecord gRecord{};
std::atomic<uint32_t> gSwitches{0};
// The handler of the last controller given one; the processor announces its
// latency through it, as an effect whose halves share one object in memory.
std::atomic<IComponentHandler*> gHandler{nullptr};

template <typename F>
void note(F change) {
  std::lock_guard<std::mutex> lock(gMutex);
  change(gRecord);
}

void copy16(char16* to, size_t n, const char* from) {
  size_t i = 0;
  for (; i + 1 < n && from[i]; ++i) to[i] = static_cast<char16>(from[i]);
  to[i] = 0;
}

bool readAll(IBStream* s, void* to, int32 n) {
  int32 got = 0;
  return s && s->read(to, n, &got) == kResultOk && got == n;
}

bool writeAll(IBStream* s, const void* from, int32 n) {
  int32 put = 0;
  return s && s->write(const_cast<void*>(from), n, &put) == kResultOk && put == n;
}

// The component's state: magic, level, latency.
bool readState(IBStream* s, double& level, double& latency) {
  char magic[4] = {};
  return readAll(s, magic, 4) && std::memcmp(magic, kMagic, 4) == 0 && readAll(s, &level, 8) &&
         readAll(s, &latency, 8);
}

uint32 latencyOf(double normalized) {
  return static_cast<uint32>(std::lround(std::fmin(std::fmax(normalized, 0.0), 1.0) * 64));
}

class Effect final : public IComponent, public IAudioProcessor, public IConnectionPoint {
 public:
  tresult queryInterface(const TUID iid, void** obj) override {
    void* found = nullptr;
    if (FUnknown::iid.matches(iid) || IPluginBase::iid.matches(iid) || IComponent::iid.matches(iid))
      found = static_cast<IComponent*>(this);
    else if (IAudioProcessor::iid.matches(iid))
      found = static_cast<IAudioProcessor*>(this);
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

  tresult initialize(FUnknown*) override { return kResultOk; }
  tresult terminate() override { return kResultOk; }

  tresult getControllerClassId(TUID classId) override {
    std::memcpy(classId, kMimicControllerUid.bytes, 16);
    return kResultOk;
  }
  tresult setIoMode(IoMode) override { return kNotImplemented; }
  int32 getBusCount(MediaType type, BusDirection) override { return type == kAudio ? 1 : 0; }
  tresult getBusInfo(MediaType type, BusDirection dir, int32 index, BusInfo& bus) override {
    if (type != kAudio || index != 0) return kInvalidArgument;
    bus = BusInfo{};
    bus.mediaType = type;
    bus.direction = dir;
    bus.channelCount = 2;
    copy16(bus.name, 128, "Main");
    bus.busType = kMain;
    bus.flags = BusInfo::kDefaultActive;
    return kResultOk;
  }
  tresult getRoutingInfo(RoutingInfo&, RoutingInfo&) override { return kNotImplemented; }
  tresult activateBus(MediaType, BusDirection, int32, TBool) override { return kResultOk; }
  tresult setActive(TBool state) override {
    if (state) activeLatency_.store(latencyOf(latency_.load()));
    if (state) note([](Vst3MimicRecord& r) { ++r.activations; });
    return kResultOk;
  }
  tresult setState(IBStream* state) override {
    double level = 0, latency = 0;
    if (!readState(state, level, latency)) return kResultFalse;
    level_.store(level);
    latency_.store(latency);
    return kResultOk;
  }
  tresult getState(IBStream* state) override {
    if (gSwitches.load() & kMimicFailComponentSave) return kResultFalse;
    const double level = level_.load(), latency = latency_.load();
    return writeAll(state, kMagic, 4) && writeAll(state, &level, 8) && writeAll(state, &latency, 8) ? kResultOk
                                                                                                     : kResultFalse;
  }

  tresult setBusArrangements(SpeakerArrangement*, int32 numIns, SpeakerArrangement*, int32 numOuts) override {
    return numIns == 1 && numOuts == 1 ? kResultOk : kResultFalse;
  }
  tresult getBusArrangement(BusDirection, int32 index, SpeakerArrangement& arr) override {
    if (index != 0) return kInvalidArgument;
    arr = SpeakerArr::kStereo;
    return kResultOk;
  }
  tresult canProcessSampleSize(int32 size) override { return size == kSample32 ? kResultTrue : kResultFalse; }
  uint32 getLatencySamples() override { return activeLatency_.load(); }
  tresult setupProcessing(ProcessSetup&) override { return kResultOk; }
  tresult setProcessing(TBool state) override {
    const std::thread::id self = std::this_thread::get_id();
    note([state, self](Vst3MimicRecord& r) {
      if (state) {
        ++r.processingOn;
        r.onThread = self;
      } else {
        ++r.processingOff;
        r.offThread = self;
      }
    });
    return kResultOk;
  }
  tresult process(ProcessData& data) override {
    const int32 n = data.numSamples;
    if (n == 0) {
      // Nothing to render, so nothing is looked at.
      note([](Vst3MimicRecord& r) { ++r.emptyBlocks; });
      return kResultOk;
    }
    IParameterChanges* changes = data.inputParameterChanges;
    const int32 queues = changes ? changes->getParameterCount() : 0;
    bool latencyMoved = false;
    for (int32 q = 0; q < queues; ++q) {
      IParamValueQueue* queue = changes->getParameterData(q);
      const int32 points = queue ? queue->getPointCount() : 0;
      int32 offset = 0;
      ParamValue value = 0;
      if (points < 1 || queue->getPoint(points - 1, offset, value) != kResultOk) continue;
      if (queue->getParameterId() == kMimicLevel) level_.store(value);
      if (queue->getParameterId() == kMimicLatency) {
        latencyMoved = latencyOf(value) != latencyOf(latency_.load());
        latency_.store(value);
      }
    }
    const double level = level_.load();
    note([level](Vst3MimicRecord& r) {
      ++r.blocks;
      r.level = level;
    });
    float peak = 0.0f;
    if (data.numInputs > 0 && data.numOutputs > 0) {
      const auto gain = static_cast<float>(2.0 * level);
      for (int32 c = 0; c < 2; ++c)
        for (int32 i = 0; i < n; ++i) {
          const float v = data.inputs[0].channelBuffers32[c][i] * gain;
          data.outputs[0].channelBuffers32[c][i] = v;
          peak = std::fmax(peak, std::fabs(v));
        }
    }
    if (IParameterChanges* out = data.outputParameterChanges) {
      int32 q = 0, p = 0;
      if (IParamValueQueue* meter = out->addParameterData(kMimicOutput, q)) meter->addPoint(n - 1, peak, p);
    }
    if (latencyMoved)
      if (IComponentHandler* handler = gHandler.load()) handler->restartComponent(kLatencyChanged);
    return kResultOk;
  }
  uint32 getTailSamples() override { return 0; }

  tresult connect(IConnectionPoint* other) override { return other ? kResultOk : kResultFalse; }
  tresult disconnect(IConnectionPoint*) override { return kResultOk; }
  tresult notify(IMessage*) override { return kResultOk; }

 private:
  std::atomic<uint32> refs_{1};
  std::atomic<double> level_{kLevelDefault}, latency_{kLatencyDefault};
  std::atomic<uint32> activeLatency_{latencyOf(kLatencyDefault)};
};

class Controller final : public IEditController, public IConnectionPoint {
 public:
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

  tresult initialize(FUnknown*) override { return kResultOk; }
  tresult terminate() override {
    setComponentHandler(nullptr);
    return kResultOk;
  }

  tresult setComponentState(IBStream* state) override {
    double level = 0, latency = 0;
    if (!readState(state, level, latency)) return kResultFalse;
    std::lock_guard<std::mutex> lock(mutex_);
    values_[kMimicLevel] = level;
    values_[kMimicLatency] = latency;
    return kResultOk;
  }
  tresult setState(IBStream*) override { return kResultOk; }
  tresult getState(IBStream* state) override {
    if (gSwitches.load() & kMimicFailControllerSave) return kResultFalse;
    return writeAll(state, "VIEW", 4) ? kResultOk : kResultFalse;
  }
  int32 getParameterCount() override { return 3; }
  tresult getParameterInfo(int32 index, ParameterInfo& info) override {
    static const char* const kTitles[] = {"Level", "Latency", "Output"};
    if (index < 0 || index > 2) return kInvalidArgument;
    info = ParameterInfo{};
    info.id = static_cast<ParamID>(index + 1);
    copy16(info.title, 128, kTitles[index]);
    copy16(info.shortTitle, 128, kTitles[index]);
    info.stepCount = index == 1 ? 64 : 0;
    info.defaultNormalizedValue = index == 0 ? kLevelDefault : index == 1 ? kLatencyDefault : 0.0;
    info.flags = index == 2 ? ParameterInfo::kIsReadOnly : ParameterInfo::kCanAutomate;
    return kResultOk;
  }
  tresult getParamStringByValue(ParamID id, ParamValue v, String128 string) override {
    if (id < 1 || id > 3) return kInvalidArgument;
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", v);
    copy16(string, 128, text);
    return kResultOk;
  }
  tresult getParamValueByString(ParamID, TChar*, ParamValue&) override { return kNotImplemented; }
  ParamValue normalizedParamToPlain(ParamID, ParamValue v) override { return v; }
  ParamValue plainParamToNormalized(ParamID, ParamValue v) override { return v; }
  ParamValue getParamNormalized(ParamID id) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return id >= 1 && id <= 3 ? values_[id] : 0.0;
  }
  tresult setParamNormalized(ParamID id, ParamValue v) override {
    if (id < 1 || id > 3) return kInvalidArgument;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      values_[id] = v;
    }
    // What an editor's meter would draw from, and whether it came on the
    // thread that made this controller, the one an editor lives on.
    if (id == kMimicOutput) {
      const bool offMain = std::this_thread::get_id() != creator_;
      note([v, offMain](Vst3MimicRecord& r) {
        ++r.outputCalls;
        r.outputValue = v;
        if (offMain) ++r.outputOffMain;
      });
    }
    return kResultOk;
  }
  tresult setComponentHandler(IComponentHandler* handler) override {
    if (handler) handler->addRef();
    IComponentHandler* old;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      old = handler_;
      handler_ = handler;
    }
    if (handler)
      gHandler.store(handler);
    else if (old)
      gHandler.compare_exchange_strong(old, nullptr);
    if (old) old->release();
    return kResultOk;
  }
  IPlugView* createView(FIDString) override { return nullptr; }

  tresult connect(IConnectionPoint* other) override { return other ? kResultOk : kResultFalse; }
  tresult disconnect(IConnectionPoint*) override { return kResultOk; }
  tresult notify(IMessage*) override { return kResultOk; }

 private:
  std::atomic<uint32> refs_{1};
  const std::thread::id creator_ = std::this_thread::get_id();
  std::mutex mutex_;
  double values_[4] = {0.0, kLevelDefault, kLatencyDefault, 0.0};
  IComponentHandler* handler_ = nullptr;
};

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
  uint32 release() override { return 1; }

  tresult getFactoryInfo(PFactoryInfo* info) override {
    std::memset(info, 0, sizeof *info);
    std::strcpy(info->vendor, "Krevlo Tests");
    info->flags = PFactoryInfo::kUnicode;
    return kResultOk;
  }
  int32 countClasses() override { return 2; }
  tresult getClassInfo(int32 index, PClassInfo* info) override {
    if (index < 0 || index > 1) return kInvalidArgument;
    std::memset(info, 0, sizeof *info);
    fill(index, info->cid, info->category, info->name, sizeof info->name);
    info->cardinality = PClassInfo::kManyInstances;
    return kResultOk;
  }
  tresult getClassInfo2(int32 index, PClassInfo2* info) override {
    if (index < 0 || index > 1) return kInvalidArgument;
    std::memset(info, 0, sizeof *info);
    fill(index, info->cid, info->category, info->name, sizeof info->name);
    info->cardinality = PClassInfo::kManyInstances;
    std::strcpy(info->subCategories, index == 0 ? "Fx|Dynamics" : "");
    std::strcpy(info->version, "1.0.0");
    std::strcpy(info->sdkVersion, "VST 3.7.14");
    return kResultOk;
  }
  tresult getClassInfoUnicode(int32 index, PClassInfoW* info) override {
    if (index < 0 || index > 1) return kInvalidArgument;
    std::memset(info, 0, sizeof *info);
    char name[64] = {};
    fill(index, info->cid, info->category, name, sizeof name);
    copy16(info->name, 64, name);
    info->cardinality = PClassInfo::kManyInstances;
    std::strcpy(info->subCategories, index == 0 ? "Fx|Dynamics" : "");
    copy16(info->version, 64, "1.0.0");
    copy16(info->sdkVersion, 64, "VST 3.7.14");
    return kResultOk;
  }
  tresult setHostContext(FUnknown*) override { return kResultOk; }

  tresult createInstance(FIDString cid, FIDString iid, void** obj) override {
    *obj = nullptr;
    FUnknown* made = nullptr;
    if (kMimicEffectUid.matches(cid))
      made = static_cast<IComponent*>(new Effect);
    else if (kMimicControllerUid.matches(cid))
      made = static_cast<IEditController*>(new Controller);
    else
      return kInvalidArgument;
    const tresult r = made->queryInterface(iid, obj);
    made->release();
    return r;
  }

 private:
  static void fill(int32 index, char8* cid, char8* category, char8* name, size_t nameSize) {
    std::memcpy(cid, (index == 0 ? kMimicEffectUid : kMimicControllerUid).bytes, 16);
    std::strcpy(category, index == 0 ? kVstAudioEffectClass : kVstComponentControllerClass);
    std::snprintf(name, nameSize, "%s", index == 0 ? "Mimic Effect" : "Mimic Controller");
  }
};

Factory gFactory;

void probeRecord(Vst3MimicRecord* out) {
  std::lock_guard<std::mutex> lock(gMutex);
  *out = gRecord;
}

void probeSwitches(uint32_t switches) { gSwitches.store(switches); }

const Vst3MimicProbe kProbe = {probeRecord, probeSwitches};

}  // namespace

extern "C" {
__attribute__((visibility("default"))) bool ModuleEntry(void*) { return true; }
__attribute__((visibility("default"))) bool ModuleExit() { return true; }
__attribute__((visibility("default"))) IPluginFactory* GetPluginFactory() { return &gFactory; }
__attribute__((visibility("default"))) const Vst3MimicProbe* krevlo_vst3_mimic_probe() { return &kProbe; }
}

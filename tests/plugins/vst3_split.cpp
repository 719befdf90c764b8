// A VST3 test effect built the way most VST3 effects are: a component whose
// processor keeps its own copy of the parameters and learns them only from the
// parameter changes of process, and a separate edit controller that is reset
// from the component's state. The processor also drives values of its own
// (output parameter changes), and its latency follows a parameter once it is
// activated again, which the controller asks for with kLatencyChanged.
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>

#include "platform/vst3/vst3_controller.h"
#include "platform/vst3/vst3_factory.h"
#include "platform/vst3/vst3_message.h"
#include "platform/vst3/vst3_processor.h"
#include "plugins/vst3_split_probe.h"

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

constexpr double kLevelDefault = 0.25, kLatencyDefault = 0.0625;  // 4 samples
constexpr char kMagic[4] = {'S', 'P', 'L', '1'};

std::mutex gMutex;
Vst3SplitRecord gRecord{};

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

uint32 latencyOf(double normalized) { return static_cast<uint32>(std::lround(std::fmin(std::fmax(normalized, 0.0), 1.0) * 64)); }


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
    std::memcpy(classId, kSplitControllerUid.bytes, 16);
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
    note([state](Vst3SplitRecord& r) { ++(state ? r.activations : r.deactivations); });
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
  tresult setProcessing(TBool) override { return kResultOk; }
  tresult process(ProcessData& data) override {
    IParameterChanges* changes = data.inputParameterChanges;
    const int32 queues = changes ? changes->getParameterCount() : 0;
    for (int32 q = 0; q < queues; ++q) {
      IParamValueQueue* queue = changes->getParameterData(q);
      const int32 points = queue ? queue->getPointCount() : 0;
      int32 offset = 0;
      ParamValue value = 0;
      if (points < 1 || queue->getPoint(points - 1, offset, value) != kResultOk) continue;
      if (queue->getParameterId() == kSplitLevel) level_.store(value);
      if (queue->getParameterId() == kSplitLatency) latency_.store(value);
    }
    const double level = level_.load();
    const int32 n = data.numSamples;
    note([n, level](Vst3SplitRecord& r) {
      ++(n > 0 ? r.blocks : r.emptyBlocks);
      r.level = level;
    });
    if (n > 0 && data.numInputs > 0 && data.numOutputs > 0) {
      const auto gain = static_cast<float>(4.0 * level);
      for (int32 c = 0; c < 2; ++c)
        for (int32 i = 0; i < n; ++i)
          data.outputs[0].channelBuffers32[c][i] = data.inputs[0].channelBuffers32[c][i] * gain;
      if (IParameterChanges* out = data.outputParameterChanges) {
        int32 q = 0, p = 0;
        if (IParamValueQueue* follower = out->addParameterData(kSplitFollower, q)) follower->addPoint(0, 1.0 - level, p);
        if (IParamValueQueue* meter = out->addParameterData(kSplitMeter, q)) meter->addPoint(0, level / 2, p);
      }
    }
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

  // Everything the controller shows comes from the component's state.
  tresult setComponentState(IBStream* state) override {
    double level = 0, latency = 0;
    if (!readState(state, level, latency)) return kResultFalse;
    std::lock_guard<std::mutex> lock(mutex_);
    values_[kSplitLevel] = level;
    values_[kSplitLatency] = latency;
    return kResultOk;
  }
  tresult setState(IBStream*) override { return kResultOk; }
  tresult getState(IBStream*) override { return kResultOk; }
  int32 getParameterCount() override { return 4; }
  tresult getParameterInfo(int32 index, ParameterInfo& info) override {
    static const char* const kTitles[] = {"Level", "Latency", "Follower", "Gain Reduction"};
    if (index < 0 || index > 3) return kInvalidArgument;
    info = ParameterInfo{};
    info.id = static_cast<ParamID>(index + 1);
    copy16(info.title, 128, kTitles[index]);
    copy16(info.shortTitle, 128, kTitles[index]);
    info.stepCount = index == 1 ? 64 : 0;
    info.defaultNormalizedValue = index == 0 ? kLevelDefault : index == 1 ? kLatencyDefault : 0.0;
    info.flags = index == 3 ? ParameterInfo::kIsReadOnly : ParameterInfo::kCanAutomate;
    return kResultOk;
  }
  tresult getParamStringByValue(ParamID id, ParamValue v, String128 string) override {
    if (id < 1 || id > 4) return kInvalidArgument;
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
    return id >= 1 && id <= 4 ? values_[id] : 0.0;
  }
  tresult setParamNormalized(ParamID id, ParamValue v) override {
    if (id < 1 || id > 4) return kInvalidArgument;
    double old;
    IComponentHandler* handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      old = values_[id];
      values_[id] = v;
      handler = handler_;
    }
    if (id == kSplitLatency && latencyOf(old) != latencyOf(v) && handler) handler->restartComponent(kLatencyChanged);
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
    if (old) old->release();
    return kResultOk;
  }
  IPlugView* createView(FIDString) override { return nullptr; }

  tresult connect(IConnectionPoint* other) override { return other ? kResultOk : kResultFalse; }
  tresult disconnect(IConnectionPoint*) override { return kResultOk; }
  tresult notify(IMessage*) override { return kResultOk; }

 private:
  std::atomic<uint32> refs_{1};
  std::mutex mutex_;
  double values_[5] = {0.0, kLevelDefault, kLatencyDefault, 0.0, 0.0};
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
    std::strcpy(info->subCategories, index == 0 ? "Fx|Delay" : "");
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
    std::strcpy(info->subCategories, index == 0 ? "Fx|Delay" : "");
    copy16(info->version, 64, "1.0.0");
    copy16(info->sdkVersion, 64, "VST 3.7.14");
    return kResultOk;
  }
  tresult setHostContext(FUnknown*) override { return kResultOk; }

  tresult createInstance(FIDString cid, FIDString iid, void** obj) override {
    *obj = nullptr;
    FUnknown* made = nullptr;
    if (kSplitEffectUid.matches(cid))
      made = static_cast<IComponent*>(new Effect);
    else if (kSplitControllerUid.matches(cid))
      made = static_cast<IEditController*>(new Controller);
    else
      return kInvalidArgument;
    const tresult r = made->queryInterface(iid, obj);
    made->release();
    return r;
  }

 private:
  static void fill(int32 index, char8* cid, char8* category, char8* name, size_t nameSize) {
    std::memcpy(cid, (index == 0 ? kSplitEffectUid : kSplitControllerUid).bytes, 16);
    std::strcpy(category, index == 0 ? kVstAudioEffectClass : kVstComponentControllerClass);
    std::snprintf(name, nameSize, "%s", index == 0 ? "Split Effect" : "Split Controller");
  }
};

Factory gFactory;

void probeRecord(Vst3SplitRecord* out) {
  std::lock_guard<std::mutex> lock(gMutex);
  *out = gRecord;
}

const Vst3SplitProbe kProbe = {probeRecord};

}  // namespace

extern "C" {
__attribute__((visibility("default"))) bool ModuleEntry(void*) { return true; }
__attribute__((visibility("default"))) bool ModuleExit() { return true; }
__attribute__((visibility("default"))) IPluginFactory* GetPluginFactory() { return &gFactory; }
__attribute__((visibility("default"))) const Vst3SplitProbe* krevlo_vst3_split_probe() { return &kProbe; }
}

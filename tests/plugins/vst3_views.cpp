// VST3 test effects whose editors and run-loop use follow what editor toolkits
// do (vst3_views_probe.h lists them): stereo pass-through, no parameters, one
// resizable view each. The view embeds the shared X11 test editor when that is
// enabled.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/vst3/vst3_controller.h"
#include "platform/vst3/vst3_factory.h"
#include "platform/vst3/vst3_host.h"
#include "platform/vst3/vst3_processor.h"
#include "platform/vst3/vst3_run_loop.h"
#include "platform/vst3/vst3_view.h"
#include "plugins/vst3_views_probe.h"
#include "plugins/x11_test_editor.h"

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

constexpr Uid classUid(Vst3ViewsKind kind) {
  return makeUid(0x4B525633, 0x56570000 + static_cast<uint32>(kind), 0x01020304, 0x0A0B0C0D);
}
constexpr Vst3ViewsKind kKinds[] = {Vst3ViewsKind::AttachResize, Vst3ViewsKind::HostLoop, Vst3ViewsKind::FailAttach};
constexpr int32 kClassCount = 3;
constexpr const char* kNames[] = {"Views AttachResize", "Views HostLoop", "Views FailAttach"};

std::mutex gMutex;  // guards gState
Vst3ViewsState gState{};

template <class F>
void record(F change) {
  std::lock_guard<std::mutex> lock(gMutex);
  change(gState);
}

int roundUp(int v, int min) {
  if (v < min) v = min;
  return (v + kSizeStep - 1) / kSizeStep * kSizeStep;
}

// ---- the view ------------------------------------------------------------

class View final : public IPlugView {
 public:
  explicit View(Vst3ViewsKind kind) : kind_(kind), resizeInAttach_(kind == Vst3ViewsKind::AttachResize) {
    record([](Vst3ViewsState& s) { ++s.live; });
  }
  ~View() {
    if (ownChild_) krevlo_test::x11Editor().close();
    record([](Vst3ViewsState& s) { --s.live; });
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
  tresult attached(void* parent, FIDString) override {
    if (kind_ == Vst3ViewsKind::FailAttach) {
      ownChild_ = krevlo_test::X11Editor::enabled() &&
                  krevlo_test::x11Editor().open(static_cast<unsigned long>(reinterpret_cast<uintptr_t>(parent)),
                                                kAttachWidth, kAttachHeight);
      return kResultFalse;
    }
    if (resizeInAttach_) {
      // The toolkit learns its size only from onSize: without it the child
      // window is made 0 x 0, which the X server refuses.
      width_ = height_ = 0;
      ViewRect want{0, 0, kAttachWidth, kAttachHeight};
      if (!frame_ || frame_->resizeView(this, &want) != kResultOk) return kResultFalse;
    } else {
      width_ = kAttachWidth;
      height_ = kAttachHeight;
    }
    return editor_.attached(this, frame_, parent, width_, height_) ? kResultOk : kResultFalse;
  }
  tresult removed() override {
    editor_.removed();
    return kResultOk;
  }
  tresult onWheel(float) override { return kResultFalse; }
  tresult onKeyDown(char16, int16, int16) override { return kResultFalse; }
  tresult onKeyUp(char16, int16, int16) override { return kResultFalse; }
  tresult getSize(ViewRect* size) override {
    if (!size) return kInvalidArgument;
    *size = resizeInAttach_ ? ViewRect{0, 0, 100, 80} : ViewRect{0, 0, kAttachWidth, kAttachHeight};
    return kResultOk;
  }
  tresult onSize(ViewRect* r) override {
    if (!r) return kInvalidArgument;
    width_ = r->right - r->left;
    height_ = r->bottom - r->top;
    record([this](Vst3ViewsState& s) {
      ++s.onSizeCalls;
      s.width = width_;
      s.height = height_;
    });
    if (krevlo_test::X11Editor::enabled()) krevlo_test::x11Editor().resized(width_, height_);
    return kResultOk;
  }
  tresult onFocus(TBool) override { return kResultOk; }
  tresult setFrame(IPlugFrame* frame) override {
    frame_ = frame;
    return kResultOk;
  }
  tresult canResize() override { return kResultTrue; }
  tresult checkSizeConstraint(ViewRect* r) override {
    if (!r) return kInvalidArgument;
    record([](Vst3ViewsState& s) { ++s.constraintCalls; });
    r->right = r->left + roundUp(r->right - r->left, kMinWidth);
    r->bottom = r->top + roundUp(r->bottom - r->top, kMinHeight);
    return kResultTrue;
  }

 private:
  const Vst3ViewsKind kind_;
  const bool resizeInAttach_;
  bool ownChild_ = false;  // a child made by a failed attach, destroyed with the view
  std::atomic<uint32> refs_{1};
  IPlugFrame* frame_ = nullptr;
  int width_ = 0, height_ = 0;
  krevlo_test::Vst3X11Editor editor_;
};

// ---- the effect ------------------------------------------------------------

// The HostLoop kind's timer: counts its calls.
class Ticker final : public Linux::ITimerHandler {
 public:
  tresult queryInterface(const TUID iid, void** obj) override {
    if (FUnknown::iid.matches(iid) || Linux::ITimerHandler::iid.matches(iid)) {
      *obj = static_cast<Linux::ITimerHandler*>(this);
      return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
  }
  uint32 addRef() override { return 1000; }
  uint32 release() override { return 1000; }
  void onTimer() override {
    record([](Vst3ViewsState& s) { ++s.ticks; });
  }
};

class Effect final : public IComponent, public IAudioProcessor, public IEditController {
 public:
  explicit Effect(Vst3ViewsKind kind) : kind_(kind) {
    record([](Vst3ViewsState& s) { ++s.live; });
  }
  ~Effect() {
    if (context_) context_->release();
    record([](Vst3ViewsState& s) { --s.live; });
  }

  tresult queryInterface(const TUID iid, void** obj) override {
    void* found = nullptr;
    if (FUnknown::iid.matches(iid) || IPluginBase::iid.matches(iid) || IComponent::iid.matches(iid))
      found = static_cast<IComponent*>(this);
    else if (IAudioProcessor::iid.matches(iid))
      found = static_cast<IAudioProcessor*>(this);
    else if (IEditController::iid.matches(iid))
      found = static_cast<IEditController*>(this);
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

  // IPluginBase: the component and controller halves are one object, so the
  // second initialize finds the context already kept.
  tresult initialize(FUnknown* context) override {
    if (!context) return kResultFalse;
    if (context_) return kResultOk;
    context_ = context;
    context_->addRef();
    if (kind_ == Vst3ViewsKind::HostLoop) {
      void* loop = nullptr;
      if (context->queryInterface(Linux::IRunLoop::iid.bytes, &loop) == kResultOk && loop) {
        auto* runLoop = static_cast<Linux::IRunLoop*>(loop);
        const bool registered = runLoop->registerTimer(&ticker_, 5) == kResultTrue;
        record([registered](Vst3ViewsState& s) { s.loopTimer = registered ? 1 : 0; });
        runLoop->release();
      }
    }
    return kResultOk;
  }
  tresult terminate() override { return kResultOk; }

  // IComponent
  tresult getControllerClassId(TUID) override { return kResultFalse; }
  tresult setIoMode(IoMode) override { return kNotImplemented; }
  int32 getBusCount(MediaType type, BusDirection) override { return type == kAudio ? 1 : 0; }
  tresult getBusInfo(MediaType type, BusDirection dir, int32 index, BusInfo& bus) override {
    if (type != kAudio || index != 0 || (dir != kInput && dir != kOutput)) return kInvalidArgument;
    bus = BusInfo{};
    bus.mediaType = type;
    bus.direction = dir;
    bus.channelCount = 2;
    bus.busType = kMain;
    bus.flags = BusInfo::kDefaultActive;
    return kResultOk;
  }
  tresult getRoutingInfo(RoutingInfo&, RoutingInfo&) override { return kNotImplemented; }
  tresult activateBus(MediaType, BusDirection, int32, TBool) override { return kResultOk; }
  tresult setActive(TBool) override { return kResultOk; }
  tresult setState(IBStream*) override { return kResultOk; }
  tresult getState(IBStream*) override { return kResultOk; }

  // IAudioProcessor
  tresult setBusArrangements(SpeakerArrangement*, int32 numIns, SpeakerArrangement*, int32 numOuts) override {
    return numIns == 1 && numOuts == 1 ? kResultOk : kResultFalse;
  }
  tresult getBusArrangement(BusDirection dir, int32 index, SpeakerArrangement& arr) override {
    if ((dir != kInput && dir != kOutput) || index != 0) return kInvalidArgument;
    arr = SpeakerArr::kStereo;
    return kResultOk;
  }
  tresult canProcessSampleSize(int32 size) override { return size == kSample32 ? kResultTrue : kResultFalse; }
  uint32 getLatencySamples() override { return 0; }
  tresult setupProcessing(ProcessSetup&) override { return kResultOk; }
  tresult setProcessing(TBool) override { return kResultOk; }
  tresult process(ProcessData& data) override {
    if (data.numInputs < 1 || data.numOutputs < 1) return kResultOk;
    for (int32 c = 0; c < 2 && c < data.inputs[0].numChannels && c < data.outputs[0].numChannels; ++c)
      if (data.outputs[0].channelBuffers32[c] != data.inputs[0].channelBuffers32[c])
        std::memcpy(data.outputs[0].channelBuffers32[c], data.inputs[0].channelBuffers32[c],
                    sizeof(float) * static_cast<size_t>(data.numSamples));
    return kResultOk;
  }
  uint32 getTailSamples() override { return 0; }

  // IEditController
  tresult setComponentState(IBStream*) override { return kResultOk; }
  int32 getParameterCount() override { return 0; }
  tresult getParameterInfo(int32, ParameterInfo&) override { return kInvalidArgument; }
  tresult getParamStringByValue(ParamID, ParamValue, String128) override { return kInvalidArgument; }
  tresult getParamValueByString(ParamID, TChar*, ParamValue&) override { return kInvalidArgument; }
  ParamValue normalizedParamToPlain(ParamID, ParamValue v) override { return v; }
  ParamValue plainParamToNormalized(ParamID, ParamValue v) override { return v; }
  ParamValue getParamNormalized(ParamID) override { return 0.0; }
  tresult setParamNormalized(ParamID, ParamValue) override { return kInvalidArgument; }
  tresult setComponentHandler(IComponentHandler*) override { return kResultOk; }
  IPlugView* createView(FIDString name) override {
    if (!name || std::strcmp(name, ViewType::kEditor) != 0) return nullptr;
    return new View(kind_);
  }

 private:
  const Vst3ViewsKind kind_;
  std::atomic<uint32> refs_{1};
  FUnknown* context_ = nullptr;
  Ticker ticker_;
};

// ---- the factory -------------------------------------------------------------

class Factory final : public IPluginFactory {
 public:
  tresult queryInterface(const TUID iid, void** obj) override {
    if (FUnknown::iid.matches(iid) || IPluginFactory::iid.matches(iid)) {
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
    return kResultOk;
  }
  int32 countClasses() override { return kClassCount; }
  tresult getClassInfo(int32 index, PClassInfo* info) override {
    if (index < 0 || index >= kClassCount) return kInvalidArgument;
    std::memset(info, 0, sizeof *info);
    std::memcpy(info->cid, classUid(kKinds[index]).bytes, 16);
    std::strcpy(info->category, kVstAudioEffectClass);
    std::strcpy(info->name, kNames[index]);
    info->cardinality = PClassInfo::kManyInstances;
    return kResultOk;
  }
  tresult createInstance(FIDString cid, FIDString iid, void** obj) override {
    *obj = nullptr;
    for (Vst3ViewsKind kind : kKinds) {
      if (!classUid(kind).matches(cid)) continue;
      auto* made = static_cast<IComponent*>(new Effect(kind));
      const tresult r = made->queryInterface(iid, obj);
      made->release();
      return r;
    }
    return kInvalidArgument;
  }
};

Factory gFactory;

void probeState(Vst3ViewsState* out) {
  std::lock_guard<std::mutex> lock(gMutex);
  *out = gState;
}
const Vst3ViewsProbe kProbe = {probeState};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) bool ModuleEntry(void*) { return true; }
__attribute__((visibility("default"))) bool ModuleExit() { return true; }
__attribute__((visibility("default"))) IPluginFactory* GetPluginFactory() { return &gFactory; }
__attribute__((visibility("default"))) const Vst3ViewsProbe* krevlo_vst3_views_probe() { return &kProbe; }
}

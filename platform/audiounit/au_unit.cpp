#include "platform/audiounit/au_unit.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/audiounit/au_component.h"

namespace bridge::au {

namespace {

constexpr uint32_t kAbsoluteMaxFrames = 1u << 16;

// Parameter records in a full state's "data": address (8 bytes) and value
// (4 bytes), little-endian.
constexpr size_t kRecordSize = 12;

void putLe(plist::Data& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint64_t getLe(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes; i-- > 0;) v = v << 8 | p[i];
  return v;
}

}  // namespace

std::optional<StreamDescription> standardFormat(double sampleRate, uint32_t channels) {
  if (!std::isfinite(sampleRate) || sampleRate <= 0.0 || channels == 0) return std::nullopt;
  StreamDescription d;
  d.sampleRate = sampleRate;
  d.formatId = kFormatLinearPcm;
  d.formatFlags = kFormatFlagIsFloat | kFormatFlagIsPacked | kFormatFlagIsNonInterleaved;
  d.bytesPerPacket = 4;
  d.framesPerPacket = 1;
  d.bytesPerFrame = 4;
  d.channelsPerFrame = channels;
  d.bitsPerChannel = 32;
  return d;
}

bool isStandardStereo(const StreamDescription& f) {
  const auto want = standardFormat(f.sampleRate, 2);
  return want && f.formatId == want->formatId && f.formatFlags == want->formatFlags &&
         f.bytesPerPacket == want->bytesPerPacket && f.framesPerPacket == want->framesPerPacket &&
         f.bytesPerFrame == want->bytesPerFrame && f.channelsPerFrame == 2 && f.bitsPerChannel == 32;
}

Unit::Unit(const ComponentDescription& description, const std::string& name, UnitSpec spec)
    : description_(description), name_(name), spec_(std::move(spec)), latency_(spec_.latency) {
  if (spec_.hasParameterTree) tree_ = std::make_unique<ParameterTree>(spec_.parameters);
  if (spec_.makeDsp) dsp_ = spec_.makeDsp();
}

Unit::~Unit() = default;

void Unit::setLatency(double seconds) {
  latency_.store(seconds);
  std::lock_guard<std::recursive_mutex> lock(observersMutex_);
  for (size_t i = 0; i < observers_.size(); ++i)
    if (observers_[i].second == "latency") observers_[i].first->observeValue("latency", *this);
}

void Unit::addObserver(KeyValueObserver* observer, const std::string& keyPath) {
  std::lock_guard<std::recursive_mutex> lock(observersMutex_);
  observers_.emplace_back(observer, keyPath);
}

void Unit::removeObserver(KeyValueObserver* observer, const std::string& keyPath) {
  std::lock_guard<std::recursive_mutex> lock(observersMutex_);
  auto it = std::find(observers_.begin(), observers_.end(), std::make_pair(observer, keyPath));
  if (it != observers_.end()) observers_.erase(it);
}

plist::Dictionary Unit::fullState() const {
  plist::Dictionary state;
  state["type"] = static_cast<int64_t>(description_.type);
  state["subtype"] = static_cast<int64_t>(description_.subtype);
  state["manufacturer"] = static_cast<int64_t>(description_.manufacturer);
  state["version"] = int64_t{0x10000};
  state["name"] = name_;
  plist::Data data;
  if (tree_) {
    for (const Parameter* p : tree_->allParameters()) {
      uint32_t bits;
      const float v = p->value();
      std::memcpy(&bits, &v, sizeof bits);
      putLe(data, p->address(), 8);
      putLe(data, bits, 4);
    }
  }
  state["data"] = std::move(data);
  return state;
}

void Unit::setFullState(const plist::Dictionary& state) {
  auto it = state.find("data");
  if (it == state.end() || !tree_) return;
  const plist::Data* data = it->second.get<plist::Data>();
  if (!data || data->size() % kRecordSize != 0) return;
  for (size_t at = 0; at < data->size(); at += kRecordSize) {
    const uint64_t address = getLe(data->data() + at, 8);
    const uint32_t bits = static_cast<uint32_t>(getLe(data->data() + at + 8, 4));
    float v;
    std::memcpy(&v, &bits, sizeof v);
    Parameter* p = tree_->parameterWithAddress(address);
    if (!p || !std::isfinite(v)) continue;
    p->setValue(std::clamp(v, p->minValue(), p->maxValue()));
  }
}

void Unit::requestViewController(std::function<void(std::shared_ptr<ViewController>)> handler) {
  std::shared_ptr<ViewController> controller;
  if (spec_.viewFrame)
    controller = std::make_shared<ViewController>(std::make_unique<View>("controller", *spec_.viewFrame),
                                                  spec_.preferredSize);
  runOnCompletionThread([handler = std::move(handler), controller = std::move(controller)] { handler(controller); });
}

Status Unit::setStreamFormat(Scope scope, uint32_t element, const StreamDescription& format) {
  if (scope != Scope::Input && scope != Scope::Output) return kErrInvalidScope;
  if (element >= (scope == Scope::Input ? spec_.inputBuses : spec_.outputBuses)) return kErrInvalidElement;
  if (initialized_) return kErrCannotDoInCurrentContext;
  if (spec_.switches.refuseStereo || !isStandardStereo(format)) return kErrFormatNotSupported;
  sampleRate_ = format.sampleRate;
  return kNoErr;
}

Status Unit::setMaximumFramesPerSlice(uint32_t frames) {
  if (initialized_) return kErrCannotDoInCurrentContext;
  if (frames == 0 || frames > kAbsoluteMaxFrames) return kErrInvalidProperty;
  maxFrames_ = frames;
  return kNoErr;
}

Status Unit::setRenderCallback(Scope scope, uint32_t element, const RenderCallback& callback) {
  if (scope != Scope::Input) return kErrInvalidScope;
  if (element >= spec_.inputBuses) return kErrInvalidElement;
  if (spec_.switches.refuseRenderCallback) return kErrInvalidProperty;
  renderCallback_ = callback;
  return kNoErr;
}

Status Unit::setHostCallbacks(const HostCallbacks& callbacks) {
  hostCallbacks_ = callbacks;
  return kNoErr;
}

Status Unit::getParameterList(Scope scope, std::vector<uint32_t>& ids) const {
  ids.clear();
  if (scope != Scope::Global) return kNoErr;
  if (!tree_) return kErrInvalidProperty;
  for (const Parameter* p : tree_->allParameters())
    if (p->global()) ids.push_back(static_cast<uint32_t>(p->address()));
  return kNoErr;
}

Parameter* Unit::globalParameter(uint32_t id, Scope scope, uint32_t element) const {
  if (scope != Scope::Global || element != 0 || !tree_) return nullptr;
  for (Parameter* p : tree_->allParameters())
    if (p->global() && p->address() == id) return p;
  return nullptr;
}

Status Unit::getParameterInfo(Scope scope, uint32_t id, ParameterInfo& info) const {
  const Parameter* p = globalParameter(id, scope, 0);
  if (!p) return kErrInvalidParameter;
  info.name = p->displayName();
  info.unit = p->unit();
  info.minValue = p->minValue();
  info.maxValue = p->maxValue();
  info.defaultValue = p->defaultValue();
  info.flags = p->flags();
  return kNoErr;
}

Status Unit::getCocoaView(CocoaViewInfo& info) const {
  if (!spec_.cocoaView) return kErrInvalidProperty;
  info = *spec_.cocoaView;
  return kNoErr;
}

Status Unit::initialize() {
  if (initialized_) return kNoErr;
  if (spec_.switches.failInitialize) return kErrFailedInitialization;
  if (spec_.inputBuses > 0) {
    for (auto& buffer : ownInput_) buffer.assign(maxFrames_, 0.0f);
  }
  if (dsp_) dsp_->prepare(*this, sampleRate_, maxFrames_);
  initialized_ = true;
  return kNoErr;
}

Status Unit::uninitialize() {
  initialized_ = false;
  return kNoErr;
}

Status Unit::reset(Scope scope, uint32_t element) {
  if (scope != Scope::Global || element != 0) return kErrInvalidScope;
  if (dsp_) dsp_->reset();
  return kNoErr;
}

Status Unit::render(ActionFlags* flags, const TimeStamp& time, uint32_t outputBus, uint32_t frames,
                    AudioBufferList* data) {
  if (!initialized_) return kErrUninitialized;
  if (outputBus >= spec_.outputBuses) return kErrInvalidElement;
  if (frames == 0 || frames > maxFrames_) return kErrTooManyFrames;
  if (!data || data->numberBuffers != 2) return kErrFormatNotSupported;
  if (spec_.switches.failRender) return kErrRenderFailed;

  const float* in[2] = {nullptr, nullptr};
  if (spec_.inputBuses > 0) {
    if (!renderCallback_.proc) return kErrInvalidProperty;
    input_.numberBuffers = 2;
    for (int k = 0; k < 2; ++k) {
      input_.buffers[k].numberChannels = 1;
      input_.buffers[k].dataByteSize = frames * 4;
      input_.buffers[k].data = spec_.switches.ownInputBuffers ? ownInput_[k].data() : nullptr;
    }
    ActionFlags pullFlags = 0;
    const Status s = renderCallback_.proc(renderCallback_.refCon, &pullFlags, &time, 0, frames, &input_);
    if (s != kNoErr) return s;
    for (int k = 0; k < 2; ++k) {
      if (!input_.buffers[k].data || input_.buffers[k].dataByteSize < frames * 4) return kErrRenderFailed;
      in[k] = static_cast<const float*>(input_.buffers[k].data);
    }
  }
  (void)flags;

  if (spec_.switches.renderInPlace && in[0]) {
    for (int k = 0; k < 2; ++k) data->buffers[k].data = const_cast<float*>(in[k]);
  }
  float* out[2];
  for (int k = 0; k < 2; ++k) {
    if (!data->buffers[k].data || data->buffers[k].dataByteSize < frames * 4) return kErrFormatNotSupported;
    out[k] = static_cast<float*>(data->buffers[k].data);
  }
  if (!dsp_) {
    for (int k = 0; k < 2; ++k) {
      if (in[k] && in[k] != out[k]) std::memmove(out[k], in[k], frames * sizeof(float));
      if (!in[k]) std::memset(out[k], 0, frames * sizeof(float));
    }
    return kNoErr;
  }
  return dsp_->render(*this, in[0], in[1], out[0], out[1], frames);
}

Status Unit::getParameter(uint32_t id, Scope scope, uint32_t element, float& value) const {
  const Parameter* p = globalParameter(id, scope, element);
  if (!p) return kErrInvalidParameter;
  value = p->value();
  return kNoErr;
}

Status Unit::setParameter(uint32_t id, Scope scope, uint32_t element, float value, uint32_t offsetFrames) {
  (void)offsetFrames;
  Parameter* p = globalParameter(id, scope, element);
  if (!p) return kErrInvalidParameter;
  if (!std::isfinite(value)) return kErrInvalidParameter;
  p->store(std::clamp(value, p->minValue(), p->maxValue()));
  return kNoErr;
}

Status Unit::parameterListenerNotify(uint32_t id, Scope scope, uint32_t element) {
  Parameter* p = globalParameter(id, scope, element);
  if (!p) return kErrInvalidParameter;
  tree_->notify(*p);
  return kNoErr;
}

}  // namespace bridge::au

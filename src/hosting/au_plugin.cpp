#include "hosting/au_plugin.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "hosting/editor_window.h"
#include "hosting/plugin_rules.h"
#include "platform/audiounit/au_view.h"
#include "platform/audiounit/plist.h"

namespace bridge {

using au::Scope;

namespace {

constexpr int kMinEditorWidth = 200, kMinEditorHeight = 100;
constexpr int kFallbackWidth = 400, kFallbackHeight = 300;
constexpr double kMaxEditorSide = 16384.0;

// A view's side in whole pixels; a size that is not finite or absurd never
// reaches the conversion.
int pixels(double side) {
  if (!std::isfinite(side) || side < 0.0) return 0;
  return static_cast<int>(std::min(side, kMaxEditorSide));
}

double finiteOrZero(double v) { return std::isfinite(v) ? v : 0.0; }

// The position in quarter notes; 0 when the timeline, rate or tempo cannot
// give one.
double quarterNotes(const Transport& t) {
  if (!std::isfinite(t.timelineSample) || !std::isfinite(t.sampleRate) || t.sampleRate <= 0.0 ||
      !std::isfinite(t.tempo))
    return 0.0;
  return finiteOrZero(t.timelineSample / t.sampleRate * t.tempo / 60.0);
}

// The position in beats of the signature's unit.
double signatureBeats(const Transport& t) {
  return finiteOrZero(quarterNotes(t) * static_cast<double>(t.timeSigDenominator) * 0.25);
}

void feed(au::AudioBuffer& buffer, const float* source, uint32_t frames) {
  if (buffer.data)
    std::memcpy(buffer.data, source, frames * sizeof(float));
  else
    buffer.data = const_cast<float*>(source);
  buffer.dataByteSize = frames * static_cast<uint32_t>(sizeof(float));
}

}  // namespace

// Watches the unit's "latency" and calls onChange, whatever changed.
class AuPlugin::LatencyObserver final : public au::KeyValueObserver {
 public:
  std::function<void()> onChange;
  void observeValue(const std::string&, au::Unit&) override {
    if (onChange) onChange();
  }
};

AuPlugin::AuPlugin(std::shared_ptr<au::Unit> unit, int maxBlock, double sampleRate, RunOnMain runOnMain)
    : avUnit(std::move(unit)),
      auUnit(avUnit.get()),
      audioUnit(avUnit ? avUnit->audioUnit() : nullptr),
      sampleRate(sampleRate),
      maxBlock(std::max(maxBlock, 1)),
      runOnMain(std::move(runOnMain)),
      alive(std::make_shared<std::atomic<bool>>(true)),
      leftBuffer(static_cast<size_t>(this->maxBlock), 0.0f),
      rightBuffer(static_cast<size_t>(this->maxBlock), 0.0f) {}

AuPlugin::~AuPlugin() {
  alive->store(false);
  if (window) closeEditor();
  if (observerToken && auUnit->parameterTree()) auUnit->parameterTree()->removeParameterObserver(*observerToken);
  if (latencyObserver) auUnit->removeObserver(latencyObserver.get(), "latency");
  if (initialized && audioUnit) audioUnit->uninitialize();
}

std::string AuPlugin::prepare() {
  if (!audioUnit) return "no Audio Unit instance";
  if (auUnit->inputBusCount() < 1 || auUnit->outputBusCount() < 1) return "not an effect with an audio input";
  audioUnit->uninitialize();

  const auto format = au::standardFormat(sampleRate, 2);
  if (!format || audioUnit->setStreamFormat(Scope::Input, 0, *format) != au::kNoErr ||
      audioUnit->setStreamFormat(Scope::Output, 0, *format) != au::kNoErr)
    return "this Audio Unit does not take stereo audio";

  audioUnit->setMaximumFramesPerSlice(static_cast<uint32_t>(maxBlock));

  if (au::Status s = audioUnit->setRenderCallback(Scope::Input, 0, au::RenderCallback{&AuPlugin::pullInput, this});
      s != au::kNoErr)
    return "could not connect the Audio Unit's input (" + std::to_string(s) + ")";

  au::HostCallbacks callbacks;
  callbacks.userData = this;
  callbacks.beatAndTempo = &AuPlugin::beatAndTempo;
  callbacks.musicalTime = &AuPlugin::musicalTime;
  callbacks.transportState = nullptr;
  callbacks.transportState2 = &AuPlugin::transportState;
  audioUnit->setHostCallbacks(callbacks);

  if (au::Status s = audioUnit->initialize(); s != au::kNoErr)
    return "could not start the Audio Unit (" + std::to_string(s) + ")";
  initialized = true;

  au::ParameterTree* tree = auUnit->parameterTree();
  if (tree) parameters = tree->allParameters();
  for (size_t i = 0; i < parameters.size(); ++i) indexByAddress[parameters[i]->address()] = static_cast<int64_t>(i);

  std::vector<uint32_t> ids;
  if (audioUnit->getParameterList(Scope::Global, ids) == au::kNoErr) globalIds.insert(ids.begin(), ids.end());

  for (const au::Parameter* p : parameters) {
    const bool readOnly =
        (p->flags() & au::kParameterFlagMeterReadOnly) || !(p->flags() & au::kParameterFlagIsWritable);
    if (readOnly && isGlobal(p->address()) && isGainReductionName(p->displayName())) {
      meter = p;
      meterAddress = static_cast<int64_t>(p->address());
      break;
    }
  }

  std::weak_ptr<std::atomic<bool>> weak = alive;
  if (tree)
    observerToken = tree->tokenByAddingParameterObserver([this, weak](uint64_t address, float) {
      auto flag = weak.lock();
      if (!flag || !flag->load()) return;
      auto it = indexByAddress.find(address);
      if (it != indexByAddress.end()) paramChanged(static_cast<int>(it->second));
    });

  latencyObserver = std::make_unique<LatencyObserver>();
  latencyObserver->onChange = [this, weak] {
    auto flag = weak.lock();
    if (flag && flag->load()) latencyChanged();
  };
  auUnit->addObserver(latencyObserver.get(), "latency");
  return "";
}

bool AuPlugin::isGlobal(uint64_t address) const {
  // Addresses beyond 32 bits are never parameter ids; cutting them down
  // would name another parameter.
  return address <= UINT32_MAX && globalIds.count(static_cast<uint32_t>(address)) != 0;
}

float AuPlugin::currentValue(const au::Parameter& p) const {
  float value = 0.0f;
  if (isGlobal(p.address()) &&
      audioUnit->getParameter(static_cast<uint32_t>(p.address()), Scope::Global, 0, value) == au::kNoErr)
    return value;
  return p.value();
}

std::string AuPlugin::unitLabel(const au::Parameter& p) {
  if (!p.unitName().empty()) return p.unitName();
  switch (p.unit()) {
    case au::ParameterUnit::Percent: return "%";
    case au::ParameterUnit::Seconds: return "s";
    case au::ParameterUnit::Hertz: return "Hz";
    case au::ParameterUnit::Cents: return "cents";
    case au::ParameterUnit::Decibels: return "dB";
    case au::ParameterUnit::Degrees: return "\xC2\xB0";
    case au::ParameterUnit::Octaves: return "oct";
    case au::ParameterUnit::Bpm: return "BPM";
    case au::ParameterUnit::Beats: return "beats";
    case au::ParameterUnit::Milliseconds: return "ms";
    case au::ParameterUnit::Ratio: return ":1";
    default: return "";
  }
}

int32_t AuPlugin::steps(const au::Parameter& p) {
  if (!p.valueStrings().empty()) return static_cast<int32_t>(std::min<size_t>(p.valueStrings().size(), INT32_MAX));
  if (p.unit() == au::ParameterUnit::Boolean) return 2;
  if (p.unit() == au::ParameterUnit::Indexed) {
    const double range = static_cast<double>(p.maxValue()) - p.minValue();
    const double span = std::isfinite(range) && range > 0.0 ? std::trunc(range) : 0.0;
    return static_cast<int32_t>(std::min(span, 2147483646.0)) + 1;
  }
  return 0;
}

int AuPlugin::latencySamples() {
  const double samples = std::round(auUnit->latency() * sampleRate);
  if (!std::isfinite(samples)) return 0;
  return static_cast<int>(std::clamp(samples, static_cast<double>(INT_MIN), static_cast<double>(INT_MAX)));
}

double AuPlugin::tailSeconds() { return auUnit->tailTime(); }

void AuPlugin::reset() {
  audioUnit->reset(Scope::Global, 0);
  samplePosition = 0.0;
}

void AuPlugin::process(float* left, float* right, int frames, const Transport& t) {
  if (frames < 1 || frames > maxBlock) return;
  transport = t;
  inputLeft = left;
  inputRight = right;
  inputFrames = frames;
  const uint32_t n = static_cast<uint32_t>(frames);
  bufferList.numberBuffers = 2;
  bufferList.buffers[0] = {1, n * 4, leftBuffer.data()};
  bufferList.buffers[1] = {1, n * 4, rightBuffer.data()};

  au::TimeStamp time{};
  time.sampleTime = samplePosition;
  time.flags = au::kTimeStampSampleTimeValid;
  au::ActionFlags flags = 0;
  const au::Status s = audioUnit->render(&flags, time, 0, n, &bufferList);
  samplePosition += frames;
  if (s != au::kNoErr) {
    if (!renderFailed.exchange(true)) std::fprintf(stderr, "AU render failed: %d\n", static_cast<int>(s));
    return;
  }
  if (bufferList.buffers[0].data != left) std::memcpy(left, bufferList.buffers[0].data, n * sizeof(float));
  if (bufferList.buffers[1].data != right) std::memcpy(right, bufferList.buffers[1].data, n * sizeof(float));
}

au::Status AuPlugin::pullInput(void* refCon, au::ActionFlags*, const au::TimeStamp*, uint32_t, uint32_t frames,
                               au::AudioBufferList* data) {
  auto* self = static_cast<AuPlugin*>(refCon);
  // The unit may only ask for the block it is rendering.
  if (frames > static_cast<uint32_t>(self->inputFrames)) return au::kErrTooManyFrames;
  if (!data || data->numberBuffers == 0) return au::kNoErr;
  feed(data->buffers[0], self->inputLeft, frames);
  if (data->numberBuffers < 2) return au::kNoErr;
  feed(data->buffers[1], self->inputRight, frames);
  return au::kNoErr;
}

au::Status AuPlugin::beatAndTempo(void* userData, double* currentBeat, double* currentTempo) {
  const Transport& t = static_cast<AuPlugin*>(userData)->transport;
  if (currentBeat) *currentBeat = signatureBeats(t);
  if (currentTempo) *currentTempo = t.tempo;
  return au::kNoErr;
}

au::Status AuPlugin::musicalTime(void* userData, uint32_t* samplesToNextBeat, float* timeSigNumerator,
                                 uint32_t* timeSigDenominator, double* currentMeasureDownBeat) {
  const Transport& t = static_cast<AuPlugin*>(userData)->transport;
  const double beats = signatureBeats(t);
  if (samplesToNextBeat) {
    const double fraction = beats - std::floor(beats);
    double samples = 0.0;
    // Without a positive tempo or rate there is no next beat to count to.
    if (fraction != 0.0 && std::isfinite(t.tempo) && t.tempo > 0.0 && std::isfinite(t.sampleRate) &&
        t.sampleRate > 0.0)
      samples = finiteOrZero(t.sampleRate * ((1.0 - fraction) * 60.0 / t.tempo));
    *samplesToNextBeat = static_cast<uint32_t>(std::clamp(std::trunc(samples), 0.0, 4294967295.0));
  }
  if (timeSigNumerator) *timeSigNumerator = static_cast<float>(t.timeSigNumerator);
  if (timeSigDenominator) *timeSigDenominator = static_cast<uint32_t>(std::max(t.timeSigDenominator, 0));
  if (currentMeasureDownBeat) {
    double downbeat = 0.0;
    // A numerator of 0 (or less) has no measures.
    if (t.timeSigNumerator > 0) {
      const double n = static_cast<double>(t.timeSigNumerator);
      downbeat = finiteOrZero(std::floor(beats / n) * n);
    }
    *currentMeasureDownBeat = downbeat;
  }
  return au::kNoErr;
}

au::Status AuPlugin::transportState(void* userData, bool* isPlaying, bool* isRecording, bool* stateChanged,
                                    double* currentSampleInTimeLine, bool* isCycling, double* cycleStartBeat,
                                    double* cycleEndBeat) {
  const Transport& t = static_cast<AuPlugin*>(userData)->transport;
  if (isPlaying) *isPlaying = t.playing;
  if (isRecording) *isRecording = false;
  if (stateChanged) *stateChanged = false;
  if (currentSampleInTimeLine) *currentSampleInTimeLine = t.timelineSample;
  if (isCycling) *isCycling = t.looping;
  if (cycleStartBeat) *cycleStartBeat = 0.0;
  if (cycleEndBeat) *cycleEndBeat = 0.0;
  return au::kNoErr;
}

std::vector<ParamInfo> AuPlugin::params() {
  std::vector<ParamInfo> list;
  list.reserve(parameters.size());
  for (size_t i = 0; i < parameters.size(); ++i) {
    const au::Parameter& p = *parameters[i];
    ParamInfo info;
    info.index = static_cast<int32_t>(i);
    info.id = std::to_string(p.address());
    info.name = p.displayName();
    info.unit = unitLabel(p);
    getParam(static_cast<int>(i), info.value, info.text);
    const double range = static_cast<double>(p.maxValue()) - p.minValue();
    au::ParameterInfo pi;
    // The info's element is a 32-bit id: a longer address names no global parameter.
    if (range > 0.0 && p.address() <= UINT32_MAX &&
        audioUnit->getParameterInfo(Scope::Global, static_cast<uint32_t>(p.address()), pi) == au::kNoErr)
      info.def = static_cast<float>(std::clamp((pi.defaultValue - p.minValue()) / range, 0.0, 1.0));
    else
      info.def = -1.0f;
    info.steps = steps(p);
    list.push_back(std::move(info));
  }
  return list;
}

void AuPlugin::setParam(int index, float normalized) {
  if (index < 0 || static_cast<size_t>(index) >= parameters.size() || !std::isfinite(normalized)) return;
  au::Parameter& p = *parameters[index];
  const float plain = normalized * (p.maxValue() - p.minValue()) + p.minValue();
  if (isGlobal(p.address())) {
    const uint32_t id = static_cast<uint32_t>(p.address());
    audioUnit->setParameter(id, Scope::Global, 0, plain, 0);
    audioUnit->parameterListenerNotify(id, Scope::Global, 0);
  } else {
    p.setValue(plain);
  }
}

bool AuPlugin::getParam(int index, float& normalized, std::string& text) {
  if (index < 0 || static_cast<size_t>(index) >= parameters.size()) return false;
  const au::Parameter& p = *parameters[index];
  const float cur = currentValue(p);
  const float range = p.maxValue() - p.minValue();
  normalized = range > 0.0f ? (cur - p.minValue()) / range : 0.0f;
  text = p.stringFromValue(cur);
  if (text.empty()) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3g", static_cast<double>(cur));
    text = buffer;
    const std::string label = unitLabel(p);
    if (!label.empty()) text += " " + label;
  }
  return true;
}

std::vector<uint8_t> AuPlugin::getState() {
  std::vector<uint8_t> bytes;
  if (!plist::writeBinary(plist::Value(auUnit->fullState()), bytes)) bytes.clear();
  return bytes;
}

bool AuPlugin::setState(const std::vector<uint8_t>& blob) {
  const std::optional<plist::Value> value = plist::readBinary(blob);
  const plist::Dictionary* state = value ? value->get<plist::Dictionary>() : nullptr;
  if (!state) return false;
  auUnit->setFullState(*state);
  return true;
}

bool AuPlugin::gainReduction(float& value) {
  if (meterAddress == -1) return false;
  float v = 0.0f;
  if (audioUnit->getParameter(static_cast<uint32_t>(meterAddress), Scope::Global, 0, v) != au::kNoErr) return false;
  value = v;
  return true;
}

float AuPlugin::toDb(float value) {
  if (!meter) return NAN;
  if (meter->unit() == au::ParameterUnit::Decibels) return value;
  return parseDb(meter->stringFromValue(value) + " " + unitLabel(*meter));
}

// Editor windows exist only where the application installed a window layer.
bool AuPlugin::hasEditor() { return clapWindowsSupported(); }

void AuPlugin::openEditor(const std::string& title) {
  if (window) {
    clapFocusWindow(window);
    return;
  }
  // One request at a time: its answer opens the one window.
  if (editorPending || !runOnMain) return;
  editorPending = true;
  const uint64_t request = ++editorRequest;
  std::weak_ptr<std::atomic<bool>> weak = alive;
  auUnit->requestViewController(
      [this, weak, run = runOnMain, title, request](std::shared_ptr<au::ViewController> controller) {
        run([this, weak, title, request, controller = std::move(controller)]() mutable {
          auto flag = weak.lock();
          if (!flag || !flag->load() || request != editorRequest) return;
          editorPending = false;
          showEditor(title, std::move(controller));
        });
      });
}

void AuPlugin::showEditor(const std::string& title, std::shared_ptr<au::ViewController> controller) {
  if (window) {
    clapFocusWindow(window);
    return;
  }
  std::unique_ptr<au::View> made;
  au::View* view = controller ? controller->view() : nullptr;
  if (!view) {
    au::CocoaViewInfo info;
    if (audioUnit->getCocoaView(info) == au::kNoErr && !info.bundleLocation.empty() && !info.classNames.empty()) {
      std::optional<au::ViewClass> viewClass = au::loadViewClass(info.bundleLocation, info.classNames[0]);
      if (viewClass && viewClass->conformsToCocoaUiBase && viewClass->make)
        if (std::unique_ptr<au::CocoaUiBase> factory = viewClass->make())
          made = factory->uiViewForAudioUnit(*auUnit, au::Size{0.0, 0.0});
    }
    if (!made) {
      // The layer's generic view gives the size; the windowing system draws
      // the parameters in it.
      made = au::makeGenericView(*auUnit);
      watchGenericView();
      genericView = editorGenericView(genericRows(), [this](int row, float value) { setParam(row, value); });
      if (!genericView) dropGenericView();
    }
    view = made.get();
  }

  au::Size size = view->frameSize();
  if (controller && controller->preferredContentSize().width > 0.0) size = controller->preferredContentSize();
  int width = pixels(size.width), height = pixels(size.height);
  if (width < kMinEditorWidth) width = kFallbackWidth;
  if (height < kMinEditorHeight) height = kFallbackHeight;

  std::weak_ptr<std::atomic<bool>> weak = alive;
  auto onClose = [this, weak] {
    auto flag = weak.lock();
    if (!flag || !flag->load()) return;
    window = nullptr;
    viewController.reset();
    dropGenericView();
    ownView.reset();
    editorClosed();
  };
  GenericView* generic = genericView.get();
  ClapWindow* opened = clapOpenWindow(
      title, width, height, false,
      [view, generic](void* parent) { return view->attach(parent) && (!generic || generic->attach(parent)); },
      onClose);
  if (!opened) {
    dropGenericView();
    return;
  }
  window = opened;
  viewController = std::move(controller);
  ownView = std::move(made);
}

void AuPlugin::closeEditor() {
  // A view controller still on its way opens nothing now.
  ++editorRequest;
  editorPending = false;
  if (!window) return;
  ClapWindow* w = window;
  window = nullptr;
  clapCloseWindow(w);
  dropGenericView();
  ownView.reset();
  editorClosed();
}

// Refreshes of one row, posted from the parameter observer, that have not run yet.
struct AuPlugin::GenericLink {
  explicit GenericLink(size_t rows) : pending(rows) {}
  std::vector<std::atomic<bool>> pending;
};

std::vector<GenericViewRow> AuPlugin::genericRows() {
  std::vector<GenericViewRow> rows(parameters.size());
  for (size_t i = 0; i < parameters.size(); ++i) {
    const au::Parameter& p = *parameters[i];
    GenericViewRow& row = rows[i];
    row.name = p.displayName();
    getParam(static_cast<int>(i), row.value, row.text);
    row.steps = steps(p);
    row.writable = (p.flags() & au::kParameterFlagIsWritable) && !(p.flags() & au::kParameterFlagMeterReadOnly);
  }
  return rows;
}

void AuPlugin::watchGenericView() {
  au::ParameterTree* tree = auUnit->parameterTree();
  if (!tree || !runOnMain) return;
  genericLink = std::make_shared<GenericLink>(parameters.size());
  std::weak_ptr<GenericLink> weak = genericLink;
  // Changes arrive on any thread: from the page's edits, automation, the
  // unit itself or the view. Only the main thread touches the view, so each
  // change posts a refresh of its row, at most one per row at a time; the
  // refresh reads the value current when it runs. A refresh finds the view
  // through the link, which goes with the view.
  genericToken = tree->tokenByAddingParameterObserver([this, weak, run = runOnMain](uint64_t address, float) {
    auto link = weak.lock();
    if (!link) return;
    auto it = indexByAddress.find(address);
    if (it == indexByAddress.end()) return;
    const size_t row = static_cast<size_t>(it->second);
    if (link->pending[row].exchange(true)) return;
    run([this, weak, row] {
      auto alive = weak.lock();
      // The link lives exactly as long as the view, and both only change on
      // this thread: a live link means a live plug-in and view.
      if (!alive) return;
      alive->pending[row].store(false);
      refreshGenericRow(row);
    });
  });
}

void AuPlugin::refreshGenericRow(size_t row) {
  float value = 0.0f;
  std::string text;
  if (genericView && getParam(static_cast<int>(row), value, text)) genericView->update(static_cast<int>(row), value, text);
}

void AuPlugin::dropGenericView() {
  // Removal waits for an observer call running on another thread, so no
  // refresh is posted after this.
  if (genericToken && auUnit->parameterTree()) auUnit->parameterTree()->removeParameterObserver(*genericToken);
  genericToken.reset();
  genericLink.reset();
  genericView.reset();
}

}  // namespace bridge

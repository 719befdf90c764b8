#pragma once
// One Audio Unit instance of our in-process layer. It is at once the handle the
// parameter and property calls take and the object model (buses, parameter
// tree, latency, tail time, full state, observers, view controller).
//
// Threads: the property calls, initialize and uninitialize run on one thread at
// a time (the one preparing or owning the unit), never while render runs.
// render, reset and getParameter run on the rendering thread and never
// allocate or lock. setParameter, the parameter tree and setLatency may be
// called from any thread. Key-value observers are called on the thread that
// changed the value; removeObserver returns only after a call on another
// thread has finished. requestViewController answers on the layer's completion
// thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audiounit/au_parameter.h"
#include "platform/audiounit/au_types.h"
#include "platform/audiounit/au_view.h"
#include "platform/audiounit/plist.h"

namespace bridge::au {

class Unit;

// A unit's signal processing. prepare runs in initialize; render on the
// rendering thread, where it must not allocate or lock.
class Dsp {
 public:
  virtual ~Dsp() = default;
  virtual void prepare(Unit& unit, double sampleRate, uint32_t maxFrames) {
    (void)unit, (void)sampleRate, (void)maxFrames;
  }
  virtual void reset() {}
  virtual Status render(Unit& unit, const float* inLeft, const float* inRight, float* outLeft, float* outRight,
                        uint32_t frames) = 0;
};

// The failures a unit can be told to show, one switch each.
struct UnitSwitches {
  bool noHandle = false;              // the instance has no parameter/property handle
  bool refuseStereo = false;          // the stream format calls fail
  bool refuseRenderCallback = false;  // the input render callback is refused
  bool failInitialize = false;
  bool failRender = false;
  // How the unit treats buffers (both are allowed of a unit): it hands the
  // input callback buffers of its own to fill, and renders into the input's
  // memory instead of the output buffers it was given.
  bool ownInputBuffers = false;
  bool renderInPlace = false;
};

struct UnitSpec {
  uint32_t inputBuses = 1;
  uint32_t outputBuses = 1;
  bool hasParameterTree = true;
  std::vector<ParameterSpec> parameters;
  double latency = 0.0;
  double tailTime = 0.0;
  UnitSwitches switches;
  std::function<std::unique_ptr<Dsp>()> makeDsp;
  // Editor: a view controller whose view has `viewFrame` and which prefers
  // `preferredSize`; else the legacy view named by `cocoaView`; else none.
  std::optional<Size> viewFrame;
  Size preferredSize;
  std::optional<CocoaViewInfo> cocoaView;
  // Called with each new unit before anyone else has it (tests keep it).
  std::function<void(const std::shared_ptr<Unit>&)> onMade;
};

// Observes one key path ("latency") of a unit.
class KeyValueObserver {
 public:
  virtual ~KeyValueObserver() = default;
  virtual void observeValue(const std::string& keyPath, Unit& unit) = 0;
};

class Unit {
 public:
  Unit(const ComponentDescription& description, const std::string& name, UnitSpec spec);
  ~Unit();
  Unit(const Unit&) = delete;
  Unit& operator=(const Unit&) = delete;

  // The handle for the calls below; null when the instance has none.
  Unit* audioUnit() { return spec_.switches.noHandle ? nullptr : this; }
  const ComponentDescription& description() const { return description_; }

  // Object model.
  uint32_t inputBusCount() const { return spec_.inputBuses; }
  uint32_t outputBusCount() const { return spec_.outputBuses; }
  ParameterTree* parameterTree() { return tree_.get(); }
  double latency() const { return latency_.load(); }
  void setLatency(double seconds);  // tells the "latency" observers
  double tailTime() const { return spec_.tailTime; }
  plist::Dictionary fullState() const;
  void setFullState(const plist::Dictionary& state);
  void addObserver(KeyValueObserver* observer, const std::string& keyPath);
  void removeObserver(KeyValueObserver* observer, const std::string& keyPath);
  // Answers once on the completion thread, with the unit's view controller or
  // null when it offers none.
  void requestViewController(std::function<void(std::shared_ptr<ViewController>)> handler);

  // Properties.
  Status setStreamFormat(Scope scope, uint32_t element, const StreamDescription& format);
  Status setMaximumFramesPerSlice(uint32_t frames);
  Status setRenderCallback(Scope scope, uint32_t element, const RenderCallback& callback);
  Status setHostCallbacks(const HostCallbacks& callbacks);
  // The ids of the parameters in `scope`'s list.
  Status getParameterList(Scope scope, std::vector<uint32_t>& ids) const;
  Status getParameterInfo(Scope scope, uint32_t id, ParameterInfo& info) const;
  Status getCocoaView(CocoaViewInfo& info) const;

  // Lifecycle and rendering.
  Status initialize();
  Status uninitialize();
  bool initialized() const { return initialized_; }
  Status reset(Scope scope, uint32_t element);
  Status render(ActionFlags* flags, const TimeStamp& time, uint32_t outputBus, uint32_t frames,
                AudioBufferList* data);

  // Parameters by id, global scope, element 0.
  Status getParameter(uint32_t id, Scope scope, uint32_t element, float& value) const;
  Status setParameter(uint32_t id, Scope scope, uint32_t element, float value, uint32_t offsetFrames);
  // Tells the tree's observers about a value set by setParameter.
  Status parameterListenerNotify(uint32_t id, Scope scope, uint32_t element);

  // For the unit's own processing, inside render.
  const HostCallbacks& hostCallbacks() const { return hostCallbacks_; }
  double sampleRate() const { return sampleRate_; }

 private:
  Parameter* globalParameter(uint32_t id, Scope scope, uint32_t element) const;

  const ComponentDescription description_;
  const std::string name_;
  const UnitSpec spec_;
  std::unique_ptr<ParameterTree> tree_;
  std::unique_ptr<Dsp> dsp_;
  std::atomic<double> latency_;

  std::recursive_mutex observersMutex_;  // held while an observer runs
  std::vector<std::pair<KeyValueObserver*, std::string>> observers_;

  double sampleRate_ = 44100.0;
  uint32_t maxFrames_ = 1156;
  bool initialized_ = false;
  RenderCallback renderCallback_;
  HostCallbacks hostCallbacks_;
  AudioBufferList input_;
  std::vector<float> ownInput_[2];
};

}  // namespace bridge::au

#pragma once
// A unit's parameter tree: its parameters with their addresses, names, units,
// ranges and current values, and the observers told about changes.
//
// Threads: the tree's shape never changes after construction. value() and
// store() are lock-free and safe on the rendering thread. setValue, notify and
// the observer calls run on the calling thread; observers are called one at a
// time under the tree's lock. removeParameterObserver returns only after a call
// of that observer on another thread has finished, so its owner may go right
// after.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/audiounit/au_types.h"

namespace bridge::au {

struct ParameterSpec {
  uint64_t address = 0;
  std::string displayName;
  ParameterUnit unit = ParameterUnit::Generic;
  std::string unitName;  // overrides the unit's own label when not empty
  float minValue = 0.0f;
  float maxValue = 1.0f;
  float defaultValue = 0.0f;
  uint32_t flags = kParameterFlagIsReadable | kParameterFlagIsWritable;
  std::vector<std::string> valueStrings;
  // Listed in the unit's global-scope parameter list, so the parameter calls
  // reach it by its (32-bit) address.
  bool global = true;
  // The display text of a value; without one, an indexed value's value string
  // or else an empty text.
  std::function<std::string(float)> format;
};

class ParameterTree;

class Parameter {
 public:
  Parameter(ParameterTree& tree, ParameterSpec spec);

  uint64_t address() const { return spec_.address; }
  const std::string& displayName() const { return spec_.displayName; }
  ParameterUnit unit() const { return spec_.unit; }
  const std::string& unitName() const { return spec_.unitName; }
  float minValue() const { return spec_.minValue; }
  float maxValue() const { return spec_.maxValue; }
  float defaultValue() const { return spec_.defaultValue; }
  uint32_t flags() const { return spec_.flags; }
  const std::vector<std::string>& valueStrings() const { return spec_.valueStrings; }
  bool global() const { return spec_.global; }

  float value() const { return value_.load(std::memory_order_relaxed); }
  // Stores the value and tells the tree's observers.
  void setValue(float value);
  // Stores the value without telling anyone (meters, the parameter calls).
  void store(float value) { value_.store(value, std::memory_order_relaxed); }
  std::string stringFromValue(float value) const;

 private:
  ParameterTree& tree_;
  const ParameterSpec spec_;
  std::atomic<float> value_;
};

using ObserverToken = uint64_t;
using ParameterObserver = std::function<void(uint64_t address, float value)>;

class ParameterTree {
 public:
  explicit ParameterTree(const std::vector<ParameterSpec>& specs);
  ParameterTree(const ParameterTree&) = delete;
  ParameterTree& operator=(const ParameterTree&) = delete;

  // In the unit's own order.
  const std::vector<Parameter*>& allParameters() const { return all_; }
  Parameter* parameterWithAddress(uint64_t address) const;

  ObserverToken tokenByAddingParameterObserver(ParameterObserver observer);
  void removeParameterObserver(ObserverToken token);
  // Calls every observer with the parameter's address and current value.
  void notify(const Parameter& parameter);

 private:
  std::vector<std::unique_ptr<Parameter>> owned_;
  std::vector<Parameter*> all_;
  std::recursive_mutex mutex_;  // an observer may set another value
  std::vector<std::pair<ObserverToken, ParameterObserver>> observers_;
  ObserverToken next_ = 1;
};

}  // namespace bridge::au

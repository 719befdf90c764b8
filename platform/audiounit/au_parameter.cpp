#include "platform/audiounit/au_parameter.h"

#include <cmath>

namespace bridge::au {

Parameter::Parameter(ParameterTree& tree, ParameterSpec spec)
    : tree_(tree), spec_(std::move(spec)), value_(spec_.defaultValue) {}

void Parameter::setValue(float value) {
  store(value);
  tree_.notify(*this);
}

std::string Parameter::stringFromValue(float value) const {
  if (spec_.format) return spec_.format(value);
  if (!spec_.valueStrings.empty() && std::isfinite(value)) {
    const double index = std::round(static_cast<double>(value) - spec_.minValue);
    if (index >= 0.0 && index < static_cast<double>(spec_.valueStrings.size()))
      return spec_.valueStrings[static_cast<size_t>(index)];
  }
  return "";
}

ParameterTree::ParameterTree(const std::vector<ParameterSpec>& specs) {
  for (const ParameterSpec& s : specs) {
    owned_.push_back(std::make_unique<Parameter>(*this, s));
    all_.push_back(owned_.back().get());
  }
}

Parameter* ParameterTree::parameterWithAddress(uint64_t address) const {
  for (Parameter* p : all_)
    if (p->address() == address) return p;
  return nullptr;
}

ObserverToken ParameterTree::tokenByAddingParameterObserver(ParameterObserver observer) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const ObserverToken token = next_++;
  observers_.emplace_back(token, std::move(observer));
  return token;
}

void ParameterTree::removeParameterObserver(ObserverToken token) {
  ParameterObserver gone;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (auto it = observers_.begin(); it != observers_.end(); ++it) {
      if (it->first != token) continue;
      gone = std::move(it->second);
      observers_.erase(it);
      break;
    }
  }
  // Destroyed outside the lock: it may hold its owner's last references.
}

void ParameterTree::notify(const Parameter& parameter) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const float value = parameter.value();
  // By index: an observer may add or remove observers while it runs.
  for (size_t i = 0; i < observers_.size(); ++i) {
    ParameterObserver fn = observers_[i].second;
    if (fn) fn(parameter.address(), value);
  }
}

}  // namespace bridge::au

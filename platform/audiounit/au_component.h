#pragma once
// The component registry of our Audio Unit layer and the instantiation of its
// components. The registry starts with the built-in effects (au_builtin.cpp);
// more may be registered at any time.
//
// Threads: the registry may be used from any thread. instantiate returns at
// once and answers exactly once on the layer's completion thread, one thread
// that runs every answer in the order asked, never the caller's thread.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audiounit/au_types.h"
#include "platform/audiounit/au_unit.h"

namespace bridge::au {

struct Component {
  ComponentDescription description;
  std::optional<std::string> name;
  std::optional<std::string> manufacturerName;
  std::optional<std::string> versionString;
  std::vector<std::string> allTagNames;
  // The out-of-process option fails for this component.
  bool refuseOutOfProcess = false;
  // Every instantiation fails.
  bool failLoads = false;
  // The failure's description; none: the failure comes without an error.
  std::optional<std::string> loadError;
  // What each instance is made of.
  std::function<UnitSpec()> spec;
  // Told of each instantiation attempt and its options, on the completion thread.
  std::function<void(uint32_t options)> onInstantiate;
};

class Registry {
 public:
  // The process's registry, with the built-in effects.
  static Registry& shared();

  void add(Component component);
  // Removes every component with the description's type, subtype and
  // manufacturer.
  void remove(const ComponentDescription& description);
  // The components of the description's type, in registration order; a
  // subtype or manufacturer of 0 matches any.
  std::vector<Component> componentsMatching(const ComponentDescription& description) const;

 private:
  Registry();
  mutable std::mutex mutex_;
  std::vector<Component> components_;
};

struct Error {
  std::string localizedDescription;
};

using InstantiateHandler = std::function<void(std::shared_ptr<Unit> unit, std::optional<Error> error)>;

// Makes an instance of the first component matching `description` exactly
// (type, subtype and manufacturer). `options` is kInstantiateInProcess or
// kInstantiateOutOfProcess.
void instantiate(const ComponentDescription& description, uint32_t options, InstantiateHandler handler);

// Runs `job` on the completion thread. Any thread.
void runOnCompletionThread(std::function<void()> job);
// Whether the calling thread is the completion thread.
bool onCompletionThread();

// Adds the built-in effects to `registry` (au_builtin.cpp).
void registerBuiltins(Registry& registry);

}  // namespace bridge::au

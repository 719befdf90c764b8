#include "platform/audiounit/au_component.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <thread>

namespace bridge::au {

namespace {

// One thread runs the layer's answers, as the system runs completion handlers
// on a thread of its own. It is never stopped: answers may be asked for until
// the process ends.
class CompletionThread {
 public:
  CompletionThread() : thread_([this] { run(); }) { thread_.detach(); }

  void post(std::function<void()> job) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
  }

  bool current() const { return std::this_thread::get_id() == id_.load(); }

 private:
  void run() {
    id_.store(std::this_thread::get_id());
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return !jobs_.empty(); });
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  std::atomic<std::thread::id> id_{};
  std::thread thread_;
};

CompletionThread& completionThread() {
  static CompletionThread* thread = new CompletionThread;
  return *thread;
}

}  // namespace

void runOnCompletionThread(std::function<void()> job) { completionThread().post(std::move(job)); }

bool onCompletionThread() { return completionThread().current(); }

Registry::Registry() { registerBuiltins(*this); }

Registry& Registry::shared() {
  static Registry* registry = new Registry;
  return *registry;
}

void Registry::add(Component component) {
  std::lock_guard<std::mutex> lock(mutex_);
  components_.push_back(std::move(component));
}

void Registry::remove(const ComponentDescription& description) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(components_, [&](const Component& c) { return sameComponent(c.description, description); });
}

std::vector<Component> Registry::componentsMatching(const ComponentDescription& d) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Component> found;
  for (const Component& c : components_) {
    if (c.description.type != d.type) continue;
    if (d.subtype != 0 && c.description.subtype != d.subtype) continue;
    if (d.manufacturer != 0 && c.description.manufacturer != d.manufacturer) continue;
    found.push_back(c);
  }
  return found;
}

void instantiate(const ComponentDescription& description, uint32_t options, InstantiateHandler handler) {
  std::optional<Component> component;
  {
    // An exact match: a zero subtype or manufacturer names that code, not any.
    for (Component& c : Registry::shared().componentsMatching(ComponentDescription{description.type}))
      if (sameComponent(c.description, description)) {
        component = std::move(c);
        break;
      }
  }
  runOnCompletionThread([component = std::move(component), options, handler = std::move(handler)] {
    if (!component) return handler(nullptr, Error{"The component was not found."});
    if (component->onInstantiate) component->onInstantiate(options);
    const bool outOfProcess = (options & kInstantiateOutOfProcess) != 0;
    if (component->failLoads || (outOfProcess && component->refuseOutOfProcess)) {
      std::optional<Error> error;
      if (component->loadError) error = Error{*component->loadError};
      return handler(nullptr, error);
    }
    UnitSpec spec = component->spec ? component->spec() : UnitSpec{};
    // Not kept in the unit: a test's hook that holds the unit would hold itself.
    auto onMade = std::move(spec.onMade);
    spec.onMade = nullptr;
    auto unit = std::make_shared<Unit>(component->description, component->name.value_or(""), std::move(spec));
    if (onMade) onMade(unit);
    handler(std::move(unit), std::nullopt);
  });
}

}  // namespace bridge::au

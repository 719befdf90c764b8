#pragma once
// A callback slot that one thread may set while others call it. Plug-ins report
// parameter and latency changes on their own threads, possibly while the owner is
// still installing the callback on the main thread; a plain std::function would be
// a data race there. Setting publishes a new immutable function; calling takes a
// reference to the current one, so a call in flight keeps its function alive. The
// lock covers only that pointer copy, never the call.
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace bridge {

template <typename... Args>
class Observer {
 public:
  using Function = std::function<void(Args...)>;

  Observer() = default;
  Observer(const Observer&) = delete;
  Observer& operator=(const Observer&) = delete;

  // Any thread. An empty function clears the slot.
  Observer& operator=(Function fn) {
    std::shared_ptr<const Function> next;
    if (fn) next = std::make_shared<const Function>(std::move(fn));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      current_.swap(next);
    }
    // The old function is destroyed here, outside the lock.
    return *this;
  }

  // Any thread. Does nothing while no function is set.
  void operator()(Args... args) const {
    if (auto fn = get()) (*fn)(std::forward<Args>(args)...);
  }

  explicit operator bool() const { return get() != nullptr; }

 private:
  std::shared_ptr<const Function> get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
  }

  mutable std::mutex mutex_;
  std::shared_ptr<const Function> current_;
};

}  // namespace bridge

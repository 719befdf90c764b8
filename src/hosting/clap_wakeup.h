#pragma once
// Wakes the main thread on behalf of CLAP plug-ins that ask for main-thread work
// from their audio thread.
//
// Posting to the main queue allocates and takes the queue's lock, neither of
// which an audio thread may do. Instead, a plug-in records what it wants in
// atomic flags of its own and calls signal, which only writes to an eventfd. A
// thread of this object's own then posts one job that hands every registered
// plug-in its turn on the main thread.
//
// Threads: signal from any thread (never allocates, never locks); add, remove
// and the posted job on the main thread; creation and destruction on the main
// thread. The service function of each entry runs on the main thread.
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace bridge {

class ClapWakeup : public std::enable_shared_from_this<ClapWakeup> {
 public:
  using RunOnMain = std::function<void(std::function<void()>)>;

  // Throws std::system_error when no eventfd or thread can be made.
  explicit ClapWakeup(RunOnMain runOnMain);
  ~ClapWakeup();
  ClapWakeup(const ClapWakeup&) = delete;
  ClapWakeup& operator=(const ClapWakeup&) = delete;

  // Main thread. `service` runs on the main thread after a signal, with `key`
  // registered, until remove(key).
  void add(const void* key, std::function<void()> service);
  void remove(const void* key);

  // Any thread, the audio thread included.
  void signal();

 private:
  struct Entry {
    const void* key;
    std::function<void()> service;
  };
  void run();
  void serviceAll();

  const RunOnMain runOnMain_;
  int eventFd_ = -1;
  std::atomic<bool> stop_{false};
  std::vector<Entry> entries_;  // main thread
  std::thread thread_;
};

}  // namespace bridge

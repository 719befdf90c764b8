#pragma once
// Hands the destruction of chains to the main thread. A connection thread copies
// a chain's pointer to push a frame, so when the main thread drops the track at
// that moment the connection thread holds the last reference. Destroying a chain
// joins its worker and releases its slots and plug-ins, which must happen on the
// main thread, so such a release is queued and the main thread finishes it.
//
// Threads: release from any thread; drain on the main thread only.
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/chain.h"

namespace bridge {

class ChainReleaser : public std::enable_shared_from_this<ChainReleaser> {
 public:
  ChainReleaser(std::thread::id mainThread, std::function<void(std::function<void()>)> runOnMain);
  ~ChainReleaser();

  // The deleter of every chain the Bridge makes: destroys at once on the main
  // thread, otherwise queues the chain and posts a drain.
  void release(Chain* chain);
  // Destroys every queued chain. The Bridge also calls it in stop, after the
  // server has joined the connection threads, so none outlives the hosts.
  void drain();

 private:
  const std::thread::id mainThread_;
  const std::function<void(std::function<void()>)> runOnMain_;
  std::mutex mutex_;
  std::vector<Chain*> queued_;
};

}  // namespace bridge

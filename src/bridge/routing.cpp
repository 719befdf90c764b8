// Binary audio frames: from a connection thread to its chain.
#include "bridge/bridge.h"
#include "bridge/chain_release.h"

#include <atomic>

namespace bridge {

ChainReleaser::ChainReleaser(std::thread::id mainThread, std::function<void(std::function<void()>)> runOnMain)
    : mainThread_(mainThread), runOnMain_(std::move(runOnMain)) {}

ChainReleaser::~ChainReleaser() {
  // Only reached once every chain and posted drain is gone; nothing should be
  // queued, but a chain is never leaked.
  for (Chain* chain : queued_) delete chain;
}

void ChainReleaser::release(Chain* chain) {
  if (std::this_thread::get_id() == mainThread_) {
    delete chain;
    return;
  }
  bool first;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    first = queued_.empty();
    queued_.push_back(chain);
  }
  // One drain job per batch; it holds the releaser, not the Bridge.
  if (first) runOnMain_([self = shared_from_this()] { self->drain(); });
}

void ChainReleaser::drain() {
  std::vector<Chain*> chains;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    chains.swap(queued_);
  }
  for (Chain* chain : chains) delete chain;
}

namespace {
// Chains alive in the process, each with its worker thread.
std::atomic<size_t> liveChains{0};
}  // namespace

size_t Bridge::chainCount() { return liveChains.load(); }

std::shared_ptr<Chain> Bridge::makeChain(int stream, double sampleRate,
                                         std::function<void(std::vector<uint8_t>)> output, bool dropLate,
                                         std::function<void(bool)> backPressure) {
  ChainHooks hooks;
  hooks.backPressure = std::move(backPressure);
  auto* chain = new Chain(stream, sampleRate, std::move(output), dropLate, std::move(hooks));
  liveChains.fetch_add(1);
  return std::shared_ptr<Chain>(chain, [releaser = chainReleaser](Chain* c) {
    releaser->release(c);
    liveChains.fetch_sub(1);
  });
}

// Connection thread. The route lock is held only for the pointer copy, never
// while the chain queues the frame.
void Bridge::onBinary(const std::shared_ptr<Connection>& connection, std::vector<uint8_t>&& message) {
  if (message.size() < kFrameHeaderBytes) return;
  const int32_t stream = message[2] | message[3] << 8;
  std::shared_ptr<Chain> chain;
  {
    std::lock_guard<std::mutex> lock(routeMutex);
    auto byConnection = routes.find(connection->id);
    if (byConnection == routes.end()) return;
    auto byStream = byConnection->second.find(stream);
    if (byStream == byConnection->second.end()) return;
    chain = byStream->second;
  }
  chain->push(std::move(message));
}

}  // namespace bridge

// The Bridge object: construction, start, stop, the post mechanism, the ticker
// thread and the server's five callbacks.
#include "bridge/bridge.h"

#include <chrono>

#include "bridge/chain_release.h"
#include "bridge/input_budget.h"
#include "bridge/ticker.h"
#include "util/clock.h"

namespace bridge {

Bridge::Bridge(BridgeOptions bridgeOptions, Platform shell)
    : options(std::move(bridgeOptions)),
      platform(std::move(shell)),
      mainThread(std::this_thread::get_id()),
      clockMs(nowMs) {
  alive = std::make_shared<bool>(true);
  aliveWeak = alive;
  // Every job from another thread goes through here; it runs only while the
  // Bridge lives. The liveness bool itself is read on the main thread only.
  post = [run = platform.runOnMain, weak = aliveWeak](std::function<void()> job) {
    run([weak, job = std::move(job)] {
      auto flag = weak.lock();
      if (flag && *flag) job();
    });
  };
  chainReleaser = std::make_shared<ChainReleaser>(mainThread, platform.runOnMain);
  loadState();
  newCode();
}

Bridge::~Bridge() {
  stop();
  *alive = false;
  alive.reset();
}

void Bridge::addHost(std::unique_ptr<Host> host) { hosts.push_back(std::move(host)); }

void Bridge::setMidi(std::unique_ptr<MidiPorts> ports) { midi = std::move(ports); }

ServerHandlers Bridge::makeHandlers() {
  ServerHandlers handlers;
  handlers.allowOrigin = [this](const std::string& origin) { return originAllowed(origin); };
  handlers.onOpen = [this](std::shared_ptr<Connection> connection) {
    {
      std::lock_guard<std::mutex> lock(budgetMutex);
      budgets[connection->id] = std::make_shared<InputBudget>();
    }
    post([this, connection = std::move(connection)] { onOpen(connection); });
  };
  handlers.onText = [this](std::shared_ptr<Connection> connection, std::string&& text) {
    std::shared_ptr<InputBudget> budget;
    {
      std::lock_guard<std::mutex> lock(budgetMutex);
      if (auto it = budgets.find(connection->id); it != budgets.end()) budget = it->second;
    }
    if (!budget) return;
    const uint64_t size = text.size();
    budget->take(*connection, size);
    try {
      post([this, connection, budget, size, text = std::move(text)] {
        try {
          onText(connection, text);
        } catch (const std::bad_alloc&) {
          // Out of memory while handling it: that connection goes, the program stays.
          connection->close();
        }
        budget->give(*connection, size);
      });
    } catch (const std::exception&) {
      budget->give(*connection, size);
      throw;
    }
  };
  handlers.onBinary = [this](std::shared_ptr<Connection> connection, std::vector<uint8_t>&& message) {
    onBinary(connection, std::move(message));
  };
  handlers.onClose = [this](std::shared_ptr<Connection> connection) {
    {
      std::lock_guard<std::mutex> lock(budgetMutex);
      budgets.erase(connection->id);
    }
    post([this, connection = std::move(connection)] { onClose(connection); });
  };
  return handlers;
}

bool Bridge::start() {
  std::string why;
  identity = loadOrCreateIdentity(options.dataDir, why);
  if (!identity) error = "Certificate: " + why;
  server = std::make_unique<Server>(makeHandlers(), identity.get());
  if (!server->start(options.port)) {
    error = "Port " + std::to_string(options.port) + " is in use. Is Krevlo Bridge already running?";
    server.reset();
    notifyChanged();
    return false;
  }
  startScan();
  startMidi();
  lastCpuMs = processCpuMs();
  lastTickMs = clockMs();
  tickerThread = std::thread([this] {
    // Posting allocates; when memory runs out the ticks stop, the program does not.
    try {
      runTicker(
          tickerStop, [] { std::this_thread::sleep_for(std::chrono::milliseconds(kTickerPeriodMs)); },
          [this] {
            post([this] {
              flushParams();
              flushLevels();
            });
          },
          [this] { post([this] { tick(); }); });
    } catch (const std::exception&) {
    }
  });
  notifyChanged();
  return true;
}

void Bridge::stop() {
  if (stopped) return;
  stopped = true;
  tickerStop.exchange(true);
  scanStop.exchange(true);
  if (scanThread.joinable()) scanThread.join();
  if (tickerThread.joinable()) tickerThread.join();
  if (midi) {
    for (const auto& [name, state] : midiInState)
      if (state.empty()) midi->close(true, name);
    for (const auto& [name, state] : midiOutState)
      if (state.empty()) midi->close(false, name);
    midi.reset();
  }
  midiInState.clear();
  midiOutState.clear();
  if (server) {
    server->stop();
    server.reset();
  }
  // The connection threads have ended: chains they released last are queued.
  chainReleaser->drain();
  {
    std::lock_guard<std::mutex> lock(routeMutex);
    routes.clear();
  }
  sessions.clear();
}

}  // namespace bridge

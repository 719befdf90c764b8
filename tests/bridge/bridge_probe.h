#pragma once
// Reaches into a Bridge the way its own threads and the server would, so the
// protocol can be driven in-process: the server callbacks' main-thread bodies,
// the handler set, the clock, the tick and the state the protocol does not show.
#include <functional>
#include <memory>
#include <string>

#include "bridge/bridge.h"

namespace bridge::test {

struct BridgeProbe {
  explicit BridgeProbe(Bridge& b) : bridge(b) {}
  Bridge& bridge;

  void open(std::shared_ptr<Connection> c) { bridge.onOpen(std::move(c)); }
  void text(std::shared_ptr<Connection> c, const std::string& t) { bridge.onText(std::move(c), t); }
  void close(std::shared_ptr<Connection> c) { bridge.onClose(std::move(c)); }
  void binary(std::shared_ptr<Connection> c, std::vector<uint8_t> m) { bridge.onBinary(c, std::move(m)); }
  ServerHandlers handlers() { return bridge.makeHandlers(); }

  void setClock(std::function<double()> clock) { bridge.clockMs = std::move(clock); }
  void tick() { bridge.tick(); }
  void startScan() { bridge.startScan(); }
  double codeTime() const { return bridge.codeTime; }
  const std::vector<Pairing>& pairings() const { return bridge.pairings; }
  const std::set<std::string>& hiddenFormats() const { return bridge.hiddenFormats; }
  const std::vector<Place>& places() const { return bridge.places; }
  const std::set<std::string>& midiOffIn() const { return bridge.midiOffIn; }
  const std::set<std::string>& midiOffOut() const { return bridge.midiOffOut; }
  const PluginInfo* findPlugin(const std::string& id) const { return bridge.findPlugin(id); }
  bool saveState() { return bridge.saveState().pairings; }

  std::shared_ptr<Chain> makeChain(int stream, std::function<void(std::vector<uint8_t>)> output) {
    return bridge.makeChain(stream, 48000.0, std::move(output), true);
  }
  // Gives connection `id`'s session a track, with or without a chain; a chain is
  // also routed under its stream number.
  void addTrack(int32_t id, const std::string& track, std::shared_ptr<Chain> chain) {
    auto& session = bridge.sessions.at(id);
    session->tracks[track].chain = chain;
    if (chain) {
      std::lock_guard<std::mutex> lock(bridge.routeMutex);
      bridge.routes[id][chain->stream] = chain;
    }
  }
  size_t routeCount(int32_t id) {
    std::lock_guard<std::mutex> lock(bridge.routeMutex);
    auto it = bridge.routes.find(id);
    return it == bridge.routes.end() ? 0 : it->second.size();
  }
  bool hasTrack(int32_t id, const std::string& track) const {
    auto it = bridge.sessions.find(id);
    return it != bridge.sessions.end() && it->second->tracks.count(track) > 0;
  }
  size_t sessionCount() const { return bridge.sessions.size(); }
  // As if connection `id` had paired, without a pairing being made or saved.
  void makeReady(int32_t id) { bridge.sessions.at(id)->ready = true; }

  void flushParams() { bridge.flushParams(); }
  void flushLevels() { bridge.flushLevels(); }
  void startMidi() { bridge.startMidi(); }
  std::string addPlace(const std::string& folder) { return bridge.addPlace(folder); }
  std::shared_ptr<Chain> chainOf(int32_t id, const std::string& track) const {
    auto it = bridge.sessions.find(id);
    if (it == bridge.sessions.end()) return nullptr;
    auto t = it->second->tracks.find(track);
    return t == it->second->tracks.end() ? nullptr : t->second.chain;
  }
  const Bridge::Track* track(int32_t id, const std::string& name) const {
    auto it = bridge.sessions.find(id);
    if (it == bridge.sessions.end()) return nullptr;
    auto t = it->second->tracks.find(name);
    return t == it->second->tracks.end() ? nullptr : &t->second;
  }
  std::weak_ptr<Bridge::Session> session(int32_t id) const {
    auto it = bridge.sessions.find(id);
    return it == bridge.sessions.end() ? std::weak_ptr<Bridge::Session>() : it->second;
  }
  std::shared_ptr<Bridge::PendingParams> pending(int32_t id) const {
    auto it = bridge.sessions.find(id);
    return it == bridge.sessions.end() ? nullptr : it->second->pending;
  }
};

}  // namespace bridge::test

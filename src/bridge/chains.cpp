// Track-level requests: "chain" and "unchain", the building of a track's chain
// with its plug-in creations, and the observers set on every plug-in.
#include <algorithm>
#include <deque>
#include <exception>

#include "bridge/bridge.h"
#include "bridge/protocol.h"
#include "util/encoding.h"

namespace bridge {

namespace {

constexpr double kDefaultRate = 48000.0;
constexpr double kMinRate = 8000.0;
constexpr double kMaxRate = 384000.0;
constexpr size_t kMaxChainSlots = 16;
constexpr size_t kMaxPluginsPerSession = 256;
constexpr int kLargestBlock = 4096;
constexpr size_t kStateTextLimit = 5592410;
// Parameter indexes a plug-in may list; beyond this its table is not believed.
constexpr int kMaxParamIndex = 999999;
constexpr int32_t kLastStream = 65535;  // the frame header's stream field is 16 bits
// Each track with a chain has a worker thread: one page, and all pages
// together, get only so many.
constexpr size_t kMaxTracksPerSession = 64;
constexpr size_t kMaxChainsPerProcess = 256;
const char* const kStateWarning = "Saved settings did not load; using defaults.";

double requestRate(const nlohmann::json& request) { return readNumber(request, "rate", kDefaultRate); }

const nlohmann::json* requestSlots(const nlohmann::json& request) {
  if (!request.is_object()) return nullptr;
  auto it = request.find("slots");
  return it != request.end() && it->is_array() ? &*it : nullptr;
}

}  // namespace

void Bridge::handleChainRequest(const std::shared_ptr<Session>& session, const std::string& t,
                                const std::string& trackId, const Json& request) {
  double rate = requestRate(request);
  if (!requestSlots(request) || !(rate >= kMinRate && rate <= kMaxRate)) return sendError(*session, t, "bad-request");
  // Past a cap the request is refused like a malformed one: nothing changes.
  auto existing = session->tracks.find(trackId);
  const bool newTrack = existing == session->tracks.end();
  if (newTrack && session->tracks.size() >= kMaxTracksPerSession) return sendError(*session, t, "bad-request");
  const bool newChain = newTrack || !existing->second.chain || existing->second.chain->sampleRate != rate;
  if (newChain && chainCount() >= kMaxChainsPerProcess) return sendError(*session, t, "bad-request");
  Track& track = session->tracks[trackId];
  if (track.serial == 0) track.serial = nextTrackSerial++;
  track.request = request;
  applyChain(session, trackId);
}

void Bridge::handleUnchain(Session& session, const std::string& trackId) {
  auto track = session.tracks.find(trackId);
  if (track == session.tracks.end()) return;
  if (track->second.chain) {
    std::lock_guard<std::mutex> lock(routeMutex);
    if (auto byConnection = routes.find(session.connection->id); byConnection != routes.end())
      byConnection->second.erase(track->second.chain->stream);
  }
  session.tracks.erase(track);
  notifyChanged();
}

void Bridge::applyChain(const std::shared_ptr<Session>& session, const std::string& trackId) {
  auto found = session->tracks.find(trackId);
  if (found == session->tracks.end()) return;
  Track& track = found->second;
  const double rate = requestRate(track.request);
  const int32_t connectionId = session->connection->id;

  if (track.chain && track.chain->sampleRate != rate) {
    {
      std::lock_guard<std::mutex> lock(routeMutex);
      if (auto byConnection = routes.find(connectionId); byConnection != routes.end())
        byConnection->second.erase(track.chain->stream);
    }
    track.chain.reset();
    // Made for the old rate: none of them may be installed now.
    track.loaded.clear();
  }
  if (!track.chain) {
    // Numbers go round within the 16-bit field, past those still routed.
    std::set<int32_t> inUse;
    for (const auto& [id, other] : session->tracks)
      if (other.chain) inUse.insert(other.chain->stream);
    int32_t stream = 0;
    for (int32_t tries = 0; tries <= kLastStream && stream == 0; ++tries) {
      int32_t candidate = session->nextStream;
      session->nextStream = candidate >= kLastStream ? 1 : candidate + 1;
      if (candidate >= 1 && candidate <= kLastStream && !inUse.count(candidate)) stream = candidate;
    }
    const bool dropLate = trackId.rfind("render:", 0) != 0;
    std::weak_ptr<Connection> connection = session->connection;
    track.chain = makeChain(
        stream, rate,
        [connection](std::vector<uint8_t> frame) {
          if (auto c = connection.lock()) c->sendBinary(frame);
        },
        dropLate,
        // A render track never loses a frame: a full queue holds the
        // connection's reading instead.
        [connection](bool full) {
          if (auto c = connection.lock()) c->holdInput(full);
        });
    std::lock_guard<std::mutex> lock(routeMutex);
    routes[connectionId][stream] = track.chain;
  }

  size_t others = 0;
  for (const auto& [id, other] : session->tracks) {
    if (id == trackId) continue;
    if (other.chain) others += other.chain->slots().size();
    others += other.pendingKeys.size();
  }

  // Slots of the running chain by key, in chain order. A slot taken for reuse
  // leaves the index, so two elements with one key never share a Slot (the
  // plug-in would run twice per block).
  std::map<std::string, std::deque<std::shared_ptr<Slot>>> current;
  for (auto& slot : track.chain->slots()) current[slot->key].push_back(slot);

  const Json* elements = requestSlots(track.request);
  const size_t count = elements ? std::min(elements->size(), kMaxChainSlots) : 0;
  SlotList next;
  Json replies = Json::array();
  for (size_t i = 0; i < count; ++i) {
    const Json& element = (*elements)[i];
    if (!element.is_object()) continue;
    const std::string key = readString(element, "key", kMaxKey);
    const std::string pluginId = readString(element, "plugin", kMaxPlugin);
    const bool bypass = readBool(element, "bypass");
    Json entry{{"key", key}, {"plugin", pluginId}};

    std::shared_ptr<Slot> taken;
    if (auto c = current.find(key); c != current.end()) {
      auto& candidates = c->second;
      auto match = std::find_if(candidates.begin(), candidates.end(),
                                [&](const std::shared_ptr<Slot>& s) { return s->pluginId == pluginId; });
      if (match != candidates.end()) {
        taken = *match;
        candidates.erase(match);
      }
    }
    if (!taken) {
      if (auto l = track.loaded.find(key); l != track.loaded.end() && l->second->pluginId == pluginId) {
        taken = l->second;
        track.loaded.erase(l);
      }
    }

    const PluginInfo* info = findPlugin(pluginId);
    if (info) entry["name"] = info->name;
    if (taken) {
      taken->bypass.store(bypass);
      next.push_back(taken);
      entry["status"] = "ok";
      entry["latency"] = taken->plugin ? taken->plugin->latencySamples() : 0;
      entry["editor"] = taken->plugin ? taken->plugin->hasEditor() : false;
      if (track.stateRejected.count(key)) entry["warning"] = kStateWarning;
    } else if (!info) {
      entry["status"] = scanning ? "loading" : "missing";
    } else if (auto failure = track.failures.find(key); failure != track.failures.end()) {
      entry["status"] = "failed";
      entry["error"] = failure->second;
    } else if (track.pendingKeys.count(key)) {
      entry["status"] = "loading";
    } else if (others + next.size() + track.pendingKeys.size() >= kMaxPluginsPerSession) {
      entry["status"] = "limit";
    } else if (Host* host = hostFor(pluginId); !host) {
      entry["status"] = "missing";
    } else {
      entry["status"] = "loading";
      track.pendingKeys.insert(key);
      Creation creation;
      creation.track = trackId;
      creation.serial = track.serial;
      creation.key = key;
      creation.pluginId = pluginId;
      creation.name = info->name;
      creation.rate = rate;
      auto state = element.find("state");
      if (state != element.end() && state->is_string()) {
        const std::string& text = state->get_ref<const std::string&>();
        // Bytes that are not Base64 are no state at all: junk must never reach
        // a plug-in's setState.
        if (text.size() < kStateTextLimit && !base64Decode(text, creation.state)) creation.state.clear();
      }
      auto params = element.find("params");
      creation.params = params != element.end() && params->is_object() ? *params : Json::object();
      startCreation(session, *host, std::move(creation));
      // The host may have answered already; its job is queued behind this one.
    }
    replies.push_back(std::move(entry));
  }

  // Loaded slots that no element names any more go; keys beyond the first 16
  // still keep theirs.
  std::set<std::string> named;
  if (elements)
    for (const Json& element : *elements)
      if (element.is_object()) named.insert(readString(element, "key", kMaxKey));
  std::erase_if(track.loaded, [&](const auto& entry) { return !named.count(entry.first); });

  track.chain->setSlots(std::move(next));
  send(*session, Json{{"t", "chain"},
                      {"track", trackId},
                      {"stream", track.chain->stream},
                      {"latency", track.chain->latency.load()},
                      {"slots", std::move(replies)}});
  notifyChanged();
}

void Bridge::startCreation(const std::shared_ptr<Session>& session, Host& host, Creation creation) {
  const std::string pluginId = creation.pluginId;
  const double rate = creation.rate;
  // Any thread, possibly before create returns. The job is always queued, so the
  // first "chain" reply goes out before the one that reports the load.
  host.create(
      pluginId, kLargestBlock,
      [this, run = platform.runOnMain, weakSession = std::weak_ptr<Session>(session), weak = aliveWeak,
       creation = std::move(creation)](std::unique_ptr<Plugin> made, std::string failure) mutable {
        std::shared_ptr<Plugin> plugin = std::move(made);
        run([this, weakSession, weak, creation = std::move(creation), plugin = std::move(plugin),
             failure = std::move(failure)]() mutable {
          auto flag = weak.lock();
          if (!flag || !*flag) return;
          auto s = weakSession.lock();
          if (!s) return;
          try {
            pluginCreated(s, creation, std::move(plugin), failure);
          } catch (const std::exception&) {
            // A chain whose worker could not start: the track keeps what it had.
          }
        });
      },
      rate);
}

void Bridge::pluginCreated(const std::shared_ptr<Session>& session, Creation& creation,
                           std::shared_ptr<Plugin> plugin, const std::string& failure) {
  auto found = session->tracks.find(creation.track);
  if (found == session->tracks.end() || found->second.serial != creation.serial) return;
  Track& track = found->second;
  track.pendingKeys.erase(creation.key);
  if (requestRate(track.request) != creation.rate) {
    // Made for a rate the track no longer has: the next applyChain makes it anew.
    plugin.reset();
  } else if (plugin) {
    if (!creation.state.empty() && !plugin->setState(creation.state)) track.stateRejected.insert(creation.key);
    auto slot = std::make_shared<Slot>();
    slot->key = creation.key;
    slot->pluginId = creation.pluginId;
    slot->name = creation.name;
    slot->plugin = plugin;
    for (const ParamInfo& p : plugin->params()) {
      if (p.index < 0 || p.index > kMaxParamIndex) continue;
      if (slot->paramIds.size() <= static_cast<size_t>(p.index)) slot->paramIds.resize(p.index + 1);
      slot->paramIds[p.index] = p.id;
    }
    // Saved values after the state, both before the observers: neither is pushed.
    for (const auto& [id, value] : creation.params.items()) {
      if (!value.is_number() || id.empty()) continue;
      int index = paramIndex(slot->paramIds, id);
      if (index < 0) continue;
      double v = value.get<double>();
      plugin->setParam(index, static_cast<float>(std::clamp(v, 0.0, 1.0)));
    }
    observe(session, creation.track, creation.key, *plugin);
    track.loaded[creation.key] = std::move(slot);
  } else {
    track.failures[creation.key] = failure.empty() ? "could not load" : failure;
  }
  applyChain(session, creation.track);
}

void Bridge::observe(const std::shared_ptr<Session>& session, const std::string& trackId, const std::string& key,
                     Plugin& plugin) {
  // Any thread, the audio thread included: only the small pending record is
  // held there, never the Session, so a disconnect cannot end up destroying the
  // chain on its own worker.
  plugin.paramChanged = [pending = std::weak_ptr<PendingParams>(session->pending), trackId, key](int index) {
    if (auto p = pending.lock()) {
      std::lock_guard<std::mutex> lock(p->mutex);
      p->pendingParams[{trackId, key}].insert(index);
    }
  };
  std::weak_ptr<Session> weakSession = session;
  plugin.latencyChanged = [this, run = platform.runOnMain, weakSession, weak = aliveWeak, trackId] {
    run([this, weakSession, weak, trackId] {
      auto flag = weak.lock();
      auto s = weakSession.lock();
      if (!flag || !*flag || !s) return;
      auto track = s->tracks.find(trackId);
      if (track == s->tracks.end() || !track->second.chain) return;
      const int samples = track->second.chain->refreshLatency();
      send(*s, Json{{"t", "latency"}, {"track", trackId}, {"samples", samples}});
    });
  };
  plugin.editorClosed = [this, run = platform.runOnMain, weakSession, weak = aliveWeak, trackId, key] {
    run([this, weakSession, weak, trackId, key] {
      auto flag = weak.lock();
      auto s = weakSession.lock();
      if (!flag || !*flag || !s) return;
      send(*s, Json{{"t", "editor"}, {"track", trackId}, {"key", key}, {"open", false}});
      send(*s, Json{{"t", "dirty"}, {"track", trackId}, {"key", key}});
    });
  };
}

}  // namespace bridge

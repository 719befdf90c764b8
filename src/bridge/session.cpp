// Sessions: open, text, dispatch and close, and the error reply.
#include <exception>

#include "bridge/bridge.h"
#include "bridge/protocol.h"

namespace bridge {

namespace {
// Long enough for a person to read the pairing code off the window and type it.
constexpr double kReadyTimeoutMs = 300000.0;
constexpr size_t kMaxUnreadySessions = 16;
}  // namespace

void Bridge::notifyChanged() const {
  if (platform.changed) platform.changed();
}

void Bridge::send(const Session& session, const Json& message) const {
  session.connection->sendText(serialise(message));
}

void Bridge::sendError(const Session& session, const std::string& t, const std::string& errorCode,
                       const std::string& message) const {
  Json reply{{"t", "error"}, {"code", errorCode}, {"for", t}};
  if (!message.empty()) reply["message"] = message;
  send(session, reply);
}

void Bridge::onOpen(std::shared_ptr<Connection> connection) {
  auto session = std::make_shared<Session>();
  session->connection = connection;
  session->nonce = randomHex(16);
  if (session->nonce.empty()) {
    // A predictable nonce would let a recorded "auth" be replayed: no session.
    connection->close();
    return;
  }
  session->openedMs = clockMs();
  // Sessions that have not paired or authenticated cost little, but anyone can
  // open them: past the cap the oldest gives way, so a new page always gets in.
  size_t unready = 0;
  std::shared_ptr<Session> oldest;
  for (auto& [id, other] : sessions) {
    if (other->ready || other->dismissed) continue;
    ++unready;
    if (!oldest) oldest = other;
  }
  if (unready >= kMaxUnreadySessions && oldest) {
    oldest->dismissed = true;
    oldest->connection->close();
  }
  sessions[connection->id] = session;
  send(*session, Json{{"t", "hello"},
                      {"v", 1},
                      {"app", kAppName},
                      {"version", kAppVersion},
                      {"nonce", session->nonce},
                      {"formats", formats()},
                      {"tls", connection->tls}});
  notifyChanged();
}

void Bridge::onText(std::shared_ptr<Connection> connection, const std::string& text) {
  auto it = sessions.find(connection->id);
  if (it == sessions.end()) return;
  // Held here: a handler may close the session's connection or drop the entry.
  std::shared_ptr<Session> session = it->second;
  Json request;
  try {
    request = Json::parse(text, nullptr, false);
  } catch (const Json::exception&) {
    request = Json::value_t::discarded;
  }
  if (request.is_discarded()) {
    send(*session, Json{{"t", "error"}, {"code", "bad-json"}});
    return;
  }
  if (!request.is_object()) return;
  std::string t = readString(request, "t", kMaxType);
  try {
    handle(session, t, request);
  } catch (const std::exception&) {
    sendError(*session, t, "bad-request");
  }
}

void Bridge::handle(const std::shared_ptr<Session>& session, const std::string& t, const Json& request) {
  if (t == "pair") return handlePair(session, t, request);
  if (t == "auth") return handleAuth(session, t, request);
  if (t == "ping") {
    send(*session, Json{{"t", "pong"}, {"at", readNumber(request, "at", 0.0)}});
    return;
  }
  if (!session->ready) return sendError(*session, t, "unauthenticated");
  if (t == "plugins") {
    sendPlugins(*session);
    notifyChanged();
    return;
  }
  if (t == "scan") {
    startScan();
    sendPlugins(*session);
    notifyChanged();
    return;
  }
  if (handlePlaces(session, t, request)) return;
  if (handleMidi(session, t, request)) return;
  std::string trackId = readString(request, "track", kMaxTrack);
  if (trackId.empty()) return sendError(*session, t, "bad-request", "missing track");
  if (t == "chain") return handleChainRequest(session, t, trackId, request);
  if (t == "unchain") return handleUnchain(*session, trackId);
  auto track = session->tracks.find(trackId);
  bool hasChain = track != session->tracks.end() && track->second.chain;
  if (t == "meter") {
    if (hasChain) handleMeter(*session, track->second, request);
    return;
  }
  if (!hasChain) return sendError(*session, t, "no-chain");
  std::string key = readString(request, "key", kMaxKey);
  std::shared_ptr<Slot> slot;
  for (auto& candidate : track->second.chain->slots())
    if (candidate->key == key) slot = candidate;  // the last one with the key
  if (!slot) return sendError(*session, t, "no-slot");
  if (t == "params" || t == "set" || t == "state" || t == "editor")
    return handleSlotRequest(session, t, trackId, track->second, slot, request);
  sendError(*session, t, "unknown");
}

void Bridge::dismissUnready() {
  const double now = clockMs();
  for (auto& [id, session] : sessions) {
    if (session->ready || session->dismissed || now - session->openedMs < kReadyTimeoutMs) continue;
    session->dismissed = true;
    session->connection->close();
  }
}

void Bridge::onClose(std::shared_ptr<Connection> connection) {
  const int32_t id = connection->id;
  {
    std::lock_guard<std::mutex> lock(routeMutex);
    routes.erase(id);
  }
  // Released outside the walk below: the session's chains and plug-ins go here.
  if (auto it = sessions.find(id); it != sessions.end()) {
    std::shared_ptr<Session> closed = std::move(it->second);
    sessions.erase(it);
    closed.reset();
  }
  if (midiOwnerId == id) {
    midiOwnerId = 0;
    // The last MIDI-enabled session in id order wins.
    for (auto& [otherId, session] : sessions)
      if (session->midi) midiOwnerId = otherId;
    sendMidiOwner();
  }
  refreshMidi();
  notifyChanged();
}

}  // namespace bridge

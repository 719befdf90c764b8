// Track-level requests: "chain", "unchain", "meter" and the slot requests.
#include "bridge/bridge.h"
#include "bridge/protocol.h"

namespace bridge {

namespace {
constexpr double kDefaultRate = 48000.0;
constexpr double kMinRate = 8000.0;
constexpr double kMaxRate = 384000.0;
}  // namespace

void Bridge::handleChainRequest(const std::shared_ptr<Session>& session, const std::string& t,
                                const std::string& trackId, const Json& request) {
  double rate = readNumber(request, "rate", kDefaultRate);
  auto slots = request.find("slots");
  if (slots == request.end() || !slots->is_array() || !(rate >= kMinRate && rate <= kMaxRate))
    return sendError(*session, t, "bad-request");
  session->tracks[trackId].request = request;
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

// Not built yet: building the chain from the stored request and the "chain"
// replies.
void Bridge::applyChain(const std::shared_ptr<Session>&, const std::string&) {}

// Not built yet: the metering switches.
void Bridge::handleMeter(Session&, Track&, const Json&) {}

// Not built yet: "params", "set", "state" and "editor".
void Bridge::handleSlotRequest(const std::shared_ptr<Session>&, const std::string&, const std::string&, Track&,
                               const std::shared_ptr<Slot>&, const Json&) {}

}  // namespace bridge

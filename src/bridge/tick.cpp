// The once-a-second housekeeping: code rotation, CPU figures, "stats", the MIDI
// refresh and the window's refresh.
#include <cstdio>

#include "bridge/bridge.h"
#include "util/clock.h"

namespace bridge {

void Bridge::tick() {
  rotateCode();
  const double cpu = processCpuMs();
  const double net = netCpuMs();
  const double now = clockMs();
  if (now > lastTickMs) {
    cpuPercent = (cpu - lastCpuMs) * 100.0 / (now - lastTickMs);
    netPercent = (net - lastNetMs) * 100.0 / (now - lastTickMs);
  }
  lastCpuMs = cpu;
  lastNetMs = net;
  lastTickMs = now;
  sendStats();
  dismissUnready();
  refreshMidi();
  notifyChanged();
}

void Bridge::sendStats() {
  for (auto& [id, session] : sessions) {
    if (!session->ready) continue;
    Json tracks = Json::array();
    for (auto& [trackId, track] : session->tracks) {
      if (!track.chain) continue;
      ChainStats stats = track.chain->takeStats();
      // The page's "stats" carries no count of failed blocks; the reasons go to
      // standard error, each once until the chain fails differently.
      for (const std::string& error : stats.errors)
        std::fprintf(stderr, "krevlo-bridge: track %s lost audio blocks: %s\n", Json(trackId).dump().c_str(),
                     error.c_str());
      Json slots = Json::array();
      for (const ChainStats::SlotLoad& slot : stats.slots) slots.push_back(Json{{"key", slot.key}, {"load", slot.load}});
      tracks.push_back(Json{{"track", trackId},
                            {"load", stats.load},
                            {"latency", track.chain->latency.load()},
                            {"backlog", track.chain->backlog()},
                            {"resets", stats.resets},
                            {"late", stats.late},
                            {"slots", std::move(slots)}});
    }
    send(*session, Json{{"t", "stats"},
                        {"cpu", cpuPercent},
                        {"net", netPercent},
                        {"queued", session->connection->queued()},
                        {"tracks", std::move(tracks)}});
  }
}

}  // namespace bridge

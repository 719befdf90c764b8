// The snapshot that the shell's window shows.
#include "bridge/bridge.h"

namespace bridge {

Bridge::Status Bridge::status() const {
  Status s;
  s.running = server != nullptr;
  s.port = options.port;
  s.error = error;
  s.code = code;
  s.pairingPaused = pairingPaused;
  s.tls = identity != nullptr;
  s.scanning = scanning;
  for (const PluginInfo& p : catalog)
    if (!hiddenFormats.count(p.format)) ++s.plugins;
  s.pairings = static_cast<int32_t>(pairings.size());
  for (const auto& [name, state] : midiInState)
    if (state.empty()) s.midiInputs.push_back(name);
  s.cpu = cpuPercent;
  for (const auto& [format, problems] : scanProblems)
    for (const std::string& problem : problems) s.failures.push_back(problem + " (" + format + ")");
  const double now = clockMs();
  for (const auto& [id, session] : sessions) {
    BrowserStatus b;
    b.origin = session->connection->origin;
    b.name = session->name;
    b.ready = session->ready;
    for (const auto& [trackId, track] : session->tracks) {
      if (!track.chain) continue;
      ++b.tracks;
      b.slots += static_cast<int32_t>(track.chain->slots().size());
      // 0 until the first block: a chain that never had audio is not busy, however
      // young the clock.
      const double last = track.chain->lastBlockMs.load(std::memory_order_relaxed);
      if (last > 0.0 && now - last < 10000.0) s.busy = true;
    }
    s.browsers.push_back(std::move(b));
  }
  return s;
}

}  // namespace bridge

// The snapshot that the shell's window shows.
#include "bridge/bridge.h"

namespace bridge {

// Still to come here: `busy`, from the chains' last processed blocks.
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
  for (const auto& [id, session] : sessions) {
    BrowserStatus b;
    b.origin = session->connection->origin;
    b.name = session->name;
    b.ready = session->ready;
    for (const auto& [trackId, track] : session->tracks) {
      if (!track.chain) continue;
      ++b.tracks;
      b.slots += static_cast<int32_t>(track.chain->slots().size());
    }
    s.browsers.push_back(std::move(b));
  }
  return s;
}

}  // namespace bridge

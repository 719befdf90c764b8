// Parameter and level pushes, posted by the ticker every 50 ms.
#include <algorithm>
#include <cmath>

#include "bridge/bridge.h"

namespace bridge {

namespace {

// Parameter indices of one slot that one flush looks at.
constexpr int kMaxParamPushes = 200;

// Halves away from zero, to `scale` steps per unit; never -0.0 on the wire.
double roundTo(double x, double scale) {
  const double r = std::round(x * scale) / scale;
  return r == 0.0 ? 0.0 : r;
}

// A peak in dB to one decimal; silence floors at -120.
double peakDb(float peak) {
  const float db = 20.0f * std::log10(std::max(0.000001f, peak));
  return roundTo(db, 10.0);
}

}  // namespace

void Bridge::flushParams() {
  for (auto& [id, session] : sessions) {
    std::map<std::pair<std::string, std::string>, std::set<int>> changed;
    {
      // Held for the swap alone: plug-in threads wait for nothing else here.
      std::lock_guard<std::mutex> lock(session->pending->mutex);
      changed.swap(session->pending->pendingParams);
    }
    for (const auto& [where, indices] : changed) {
      const auto& [trackId, key] = where;
      auto track = session->tracks.find(trackId);
      if (track == session->tracks.end() || !track->second.chain) continue;
      for (const auto& slot : track->second.chain->slots()) {
        if (slot->key != key || !slot->plugin) continue;
        int n = 0;
        for (int index : indices) {
          if (n++ >= kMaxParamPushes) break;
          float value = 0.0f;
          std::string text;
          if (!slot->plugin->getParam(index, value, text)) continue;
          const std::string paramId =
              index >= 0 && static_cast<size_t>(index) < slot->paramIds.size() ? slot->paramIds[index] : "";
          send(*session, Json{{"t", "param"},
                              {"track", trackId},
                              {"key", key},
                              {"i", index},
                              {"id", paramId},
                              {"v", value},
                              {"text", text}});
        }
        send(*session, Json{{"t", "dirty"}, {"track", trackId}, {"key", key}});
      }
    }
  }
}

void Bridge::flushLevels() {
  for (auto& [id, session] : sessions) {
    if (!session->ready) continue;
    for (auto& [trackId, track] : session->tracks) {
      if (!track.chain) continue;
      Json slots = Json::array();
      for (SlotLevels& levels : track.chain->takeLevels()) {
        Slot& slot = *levels.slot;
        Json w = Json::array(), s = Json::array(), c = Json::array();
        for (const LevelRow& row : levels.rows) {
          Json gr = nullptr;
          if (!std::isnan(row.reduction) && slot.plugin) {
            const float d = slot.plugin->toDb(row.reduction);
            // A reduction is never reported as a gain.
            if (!std::isnan(d)) gr = roundTo(-std::fabs(static_cast<double>(d)), 10.0);
          }
          w.push_back(Json::array({row.epoch, row.position, row.frames, peakDb(row.peakIn), peakDb(row.peakOut), gr}));
          if (row.hasSpectrum)
            s.push_back(Json::array({Json(std::vector<int>(row.bandsIn.begin(), row.bandsIn.end())),
                                     Json(std::vector<int>(row.bandsOut.begin(), row.bandsOut.end()))}));
          else
            s.push_back(nullptr);
          if (std::isnan(row.correlation))
            c.push_back(nullptr);
          else
            c.push_back(roundTo(row.correlation, 100.0));
        }
        Json object{{"key", slot.key}, {"w", std::move(w)}};
        if (slot.spectrum.load()) object["s"] = std::move(s);
        if (slot.stereo.load()) object["c"] = std::move(c);
        slots.push_back(std::move(object));
      }
      if (!slots.empty()) send(*session, Json{{"t", "levels"}, {"track", trackId}, {"slots", std::move(slots)}});
    }
  }
}

}  // namespace bridge

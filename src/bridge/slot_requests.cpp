// Requests on one slot of a track's chain: "meter", "params", "set", "state" and
// "editor".
#include <algorithm>

#include "bridge/bridge.h"
#include "bridge/protocol.h"
#include "util/encoding.h"

namespace bridge {

namespace {

constexpr size_t kMaxListedParams = 2000;
constexpr size_t kMaxStateParams = 512;
constexpr double kSetIndexEnd = 1000000.0;
constexpr int kMaxParamIndex = 999999;

}  // namespace

void Bridge::handleMeter(Session&, Track& track, const Json& request) {
  const std::string key = readString(request, "key", kMaxKey);
  const bool on = readBool(request, "on");
  const bool spectrum = on && readBool(request, "spectrum");
  const bool stereo = on && readBool(request, "stereo");
  for (auto& slot : track.chain->slots()) {
    if (slot->key != key) continue;
    if (spectrum && !slot->spectrumOwner) {
      // Published once and kept for the slot's life, so the worker never sees it freed.
      slot->spectrumOwner = std::make_unique<Spectrum>(track.chain->sampleRate);
      slot->spectrumPtr.store(slot->spectrumOwner.get(), std::memory_order_release);
    }
    slot->spectrum.store(spectrum);
    slot->stereo.store(stereo);
    slot->meter.store(on);
  }
}

void Bridge::handleSlotRequest(const std::shared_ptr<Session>& session, const std::string& t,
                               const std::string& trackId, Track& track, const std::shared_ptr<Slot>& slot,
                               const Json& request) {
  Plugin* plugin = slot->plugin.get();
  if (!plugin) return sendError(*session, t, "no-slot");
  const std::string& key = slot->key;

  if (t == "params") {
    const std::vector<ParamInfo> params = plugin->params();
    slot->paramIds.assign(params.size(), "");
    Json list = Json::array();
    for (const ParamInfo& p : params) {
      if (p.index >= 0 && p.index <= kMaxParamIndex) {
        if (slot->paramIds.size() <= static_cast<size_t>(p.index)) slot->paramIds.resize(p.index + 1);
        slot->paramIds[p.index] = p.id;
      }
      if (list.size() >= kMaxListedParams) continue;
      Json entry{{"i", p.index},       {"id", p.id},     {"name", p.name},  {"unit", p.unit},
                 {"v", p.value},       {"text", p.text}, {"steps", p.steps}};
      if (p.def >= 0.0f) entry["def"] = p.def;
      list.push_back(std::move(entry));
    }
    send(*session, Json{{"t", "params"}, {"track", trackId}, {"key", key}, {"list", std::move(list)}});
    return;
  }

  if (t == "set") {
    int index = -1;
    if (request.contains("id")) {
      index = paramIndex(slot->paramIds, readString(request, "id", kMaxId));
    } else {
      const double i = readNumber(request, "i", -1.0);
      if (i >= 0.0 && i < kSetIndexEnd) index = static_cast<int>(i);
    }
    const double v = readNumber(request, "v", 0.0);
    if (index < 0 || static_cast<size_t>(index) >= slot->paramIds.size()) return;
    plugin->setParam(index, static_cast<float>(std::clamp(v, 0.0, 1.0)));
    float value = 0.0f;
    std::string text;
    if (!plugin->getParam(index, value, text)) return;
    send(*session, Json{{"t", "param"},
                        {"track", trackId},
                        {"key", key},
                        {"i", index},
                        {"id", slot->paramIds[index]},
                        {"v", value},
                        {"text", text},
                        {"echo", true}});
    return;
  }

  if (t == "state") {
    const std::vector<uint8_t> state = plugin->getState();
    Json list = Json::array();
    for (const ParamInfo& p : plugin->params()) {
      if (list.size() >= kMaxStateParams) break;
      list.push_back(Json{{"id", p.id}, {"name", p.name}, {"unit", p.unit}, {"v", p.value}, {"text", p.text}});
    }
    send(*session, Json{{"t", "state"},
                        {"track", trackId},
                        {"key", key},
                        {"plugin", slot->pluginId},
                        {"data", base64Encode(state.data(), state.size())},
                        {"params", std::move(list)}});
    return;
  }

  if (t == "editor") {
    if (!plugin->hasEditor()) return sendError(*session, t, "no-editor", slot->name + " has no editor window.");
    const std::string trackName = readString(track.request, "trackName", kMaxTrackName);
    plugin->openEditor(trackName.empty() ? slot->name : trackName + " \xC2\xB7 " + slot->name);
    send(*session, Json{{"t", "editor"}, {"track", trackId}, {"key", key}, {"open", true}});
    return;
  }

  sendError(*session, t, "unknown");
}

}  // namespace bridge

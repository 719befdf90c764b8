// "pairings.json" and "settings.json": their layouts, their reading and writing.
#include "bridge/saved_state.h"

#include "bridge/bridge.h"
#include "util/files.h"

namespace bridge {

namespace {

using Json = nlohmann::json;

Json parseOrNull(const std::string& text, bool& ok) {
  ok = false;
  if (text.empty()) return nullptr;
  try {
    Json value = Json::parse(text, nullptr, false);
    if (value.is_discarded()) return nullptr;
    ok = true;
    return value;
  } catch (const Json::exception&) {
    return nullptr;
  }
}

// A string member, "" when absent; false when present with another type.
bool takeString(const Json& object, const char* key, std::string& out) {
  auto it = object.find(key);
  if (it == object.end()) return true;
  if (!it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

// Every element of `list` (the walking rule of both files: an array's elements,
// an object's values, nothing for null, the value itself otherwise) as a string
// into `out`; false at the first one that is not a string.
bool takeStrings(const Json& list, std::set<std::string>& out) {
  for (const Json& element : list) {
    if (!element.is_string()) return false;
    out.insert(element.get<std::string>());
  }
  return true;
}

}  // namespace

bool pairingsText(const std::vector<Pairing>& pairings, std::string& text) {
  Json list = Json::array();
  for (const Pairing& p : pairings)
    list.push_back(
        Json{{"id", p.id}, {"token", p.token}, {"origin", p.origin}, {"name", p.name}, {"created", p.created}});
  try {
    text = list.dump(2, ' ', false, Json::error_handler_t::strict);
    return true;
  } catch (const Json::exception&) {
    return false;
  }
}

std::string settingsText(const SavedSettings& settings) {
  Json places = Json::array();
  for (const Place& p : settings.places) places.push_back(Json{{"id", p.id}, {"name", p.name}, {"path", p.path}});
  Json settingsJson{
      {"hiddenFormats", Json(settings.hiddenFormats)},
      {"places", places},
      {"midiOff", Json{{"in", Json(settings.midiOffIn)}, {"out", Json(settings.midiOffOut)}}},
  };
  return settingsJson.dump(2, ' ', false, Json::error_handler_t::replace);
}

std::vector<Pairing> parsePairings(const std::string& text) {
  std::vector<Pairing> out;
  bool ok;
  Json value = parseOrNull(text, ok);
  if (!ok) return out;
  for (const Json& element : value) {
    if (!element.is_object()) break;
    Pairing p;
    if (!takeString(element, "id", p.id) || !takeString(element, "token", p.token) ||
        !takeString(element, "origin", p.origin) || !takeString(element, "name", p.name))
      break;
    auto created = element.find("created");
    if (created != element.end()) {
      if (!created->is_number()) break;
      p.created = created->get<double>();
    }
    out.push_back(std::move(p));
  }
  return out;
}

SavedSettings parseSettings(const std::string& text) {
  SavedSettings out;
  bool ok;
  Json value = parseOrNull(text, ok);
  if (!ok || !value.is_object()) return out;
  if (auto it = value.find("hiddenFormats"); it != value.end() && !takeStrings(*it, out.hiddenFormats)) return out;
  if (auto it = value.find("places"); it != value.end()) {
    for (const Json& element : *it) {
      if (!element.is_object()) return out;
      Place p;
      if (!takeString(element, "id", p.id) || !takeString(element, "name", p.name) ||
          !takeString(element, "path", p.path))
        return out;
      out.places.push_back(std::move(p));
    }
  }
  if (auto it = value.find("midiOff"); it != value.end()) {
    if (!it->is_object()) return out;
    if (auto in = it->find("in"); in != it->end() && !takeStrings(*in, out.midiOffIn)) return out;
    if (auto outs = it->find("out"); outs != it->end() && !takeStrings(*outs, out.midiOffOut)) return out;
  }
  return out;
}

void Bridge::loadState() {
  pairings = parsePairings(readFile(options.dataDir / "pairings.json"));
  SavedSettings settings = parseSettings(readFile(options.dataDir / "settings.json"));
  hiddenFormats = std::move(settings.hiddenFormats);
  places = std::move(settings.places);
  midiOffIn = std::move(settings.midiOffIn);
  midiOffOut = std::move(settings.midiOffOut);
}

Bridge::SaveResult Bridge::saveState() const {
  SaveResult result;
  std::string pairingsJson;
  // Neither file is written when the pairings cannot be: the caller undoes its
  // change, so memory and files keep agreeing.
  if (!pairingsText(pairings, pairingsJson)) return result;
  result.pairings = writeFile(options.dataDir / "pairings.json", pairingsJson, true);
  result.settings =
      writeFile(options.dataDir / "settings.json", settingsText({hiddenFormats, places, midiOffIn, midiOffOut}), false);
  return result;
}

}  // namespace bridge

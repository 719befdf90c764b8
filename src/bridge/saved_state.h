#pragma once
// The layouts of "pairings.json" and "settings.json": both written indented by
// two, keys in byte order, UTF-8 unescaped, no final newline. Pure; any thread.
#include <set>
#include <string>
#include <vector>

#include "bridge/pairing.h"
#include "bridge/places.h"

namespace bridge {

struct SavedSettings {
  std::set<std::string> hiddenFormats;
  std::vector<Place> places;
  std::set<std::string> midiOffIn;
  std::set<std::string> midiOffOut;
};

// False, `text` untouched, when a string is not valid UTF-8: a pairing is a
// credential, so it is never saved altered.
bool pairingsText(const std::vector<Pairing>& pairings, std::string& text);
// Invalid UTF-8 becomes U+FFFD.
std::string settingsText(const SavedSettings& settings);

// What the file holds up to its first value of an unexpected type; nothing for
// text that is not JSON. Never throws.
std::vector<Pairing> parsePairings(const std::string& text);
SavedSettings parseSettings(const std::string& text);

}  // namespace bridge

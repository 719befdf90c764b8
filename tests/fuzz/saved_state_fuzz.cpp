// Whatever "pairings.json" or "settings.json" hold after a hand edit or a torn
// write, reading them never throws or crashes, and what was read survives being
// written and read again unchanged. The first byte picks the file.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "bridge/saved_state.h"

namespace {

bool samePairings(const std::vector<bridge::Pairing>& a, const std::vector<bridge::Pairing>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].id != b[i].id || a[i].token != b[i].token || a[i].origin != b[i].origin || a[i].name != b[i].name ||
        a[i].created != b[i].created)
      return false;
  return true;
}

bool sameSettings(const bridge::SavedSettings& a, const bridge::SavedSettings& b) {
  if (a.hiddenFormats != b.hiddenFormats || a.midiOffIn != b.midiOffIn || a.midiOffOut != b.midiOffOut) return false;
  if (a.places.size() != b.places.size()) return false;
  for (size_t i = 0; i < a.places.size(); ++i)
    if (a.places[i].id != b.places[i].id || a.places[i].name != b.places[i].name ||
        a.places[i].path != b.places[i].path)
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    std::vector<bridge::Pairing> read = bridge::parsePairings(text);
    std::string written;
    // Refused only for text that is not UTF-8; otherwise it reads back as it was.
    if (!bridge::pairingsText(read, written)) return 0;
    if (!samePairings(bridge::parsePairings(written), read)) std::abort();
  } else {
    // Invalid UTF-8 is replaced on the first write; from then on it is stable.
    bridge::SavedSettings once = bridge::parseSettings(bridge::settingsText(bridge::parseSettings(text)));
    if (!sameSettings(bridge::parseSettings(bridge::settingsText(once)), once)) std::abort();
  }
  return 0;
}

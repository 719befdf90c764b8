// Whatever bytes a page sends as an Audio Unit state, reading must not crash,
// and what reads must write, and read back to what writes the same bytes.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/audiounit/plist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto value = bridge::plist::readBinary(data, size);
  if (!value) return 0;
  std::vector<uint8_t> once, twice;
  if (!bridge::plist::writeBinary(*value, once)) std::abort();
  const auto again = bridge::plist::readBinary(once);
  if (!again || !bridge::plist::writeBinary(*again, twice) || twice != once) std::abort();
  return 0;
}

// Whatever text a page sends as a state blob, decoding must not crash, and what
// decodes must encode back to an equivalent text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "util/encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<uint8_t> out;
  if (bridge::base64Decode(text, out)) {
    std::string again = bridge::base64Encode(out.data(), out.size());
    std::vector<uint8_t> back;
    if (!bridge::base64Decode(again, back) || back != out) std::abort();
  }
  return 0;
}

// Whatever a bundle's moduleinfo.json holds, the reader must not crash or read
// out of bounds, throw or hang. Stripping comments must never lengthen the text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/vst3/vst3_moduleinfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so any read past the end is caught.
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (auto stripped = Steinberg::ModuleInfoLib::stripJson5(text); stripped && stripped->size() > text.size())
    std::abort();
  std::string error;
  auto info = Steinberg::ModuleInfoLib::parseJson(std::string_view(text), &error);
  if (!info && error.empty()) std::abort();  // a refusal always says why
  return 0;
}

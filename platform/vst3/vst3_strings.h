#pragma once
// UTF-16 texts of the VST3 records. Pure; any thread.
#include <cstddef>
#include <string>

#include "platform/vst3/vst3_base.h"

namespace Steinberg {

// UTF-8 of a UTF-16 text that ends at its first NUL or after `maxUnits` units,
// whichever comes first; an unpaired surrogate becomes U+FFFD.
std::string toUtf8(const char16* text, size_t maxUnits);

// A fixed char8 field that may lack its NUL.
std::string fromFixed(const char8* text, size_t size);

}  // namespace Steinberg

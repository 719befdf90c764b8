#include "platform/vst3/vst3_strings.h"

#include <cstring>

namespace Steinberg {

namespace {

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string toUtf8(const char16* text, size_t maxUnits) {
  std::string out;
  if (!text) return out;
  size_t n = 0;
  while (n < maxUnits && text[n] != 0) ++n;
  for (size_t i = 0; i < n; ++i) {
    uint32_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (uint32_t(text[i + 1]) - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      appendUtf8(out, 0xFFFD);
    } else {
      appendUtf8(out, u);
    }
  }
  return out;
}

std::string fromFixed(const char8* text, size_t size) {
  if (!text) return {};
  const void* nul = std::memchr(text, 0, size);
  return std::string(text, nul ? static_cast<const char8*>(nul) - text : size);
}

}  // namespace Steinberg

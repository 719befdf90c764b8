#include "util/encoding.h"

#include <mbedtls/base64.h>

namespace bridge {

std::string base64Encode(const uint8_t* data, size_t size) {
  std::string out(4 * ((size + 2) / 3) + 1, '\0');
  size_t written = 0;
  if (mbedtls_base64_encode(reinterpret_cast<unsigned char*>(out.data()), out.size(), &written, data, size) != 0)
    return {};
  out.resize(written);
  return out;
}

namespace {

// The shape rule of the newer mbedTLS decoder, which the older one lacks: once
// blanks before line ends and line breaks are set aside, the characters must come
// in whole quads and may not leave a lone digit in the last one.
bool wholeQuads(const std::string& text) {
  size_t n = 0, equals = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    size_t spaces = 0;
    while (i < text.size() && text[i] == ' ') {
      ++i;
      ++spaces;
    }
    if (i == text.size()) break;
    if (text.size() - i >= 2 && text[i] == '\r' && text[i + 1] == '\n') continue;
    if (text[i] == '\n') continue;
    if (spaces != 0) return false;
    if (text[i] == '=') ++equals;
    ++n;
  }
  if (n == 0) return true;
  return n % 4 == 0 && (n - equals) % 4 != 1;
}

}  // namespace

bool base64Decode(const std::string& text, std::vector<uint8_t>& out) {
  if (!wholeQuads(text)) return false;
  out.resize(text.size() * 3 / 4 + 3);
  size_t written = 0;
  if (mbedtls_base64_decode(out.data(), out.size(), &written, reinterpret_cast<const unsigned char*>(text.data()),
                            text.size()) != 0)
    return false;
  out.resize(written);
  return true;
}

std::string hex(const uint8_t* data, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(size * 2, '\0');
  for (size_t i = 0; i < size; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 0x0f];
  }
  return out;
}

}  // namespace bridge

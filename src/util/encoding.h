#pragma once
// Base64 (RFC 4648, standard alphabet, = padding) and lower-case hex. Any thread.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bridge {

std::string base64Encode(const uint8_t* data, size_t size);

// True when `text` is valid Base64: padding required, line breaks ignored, anything
// else outside the alphabet refused. On false, `out` holds nothing useful.
bool base64Decode(const std::string& text, std::vector<uint8_t>& out);

std::string hex(const uint8_t* data, size_t size);

}  // namespace bridge

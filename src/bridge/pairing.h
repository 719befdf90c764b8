#pragma once
// Paired browsers and the pieces of their proof: the pairing code, strict hex,
// HMAC-SHA-256 and comparison without early exit. Pure; any thread.
#include <cstdint>
#include <string>
#include <vector>

namespace bridge {

// One paired browser.
struct Pairing {
  std::string id;      // 8 random bytes, lower-case hex
  std::string token;   // 32 random bytes, lower-case hex: the HMAC key
  std::string origin;  // Origin of the connection that paired
  std::string name;    // the page's "name", at most 60 bytes
  double created = 0;  // Unix time in whole seconds
};

// Six decimal digits with leading zeros: v modulo 1,000,000.
std::string pairingCodeText(uint32_t v);

// True when `text` is an even number of hex digits (either case) and nothing
// else; fills `out` with the bytes. "1z", "0x12" and a trailing odd digit fail.
bool decodeHex(const std::string& text, std::vector<uint8_t>& out);

// The HMAC key of a stored token: only exactly 32 bytes of hex make one. Any
// other token (empty, short, not hex) gives false, so it can never authenticate.
bool tokenKey(const std::string& token, std::vector<uint8_t>& key);

// Lower-case hex of HMAC-SHA-256 over `message`; "" when the library fails.
std::string hmacSha256Hex(const std::vector<uint8_t>& key, const std::string& message);

// Equal length and equal bytes; equal-length inputs are compared in full.
bool sameText(const std::string& a, const std::string& b);

}  // namespace bridge

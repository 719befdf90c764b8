#pragma once
// The message envelope: field readers with their length cuts, the compact
// serialisation of outgoing messages, and random hex ids. Pure except randomHex;
// any thread.
#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace bridge {

inline constexpr const char* kAppName = "Krevlo Bridge";
inline constexpr const char* kAppVersion = "0.1.128";

// Length cuts of the string members, in bytes.
inline constexpr size_t kMaxType = 200;
inline constexpr size_t kMaxCode = 12;
inline constexpr size_t kMaxName = 60;
inline constexpr size_t kMaxId = 200;
inline constexpr size_t kMaxNonce = 64;
inline constexpr size_t kMaxMac = 64;
inline constexpr size_t kMaxTrack = 100;
inline constexpr size_t kMaxKey = 100;
inline constexpr size_t kMaxPlugin = 300;
inline constexpr size_t kMaxTrackName = 80;
inline constexpr size_t kMaxPlace = 40;
inline constexpr size_t kMaxPath = 4096;
inline constexpr size_t kMaxPort = 300;
inline constexpr size_t kMaxDir = 8;

// The first `max` bytes of `text`, moved back to the start of a UTF-8 character
// when the cut would split one, so a cut text stays valid UTF-8.
std::string cutUtf8(const std::string& text, size_t max);

// The member's text when `request` is an object holding `key` as a string, cut
// with cutUtf8; otherwise "".
std::string readString(const nlohmann::json& request, const char* key, size_t max);
// The member as a double when it is a JSON number of any kind; else `fallback`.
double readNumber(const nlohmann::json& request, const char* key, double fallback);
// True only for the JSON value true.
bool readBool(const nlohmann::json& request, const char* key);
// Position of `text` in `list`; -1 when `text` is empty or absent.
int paramIndex(const std::vector<std::string>& list, const std::string& text);

// n bytes of bridge::random as 2n lower-case hex characters; "" when the
// generator failed, since a predictable id or nonce must never be used.
std::string randomHex(size_t n);

// Compact, keys in byte order, UTF-8 unescaped, invalid UTF-8 as U+FFFD.
std::string serialise(const nlohmann::json& message);

}  // namespace bridge

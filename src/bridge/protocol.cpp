#include "bridge/protocol.h"

#include <cstdint>

#include "server/random.h"
#include "util/encoding.h"

namespace bridge {

std::string cutUtf8(const std::string& text, size_t max) {
  if (text.size() <= max) return text;
  size_t end = max;
  // Back off over continuation bytes (10xxxxxx) to the start of the character
  // that the cut would split; a character has at most three of them.
  for (int i = 0; i < 3 && end > 0 && (static_cast<uint8_t>(text[end]) & 0xC0) == 0x80; ++i) --end;
  return text.substr(0, end);
}

std::string readString(const nlohmann::json& request, const char* key, size_t max) {
  if (!request.is_object()) return "";
  auto it = request.find(key);
  if (it == request.end() || !it->is_string()) return "";
  return cutUtf8(it->get_ref<const std::string&>(), max);
}

double readNumber(const nlohmann::json& request, const char* key, double fallback) {
  if (!request.is_object()) return fallback;
  auto it = request.find(key);
  if (it == request.end() || !it->is_number()) return fallback;
  return it->get<double>();
}

bool readBool(const nlohmann::json& request, const char* key) {
  if (!request.is_object()) return false;
  auto it = request.find(key);
  return it != request.end() && it->is_boolean() && it->get<bool>();
}

int paramIndex(const std::vector<std::string>& list, const std::string& text) {
  if (text.empty()) return -1;
  for (size_t i = 0; i < list.size(); ++i)
    if (list[i] == text) return static_cast<int>(i);
  return -1;
}

std::string randomHex(size_t n) {
  std::vector<uint8_t> bytes(n);
  if (!random().fill(bytes.data(), bytes.size())) return "";
  return hex(bytes.data(), bytes.size());
}

std::string serialise(const nlohmann::json& message) {
  return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace bridge

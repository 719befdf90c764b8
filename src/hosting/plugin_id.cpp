#include "hosting/plugin_id.h"

namespace bridge {

namespace {

void appendFourCc(std::string& out, uint32_t code) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    char c = static_cast<char>((code >> shift) & 0xff);
    out.push_back(c == '\0' ? ' ' : c);
  }
}

}  // namespace

std::string auPluginId(uint32_t type, uint32_t subtype, uint32_t manufacturer) {
  std::string id = "AU:";
  appendFourCc(id, type);
  id.push_back(':');
  appendFourCc(id, subtype);
  id.push_back(':');
  appendFourCc(id, manufacturer);
  return id;
}

std::string vst3PluginId(const uint8_t classId[16]) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string id = "VST3:";
  for (int i = 0; i < 16; ++i) {
    id.push_back(kDigits[classId[i] >> 4]);
    id.push_back(kDigits[classId[i] & 0x0f]);
  }
  return id;
}

std::string clapPluginId(const std::string& descriptorId) { return "CLAP:" + descriptorId; }

std::string formatOfId(const std::string& id) {
  auto colon = id.find(':');
  return colon == std::string::npos ? std::string() : id.substr(0, colon);
}

}  // namespace bridge

#pragma once
// The forms of plug-in ids: "AU:type:subtype:manufacturer", "VST3:<32 hex digits>",
// "CLAP:<descriptor id>". Pure; any thread.
#include <cstdint>
#include <string>

namespace bridge {

// Four-character codes written from the most significant byte down; a zero byte
// becomes a space, so the id is always 17 characters.
std::string auPluginId(uint32_t type, uint32_t subtype, uint32_t manufacturer);
// The 16 bytes of a class id in memory order, as upper-case hex.
std::string vst3PluginId(const uint8_t classId[16]);
std::string clapPluginId(const std::string& descriptorId);

// The text before the first ':', which names the host; "" when there is none.
std::string formatOfId(const std::string& id);

}  // namespace bridge

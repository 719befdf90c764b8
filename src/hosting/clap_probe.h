#pragma once
// What a .clap file offers: its audio-effect descriptors.
#include <nlohmann/json.hpp>
#include <string>

namespace bridge {

// Records the calling thread as mainThread, loads the file and lists its
// descriptors that have the feature "audio-effect":
// { "plugins": [{id, name, vendor, version, features}], "tags": true }, or
// { "plugins": [], "error": text } when it cannot be loaded. Always an object.
// Runs plug-in code and never unloads it: only the scan command calls it.
nlohmann::json clapScanFile(const std::string& path);

}  // namespace bridge

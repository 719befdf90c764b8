#pragma once
// What a VST3 bundle offers: its audio-effect classes.
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace bridge {

// Loads the bundle and lists its effect classes:
// { "classes": [{uid, name, vendor, version, sub}], "tags": true }, or
// { "classes": [], "error": text } when it cannot be loaded. Always an object.
// Runs plug-in code: only the scan command (a helper process) calls it. With
// `loaded`, the module is handed to the caller instead of being let go (which
// runs the plug-in's ModuleExit) before this returns.
nlohmann::json vst3ScanFile(const std::string& path, std::shared_ptr<void>* loaded = nullptr);

// The same facts from the bundle's moduleinfo.json, with "from": "moduleinfo",
// without loading code. Null when the bundle has no usable module info; no
// classes, with an "error", when it has no shared object for this platform.
// Any thread.
nlohmann::json vst3ModuleInfo(const std::string& path);

// The cache stamp of a bundle: its folder's time combined with the time, size
// and inode of its shared object and of its moduleinfo.json, so replacing
// either in place counts as a change. 0 when the bundle cannot be read. Any
// thread.
int64_t vst3BundleStamp(const std::string& path);

// A class counts as an audio effect when its category is "Audio Module Class"
// and it has no sub-categories, or none of them is "Instrument", or one begins
// with "Fx".
bool vst3IsEffect(const std::string& category, const std::vector<std::string>& subCategories);

}  // namespace bridge

#include "hosting/vst3_probe.h"

#include <sys/stat.h>

#include <charconv>
#include <filesystem>

#include "platform/vst3/vst3_module.h"
#include "platform/vst3/vst3_moduleinfo.h"
#include "util/files.h"

namespace bridge {

using nlohmann::json;

namespace {

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += '|';
    out += parts[i];
  }
  return out;
}

// The class id's bytes in memory order as upper-case hex.
std::string uidText(const void* bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const auto* b = static_cast<const uint8_t*>(bytes);
  std::string out;
  for (int i = 0; i < 16; ++i) {
    out += kDigits[b[i] >> 4];
    out += kDigits[b[i] & 0x0f];
  }
  return out;
}

json classEntry(const std::string& uid, const std::string& name, const std::string& vendor,
                const std::string& version, const std::vector<std::string>& subs) {
  return json{{"uid", uid}, {"name", name}, {"vendor", vendor}, {"version", version}, {"sub", joined(subs)}};
}

}  // namespace

bool vst3IsEffect(const std::string& category, const std::vector<std::string>& subCategories) {
  if (category != "Audio Module Class") return false;
  if (subCategories.empty()) return true;
  bool instrument = false;
  for (const auto& s : subCategories) {
    if (s.rfind("Fx", 0) == 0) return true;
    if (s == "Instrument") instrument = true;
  }
  return !instrument;
}

json vst3ScanFile(const std::string& path, std::shared_ptr<void>* loaded) {
  std::string error;
  auto module = VST3::Hosting::Module::create(path, error);
  if (!module) return json{{"classes", json::array()}, {"error", error}};
  if (loaded) *loaded = module;
  const auto& factory = module->getFactory();
  const std::string factoryVendor = factory.info().vendor;
  json classes = json::array();
  for (const auto& c : factory.classInfos()) {
    if (!vst3IsEffect(c.category, c.subCategories)) continue;
    classes.push_back(classEntry(uidText(c.cid.bytes), c.name,
                                 c.vendor.empty() ? factoryVendor : c.vendor, c.version, c.subCategories));
  }
  return json{{"classes", std::move(classes)}, {"tags", true}};
}

json vst3ModuleInfo(const std::string& path) {
  auto infoPath = VST3::Hosting::Module::getModuleInfoPath(path);
  if (!infoPath) return nullptr;
  // Classes described for a binary that is not there could never be made.
  std::error_code ec;
  const std::string binary = VST3::Hosting::Module::getBinaryPath(path);
  if (!std::filesystem::exists(binary, ec))
    return json{{"classes", json::array()}, {"error", "the bundle has no " +
                                                          std::filesystem::path(binary).filename().string() +
                                                          " for this platform"}};
  auto info = Steinberg::ModuleInfoLib::parseJson(readFile(*infoPath));
  if (!info) return nullptr;
  json classes = json::array();
  for (const auto& c : info->classes) {
    if (!vst3IsEffect(c.category, c.subCategories)) continue;
    if (c.cid.size() != 32) return nullptr;
    uint8_t bytes[16];
    for (int i = 0; i < 16; ++i) {
      // A pair that does not read as hexadecimal gives 0.
      unsigned v = 0;
      const char* pair = c.cid.data() + 2 * i;
      std::from_chars(pair, pair + 2, v, 16);
      bytes[i] = static_cast<uint8_t>(v);
    }
    classes.push_back(classEntry(uidText(bytes), c.name,
                                 c.vendor.empty() ? info->factoryInfo.vendor : c.vendor, c.version,
                                 c.subCategories));
  }
  return json{{"classes", std::move(classes)}, {"tags", true}, {"from", "moduleinfo"}};
}

int64_t vst3BundleStamp(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  uint64_t stamp = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u + static_cast<uint64_t>(st.st_mtim.tv_nsec);
  std::vector<std::string> parts = {VST3::Hosting::Module::getBinaryPath(path)};
  if (auto info = VST3::Hosting::Module::getModuleInfoPath(path)) parts.push_back(*info);
  for (const std::string& part : parts) {
    if (part == path || ::stat(part.c_str(), &st) != 0) continue;
    for (uint64_t v : {static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u + static_cast<uint64_t>(st.st_mtim.tv_nsec),
                       static_cast<uint64_t>(st.st_size), static_cast<uint64_t>(st.st_ino)})
      stamp = stamp * 1099511628211u ^ v;
  }
  // Non-negative, so it round-trips through the cache as the same integer.
  return static_cast<int64_t>(stamp & 0x7fffffffffffffffu);
}

}  // namespace bridge

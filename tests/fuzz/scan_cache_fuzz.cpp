// Whatever a scan cache ("vst3-cache.json", "clap-cache.json") holds after a
// hand edit or a torn write, a scan over it must not throw or crash, must answer
// every file that is not blocked or hung, and the catalog built from its results
// takes only well-formed entries. Files are answered by the in-process probe, so
// no helper process runs.
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "hosting/scan.h"

namespace fs = std::filesystem;

namespace {

// A fixed place with fixed times, so seeds can name the files and their stamps.
const fs::path kDir = "/tmp/krevlo-scan-cache-fuzz";

std::vector<std::string> fixtureFiles() {
  static std::vector<std::string> files = [] {
    fs::create_directories(kDir);
    std::vector<std::string> out;
    for (const char* name : {"a.clap", "b.clap"}) {
      const fs::path p = kDir / name;
      std::ofstream(p) << "x";
      fs::last_write_time(p, fs::file_time_type(std::chrono::seconds(1700000000)));
      out.push_back(p.string());
    }
    return out;
  }();
  return files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> files = fixtureFiles();
  const fs::path cache = kDir / ("clap-cache-" + std::to_string(::getpid()) + ".json");
  {
    std::ofstream out(cache, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  bridge::ScanSpec spec;
  spec.format = "CLAP";
  spec.cacheFile = cache;
  spec.cacheKey = "files";
  spec.helper = "/nonexistent";  // never needed: the probe answers every file
  spec.probe = [](const std::string& path) {
    return nlohmann::json{{"plugins", nlohmann::json::array({{{"id", "org.fuzz." + fs::path(path).stem().string()},
                                                              {"name", "Fuzz"}}})}};
  };
  std::atomic<bool> cancel{false};
  bridge::ScanResult result = bridge::scanInHelpers(spec, files, cancel);
  if (!result.entries.is_object()) std::abort();
  for (const std::string& f : files) {
    const bool failed = std::find(result.failed.begin(), result.failed.end(), f) != result.failed.end();
    if (!failed && !result.entries.contains(f)) std::abort();
  }
  bridge::ScanCatalog catalog = bridge::catalogFromScan(result.entries, "CLAP", "plugins", "id", "features");
  for (const bridge::PluginInfo& p : catalog.entries)
    if (p.id.rfind("CLAP:", 0) != 0 || p.format != "CLAP") std::abort();
  // The cache written back is JSON again.
  std::ifstream in(cache, std::ios::binary);
  std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (nlohmann::json::parse(written, nullptr, false).is_discarded()) std::abort();
  return 0;
}

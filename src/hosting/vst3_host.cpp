#include "hosting/vst3_host.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <system_error>

#include "hosting/scan.h"
#include "hosting/vst3_plugin.h"
#include "hosting/vst3_probe.h"
#include "platform/vst3/vst3_module.h"

namespace bridge {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr size_t kPrefixLength = 5;  // "VST3:"

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 32 characters as 16 pairs; a pair that does not begin with a hexadecimal digit
// gives 0, one whose second character is none reads its first digit alone.
void parseClassId(const std::string& text, Steinberg::TUID out) {
  for (size_t i = 0; i < 16; ++i) {
    const int high = hexDigit(text[2 * i]);
    const int low = hexDigit(text[2 * i + 1]);
    int value = 0;
    if (high >= 0) value = low >= 0 ? high * 16 + low : high;
    out[i] = static_cast<Steinberg::int8>(value);
  }
}

class Vst3Host final : public Host {
 public:
  Vst3Host(fs::path cacheDir, std::vector<std::string> extraDirs, std::string scanHelper,
           std::function<void(std::function<void()>)> runOnMain)
      : cacheDir_(std::move(cacheDir)),
        extraDirs_(std::move(extraDirs)),
        scanHelper_(std::move(scanHelper)),
        runOnMain_(std::move(runOnMain)) {}

  std::string format() const override { return "VST3"; }

  std::vector<PluginInfo> scan(const std::atomic<bool>& cancel) override {
    ScanSpec spec;
    spec.format = "VST3";
    spec.cacheFile = cacheDir_ / "vst3-cache.json";
    spec.cacheKey = "bundles";
    spec.probe = vst3ModuleInfo;
    spec.stamp = vst3BundleStamp;
    spec.helper = scanHelper_;

    const std::vector<std::string> candidates = findVst3Bundles(vst3SearchFolders(), extraDirs_);
    return record_.examine(std::move(spec), candidates, cancel, "classes", "uid", "sub");
  }

  std::vector<std::string> problems() const override { return record_.problems(); }

  void requestRescan() override { record_.requestRetry(); }

  void create(const std::string& id, int maxBlock, CreateDone done, double sampleRate) override {
    const std::string path = record_.pathOf(id);
    if (path.empty() || id.size() <= kPrefixLength) return done(nullptr, "plug-in not found");
    const std::string hex = id.substr(kPrefixLength);
    if (hex.size() != 32) return done(nullptr, "not a VST3 id");
    Steinberg::TUID classId = {};
    parseClassId(hex, classId);

    std::shared_ptr<VST3::Hosting::Module> module;
    if (auto it = modules_.find(path); it != modules_.end()) {
      module = it->second;
    } else {
      std::string error;
      module = VST3::Hosting::Module::create(path, error);
      if (!module) return done(nullptr, error.empty() ? "could not load the plug-in" : error);
      modules_[path] = module;
    }

    if (runOnMain_ && !wakeup_) wakeup_ = std::make_shared<ClapWakeup>(runOnMain_);
    auto plugin = std::make_unique<Vst3Plugin>(std::move(module), sampleRate, wakeup_);
    std::string error = plugin->open(classId, maxBlock);
    if (!error.empty()) {
      plugin.reset();
      return done(nullptr, error);
    }
    done(std::move(plugin), "");
  }

 private:
  const fs::path cacheDir_;
  const std::vector<std::string> extraDirs_;
  const std::string scanHelper_;
  const std::function<void(std::function<void()>)> runOnMain_;
  ScanRecord record_;
  // Main thread. A bundle is loaded at most once per host; plug-ins share it.
  std::map<std::string, std::shared_ptr<VST3::Hosting::Module>> modules_;
  std::shared_ptr<ClapWakeup> wakeup_;  // main thread; made with the first plug-in
};

bool isBundleName(const fs::path& path) { return path.extension() == ".vst3"; }

}  // namespace

std::vector<std::string> vst3SearchFolders() {
  std::vector<std::string> folders;
  if (const char* home = std::getenv("HOME"); home && *home) folders.push_back((fs::path(home) / ".vst3").string());
  folders.push_back("/usr/lib/vst3");
  folders.push_back("/usr/local/lib/vst3");
  return folders;
}

std::vector<std::string> findVst3Bundles(const std::vector<std::string>& standardFolders,
                                         const std::vector<std::string>& extraDirs) {
  std::vector<std::string> found;
  for (const std::string& folder : standardFolders) {
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    if (ec) continue;
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (ec) break;
      if (!isBundleName(it->path())) continue;
      found.push_back(it->path().string());
      // Nothing inside a bundle is another bundle.
      std::error_code dirEc;
      if (it->is_directory(dirEc)) it.disable_recursion_pending();
    }
  }
  for (const std::string& folder : extraDirs) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) continue;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      if (ec) break;
      if (isBundleName(it->path())) found.push_back(it->path().string());
    }
  }
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  return found;
}

std::unique_ptr<Host> makeVst3Host(fs::path cacheDir, std::vector<std::string> extraDirs, std::string scanHelper) {
  return makeVst3Host(std::move(cacheDir), std::move(extraDirs), std::function<void(std::function<void()>)>{},
                      std::move(scanHelper));
}

std::unique_ptr<Host> makeVst3Host(fs::path cacheDir, std::vector<std::string> extraDirs,
                                   std::function<void(std::function<void()>)> runOnMain, std::string scanHelper) {
  auto host = std::make_unique<Vst3Host>(cacheDir, std::move(extraDirs), std::move(scanHelper), std::move(runOnMain));
  std::error_code ec;
  fs::remove(cacheDir / "vst3-scanning", ec);
  return host;
}

}  // namespace bridge

#include "hosting/clap_host.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "hosting/clap_module.h"
#include "hosting/clap_plugin.h"
#include "hosting/scan.h"

namespace bridge {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr size_t kPrefixLength = 5;  // "CLAP:"

class ClapHost final : public Host {
 public:
  ClapHost(fs::path cacheDir, std::vector<std::string> extraDirs, RunOnMain runOnMain, std::string scanHelper)
      : cacheDir_(std::move(cacheDir)),
        extraDirs_(std::move(extraDirs)),
        runOnMain_(std::move(runOnMain)),
        scanHelper_(std::move(scanHelper)) {}

  std::string format() const override { return "CLAP"; }

  std::vector<PluginInfo> scan(const std::atomic<bool>& cancel) override {
    ScanSpec spec;
    spec.format = "CLAP";
    spec.cacheFile = cacheDir_ / "clap-cache.json";
    spec.cacheKey = "files";
    spec.helper = scanHelper_;

    const std::vector<std::string> candidates = findClapFiles(clapSearchFolders(extraDirs_));
    return record_.examine(std::move(spec), candidates, cancel, "plugins", "id", "features");
  }

  std::vector<std::string> problems() const override { return record_.problems(); }

  void requestRescan() override { record_.requestRetry(); }

  void create(const std::string& id, int maxBlock, CreateDone done, double sampleRate) override {
    const std::string path = record_.pathOf(id);
    if (path.empty() || id.size() <= kPrefixLength) return done(nullptr, "plug-in not found");

    std::shared_ptr<Module> module;
    if (auto it = modules_.find(path); it != modules_.end()) {
      module = it->second;
    } else {
      std::string error;
      module = loadModule(path, error);
      if (!module) return done(nullptr, error.empty() ? "could not load the plug-in" : error);
      modules_[path] = module;
    }

    if (!wakeup_) wakeup_ = std::make_shared<ClapWakeup>(runOnMain_);
    auto plugin = std::make_unique<ClapPlugin>(module, runOnMain_, sampleRate, wakeup_);
    std::string error = plugin->open(id.substr(kPrefixLength), maxBlock);
    if (!error.empty()) {
      plugin.reset();
      return done(nullptr, error);
    }
    done(std::move(plugin), "");
  }

 private:
  const fs::path cacheDir_;
  const std::vector<std::string> extraDirs_;
  const RunOnMain runOnMain_;
  const std::string scanHelper_;
  ScanRecord record_;
  std::map<std::string, std::shared_ptr<Module>> modules_;  // main thread; never unloaded
  std::shared_ptr<ClapWakeup> wakeup_;  // main thread; made with the first plug-in
};

}  // namespace

std::vector<std::string> clapSearchFolders(const std::vector<std::string>& extraDirs) {
  std::vector<std::string> folders;
  if (const char* home = std::getenv("HOME")) folders.push_back((fs::path(home) / ".clap").string());
  folders.push_back("/usr/lib/clap");
  if (const char* list = std::getenv("CLAP_PATH")) {
    std::string text = list;
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find(':', start);
      if (end == std::string::npos) end = text.size();
      if (end > start) folders.push_back(text.substr(start, end - start));
      start = end + 1;
    }
  }
  folders.insert(folders.end(), extraDirs.begin(), extraDirs.end());
  return folders;
}

std::vector<std::string> findClapFiles(const std::vector<std::string>& folders) {
  std::vector<std::string> found;
  for (const std::string& folder : folders) {
    std::error_code ec;
    const fs::path root = fs::absolute(folder, ec);
    if (ec) continue;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
    if (ec) continue;
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (ec) break;
      const fs::path& path = it->path();
      if (path.extension() != ".clap") continue;
      found.push_back(path.string());
      // A .clap folder is one bundle: nothing inside it is another.
      std::error_code dirEc;
      if (it->is_directory(dirEc)) it.disable_recursion_pending();
    }
  }
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  return found;
}

std::unique_ptr<Host> makeClapHost(fs::path cacheDir, std::vector<std::string> extraDirs,
                                   std::function<void(std::function<void()>)> runOnMain, std::string scanHelper) {
  mainThread.store(std::this_thread::get_id());
  std::error_code ec;
  fs::remove(cacheDir / "clap-scanning", ec);
  return std::make_unique<ClapHost>(std::move(cacheDir), std::move(extraDirs), std::move(runOnMain),
                                    std::move(scanHelper));
}

}  // namespace bridge

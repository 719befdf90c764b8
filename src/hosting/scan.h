#pragma once
// Examining plug-in files in helper processes, with a per-format cache.
//
// Every file that the cache cannot answer is examined by the "--scan" command in
// a helper process, at most 16 files per run and at most 4 helpers at once. A
// file whose examination crashes a helper is recorded as "blocked", one that
// outlasts the time-out as "hung"; both are skipped by later scans until one
// with `retry` set. Results are cached by path and modification time.
//
// Files, beside the cache file: the cache ("vst3-cache.json", "clap-cache.json")
// and the work folder "scan" with one list file (<format>-<worker>.txt) and one
// output file (<format>-<worker>.jsonl) per worker. The environment variable
// QUILLET_SCAN_TIMEOUT_MS sets the time-out without progress (default 60000).
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "hosting/host.h"

namespace bridge {

struct ScanSpec {
  std::string format;                  // "VST3" or "CLAP"
  std::filesystem::path cacheFile;     // cacheDir / "vst3-cache.json" or "clap-cache.json"
  std::string cacheKey;                // "bundles" (VST3) or "files" (CLAP)
  // In-process quick probe tried before any helper; an object answers the file.
  std::function<nlohmann::json(const std::string&)> probe;
  // The stamp that tells whether a cached result still holds. Empty: the
  // file's (or bundle folder's) own modification time.
  std::function<int64_t(const std::string&)> stamp;
  bool retry = false;                  // examine blocked and hung files again
  // The helper executable. Empty: krevlo-bridge-helper beside the running
  // executable, else the running executable itself. Tests always set it.
  std::string helper;
};

struct ScanResult {
  nlohmann::json entries = nlohmann::json::object();  // path -> probe result + "stamp", "tags"
  std::vector<std::string> failed;  // blocked paths sorted, then hung paths sorted
};

// Catalog entries from examination results, as the VST3 and CLAP hosts list
// them: each result's `listKey` array holds one object per plug-in, whose
// `idKey`, "name", "vendor", "version" and `tagsKey` strings fill the entry (a
// missing or mistyped value is ""); the id is "<format>:" + `idKey`. Results and
// plug-ins that are not objects are skipped. `paths` maps each id to its file;
// a later file with the same id wins the path, and both entries stay.
struct ScanCatalog {
  std::vector<PluginInfo> entries;
  std::map<std::string, std::string> paths;
};
ScanCatalog catalogFromScan(const nlohmann::json& entries, const std::string& format, const char* listKey,
                            const char* idKey, const char* tagsKey);

// Examines `files` (absolute paths, without duplicates). Blocks the calling
// thread until all work is done or `cancel` is set; a cancelled or broken scan
// returns what it has, and the cache written last stays valid.
// Thread: the scan thread, one call at a time per cache file. Starts up to 4
// worker threads of its own, which read `cancel` without a lock.
ScanResult scanInHelpers(const ScanSpec& spec, const std::vector<std::string>& files,
                         const std::atomic<bool>& cancel);

// The file-name stems of `paths` ("Foo Bar" for /x/Foo Bar.vst3), sorted
// byte-wise, duplicates kept. Pure.
std::vector<std::string> fileNames(const std::vector<std::string>& paths);

// The helper that an empty ScanSpec::helper stands for.
std::string defaultScanHelper();

// What a host of plug-in files keeps between examinations: the files that
// crashed or hung last time, which file each catalog id came from, and whether
// the next examination retries the failed ones.
// Threads: examine on the scan thread; the rest from any thread.
class ScanRecord {
 public:
  // Examines `files` with `spec` (its retry flag taken from a pending
  // requestRetry), records problems and paths, and returns the catalog entries
  // that catalogFromScan makes with the given keys.
  std::vector<PluginInfo> examine(ScanSpec spec, const std::vector<std::string>& files,
                                  const std::atomic<bool>& cancel, const char* listKey, const char* idKey,
                                  const char* tagsKey);
  std::vector<std::string> problems() const;
  void requestRetry() { retryNext_.exchange(true); }
  // The file a catalog id came from; "" when the last examination did not list it.
  std::string pathOf(const std::string& id) const;

 private:
  mutable std::mutex mutex_;  // guards paths_ and problems_
  std::map<std::string, std::string> paths_;
  std::vector<std::string> problems_;
  std::atomic<bool> retryNext_{false};
};

}  // namespace bridge

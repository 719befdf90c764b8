#include "hosting/scan.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>

#include "util/files.h"
#include "util/process.h"

namespace bridge {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr size_t kBatchSize = 16;
constexpr size_t kMaxWorkers = 4;
constexpr int kDefaultTimeoutMs = 60000;

struct Pending {
  std::string path;
  int64_t stamp;
};

// Modification time in nanoseconds since 1970; 0 when it cannot be read. A
// bundle folder's own time counts.
int64_t stampOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// atoi semantics (leading digits; anything else reads as 0), without atoi's
// undefined behaviour on overflow.
int scanTimeoutMs() {
  const char* text = std::getenv("QUILLET_SCAN_TIMEOUT_MS");
  if (!text) return kDefaultTimeoutMs;
  long long v = std::strtoll(text, nullptr, 10);
  if (v < 1) return kDefaultTimeoutMs;
  return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

// The cache file may have been edited by hand: nothing read from it may throw.
json readCache(const fs::path& file) {
  json cache;
  try {
    cache = json::parse(readFile(file), nullptr, false);
  } catch (const json::exception&) {
    return json::object();
  }
  return cache.is_discarded() ? json::object() : cache;
}

// Well-formed UTF-8: no overlong forms, surrogates or code points past U+10FFFF.
bool isUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t n = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    }
    if (c >= 0xC2 && c <= 0xDF) n = 1, cp = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) n = 2, cp = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) n = 3, cp = c & 0x07;
    else return false;
    for (size_t k = 1; k <= n; ++k) {
      if (i + k >= text.size()) return false;
      const auto d = static_cast<unsigned char>(text[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n + 1;
  }
  return true;
}

// Paths are bytes. One that is not UTF-8 cannot be a JSON text as it is, so the
// cache keeps it as "bytes:" and its hex digits; every other path starts with
// '/' and is kept as it is, which is also how older caches hold it.
constexpr std::string_view kBytesPrefix = "bytes:";

std::string cacheKey(const std::string& path) {
  if (isUtf8(path)) return path;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string key(kBytesPrefix);
  for (unsigned char c : path) {
    key += kDigits[c >> 4];
    key += kDigits[c & 15];
  }
  return key;
}

std::string pathOfKey(const std::string& key) {
  if (key.rfind(kBytesPrefix, 0) != 0 || (key.size() - kBytesPrefix.size()) % 2 != 0) return key;
  auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string path;
  for (size_t i = kBytesPrefix.size(); i < key.size(); i += 2) {
    const int high = digit(key[i]), low = digit(key[i + 1]);
    if (high < 0 || low < 0) return key;
    path += static_cast<char>(high * 16 + low);
  }
  return path;
}

std::set<std::string> stringSet(const json& cache, const char* key) {
  std::set<std::string> out;
  if (!cache.is_object()) return out;
  auto it = cache.find(key);
  if (it == cache.end() || !it->is_array()) return out;
  for (const auto& e : *it)
    if (e.is_string()) out.insert(pathOfKey(e.get<std::string>()));
  return out;
}

json keyedSet(const std::set<std::string>& paths) {
  json out = json::array();
  for (const std::string& p : paths) out.push_back(cacheKey(p));
  return out;
}

// An integer member equal to `stamp`; a missing member reads as 0, any other
// type never matches.
bool stampMatches(const json& entry, int64_t stamp) {
  auto it = entry.find("stamp");
  if (it == entry.end()) return stamp == 0;
  if (it->is_number_unsigned()) return stamp >= 0 && it->get<uint64_t>() == static_cast<uint64_t>(stamp);
  if (it->is_number_integer()) return it->get<int64_t>() == stamp;
  return false;
}

bool reusable(const json& entry, int64_t stamp) {
  if (!entry.is_object()) return false;
  auto tags = entry.find("tags");
  return tags != entry.end() && tags->is_boolean() && tags->get<bool>() && stampMatches(entry, stamp);
}

// Shared by the calling thread and the workers. `mutex` guards results,
// blocked, hung and every cache write once workers run.
struct Scan {
  const ScanSpec& spec;
  const std::atomic<bool>& cancel;
  std::vector<Pending> pending;
  std::string helper;
  int timeoutMs = kDefaultTimeoutMs;
  fs::path workDir;

  std::mutex mutex;
  json results = json::object();
  std::set<std::string> blocked;
  std::set<std::string> hung;
  std::atomic<size_t> next{0};

  Scan(const ScanSpec& s, const std::atomic<bool>& c) : spec(s), cancel(c) {}

  // A failed write is ignored: the next write replaces the whole file.
  void writeCache() const {
    try {
      json cache = json::object();
      json keyed = json::object();
      for (const auto& [path, entry] : results.items()) keyed[cacheKey(path)] = entry;
      cache[spec.cacheKey] = std::move(keyed);
      cache["blocked"] = keyedSet(blocked);
      cache["hung"] = keyedSet(hung);
      writeFile(spec.cacheFile, cache.dump(1, ' ', false, json::error_handler_t::replace), false);
    } catch (...) {
    }
  }
};

std::string workFile(const Scan& s, size_t worker, const char* ext) {
  return (s.workDir / (s.spec.format + "-" + std::to_string(worker) + ext)).string();
}

// Reads one run's output for `batch` from `pos` on: line k must carry "i" == k.
// Advances `pos` past every file the helper reported. Caller holds the mutex.
void readOutput(Scan& s, const std::string& output, const std::vector<size_t>& batch, size_t& pos) {
  size_t start = 0;
  for (int64_t k = 0; pos < batch.size() && start < output.size(); ++k) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    const std::string_view text(output.data() + start, end - start);
    start = end + 1;

    json line;
    try {
      line = json::parse(text, nullptr, false);
    } catch (const json::exception&) {
      return;
    }
    if (line.is_discarded() || !line.is_object()) return;
    auto i = line.find("i");
    if (i == line.end() || !i->is_number_integer()) return;
    if (i->is_number_unsigned() ? i->get<uint64_t>() != static_cast<uint64_t>(k) : i->get<int64_t>() != k) return;

    const Pending& file = s.pending[batch[pos]];
    auto entry = line.find("entry");
    if (entry != line.end() && entry->is_object()) {
      json result = std::move(*entry);
      result["stamp"] = file.stamp;
      result["tags"] = true;
      s.results[file.path] = std::move(result);
    } else {
      s.blocked.insert(file.path);
    }
    ++pos;
  }
}

void runWorker(Scan& s, size_t w) {
  const std::string listFile = workFile(s, w, ".txt");
  const std::string outFile = workFile(s, w, ".jsonl");

  while (!s.cancel.load()) {
    std::vector<size_t> batch;
    while (batch.size() < kBatchSize) {
      size_t i = s.next.fetch_add(1);
      if (i >= s.pending.size()) break;
      batch.push_back(i);
    }
    if (batch.empty()) return;

    size_t pos = 0;
    while (pos < batch.size() && !s.cancel.load()) {
      std::string list;
      for (size_t k = pos; k < batch.size(); ++k) {
        list += s.pending[batch[k]].path;
        list += '\0';
      }
      // A stale list or output file would be examined or read as this run's:
      // results would land under the wrong files. Either one failing to be
      // replaced makes the run fail before it starts.
      bool ready = writeFile(listFile, list, false);
      std::error_code ec;
      fs::remove(outFile, ec);
      if (fs::exists(fs::symlink_status(outFile, ec))) ready = false;

      int result = -1;
      if (ready) {
        ProcessOptions options;
        options.cancel = &s.cancel;
        options.lowPriority = true;
        uintmax_t seen = 0;
        options.progress = [&outFile, &seen] {
          std::error_code sizeError;
          uintmax_t size = fs::file_size(outFile, sizeError);
          if (sizeError || size == seen) return false;
          seen = size;
          return true;
        };
        result = runProcess({s.helper, "--scan", s.spec.format, listFile, outFile}, s.timeoutMs, options);
      }
      if (s.cancel.load()) return;

      std::lock_guard<std::mutex> lock(s.mutex);
      // The helper creates its output file before it examines anything, so a
      // run that ended with -1 and left the file had started: it was stopped
      // (or lost) midway and counts as hung, not as a helper that never ran.
      const bool started = ready && fs::exists(fs::symlink_status(outFile, ec));
      if (ready) readOutput(s, readFile(outFile), batch, pos);
      if (pos < batch.size()) {
        if (result == -1 && !started) {
          s.writeCache();
          return;
        }
        const std::string& culprit = s.pending[batch[pos]].path;
        if (result == -3 || result == -1)
          s.hung.insert(culprit);
        else
          s.blocked.insert(culprit);
        ++pos;
      }
      s.writeCache();
    }
  }
}

// Nothing may escape a worker thread: that would end the process.
void worker(Scan& s, size_t w) noexcept {
  try {
    runWorker(s, w);
  } catch (...) {
    try {
      std::lock_guard<std::mutex> lock(s.mutex);
      s.writeCache();
    } catch (...) {
    }
  }
}

std::vector<std::string> failedList(const Scan& s) {
  std::vector<std::string> out(s.blocked.begin(), s.blocked.end());
  out.insert(out.end(), s.hung.begin(), s.hung.end());
  return out;
}

}  // namespace

std::string defaultScanHelper() {
  const std::string self = selfPath();
  if (self.empty()) return self;
  const fs::path beside = fs::path(self).parent_path() / "krevlo-bridge-helper";
  std::error_code ec;
  return fs::exists(beside, ec) ? beside.string() : self;
}

ScanResult scanInHelpers(const ScanSpec& spec, const std::vector<std::string>& files,
                         const std::atomic<bool>& cancel) {
  Scan s(spec, cancel);
  json cache = readCache(spec.cacheFile);
  if (!spec.retry) {
    s.blocked = stringSet(cache, "blocked");
    s.hung = stringSet(cache, "hung");
  }
  json old = json::object();
  if (cache.is_object()) {
    auto it = cache.find(spec.cacheKey);
    if (it != cache.end() && it->is_object())
      for (auto e = it->begin(); e != it->end(); ++e) old[pathOfKey(e.key())] = std::move(e.value());
  }

  // Files that are gone leave the lists.
  const std::set<std::string> listed(files.begin(), files.end());
  std::erase_if(s.blocked, [&](const std::string& p) { return !listed.count(p); });
  std::erase_if(s.hung, [&](const std::string& p) { return !listed.count(p); });

  for (const std::string& path : files) {
    if (s.blocked.count(path) || s.hung.count(path)) continue;
    const int64_t stamp = spec.stamp ? spec.stamp(path) : stampOf(path);
    auto hit = old.find(path);
    if (hit != old.end() && reusable(*hit, stamp)) {
      s.results[path] = std::move(*hit);
      continue;
    }
    if (spec.probe) {
      json quick;
      try {
        quick = spec.probe(path);
      } catch (...) {
        quick = nullptr;
      }
      if (quick.is_object()) {
        quick["stamp"] = stamp;
        quick["tags"] = true;
        s.results[path] = std::move(quick);
        continue;
      }
    }
    s.pending.push_back({path, stamp});
  }

  s.writeCache();
  if (s.pending.empty()) return {std::move(s.results), failedList(s)};

  s.helper = spec.helper.empty() ? defaultScanHelper() : spec.helper;
  s.timeoutMs = scanTimeoutMs();
  s.workDir = spec.cacheFile.parent_path() / "scan";
  std::error_code ec;
  fs::create_directories(s.workDir, ec);

  const size_t count = std::min(kMaxWorkers, (s.pending.size() + kBatchSize - 1) / kBatchSize);
  std::vector<std::thread> workers;
  for (size_t w = 0; w < count; ++w) {
    try {
      workers.emplace_back(worker, std::ref(s), w);
    } catch (const std::system_error&) {
      break;  // fewer workers share the same counter
    }
  }
  for (auto& t : workers) t.join();

  return {std::move(s.results), failedList(s)};
}

std::vector<std::string> fileNames(const std::vector<std::string>& paths) {
  std::vector<std::string> out;
  out.reserve(paths.size());
  for (const auto& p : paths) {
    fs::path path(p);
    if (!path.has_filename() && path.has_parent_path()) path = path.parent_path();
    out.push_back(path.stem().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

namespace {

std::string stringMember(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

ScanCatalog catalogFromScan(const nlohmann::json& entries, const std::string& format, const char* listKey,
                            const char* idKey, const char* tagsKey) {
  ScanCatalog catalog;
  if (!entries.is_object()) return catalog;
  for (const auto& [file, probe] : entries.items()) {
    if (!probe.is_object()) continue;
    auto list = probe.find(listKey);
    if (list == probe.end() || !list->is_array()) continue;
    for (const nlohmann::json& p : *list) {
      if (!p.is_object()) continue;
      PluginInfo info;
      info.id = format + ":" + stringMember(p, idKey);
      info.format = format;
      info.name = stringMember(p, "name");
      info.vendor = stringMember(p, "vendor");
      info.version = stringMember(p, "version");
      info.category = "Effect";
      info.tags = stringMember(p, tagsKey);
      catalog.paths[info.id] = file;
      catalog.entries.push_back(std::move(info));
    }
  }
  return catalog;
}

std::vector<PluginInfo> ScanRecord::examine(ScanSpec spec, const std::vector<std::string>& files,
                                            const std::atomic<bool>& cancel, const char* listKey, const char* idKey,
                                            const char* tagsKey) {
  spec.retry = retryNext_.exchange(false);
  ScanResult result = scanInHelpers(spec, files, cancel);
  ScanCatalog catalog = catalogFromScan(result.entries, spec.format, listKey, idKey, tagsKey);
  std::lock_guard<std::mutex> lock(mutex_);
  problems_ = fileNames(result.failed);
  paths_ = std::move(catalog.paths);
  return std::move(catalog.entries);
}

std::vector<std::string> ScanRecord::problems() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return problems_;
}

std::string ScanRecord::pathOf(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = paths_.find(id);
  return it == paths_.end() ? std::string() : it->second;
}

}  // namespace bridge

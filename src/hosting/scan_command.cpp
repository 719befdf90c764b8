#include "hosting/scan_command.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <memory>
#include <string>
#include <vector>

#include "hosting/clap_probe.h"
#include "hosting/vst3_probe.h"
#include "util/files.h"

namespace bridge {

using nlohmann::json;

namespace {

// Plug-ins may hand out texts that are not UTF-8; they are written replaced,
// never allowed to throw.
std::string line(size_t index, json entry) {
  json out{{"i", index}};
  if (entry.is_object()) out["entry"] = std::move(entry);
  return out.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

json probe(const std::string& format, const std::string& path, std::shared_ptr<void>& loaded) {
  // A probe that throws (out of memory, a plug-in's own exception) gives no entry.
  try {
    if (format == "VST3") return vst3ScanFile(path, &loaded);
    if (format == "CLAP") return clapScanFile(path);
  } catch (...) {
  }
  return nullptr;
}

}  // namespace

bool runScanHelper(int argc, const char* const* argv, int& exitCode) {
  if (argc != 5 || !argv || !argv[1] || std::strcmp(argv[1], "--scan") != 0) return false;
  const std::string format = argv[2] ? argv[2] : "";
  const std::string list = readFile(argv[3] ? argv[3] : "");
  // Written with plain write(2): every line reaches the file before the next
  // plug-in runs, with nothing buffered that a crash could lose.
  const int out = argv[4] ? ::open(argv[4], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : -1;
  bool failed = out < 0;

  // Every module stays loaded until the helper ends with _Exit: a plug-in's
  // ModuleExit never runs, so one that hangs there is not taken for a plug-in
  // that hangs while being examined.
  std::vector<std::shared_ptr<void>> keep;
  size_t index = 0;
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find('\0', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) {
      const std::string path = list.substr(start, end - start);
      std::shared_ptr<void> loaded;
      if (!writeAll(out, line(index, probe(format, path, loaded)))) failed = true;
      if (loaded) keep.push_back(std::move(loaded));
    }
    ++index;
    start = end + 1;
  }

  exitCode = failed ? 1 : 0;
  std::_Exit(exitCode);
}

}  // namespace bridge

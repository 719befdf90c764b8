#pragma once
// One plug-in format: lists its installed effects and creates instances of them.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hosting/plugin.h"

namespace bridge {

// One catalog entry; a string the system cannot obtain is empty.
struct PluginInfo {
  std::string id;        // "AU:…", "VST3:…" or "CLAP:…"
  std::string format;    // the host's format()
  std::string name;
  std::string vendor;
  std::string version;
  std::string category;
  std::string tags;
};

using CreateDone = std::function<void(std::unique_ptr<Plugin>, std::string)>;

// Threads: scan runs on the Bridge's scan thread; everything else on the main
// thread. create's `done` runs exactly once: on the calling thread before create
// returns (VST3, CLAP, and every host for a malformed id) or later on a system
// thread (Audio Unit).
class Host {
 public:
  virtual ~Host() = default;
  virtual std::string format() const = 0;
  virtual std::vector<PluginInfo> scan(const std::atomic<bool>& cancel) = 0;
  virtual std::vector<std::string> problems() const = 0;
  virtual void requestRescan() = 0;
  virtual void create(const std::string& id, int maxBlock, CreateDone done, double sampleRate) = 0;
};

}  // namespace bridge

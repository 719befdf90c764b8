#pragma once
// A Host whose catalog and creation results the test sets. Creation answers at
// once by default; with `deferred` the completions wait until the test calls
// completePending (on whatever thread it likes), as the Audio Unit host does.
//
// Threads: configure before handing the host over; scan may then run on the scan
// thread while the test reads the counters.
#include <atomic>
#include <functional>
#include <mutex>

#include "hosting/host.h"
#include "support/fake_plugin.h"

namespace bridge::test {

class FakeHost : public Host {
 public:
  explicit FakeHost(std::string format = "CLAP") : format_(std::move(format)) {}

  std::string format() const override { return format_; }
  std::vector<PluginInfo> scan(const std::atomic<bool>& cancel) override;
  std::vector<std::string> problems() const override;
  void requestRescan() override { ++rescanRequests; }
  void create(const std::string& id, int maxBlock, CreateDone done, double sampleRate) override;

  // Adds a catalog entry "<format>:<name>" and returns its id.
  std::string add(const std::string& name, const std::string& vendor = "Krevlo Test");
  void setEntries(std::vector<PluginInfo> entries);
  void setProblems(std::vector<std::string> files);
  // Ids whose creation fails with this text (which may be empty).
  void failCreate(const std::string& id, const std::string& message);
  // Options for the plug-ins this host makes; those given for one id win.
  void setPluginOptions(FakePluginOptions options);
  void setPluginOptions(const std::string& id, FakePluginOptions options);
  // Runs every held completion, oldest first, on the calling thread.
  size_t completePending();

  bool deferred = false;
  // Runs inside scan before it returns, on the scan thread.
  std::function<void()> scanHook;
  std::atomic<int> scanCalls{0};
  std::atomic<int> createCalls{0};
  std::atomic<int> rescanRequests{0};
  std::atomic<int> lastMaxBlock{0};
  std::atomic<double> lastSampleRate{0.0};
  // Called with every plug-in made, before it is handed over.
  std::function<void(FakePlugin&)> onMade;

 private:
  const std::string format_;
  mutable std::mutex mutex_;
  std::vector<PluginInfo> entries_;
  std::vector<std::string> problems_;
  std::vector<std::pair<std::string, std::string>> failures_;
  FakePluginOptions pluginOptions_;
  std::vector<std::pair<std::string, FakePluginOptions>> idOptions_;
  std::vector<std::function<void()>> pending_;
};

}  // namespace bridge::test

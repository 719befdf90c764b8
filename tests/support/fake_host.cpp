#include "support/fake_host.h"

#include "hosting/plugin_id.h"

namespace bridge::test {

std::vector<PluginInfo> FakeHost::scan(const std::atomic<bool>&) {
  ++scanCalls;
  if (scanHook) scanHook();
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

std::vector<std::string> FakeHost::problems() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return problems_;
}

std::string FakeHost::add(const std::string& name, const std::string& vendor) {
  PluginInfo info;
  info.id = format_ + ":" + name;
  info.format = format_;
  info.name = name;
  info.vendor = vendor;
  info.version = "1.0.0";
  info.category = "Effect";
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back(info);
  return info.id;
}

void FakeHost::setEntries(std::vector<PluginInfo> entries) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_ = std::move(entries);
}

void FakeHost::setProblems(std::vector<std::string> files) {
  std::lock_guard<std::mutex> lock(mutex_);
  problems_ = std::move(files);
}

void FakeHost::failCreate(const std::string& id, const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_.emplace_back(id, message);
}

void FakeHost::setPluginOptions(FakePluginOptions options) {
  std::lock_guard<std::mutex> lock(mutex_);
  pluginOptions_ = std::move(options);
}

void FakeHost::setPluginOptions(const std::string& id, FakePluginOptions options) {
  std::lock_guard<std::mutex> lock(mutex_);
  idOptions_.emplace_back(id, std::move(options));
}

void FakeHost::create(const std::string& id, int maxBlock, CreateDone done, double sampleRate) {
  ++createCalls;
  lastMaxBlock = maxBlock;
  lastSampleRate = sampleRate;
  if (formatOfId(id) != format_) {
    done(nullptr, "Not a " + format_ + " plug-in id");
    return;
  }
  std::string error;
  bool failing = false;  // also with an empty text
  bool known = false;
  FakePluginOptions options;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [failId, message] : failures_)
      if (failId == id) {
        error = message;
        failing = true;
      }
    for (const auto& e : entries_)
      if (e.id == id) known = true;
    options = pluginOptions_;
    for (const auto& [optionsId, o] : idOptions_)
      if (optionsId == id) options = o;
  }
  if (!failing && !known) {
    failing = true;
    error = "Plug-in not found";
  }
  auto finish = [this, failing, error, options, done = std::move(done)]() mutable {
    if (failing) {
      done(nullptr, error);
      return;
    }
    auto plugin = std::make_unique<FakePlugin>(options);
    if (onMade) onMade(*plugin);
    done(std::move(plugin), "");
  };
  if (!deferred) {
    finish();
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.push_back(std::move(finish));
}

size_t FakeHost::completePending() {
  std::vector<std::function<void()>> jobs;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs.swap(pending_);
  }
  for (auto& job : jobs) job();
  return jobs.size();
}

}  // namespace bridge::test

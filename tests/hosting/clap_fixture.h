#pragma once
// A CLAP host over a copy of our clap_fx test plug-in in the test's own folder,
// examined by the real helper, with a hand-drained main queue; and the plug-in's
// own records, read from the same loaded image.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "hosting/clap_host.h"
#include "platform/dispatch/main_queue.h"
#include "plugins/clap_fx_probe.h"
#include "scan_fixture.h"
#include "support/test_dir.h"

namespace bridge::test {

inline std::string fxId(const std::string& name) { return "CLAP:org.krevlo.fx." + name; }

struct Created {
  std::unique_ptr<Plugin> plugin;
  std::string error;
  int calls = 0;
};

class ClapFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    pluginsDir = testDir() / "plugins";
    fxPath = copyPlugin("clap_fx.clap", pluginsDir / "fx.clap");
    host = newHost();
    std::atomic<bool> cancel{false};
    catalog = host->scan(cancel);
  }

  std::unique_ptr<Host> newHost(std::vector<std::string> extra = {}) {
    if (extra.empty()) extra.push_back(pluginsDir.string());
    return makeClapHost(testDir() / "data", std::move(extra), [this](std::function<void()> job) {
      queue.post(std::move(job));
    }, KREVLO_HELPER);
  }

  static Created create(Host& h, const std::string& id, double rate = 48000.0, int maxBlock = 512) {
    Created c;
    h.create(id, maxBlock, [&c](std::unique_ptr<Plugin> p, std::string e) {
      ++c.calls;
      c.plugin = std::move(p);
      c.error = std::move(e);
    }, rate);
    return c;
  }

  std::unique_ptr<Plugin> make(const std::string& name, double rate = 48000.0, int maxBlock = 512) {
    Created c = create(*host, fxId(name), rate, maxBlock);
    EXPECT_EQ(c.error, "") << name;
    return std::move(c.plugin);
  }

  // The loaded image's records; valid once the host has loaded the file.
  const KrevloClapFxProbe* probe() const {
    void* handle = ::dlopen(fxPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return nullptr;
    auto fn = reinterpret_cast<KrevloClapFxProbeFn>(::dlsym(handle, "krevlo_clap_fx_probe"));
    return fn ? fn() : nullptr;
  }
  std::vector<std::string> calls() const {
    std::vector<std::string> lines;
    const KrevloClapFxProbe* p = probe();
    if (!p) return lines;
    std::string text(1 << 16, '\0');
    p->log(text.data(), text.size());
    text.resize(text.find('\0'));
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find('\n', start);
      lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }
  // The calls from the last one equal to `from` on.
  std::vector<std::string> callsSince(const std::string& from) const {
    std::vector<std::string> all = calls();
    for (size_t i = all.size(); i-- > 0;)
      if (all[i] == from) return std::vector<std::string>(all.begin() + static_cast<long>(i), all.end());
    return {};
  }
  KrevloClapFxRecord record() const {
    KrevloClapFxRecord r{};
    if (const KrevloClapFxProbe* p = probe()) p->record(&r);
    return r;
  }
  const clap_host_t* lastHost() const {
    const KrevloClapFxProbe* p = probe();
    return p ? p->lastHost() : nullptr;
  }

  // One block of `frames` through the plug-in; the buffers hold a ramp first.
  struct Block {
    std::vector<float> left, right;
  };
  static Block run(Plugin& p, int frames, const Transport& t = {}) {
    Block b{std::vector<float>(frames), std::vector<float>(frames)};
    for (int i = 0; i < frames; ++i) b.left[i] = 0.01f * (i + 1), b.right[i] = -0.01f * (i + 1);
    p.process(b.left.data(), b.right.data(), frames, t);
    return b;
  }

  MainQueue queue;
  fs::path pluginsDir, fxPath;
  std::unique_ptr<Host> host;
  std::vector<PluginInfo> catalog;
};

}  // namespace bridge::test

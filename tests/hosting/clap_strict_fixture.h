#pragma once
// The CLAP host over copies of clap_fx and of the strict test plug-in, and the
// strict plug-in's own records. Blocks run on a thread of their own, as a
// chain's worker would run them: the strict plug-in aborts the test program
// when anything reaches it on the wrong thread or out of order.
#include <dlfcn.h>

#include <chrono>
#include <thread>

#include "clap_fixture.h"
#include "plugins/clap_strict_probe.h"

namespace bridge::test {

inline std::string strictId(const std::string& name) { return "CLAP:org.krevlo.strict." + name; }

class ClapStrictFixture : public ClapFixture {
 protected:
  void SetUp() override {
    pluginsDir = testDir() / "plugins";
    strictPath = copyPlugin("clap_strict.clap", pluginsDir / "strict.clap");
    fxPath = copyPlugin("clap_fx.clap", pluginsDir / "fx.clap");
    host = newHost();
    std::atomic<bool> cancel{false};
    catalog = host->scan(cancel);
  }

  std::unique_ptr<Plugin> strict(const std::string& name) {
    Created c = create(*host, strictId(name));
    EXPECT_EQ(c.error, "") << name;
    return std::move(c.plugin);
  }

  const KrevloClapStrictProbe* strictProbe() const {
    void* handle = ::dlopen(strictPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return nullptr;
    auto fn = reinterpret_cast<KrevloClapStrictProbeFn>(::dlsym(handle, "krevlo_clap_strict_probe"));
    return fn ? fn() : nullptr;
  }
  KrevloClapStrictRecord strictRecord() const {
    KrevloClapStrictRecord r{};
    if (const KrevloClapStrictProbe* p = strictProbe()) p->record(&r);
    return r;
  }
  const clap_host_t* strictHost() const {
    const KrevloClapStrictProbe* p = strictProbe();
    return p ? p->lastHost() : nullptr;
  }

  // `blocks` blocks of `frames` on a new thread, joined before returning.
  static void runOnAudioThread(Plugin& p, int blocks, int frames = 64) {
    std::thread audio([&] {
      for (int i = 0; i < blocks; ++i) run(p, frames);
    });
    audio.join();
  }

  // Runs main-queue jobs until `done` holds; false when it does not within a
  // bound that only a broken host ever reaches.
  template <typename Done>
  bool drainUntil(Done done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > limit) return false;
      queue.wait(100);
      queue.drain();
    }
    return true;
  }

  fs::path strictPath;
};

}  // namespace bridge::test

#pragma once
// A VST3 host over copies of our vst3_fx and vst3_noload test bundles in the
// test's own folder, examined by the real helper; and the bundle's own records,
// read from the same loaded image.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "hosting/vst3_host.h"
#include "plugins/vst3_fx_probe.h"
#include "scan_fixture.h"
#include "support/test_dir.h"

namespace bridge::test {

inline std::string fxId(Vst3FxKind kind) {
  const Steinberg::Uid uid =
      Steinberg::makeUid(0x4B525633, 0x46580000 + static_cast<uint32_t>(kind), 0x01020304, 0x0A0B0C0D);
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string id = "VST3:";
  for (char c : uid.bytes) {
    const auto b = static_cast<unsigned char>(c);
    id += kDigits[b >> 4];
    id += kDigits[b & 15];
  }
  return id;
}

inline const std::string kNoLoadId = "VST3:4B5256334E4F4C44010203040A0B0C0D";

struct Created {
  std::unique_ptr<Plugin> plugin;
  std::string error;
  int calls = 0;
};

// The shared object inside a copied bundle.
inline fs::path bundleObject(const fs::path& bundle) {
  return bundle / "Contents" / "x86_64-linux" / (bundle.stem().string() + ".so");
}

// The records of the image loaded from `bundle`; null while it is not loaded.
inline const Vst3FxProbe* fxProbeOf(const fs::path& bundle) {
  void* handle = ::dlopen(bundleObject(bundle).c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!handle) return nullptr;
  auto fn = reinterpret_cast<Vst3FxProbeFn>(::dlsym(handle, "krevlo_vst3_fx_probe"));
  ::dlclose(handle);  // only drops the reference RTLD_NOLOAD took
  return fn ? fn() : nullptr;
}

class Vst3Fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    pluginsDir = testDir() / "plugins";
    fxPath = copyBundle("vst3_fx.vst3", pluginsDir);
    copyBundle("vst3_noload.vst3", pluginsDir);
    host = newHost({pluginsDir.string()});
    std::atomic<bool> cancel{false};
    catalog = host->scan(cancel);
  }

  static std::unique_ptr<Host> newHost(std::vector<std::string> extra, std::string helper = KREVLO_HELPER) {
    return makeVst3Host(testDir() / "data", std::move(extra), std::move(helper));
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

  std::unique_ptr<Plugin> make(Vst3FxKind kind, double rate = 48000.0, int maxBlock = 512) {
    Created c = create(*host, fxId(kind), rate, maxBlock);
    EXPECT_EQ(c.error, "") << fxId(kind);
    return std::move(c.plugin);
  }

  // Null until the host has loaded the bundle.
  const Vst3FxProbe* probe() const { return fxProbeOf(fxPath); }

  std::vector<std::string> calls() const {
    std::vector<std::string> lines;
    const Vst3FxProbe* p = fxProbeOf(fxPath);
    if (!p) return lines;
    std::string text(p->log(nullptr, 0) + 1, '\0');
    p->log(text.data(), text.size());
    text.resize(text.size() - 1);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  bool called(const std::string& line) const {
    for (const auto& l : calls())
      if (l == line) return true;
    return false;
  }

  void clearCalls() const {
    if (const Vst3FxProbe* p = fxProbeOf(fxPath)) p->clearLog();
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

  fs::path pluginsDir, fxPath;
  std::unique_ptr<Host> host;
  std::vector<PluginInfo> catalog;
};

}  // namespace bridge::test

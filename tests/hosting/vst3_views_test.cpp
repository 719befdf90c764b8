// VST3 editors and run-loop use as editor toolkits have them, against our
// vst3_views test bundle, with windows and a loop played by the test.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "hosting/vst3_host.h"
#include "platform/vst3/vst3_base.h"
#include "plugins/vst3_views_probe.h"
#include "scan_fixture.h"
#include "support/fake_editor_windows.h"
#include "support/test_dir.h"

namespace bridge::test {
namespace {

std::string viewsId(Vst3ViewsKind kind) {
  const Steinberg::Uid uid =
      Steinberg::makeUid(0x4B525633, 0x56570000 + static_cast<uint32_t>(kind), 0x01020304, 0x0A0B0C0D);
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string id = "VST3:";
  for (char c : uid.bytes) {
    id += kDigits[static_cast<unsigned char>(c) >> 4];
    id += kDigits[static_cast<unsigned char>(c) & 15];
  }
  return id;
}

class Vst3ViewsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path dir = testDir() / "plugins";
    bundle = copyBundle("vst3_views.vst3", dir);
    host = makeVst3Host(testDir() / "data", {dir.string()}, KREVLO_HELPER);
    std::atomic<bool> cancel{false};
    host->scan(cancel);
  }

  std::unique_ptr<Plugin> make(Vst3ViewsKind kind) {
    std::unique_ptr<Plugin> made;
    host->create(viewsId(kind), 512, [&](std::unique_ptr<Plugin> p, std::string e) {
      EXPECT_TRUE(p) << e;
      made = std::move(p);
    }, 48000.0);
    return made;
  }

  Vst3ViewsState state() const {
    Vst3ViewsState s{};
    void* handle = ::dlopen((bundle / "Contents" / "x86_64-linux" / "vst3_views.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return s;
    auto fn = reinterpret_cast<Vst3ViewsProbeFn>(::dlsym(handle, "krevlo_vst3_views_probe"));
    ::dlclose(handle);
    if (fn) fn()->state(&s);
    return s;
  }

  // One turn of the loop as the test plays it: every timer fires once.
  void fireTimers() {
    auto sources = windows.sources;
    for (auto& [id, s] : sources)
      if (s.fd < 0 && windows.sources.count(id)) s.fire();
  }

  FakeEditorWindows windows;
  fs::path bundle;
  std::unique_ptr<Host> host;
};

TEST_F(Vst3ViewsTest, AViewThatAsksForItsSizeInsideAttachedIsShownAtThatSize) {
  auto p = make(Vst3ViewsKind::AttachResize);
  ASSERT_TRUE(p);
  p->openEditor("Views");
  ASSERT_EQ(windows.openNow(), 1u) << "the view's attach failed";
  const Vst3ViewsState s = state();
  EXPECT_EQ(s.onSizeCalls, 1);
  EXPECT_EQ(std::make_pair(s.width, s.height), std::make_pair(kAttachWidth, kAttachHeight));
  // The window was made at the size the view reported first, then takes the one
  // it asked for.
  const auto* w = windows.last();
  EXPECT_EQ(std::make_pair(w->width, w->height), std::make_pair(100, 80));
  ASSERT_FALSE(w->resizes.empty());
  EXPECT_EQ(w->resizes.back(), std::make_pair(kAttachWidth, kAttachHeight));
  p->closeEditor();
}

TEST_F(Vst3ViewsTest, TheHostApplicationsRunLoopServesThePluginForItsWholeLife) {
  auto p = make(Vst3ViewsKind::HostLoop);
  ASSERT_TRUE(p);
  ASSERT_EQ(state().loopTimer, 1) << "no run loop at initialize";
  ASSERT_EQ(windows.sources.size(), 1u);

  p->openEditor("Views");
  ASSERT_EQ(windows.openNow(), 1u);
  fireTimers();
  p->closeEditor();
  // The editor is gone; the plug-in's own loop is not.
  const int ticks = state().ticks;
  fireTimers();
  fireTimers();
  EXPECT_EQ(state().ticks, ticks + 2);
  EXPECT_EQ(windows.sources.size(), 1u);

  // Its registrations go with the plug-in, though it never removed them.
  p.reset();
  EXPECT_TRUE(windows.sources.empty());
  EXPECT_EQ(state().live, 0);
}

}  // namespace
}  // namespace bridge::test

// Plug-in editors in real X11 windows: our CLAP and VST3 test plug-ins embed
// an Xlib child window in the window layer's toplevel, drive it from the
// host's timers and descriptor watches on the GLib loop, and ask for new
// sizes. Checked from a connection of the test's own, as a window manager
// would see it. Any X error on a connection other than GTK's fails the test.
#include "app/desktop/x11_editor_windows.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>

#include "app/desktop/gtk_ui.h"
#include "hosting/clap_host.h"
#include "hosting/vst3_host.h"
#include "platform/dispatch/main_queue.h"
#include "platform/vst3/vst3_base.h"
#include "plugins/x11_test_editor.h"
#include "scan_fixture.h"
#include "support/test_dir.h"

// Last: Xlib's macros (None, Status, ...) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gdk/gdkx.h>

namespace bridge {
namespace {

using test::testDir;

XErrorHandler gdkHandler = nullptr;
Display* gdkDisplay = nullptr;

int failOnXError(Display* d, XErrorEvent* e) {
  // GTK traps the errors it expects on its own connection.
  if (d == gdkDisplay && gdkHandler) return gdkHandler(d, e);
  char text[256] = {};
  XGetErrorText(d, e->error_code, text, sizeof text);
  ADD_FAILURE() << "X error: " << text << " (request " << int(e->request_code) << ")";
  return 0;
}

struct Format {
  const char* name;
  const char* built;       // the built plug-in
  const char* installed;   // its name in the test's plug-in folder
  std::string id;
  int width, height;
  bool resizable;
};

// The id of our VST3 test class whose second uid word is `word`.
std::string vst3Id(Steinberg::uint32 word) {
  const Steinberg::Uid uid = Steinberg::makeUid(0x4B525633, word, 0x01020304, 0x0A0B0C0D);
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string id = "VST3:";
  for (char c : uid.bytes) {
    id += kDigits[static_cast<unsigned char>(c) >> 4];
    id += kDigits[static_cast<unsigned char>(c) & 15];
  }
  return id;
}

std::ostream& operator<<(std::ostream& o, const Format& f) { return o << f.name; }

class EditorWindowTest : public ::testing::TestWithParam<Format> {
 protected:
  void SetUp() override {
    ::setenv("KREVLO_TEST_X11_EDITOR", "1", 1);
    ASSERT_TRUE(openDisplay()) << "no X display";
    gdkDisplay = gdk_x11_display_get_xdisplay(gdk_display_get_default());
    gdkHandler = XSetErrorHandler(failOnXError);
    xdpy = XOpenDisplay(nullptr);
    ASSERT_NE(xdpy, nullptr);
    setEditorWindows(&windows);

    const Format& f = GetParam();
    auto dir = testDir() / "plugins";
    pluginFile = test::copyPlugin(f.built, dir / f.installed);
    auto runOnMain = [this](std::function<void()> job) { queue.post(std::move(job)); };
    if (std::string(f.name) == "CLAP")
      host = makeClapHost(testDir() / "data", {dir.string()}, runOnMain, KREVLO_HELPER);
    else
      host = makeVst3Host(testDir() / "data", {dir.string()}, KREVLO_HELPER);
    std::atomic<bool> cancel{false};
    host->scan(cancel);
    host->create(f.id, 512, [this](std::unique_ptr<Plugin> p, std::string e) {
      plugin = std::move(p);
      error = std::move(e);
    }, 48000.0);
    ASSERT_TRUE(plugin) << error;
    plugin->editorClosed = [this] { ++closedReports; };
    ASSERT_TRUE(plugin->hasEditor());
  }

  void TearDown() override {
    plugin.reset();
    host.reset();
    turns(20);
    setEditorWindows(nullptr);
    if (xdpy) XCloseDisplay(xdpy);
  }

  // One turn of everything the application's loop serves: GLib's sources and
  // the main queue.
  void turn() {
    g_main_context_iteration(nullptr, FALSE);
    while (queue.runOne()) {
    }
  }
  void turns(int n) {
    for (int i = 0; i < n; ++i) turn();
  }
  // Whether `done` came true within a bound of turns that only a fault
  // outlasts; never a timing assertion.
  bool turnUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 20000 && !done(); ++i) {
      turn();
      if (i % 50 == 49) g_usleep(1000);
    }
    return done();
  }

  KrevloX11EditorState editor() const {
    KrevloX11EditorState s{};
    if (auto* p = probe()) p->state(&s);
    return s;
  }
  const KrevloX11EditorProbe* probe() const {
    std::string object = pluginFile.string();
    if (std::string(GetParam().name).rfind("VST3", 0) == 0)
      object = (pluginFile / "Contents" / "x86_64-linux" / (pluginFile.stem().string() + ".so")).string();
    void* handle = ::dlopen(object.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return nullptr;
    auto fn = reinterpret_cast<KrevloX11EditorProbeFn>(::dlsym(handle, "krevlo_x11_editor_probe"));
    ::dlclose(handle);
    return fn ? fn() : nullptr;
  }

  std::pair<int, int> sizeOf(Window w) {
    Window root;
    int x, y;
    unsigned width = 0, height = 0, border, depth;
    XSync(xdpy, False);
    if (!XGetGeometry(xdpy, w, &root, &x, &y, &width, &height, &border, &depth)) return {0, 0};
    return {static_cast<int>(width), static_cast<int>(height)};
  }
  std::vector<Window> childrenOf(Window w) {
    Window root, parent, *kids = nullptr;
    unsigned n = 0;
    std::vector<Window> out;
    XSync(xdpy, False);
    if (XQueryTree(xdpy, w, &root, &parent, &kids, &n))
      for (unsigned i = 0; i < n; ++i) out.push_back(kids[i]);
    if (kids) XFree(kids);
    return out;
  }
  std::string netWmName(Window w) {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    std::string name;
    XSync(xdpy, False);
    if (XGetWindowProperty(xdpy, w, XInternAtom(xdpy, "_NET_WM_NAME", False), 0, 1024, False,
                           XInternAtom(xdpy, "UTF8_STRING", False), &type, &format, &count, &after,
                           &data) == Success &&
        data) {
      name.assign(reinterpret_cast<char*>(data), count);
      XFree(data);
    }
    return name;
  }
  void deleteFromWindowManager(Window w) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(xdpy, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(xdpy, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(xdpy, w, False, NoEventMask, &e);
    XFlush(xdpy);
  }

  MainQueue queue;
  X11EditorWindows windows;
  Display* xdpy = nullptr;
  std::filesystem::path pluginFile;
  std::unique_ptr<Host> host;
  std::unique_ptr<Plugin> plugin;
  std::string error;
  int closedReports = 0;
};

TEST_P(EditorWindowTest, EmbedsDrawsServesItsLoopAndResizes) {
  const Format& f = GetParam();
  // A title cut inside its last character still names the window.
  plugin->openEditor("Track 1 \xE2\x80\x93 Gain \xC3");
  ASSERT_EQ(windows.windows(), 1u);
  KrevloX11EditorState s = editor();
  ASSERT_NE(s.child, 0u);
  const Window top = s.parent;

  auto kids = childrenOf(top);
  EXPECT_NE(std::find(kids.begin(), kids.end(), s.child), kids.end()) << "the editor's window is our child";
  EXPECT_EQ(sizeOf(s.child), std::make_pair(f.width, f.height));
  EXPECT_TRUE(turnUntil([&] { return sizeOf(top) == std::make_pair(f.width, f.height); }))
      << sizeOf(top).first << "x" << sizeOf(top).second;
  EXPECT_EQ(netWmName(top), "Track 1 \xE2\x80\x93 Gain ");

  XSizeHints hints{};
  long supplied = 0;
  ASSERT_TRUE(XGetWMNormalHints(xdpy, top, &hints, &supplied));
  const bool fixed = (hints.flags & PMinSize) && (hints.flags & PMaxSize) && hints.min_width == hints.max_width &&
                     hints.min_height == hints.max_height;
  EXPECT_EQ(fixed, !f.resizable);
  if (fixed) {
    EXPECT_EQ(std::make_pair(hints.max_width, hints.max_height), std::make_pair(f.width, f.height));
  }

  // The editor lives on the host's loop: its timer ticks and its connection's
  // events arrive.
  EXPECT_EQ(editor().loopRegistered, 1);
  EXPECT_TRUE(turnUntil([&] { return editor().timerTicks >= 3 && editor().fdEvents >= 1; }));
  EXPECT_EQ(windows.sources(), 2u);

  // The plug-in asks for a new size; the window follows.
  ASSERT_TRUE(probe()->askResize(f.width + 60, f.height + 40));
  EXPECT_TRUE(turnUntil([&] { return sizeOf(top) == std::make_pair(f.width + 60, f.height + 40); }))
      << sizeOf(top).first << "x" << sizeOf(top).second;
  EXPECT_EQ(sizeOf(s.child), std::make_pair(f.width + 60, f.height + 40));

  // Opening again brings the same window forward.
  plugin->openEditor("again");
  EXPECT_EQ(windows.windows(), 1u);
  EXPECT_EQ(editor().opened, s.opened);

  // Closed from the browser: never reported, the plug-in let go while our
  // window still existed, and nothing of it is left on the loop.
  plugin->closeEditor();
  EXPECT_EQ(editor().closed, s.closed + 1);
  EXPECT_EQ(editor().parentGoneAtDestroy, 0);
  EXPECT_EQ(windows.windows(), 0u);
  EXPECT_EQ(windows.sources(), 0u);
  const int ticks = editor().timerTicks;
  turns(200);
  EXPECT_EQ(editor().timerTicks, ticks);
  EXPECT_EQ(closedReports, 0);
}

TEST_P(EditorWindowTest, WindowManagerCloseIsReportedExactlyOnce) {
  plugin->openEditor("Track 2");
  const Window top = editor().parent;
  ASSERT_NE(top, 0u);
  const int closedBefore = editor().closed;
  deleteFromWindowManager(top);
  ASSERT_TRUE(turnUntil([&] { return closedReports > 0; }));
  turns(200);
  EXPECT_EQ(closedReports, 1);
  EXPECT_EQ(editor().closed, closedBefore + 1);
  EXPECT_EQ(editor().parentGoneAtDestroy, 0);
  EXPECT_EQ(windows.windows(), 0u);
  EXPECT_EQ(windows.sources(), 0u);
  // Closing again from the browser finds nothing open.
  plugin->closeEditor();
  EXPECT_EQ(closedReports, 1);
}

TEST_P(EditorWindowTest, APluginDestroyedWithItsEditorOpenLeavesNothingOnTheLoop) {
  plugin->openEditor("Track 3");
  ASSERT_TRUE(turnUntil([&] { return editor().timerTicks >= 1; }));
  plugin.reset();
  EXPECT_EQ(windows.windows(), 0u);
  EXPECT_EQ(windows.sources(), 0u);
  EXPECT_EQ(editor().parentGoneAtDestroy, 0);
  turns(200);
  EXPECT_EQ(closedReports, 0);
}

INSTANTIATE_TEST_SUITE_P(Formats, EditorWindowTest,
                         ::testing::Values(Format{"CLAP", "clap_fx.clap", "fx.clap", "CLAP:org.krevlo.fx.gain", 640,
                                                  480, true},
                                           Format{"VST3", "vst3_fx.vst3", "vst3_fx.vst3", vst3Id(0x46580000 + 1), 320,
                                                  200, false},
                                           // Sized from inside its attached, resizable.
                                           Format{"VST3SizedInAttach", "vst3_views.vst3", "vst3_views.vst3",
                                                  vst3Id(0x56570000 + 1), 360, 240, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Editors whose attach fails after making their child window in ours.
class FailedAttachTest : public EditorWindowTest {};

TEST_P(FailedAttachTest, LeavesNoWindowAndTheEditorsOwnCleanUpFindsItsParent) {
  plugin->openEditor("Track 4");
  EXPECT_EQ(windows.windows(), 0u);
  const KrevloX11EditorState s = editor();
  ASSERT_EQ(s.opened, 1) << "the editor made its child";
  // It let go of its child while our window still held it, so its destroy hit
  // a live window (an X error on its connection fails the test).
  EXPECT_EQ(s.closed, 1);
  EXPECT_EQ(s.parentGoneAtDestroy, 0);
  turns(200);
  EXPECT_EQ(windows.sources(), 0u);
  EXPECT_EQ(closedReports, 0);
  // The host's window is gone by now, after the plug-in let go.
  EXPECT_TRUE(turnUntil([&] {
    const auto tops = childrenOf(DefaultRootWindow(xdpy));
    return std::find(tops.begin(), tops.end(), s.parent) == tops.end();
  }));
}

INSTANTIATE_TEST_SUITE_P(Formats, FailedAttachTest,
                         ::testing::Values(Format{"VST3FailsAttach", "vst3_views.vst3", "vst3_views.vst3",
                                                  vst3Id(0x56570000 + 3), 360, 240, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WindowTitleTest, EveryTitleIsValidUtf8) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"Gain", "Gain"},
      {"Track \xE2\x80\x93 Gain", "Track \xE2\x80\x93 Gain"},
      {"Cut \xE2\x80", "Cut "},          // cut inside a three-byte character
      {"Cut \xF0\x9F\x8E", "Cut "},      // inside a four-byte one
      {"A\xFF" "B\xC0\xAF" "C", "ABC"},  // stray and overlong bytes
      {"\xED\xA0\x80", ""},              // a surrogate
  };
  for (const Case& c : cases) EXPECT_EQ(validUtf8Title(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace bridge

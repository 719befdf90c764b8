// The built-in Audio Unit gain has no view of its own: its editor window shows
// the generic view that GTK draws, checked by the window's pixels as read back
// from the X server on a connection of the test's own. Every wait is for an
// event (the window mapped, the slider drawn again), bounded by turns of the
// loop that only a fault outlasts.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <set>
#include <thread>

#include "app/desktop/gtk_ui.h"
#include "app/desktop/x11_editor_windows.h"
#include "hosting/au_host.h"
#include "platform/dispatch/main_queue.h"
#include "support/test_dir.h"

// Last: Xlib's macros would break the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <gdk/gdkx.h>

namespace bridge {
namespace {

constexpr const char* kGainId = "AU:aufx:gain:Krvl";
constexpr const char* kTitle = "Track 1 \xE2\x80\x93 Krevlo Gain";

// What the X server shows in a rectangle of a window.
struct Capture {
  int width = 0, height = 0;
  std::vector<unsigned long> pixels;
  unsigned long at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// The widgets of a kind under `widget`, in the order GTK keeps them.
void collect(GtkWidget* widget, GType type, std::vector<GtkWidget*>& out) {
  if (G_TYPE_CHECK_INSTANCE_TYPE(widget, type)) out.push_back(widget);
  if (GTK_IS_CONTAINER(widget)) {
    GList* kids = gtk_container_get_children(GTK_CONTAINER(widget));
    for (GList* k = kids; k; k = k->next) collect(static_cast<GtkWidget*>(k->data), type, out);
    g_list_free(kids);
  }
}

class AuGenericViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The look under test is GTK's own default, whatever the machine's settings.
    ::setenv("GTK_THEME", "Adwaita", 1);
    ASSERT_TRUE(openDisplay()) << "no X display";
    xdpy = XOpenDisplay(nullptr);
    ASSERT_NE(xdpy, nullptr);
    setEditorWindows(&windows);
    host = makeAuHost([this](std::function<void()> job) { queue.post(std::move(job)); });
    std::atomic<bool> cancel{false};
    host->scan(cancel);
    ASSERT_NO_FATAL_FAILURE(makeGain());
  }

  void makeGain() {
    std::promise<std::pair<std::unique_ptr<Plugin>, std::string>> made;
    host->create(kGainId, 512, [&](std::unique_ptr<Plugin> p, std::string e) {
      made.set_value({std::move(p), std::move(e)});
    }, 48000.0);
    auto [p, error] = made.get_future().get();
    ASSERT_TRUE(p) << error;
    plugin = std::move(p);
    plugin->editorClosed = [this] { ++closedReports; };
    ASSERT_TRUE(plugin->hasEditor());
  }

  void TearDown() override {
    plugin.reset();
    host.reset();
    for (int i = 0; i < 20; ++i) turn();
    setEditorWindows(nullptr);
    if (xdpy) XCloseDisplay(xdpy);
  }

  void turn() {
    g_main_context_iteration(nullptr, FALSE);
    while (queue.runOne()) {
    }
  }
  bool turnUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 20000 && !done(); ++i) {
      turn();
      if (i % 50 == 49) g_usleep(1000);
    }
    return done();
  }

  // Opens the editor and waits until its window is on the screen and its
  // sliders have been drawn.
  void open() {
    plugin->openEditor(kTitle);
    ASSERT_TRUE(turnUntil([&] { return windows.windows() == 1; }));
    GList* tops = gtk_window_list_toplevels();
    for (GList* t = tops; t; t = t->next)
      if (gtk_window_get_title(GTK_WINDOW(t->data)) && std::string(gtk_window_get_title(GTK_WINDOW(t->data))) == kTitle)
        top = GTK_WIDGET(t->data);
    g_list_free(tops);
    ASSERT_NE(top, nullptr);
    std::vector<GtkWidget*> scales, labels;
    collect(top, GTK_TYPE_SCALE, scales);
    ASSERT_EQ(scales.size(), 1u) << "one slider for the gain's one parameter";
    scale = scales[0];
    collect(top, GTK_TYPE_LABEL, labels);
    ASSERT_EQ(labels.size(), 2u) << "the name and the value's text";
    // The name is the one that reads "Gain"; the other is the value's text.
    const bool nameFirst = std::string(gtk_label_get_text(GTK_LABEL(labels[0]))) == "Gain";
    name = labels[nameFirst ? 0 : 1];
    text = labels[nameFirst ? 1 : 0];
    g_signal_connect_after(scale, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t*, gpointer n) -> gboolean {
                             ++*static_cast<int*>(n);
                             return FALSE;
                           }),
                           &draws);
    xid = gdk_x11_window_get_xid(gtk_widget_get_window(top));
    ASSERT_TRUE(turnUntil([&] {
      XWindowAttributes a{};
      return draws > 0 && XGetWindowAttributes(xdpy, xid, &a) && a.map_state == IsViewable;
    }));
  }

  // Waits until `changed` holds and the slider has been drawn since.
  bool redrawnWhen(const std::function<bool()>& changed) {
    int before = -1;
    return turnUntil([&] {
      if (before < 0 && changed()) before = draws;
      return before >= 0 && draws > before;
    });
  }

  // A rectangle of a widget, in the toplevel's coordinates.
  GdkRectangle rectOf(GtkWidget* widget) {
    GtkAllocation a;
    gtk_widget_get_allocation(widget, &a);
    int x = 0, y = 0;
    gtk_widget_translate_coordinates(widget, top, 0, 0, &x, &y);
    return {x, y, a.width, a.height};
  }

  Capture capture(GdkRectangle r) {
    gdk_display_sync(gdk_display_get_default());
    Capture c;
    XImage* image = XGetImage(xdpy, xid, r.x, r.y, static_cast<unsigned>(r.width), static_cast<unsigned>(r.height),
                              AllPlanes, ZPixmap);
    if (!image) return c;
    c.width = r.width;
    c.height = r.height;
    for (int y = 0; y < r.height; ++y)
      for (int x = 0; x < r.width; ++x) c.pixels.push_back(XGetPixel(image, x, y));
    XDestroyImage(image);
    return c;
  }
  Capture captureWindow() {
    GtkAllocation a;
    gtk_widget_get_allocation(top, &a);
    return capture({0, 0, a.width, a.height});
  }

  // Columns of the slider where two captures of it differ.
  static std::vector<bool> changedColumns(const Capture& a, const Capture& b) {
    std::vector<bool> out(static_cast<size_t>(a.width), false);
    for (int x = 0; x < a.width; ++x)
      for (int y = 0; y < a.height; ++y)
        if (a.at(x, y) != b.at(x, y)) out[static_cast<size_t>(x)] = true;
    return out;
  }
  // The slider's knob, in columns of the slider widget.
  std::pair<int, int> knob() {
    int start = 0, end = 0;
    gtk_range_get_slider_range(GTK_RANGE(scale), &start, &end);
    return {start, end};
  }
  static bool anyIn(const std::vector<bool>& columns, std::pair<int, int> range) {
    for (int x = std::max(range.first, 0); x < std::min<int>(range.second, static_cast<int>(columns.size())); ++x)
      if (columns[static_cast<size_t>(x)]) return true;
    return false;
  }
  std::string shownText() const { return gtk_label_get_text(GTK_LABEL(text)); }
  std::string paramText() {
    float v = 0;
    std::string t;
    plugin->getParam(0, v, t);
    return t;
  }

  MainQueue queue;
  X11EditorWindows windows;
  Display* xdpy = nullptr;
  std::unique_ptr<Host> host;
  std::unique_ptr<Plugin> plugin;
  int closedReports = 0;
  GtkWidget* top = nullptr;
  GtkWidget* scale = nullptr;
  GtkWidget* name = nullptr;
  GtkWidget* text = nullptr;
  int draws = 0;
  unsigned long xid = 0;
};

TEST_F(AuGenericViewTest, DrawsASliderThatFollowsTheParameterBothWays) {
  ASSERT_NO_FATAL_FAILURE(open());
  XWindowAttributes a{};
  ASSERT_TRUE(XGetWindowAttributes(xdpy, xid, &a));
  EXPECT_EQ(std::make_pair(a.width, a.height), std::make_pair(360, 300));
  EXPECT_EQ(std::string(gtk_label_get_text(GTK_LABEL(name))), "Gain");
  EXPECT_EQ(shownText(), "0 dB");
  EXPECT_DOUBLE_EQ(gtk_range_get_value(GTK_RANGE(scale)), 0.5);

  // Drawn: the slider's part of the window is not one flat colour, and
  // neither is the whole window.
  const GdkRectangle slider = rectOf(scale);
  EXPECT_GT(slider.width, 150) << "the slider takes the row's free width";
  Capture atHalf = capture(slider);
  ASSERT_EQ(atHalf.width, slider.width);
  std::set<unsigned long> sliderColours(atHalf.pixels.begin(), atHalf.pixels.end());
  EXPECT_GE(sliderColours.size(), 4u) << "trough, fill, knob and background";
  const Capture whole = captureWindow();
  std::set<unsigned long> windowColours(whole.pixels.begin(), whole.pixels.end());
  EXPECT_GE(windowColours.size(), 8u);
  const auto halfKnob = knob();
  const Capture nameBefore = capture(rectOf(name));
  const Capture textBefore = capture(rectOf(text));

  // Moved from elsewhere, on another thread as automation does: the knob
  // leaves its place for the right end and the text changes.
  std::thread([&] { plugin->setParam(0, 1.0f); }).join();
  ASSERT_TRUE(redrawnWhen([&] { return shownText() == "24 dB"; })) << shownText();
  EXPECT_DOUBLE_EQ(gtk_range_get_value(GTK_RANGE(scale)), 1.0);
  const Capture atTop = capture(slider);
  const auto topKnob = knob();
  EXPECT_GT(topKnob.first, halfKnob.second) << "the knob moved right";
  const auto moved = changedColumns(atHalf, atTop);
  EXPECT_TRUE(anyIn(moved, halfKnob)) << "the knob's old place is drawn anew";
  EXPECT_TRUE(anyIn(moved, topKnob)) << "the knob is drawn at its new place";
  EXPECT_NE(capture(rectOf(text)).pixels, textBefore.pixels) << "the value's text is drawn anew";
  EXPECT_EQ(capture(rectOf(name)).pixels, nameBefore.pixels) << "the name stays";

  // The user moves the slider through GTK: the parameter follows.
  gtk_range_set_value(GTK_RANGE(scale), 0.25);
  EXPECT_EQ(paramText(), "-12 dB");
  ASSERT_TRUE(redrawnWhen([&] { return shownText() == "-12 dB"; })) << shownText();

  // The user clicks at the trough's left end, through the X server: the knob
  // goes there and the parameter to its lowest value.
  GdkRectangle trough{};
  gtk_range_get_range_rect(GTK_RANGE(scale), &trough);
  int rootX = 0, rootY = 0;
  ::Window child;
  XTranslateCoordinates(xdpy, xid, DefaultRootWindow(xdpy), slider.x + trough.x + 1,
                        slider.y + trough.y + trough.height / 2, &rootX, &rootY, &child);
  ASSERT_TRUE(XTestFakeMotionEvent(xdpy, -1, rootX, rootY, CurrentTime));
  ASSERT_TRUE(XTestFakeButtonEvent(xdpy, 1, True, CurrentTime));
  ASSERT_TRUE(XTestFakeButtonEvent(xdpy, 1, False, CurrentTime));
  XFlush(xdpy);
  ASSERT_TRUE(redrawnWhen([&] { return shownText() == "-24 dB"; })) << shownText();
  EXPECT_EQ(paramText(), "-24 dB");
  EXPECT_DOUBLE_EQ(gtk_range_get_value(GTK_RANGE(scale)), 0.0);
  const Capture atBottom = capture(slider);
  EXPECT_TRUE(anyIn(changedColumns(atTop, atBottom), knob())) << "the knob is drawn at the left end";

  // Opening again brings the same window forward; the window manager's close
  // is reported once and takes the view with it.
  plugin->openEditor(kTitle);
  EXPECT_EQ(windows.windows(), 1u);
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = xid;
  e.xclient.message_type = XInternAtom(xdpy, "WM_PROTOCOLS", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = static_cast<long>(XInternAtom(xdpy, "WM_DELETE_WINDOW", False));
  e.xclient.data.l[1] = CurrentTime;
  XSendEvent(xdpy, xid, False, NoEventMask, &e);
  XFlush(xdpy);
  ASSERT_TRUE(turnUntil([&] { return closedReports > 0; }));
  EXPECT_EQ(windows.windows(), 0u);
  // Changes after the close reach nothing.
  plugin->setParam(0, 0.5f);
  EXPECT_EQ(queue.pending(), 0u);
  for (int i = 0; i < 200; ++i) turn();
  EXPECT_EQ(closedReports, 1);
}

TEST_F(AuGenericViewTest, ClosedByThePageOrWithThePluginWhileAChangeIsOnItsWay) {
  struct Case {
    const char* what;
    bool destroyPlugin;
  } cases[] = {{"the page closes it", false}, {"the plug-in goes", true}};
  for (const Case& c : cases) {
    if (!plugin) {
      ASSERT_NO_FATAL_FAILURE(makeGain());
    }
    closedReports = 0;
    top = nullptr;
    draws = 0;
    ASSERT_NO_FATAL_FAILURE(open());
    std::thread([&] { plugin->setParam(0, 1.0f); }).join();
    ASSERT_EQ(queue.pending(), 1u) << c.what << ": the refresh is on its way";
    if (c.destroyPlugin)
      plugin.reset();
    else
      plugin->closeEditor();
    EXPECT_EQ(closedReports, 1) << c.what;
    EXPECT_EQ(windows.windows(), 0u) << c.what;
    for (int i = 0; i < 200; ++i) turn();
  }
}

}  // namespace
}  // namespace bridge

// X errors are logged, never fatal: on a connection of a plug-in's own and on
// the toolkit's, whose own handler would end the process.
#include "app/desktop/x11_errors.h"

#include <gtest/gtest.h>

#include "app/desktop/gtk_ui.h"

// Last: Xlib's macros would break the headers above.
#include <X11/Xlib.h>
#include <gdk/gdkx.h>

namespace bridge {
namespace {

TEST(X11ErrorLogTest, AnErrorOnAnyConnectionIsLoggedAndTheProgramGoesOn) {
  ASSERT_TRUE(openDisplay()) << "no X display";
  XErrorHandler before = XSetErrorHandler(nullptr);
  XSetErrorHandler(before);
  installX11ErrorLog();

  Display* own = XOpenDisplay(nullptr);
  ASSERT_NE(own, nullptr);
  struct Case {
    const char* name;
    Display* display;
  } cases[] = {
      {"a connection of its own, as a plug-in's editor has", own},
      {"the toolkit's connection", gdk_x11_display_get_xdisplay(gdk_display_get_default())},
  };
  for (const Case& c : cases) {
    const uint64_t logged = x11ErrorsLogged();
    // A window that does not exist: BadWindow.
    XDestroyWindow(c.display, 0x3fffff1);
    XSync(c.display, False);
    EXPECT_EQ(x11ErrorsLogged(), logged + 1) << c.name;
  }
  XCloseDisplay(own);
  XSetErrorHandler(before);
}

}  // namespace
}  // namespace bridge

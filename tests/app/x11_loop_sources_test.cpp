// Loop sources never outlive their owners: the GLib loop's timers go with the
// loop, and a descriptor watch whose descriptor was closed ends and is
// forgotten.
#include <gtest/gtest.h>
#include <unistd.h>

#include "app/desktop/glib_loop.h"
#include "app/desktop/gtk_ui.h"
#include "app/desktop/x11_editor_windows.h"

namespace bridge {
namespace {

TEST(LoopSourcesTest, TimersOfAGoneLoopNeverRun) {
  struct Case {
    const char* name;
    bool repeat;
  } cases[] = {{"after", false}, {"every", true}};
  for (const Case& c : cases) {
    int runs = 0;
    {
      MainQueue queue;
      GlibLoop loop(queue);
      if (c.repeat)
        loop.every(1, [&] { ++runs; });
      else
        loop.after(1, [&] { ++runs; });
    }
    // Due long since; a source still attached would run now.
    g_usleep(5000);
    for (int i = 0; i < 50; ++i) g_main_context_iteration(nullptr, FALSE);
    EXPECT_EQ(runs, 0) << c.name;
  }
}

TEST(LoopSourcesTest, AWatchOfAClosedDescriptorEndsAndIsForgotten) {
  ASSERT_TRUE(openDisplay()) << "no X display";
  X11EditorWindows windows;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  uint32_t last = 0;
  int calls = 0;
  windows.addFd(fds[0], kFdRead, [&](uint32_t flags) {
    ++calls;
    last = flags;
  });
  ASSERT_EQ(windows.sources(), 1u);
  ::close(fds[0]);
  ::close(fds[1]);
  for (int i = 0; i < 20000 && calls == 0; ++i) g_main_context_iteration(nullptr, FALSE);
  ASSERT_EQ(calls, 1);
  EXPECT_TRUE(last & kFdError);
  EXPECT_TRUE(last & kFdGone);
  EXPECT_EQ(windows.sources(), 0u);
  for (int i = 0; i < 50; ++i) g_main_context_iteration(nullptr, FALSE);
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace bridge

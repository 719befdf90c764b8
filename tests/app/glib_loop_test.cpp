// The GLib application loop: the main queue through its eventfd, timers,
// watched descriptors and quitting. No display needed.
#include "app/desktop/glib_loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace bridge {
namespace {

TEST(GlibLoopTest, RunsPostedJobsInOrderAndQuitsFromOne) {
  MainQueue queue;
  GlibLoop loop(queue);
  std::string order;
  std::thread poster([&] {
    for (char c : std::string("abc")) loop.post([&order, c] { order += c; });
    loop.post([&] { loop.quit(); });
  });
  poster.join();
  loop.run();
  EXPECT_EQ(order, "abc");
  EXPECT_TRUE(loop.quitting());
}

TEST(GlibLoopTest, JobsPostedByJobsRunOnALaterTurnNeverInline) {
  MainQueue queue;
  GlibLoop loop(queue);
  std::string order;
  loop.post([&] {
    loop.post([&] {
      order += "2";
      loop.quit();
    });
    order += "1";
  });
  loop.run();
  EXPECT_EQ(order, "12");
}

TEST(GlibLoopTest, TimersAndWatchesRunOnTheLoop) {
  MainQueue queue;
  GlibLoop loop(queue);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  int beats = 0, reads = 0;
  bool once = false;
  loop.every(1, [&] {
    if (++beats == 3) {
      ASSERT_EQ(::write(fds[1], "x", 1), 1);
    }
  });
  loop.after(1, [&] { once = true; });
  loop.watch(fds[0], [&] {
    char c;
    ASSERT_EQ(::read(fds[0], &c, 1), 1);
    ++reads;
    // A callback may unwatch itself.
    loop.unwatch(fds[0]);
    loop.post([&] { loop.quit(); });
  });
  loop.run();
  EXPECT_TRUE(once);
  EXPECT_GE(beats, 3);
  EXPECT_EQ(reads, 1);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(GlibLoopTest, QuitBeforeRunReturnsAtOnce) {
  MainQueue queue;
  GlibLoop loop(queue);
  loop.quit();
  loop.run();
  EXPECT_TRUE(loop.quitting());
}

}  // namespace
}  // namespace bridge

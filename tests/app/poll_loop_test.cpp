// The application loop: timers on a hand-moved clock, the main queue,
// descriptors, and waking up for work posted from another thread.
#include "app/shell/poll_loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "support/manual_clock.h"

namespace bridge {
namespace {

TEST(PollLoop, TimersRunInDueOrderAndRepeatingOnesKeepTheirBeat) {
  MainQueue queue;
  test::ManualClock clock;
  PollLoop loop(queue, clock.fn());
  std::string log;
  loop.after(10, [&] { log += "a"; });
  loop.after(5, [&] { log += "b"; });
  loop.every(4, [&] { log += "c"; });
  EXPECT_EQ(loop.nextTimeoutMs(), 4);
  for (int i = 0; i < 12; ++i) {
    clock.advance(1);
    loop.runReady();
  }
  EXPECT_EQ(log, "cbcac");
  // Missed beats are skipped, not run in a burst.
  clock.advance(100);
  loop.runReady();
  EXPECT_EQ(log, "cbcacc");
  EXPECT_EQ(loop.nextTimeoutMs(), 4);
}

TEST(PollLoop, JobsRunInOrderAndATimerForNowWaitsForTheNextPass) {
  MainQueue queue;
  test::ManualClock clock;
  PollLoop loop(queue, clock.fn());
  std::string log;
  loop.post([&] {
    log += "1";
    loop.post([&] { log += "3"; });
  });
  loop.post([&] { log += "2"; });
  loop.after(0, [&] {
    log += "t";
    loop.after(0, [&] { log += "u"; });
  });
  EXPECT_TRUE(loop.runReady());
  EXPECT_EQ(log, "t123");
  EXPECT_TRUE(loop.runReady());
  EXPECT_EQ(log, "t123u");
  EXPECT_FALSE(loop.runReady());
}

TEST(PollLoop, QuitStopsBeforeTheNextJob) {
  MainQueue queue;
  PollLoop loop(queue);
  int ran = 0;
  loop.post([&] {
    ++ran;
    loop.quit();
  });
  loop.post([&] { ++ran; });
  loop.run();
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(queue.pending(), 1u);
}

TEST(PollLoop, ADescriptorIsServedBetweenBatchesHoweverMuchIsQueued) {
  MainQueue queue;
  PollLoop loop(queue);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "q", 1), 1);  // a signal or a typed "quit" is waiting
  int ran = 0;
  for (int i = 0; i < 100000; ++i) loop.post([&] { ++ran; });
  loop.watch(fds[0], [&] { loop.quit(); });
  loop.run();
  EXPECT_GT(ran, 0);
  EXPECT_LT(ran, 100000);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(PollLoop, WakesForAnotherThreadsPostAndForADescriptor) {
  MainQueue queue;
  PollLoop loop(queue);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string log;
  std::thread poster;
  loop.watch(fds[0], [&] {
    char c;
    ASSERT_EQ(::read(fds[0], &c, 1), 1);
    log += c;
    loop.unwatch(fds[0]);
    poster = std::thread([&] {
      loop.post([&] {
        log += "p";
        loop.quit();
      });
    });
  });
  std::thread writer([&] { ASSERT_EQ(::write(fds[1], "w", 1), 1); });
  loop.run();
  writer.join();
  poster.join();
  EXPECT_EQ(log, "wp");
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace bridge

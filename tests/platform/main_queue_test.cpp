#include <gtest/gtest.h>
#include <poll.h>

#include <string>
#include <thread>

#include "platform/dispatch/main_queue.h"

namespace bridge {
namespace {

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1;
}

TEST(MainQueue, PostNeverRunsInlineAndDrainKeepsOrder) {
  MainQueue q;
  std::vector<int> order;
  q.post([&] { order.push_back(1); });
  q.post([&] {
    order.push_back(2);
    q.post([&] { order.push_back(4); });  // posted while draining: runs after 3
  });
  q.post([&] { order.push_back(3); });
  EXPECT_TRUE(order.empty());
  EXPECT_TRUE(readable(q.fd()));
  EXPECT_EQ(q.drain(), 4u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(q.pending(), 0u);
  EXPECT_FALSE(q.runOne());
  EXPECT_FALSE(readable(q.fd()));
}

TEST(MainQueue, RunBatchStopsAtItsCountOrWhenToldInOrder) {
  MainQueue q;
  std::string log;
  for (char c : std::string("abcde")) q.post([&log, c] { log += c; });
  EXPECT_EQ(q.runBatch(2), 2u);
  EXPECT_EQ(log, "ab");
  EXPECT_EQ(q.pending(), 3u);
  bool stop = false;
  q.post([&] {
    stop = true;
    log += "s";
  });
  q.post([&] { log += "!"; });
  EXPECT_EQ(q.runBatch(10, [&] { return stop; }), 4u);
  EXPECT_EQ(log, "abcdes");
  EXPECT_EQ(q.pending(), 1u);
  EXPECT_EQ(q.runBatch(10), 1u);
  EXPECT_EQ(log, "abcdes!");
  EXPECT_EQ(q.runBatch(10), 0u);
}

TEST(MainQueue, PostsFromManyThreadsAllRunOnOwner) {
  MainQueue q;
  const auto owner = std::this_thread::get_id();
  int ran = 0;
  bool allOnOwner = true;
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t)
    posters.emplace_back([&] {
      for (int i = 0; i < 500; ++i)
        q.post([&] {
          ++ran;
          allOnOwner = allOnOwner && std::this_thread::get_id() == owner;
        });
    });
  while (ran < 2000) {
    q.wait(1000);
    q.drain();
  }
  for (auto& t : posters) t.join();
  q.drain();
  EXPECT_EQ(ran, 2000);
  EXPECT_TRUE(allOnOwner);
}

TEST(MainQueue, WaitWakesOnPostFromAnotherThread) {
  MainQueue q;
  EXPECT_FALSE(q.wait(0));
  std::thread poster([&] { q.post([] {}); });
  EXPECT_TRUE(q.wait(-1));
  poster.join();
  EXPECT_EQ(q.drain(), 1u);
}

}  // namespace
}  // namespace bridge

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "hosting/observer.h"

namespace bridge {
namespace {

TEST(Observer, EmptyDoesNothingSetCallsCleared) {
  Observer<int> obs;
  EXPECT_FALSE(obs);
  obs(1);  // nothing set: no call, no crash
  int got = 0;
  obs = [&](int v) { got = v; };
  EXPECT_TRUE(obs);
  obs(7);
  EXPECT_EQ(got, 7);
  obs = nullptr;
  EXPECT_FALSE(obs);
  obs(9);
  EXPECT_EQ(got, 7);
}

TEST(Observer, SetWhileOtherThreadsCall) {
  // Plug-in threads fire while the owner installs and replaces the callback.
  Observer<int> obs;
  std::atomic<int> calls{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> firing;
  for (int t = 0; t < 3; ++t)
    firing.emplace_back([&] {
      while (!stop.load()) obs(1);
    });
  // Each function owns state that dies with it: a call through a replaced
  // function would touch freed memory, which the sanitizer builds catch.
  for (int i = 0; i < 2000; ++i) {
    auto owned = std::make_shared<std::atomic<int>>(0);
    obs = [&calls, owned](int v) { calls += v + owned->fetch_add(1) * 0; };
  }
  stop = true;
  for (auto& t : firing) t.join();
  int before = calls.load();
  obs(5);
  EXPECT_EQ(calls.load(), before + 5);
}

}  // namespace
}  // namespace bridge

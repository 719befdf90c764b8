// What one page may cost the session core: unhandled text per connection,
// tracks per session, sessions that never pair, and how long they may wait.
#include <gtest/gtest.h>

#include "bridge/input_budget.h"
#include "bridge_fixture.h"
#include "support/manual_clock.h"

namespace bridge::test {
namespace {

TEST(InputBudget, HoldsPastEitherBoundAndReleasesOnceCaughtUp) {
  struct Case {
    const char* name;
    std::vector<uint64_t> sizes;  // posted in order
    int heldAfterPosting;
  };
  const Case cases[] = {
      {"within both bounds", {100, 100, 100}, 0},
      {"one message past the byte bound", {2000}, 1},
      {"bytes add up", {600, 600}, 1},
      {"the job bound", {1, 1, 1, 1}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeConnection connection;
    InputBudget budget(1000, 4);
    for (uint64_t size : c.sizes) budget.take(connection, size);
    EXPECT_EQ(connection.holds.load(), c.heldAfterPosting);
    for (uint64_t size : c.sizes) budget.give(connection, size);
    EXPECT_EQ(connection.holds.load(), 0);
  }
}

class LimitsTest : public BridgeTest {};

TEST_F(LimitsTest, AFloodingConnectionIsHeldWhileItsTextWaitsAndLosesNothing) {
  make("123456");
  ServerHandlers handlers = probe().handlers();
  auto flooder = std::make_shared<FakeConnection>(1);
  auto other = std::make_shared<FakeConnection>(2);
  handlers.onOpen(flooder);
  handlers.onOpen(other);
  queue.drain();
  flooder->takeTexts();
  other->takeTexts();
  // Posted from the connection threads while the main thread is busy elsewhere.
  for (int i = 0; i < 200; ++i) handlers.onText(flooder, Json{{"t", "ping"}, {"at", i}}.dump());
  EXPECT_EQ(flooder->holds.load(), 1);
  handlers.onText(other, Json{{"t", "ping"}, {"at", -1}}.dump());
  EXPECT_EQ(other->holds.load(), 0);
  queue.drain();
  EXPECT_EQ(flooder->holds.load(), 0);
  std::vector<Json> pongs = messages(*flooder, "pong");
  ASSERT_EQ(pongs.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(pongs[i]["at"], i);
  EXPECT_EQ(messages(*other, "pong").size(), 1u);
  handlers.onClose(flooder);
  handlers.onClose(other);
  queue.drain();
}

TEST_F(LimitsTest, TracksBeyondTheCapAreRefusedAndTheRestKeepWorking) {
  make("123456");
  auto c = connect(1);
  pair(c, "123456");
  auto chain = [](const std::string& track) {
    return Json{{"t", "chain"}, {"track", track}, {"slots", Json::array()}};
  };
  for (int i = 0; i < 64; ++i) {
    auto replies = say(c, chain("t" + std::to_string(i)));
    ASSERT_EQ(replies.size(), 1u);
    ASSERT_EQ(Json::parse(replies[0])["t"], "chain");
  }
  auto refused = say(c, chain("one-more"));
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(Json::parse(refused[0]), (Json{{"t", "error"}, {"code", "bad-request"}, {"for", "chain"}}));
  EXPECT_FALSE(probe().hasTrack(1, "one-more"));
  // An existing track may still be rebuilt, and a freed place taken.
  auto again = say(c, chain("t3"));
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(Json::parse(again[0])["t"], "chain");
  say(c, Json{{"t", "unchain"}, {"track", "t0"}});
  auto taken = say(c, chain("one-more"));
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(Json::parse(taken[0])["t"], "chain");
}

TEST_F(LimitsTest, UnreadySessionsAreCappedAndTimedOut) {
  make("123456");
  ManualClock clock;
  probe().setClock(clock.fn());
  auto paired = connect(100);
  pair(paired, "123456");
  std::vector<std::shared_ptr<FakeConnection>> idle;
  for (int id = 1; id <= 16; ++id) idle.push_back(connect(id));
  for (auto& c : idle) EXPECT_FALSE(c->closed.load());
  // The 17th that has not paired pushes out the oldest.
  clock.advance(1000);
  auto late = connect(17);
  EXPECT_TRUE(idle[0]->closed.load());
  for (size_t i = 1; i < idle.size(); ++i) EXPECT_FALSE(idle[i]->closed.load());
  // Five minutes without pairing: closed at the next tick; the newest is younger.
  clock.advance(299000);
  probe().tick();
  queue.drain();
  for (size_t i = 1; i < idle.size(); ++i) EXPECT_TRUE(idle[i]->closed.load());
  EXPECT_FALSE(late->closed.load());
  EXPECT_FALSE(paired->closed.load());
  clock.advance(1000);
  probe().tick();
  EXPECT_TRUE(late->closed.load());
  EXPECT_FALSE(paired->closed.load());
}

}  // namespace
}  // namespace bridge::test

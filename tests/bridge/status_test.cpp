// The status snapshot: browsers with their tracks and slots, and "busy".
#include <gtest/gtest.h>

#include "chain_fixture.h"
#include "support/manual_clock.h"

namespace bridge::test {
namespace {

using BridgeStatus = BridgeChains;

TEST_F(BridgeStatus, BrowsersCountTracksWithChainsAndTheirSlots) {
  auto waiting = connect(2, "https://staging.daw.krevlo.example");
  chain(Json::array({slot("g", "CLAP:Gain"), slot("d", "CLAP:Delay")}), "a");
  chain(Json::array(), "b");
  probe().addTrack(1, "stored", nullptr);  // a request without a chain yet
  Bridge::Status s = bridge->status();
  ASSERT_EQ(s.browsers.size(), 2u);
  EXPECT_EQ(s.browsers[0].origin, "https://daw.krevlo.example");
  EXPECT_EQ(s.browsers[0].name, "Test");
  EXPECT_TRUE(s.browsers[0].ready);
  EXPECT_EQ(s.browsers[0].tracks, 2);
  EXPECT_EQ(s.browsers[0].slots, 2);
  EXPECT_EQ(s.browsers[1].origin, "https://staging.daw.krevlo.example");
  EXPECT_EQ(s.browsers[1].name, "");
  EXPECT_FALSE(s.browsers[1].ready);
  EXPECT_EQ(s.browsers[1].tracks, 0);
  EXPECT_EQ(s.browsers[1].slots, 0);
  EXPECT_EQ(s.plugins, 2);
}

TEST_F(BridgeStatus, BusyOnlyWithinTenSecondsOfARealBlock) {
  ManualClock clock;
  probe().setClock(clock.fn());
  chain(Json::array({slot("g", "CLAP:Gain")}));
  // A chain that never had audio is not busy, however young the clock is.
  clock.now = 5000.0;
  EXPECT_FALSE(bridge->status().busy);
  ASSERT_TRUE(roundTrip(1, 0, std::vector<float>(16, 0.1f), std::vector<float>(16, 0.1f)).valid);
  auto chain = probe().chainOf(1, "a");
  ASSERT_TRUE(chain);
  const double last = chain->lastBlockMs.load();
  ASSERT_GT(last, 0.0);
  clock.now = last + 9999.0;
  EXPECT_TRUE(bridge->status().busy);
  clock.now = last + 10000.0;
  EXPECT_FALSE(bridge->status().busy);
}

}  // namespace
}  // namespace bridge::test

// Which web origins may connect, and the trust wrappers' notification.
#include "bridge/origins.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "bridge_fixture.h"

namespace bridge::test {
namespace {

TEST(BridgeOrigins, ComparedByteForByte) {
  const std::vector<std::string> none;
  const std::vector<std::string> dev{"http://127.0.0.1:5173"};
  const std::vector<std::string> empty{""};
  struct Case {
    std::string origin;
    const std::vector<std::string>& extra;
    bool allowed;
  } cases[] = {
      {"https://daw.krevlo.example", none, true},
      {"https://staging.daw.krevlo.example", none, true},
      {"https://daw.krevlo.example/", none, false},
      {"https://DAW.krevlo.example", none, false},
      {"HTTPS://daw.krevlo.example", none, false},
      {"http://daw.krevlo.example", none, false},
      {"https://daw.krevlo.example:443", none, false},
      {" https://daw.krevlo.example", none, false},
      {"https://evil.daw.krevlo.example", none, false},
      {"https://daw.krevlo.example.evil", none, false},
      {"null", none, false},
      {"", none, false},
      {"http://127.0.0.1:5173", none, false},
      {"http://127.0.0.1:5173", dev, true},
      {"http://127.0.0.1:5174", dev, false},
      {"http://localhost:5173", dev, false},
      {"https://daw.krevlo.example", dev, true},
      {"", empty, false},
  };
  for (const auto& c : cases) EXPECT_EQ(originIn(c.origin, c.extra), c.allowed) << c.origin;
  EXPECT_EQ(builtInOrigins[0], "https://daw.krevlo.example");
  EXPECT_EQ(builtInOrigins[1], "https://staging.daw.krevlo.example");
}

TEST(BridgeOrigins, EnvironmentGivesOneWholeEntryWhenSet) {
  ::unsetenv("QUILLET_ORIGINS");
  EXPECT_TRUE(originsFromEnvironment().empty());
  ::setenv("QUILLET_ORIGINS", "", 1);
  EXPECT_EQ(originsFromEnvironment(), std::vector<std::string>{""});
  ::setenv("QUILLET_ORIGINS", "http://127.0.0.1:5173,http://x", 1);
  EXPECT_EQ(originsFromEnvironment(), std::vector<std::string>{"http://127.0.0.1:5173,http://x"});
  ::unsetenv("QUILLET_ORIGINS");
}

TEST_F(BridgeTest, OriginCheckUsesTheOptions) {
  BridgeOptions o = options();
  o.origins = {"http://127.0.0.1:5173"};
  make(o);
  ServerHandlers handlers = probe().handlers();
  EXPECT_TRUE(handlers.allowOrigin("http://127.0.0.1:5173"));
  EXPECT_TRUE(handlers.allowOrigin("https://staging.daw.krevlo.example"));
  EXPECT_FALSE(handlers.allowOrigin("http://127.0.0.1:5172"));
  EXPECT_EQ(queue.pending(), 0u);  // answered in place, nothing posted
}

// The shell's callback belongs to the main thread, also when the trust tool was
// run from a background thread.
TEST_F(BridgeTest, TrustForSafariNotifiesOnTheMainThread) {
  make();
  int before = changes;
  std::string errorText;
  std::thread worker([&] { bridge->trustForSafari(errorText); });
  worker.join();
  EXPECT_EQ(changes, before);
  queue.drain();
  EXPECT_EQ(changes, before + 1);
  EXPECT_FALSE(changedOffMain);
}

}  // namespace
}  // namespace bridge::test

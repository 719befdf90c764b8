// The shared doubles are relied on by every later suite; their delay line and
// creation paths are checked once here.
#include <gtest/gtest.h>

#include "support/fake_host.h"

namespace bridge::test {
namespace {

TEST(FakePlugin, LatencyDelaysByExactlyThatManySamples) {
  FakePluginOptions options;
  options.latency = 3;
  options.gain = 2.0f;
  FakePlugin p(options);
  float l[8] = {1, 2, 3, 4, 5, 6, 7, 8}, r[8] = {-1, -2, -3, -4, -5, -6, -7, -8};
  p.process(l, r, 8, Transport{});
  const float wantL[8] = {0, 0, 0, 2, 4, 6, 8, 10};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(l[i], wantL[i]) << i;
    EXPECT_EQ(r[i], -wantL[i]) << i;
  }
}

TEST(FakeHost, CreatesKnownIdsAndRefusesOthers) {
  FakeHost host("CLAP");
  std::string id = host.add("Gain");
  host.failCreate("CLAP:Broken", "Plug-in failed to initialise");
  auto counter = std::make_shared<std::atomic<int>>(0);
  FakePluginOptions options;
  options.liveCounter = counter;
  host.setPluginOptions(options);

  std::unique_ptr<Plugin> made;
  std::string error = "unset";
  host.create(id, 4096, [&](std::unique_ptr<Plugin> p, std::string e) { made = std::move(p), error = e; }, 48000);
  EXPECT_TRUE(made);
  EXPECT_EQ(error, "");
  EXPECT_EQ(counter->load(), 1);
  made.reset();
  EXPECT_EQ(counter->load(), 0);

  for (const char* bad : {"CLAP:Broken", "CLAP:Unknown", "VST3:Gain", "garbage"}) {
    host.create(bad, 4096, [&](std::unique_ptr<Plugin> p, std::string e) { made = std::move(p), error = e; }, 48000);
    EXPECT_FALSE(made) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(FakeHost, DeferredCompletionsWaitForTheTest) {
  FakeHost host("AU");
  std::string id = host.add("Delay");
  host.deferred = true;
  int done = 0;
  host.create(id, 512, [&](std::unique_ptr<Plugin> p, std::string) { done += p ? 1 : 0; }, 44100);
  EXPECT_EQ(done, 0);
  std::thread([&] { host.completePending(); }).join();
  EXPECT_EQ(done, 1);
}

}  // namespace
}  // namespace bridge::test

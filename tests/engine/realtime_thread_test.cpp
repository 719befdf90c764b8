#include "engine/realtime_thread.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/fake_realtime_scheduler.h"

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace bridge {
namespace {

using test::FakeRealtimeScheduler;
using Call = FakeRealtimeScheduler::Call;
using Names = std::vector<std::string>;

// The treatment is per thread and stays with it: give each case a thread of its
// own, as each chain worker has.
template <typename F>
void onOwnThread(F body) {
  std::thread t(body);
  t.join();
}

TEST(RealtimeThread, EnvironmentSwitch) {
  struct Case {
    const char* value;
    bool enabled;
  };
  const Case cases[] = {{nullptr, true}, {"0", false}, {"1", true}, {"false", true},
                        {"", true},      {"00", true}, {" 0", true}, {"0 ", true}};
  for (const Case& c : cases) EXPECT_EQ(RealtimeThread::enabledFrom(c.value), c.enabled) << (c.value ? c.value : "unset");
}

TEST(RealtimeThread, SwitchedOffGetsOnlyTheInteractiveClass) {
  onOwnThread([] {
    FakeRealtimeScheduler os;
    os.offerInterval = true;
    {
      RealtimeThread rt(48000.0, os, false);
      rt.begin(128);
      rt.end();
      rt.begin(256);
      rt.end();
    }
    EXPECT_EQ(os.names(), Names{"interactive"});
  });
}

TEST(RealtimeThread, PeriodFromRateAndTimebase) {
  onOwnThread([] {
    struct Case {
      double rate;
      FakeRealtimeScheduler::Timebase base;
      uint64_t ticks;
    };
    const Case cases[] = {
        {48000.0, {1, 1}, 21333333},   // 1024 / 48000 s
        {0.0, {1, 1}, 21333333},       // no rate means 48 kHz
        {-44100.0, {1, 1}, 21333333},
        {44100.0, {1, 1}, 23219954},
        {65536.0, {125, 3}, 375000},   // 24 MHz ticks: 15.625 ms
    };
    for (const Case& c : cases) {
      FakeRealtimeScheduler os;
      os.base = c.base;
      RealtimeThread rt(c.rate, os, true);
      EXPECT_EQ(rt.periodFrames(), 1024);
      EXPECT_EQ(rt.periodTicks(), c.ticks) << c.rate;
      ASSERT_EQ(os.calls().size(), 2u);
      EXPECT_EQ(os.calls()[0], (Call{"policy", c.ticks, c.ticks / 2, c.ticks}));
      EXPECT_EQ(os.calls()[1].what, "create");
    }
  });
}

TEST(RealtimeThread, OnePolicyCallPerBlockSizeChange) {
  onOwnThread([] {
    FakeRealtimeScheduler os;
    RealtimeThread rt(48000.0, os, true);
    for (int frames : {1024, 128, 128, 128, 256, 256, 128}) {
      rt.begin(frames);
      rt.end();
    }
    rt.setPeriod(128);
    rt.setPeriod(64);
    EXPECT_EQ(os.policyPeriods(), (std::vector<uint64_t>{21333333, 2666666, 5333333, 2666666, 1333333}));
    EXPECT_FALSE(rt.hasWorkInterval()) << "the fake offers none by default, as on this system";
  });
}

TEST(RealtimeThread, WorkIntervalRenewedPerBlock) {
  onOwnThread([] {
    FakeRealtimeScheduler os;
    os.offerInterval = true;
    {
      RealtimeThread rt(48000.0, os, true);
      EXPECT_EQ(os.lastName, "Krevlo Bridge chain");
      ASSERT_TRUE(rt.hasWorkInterval());
      rt.begin(128);
      EXPECT_TRUE(rt.inInterval());
      rt.end();
      EXPECT_FALSE(rt.inInterval());
      rt.begin(128);  // left open: destruction finishes it
    }
    const std::vector<Call> calls = os.calls();
    const Names names = os.names();
    EXPECT_EQ(names, (Names{"policy", "create", "join", "policy", "start", "finish", "start", "finish", "leave", "release"}));
    // The deadline is one block period after the start.
    EXPECT_EQ(calls[4].b - calls[4].a, 2666666u);
    EXPECT_EQ(calls[8].a, 42u) << "left with the join's token";
  });
}

TEST(RealtimeThread, FailedJoinOrStartLeavesTheIntervalOut) {
  onOwnThread([] {
    {
      FakeRealtimeScheduler os;
      os.offerInterval = true;
      os.joinSucceeds = false;
      {
        RealtimeThread rt(48000.0, os, true);
        EXPECT_FALSE(rt.hasWorkInterval());
        rt.begin(128);
        rt.end();
      }
      EXPECT_EQ(os.names(), (Names{"policy", "create", "join", "release", "policy"}));
    }
    {
      FakeRealtimeScheduler os;
      os.offerInterval = true;
      os.startResult = 5;
      {
        RealtimeThread rt(48000.0, os, true);
        rt.begin(1024);
        EXPECT_FALSE(rt.inInterval());
        rt.end();
      }
      EXPECT_EQ(os.names(), (Names{"policy", "create", "join", "start", "leave", "release"}));
    }
  });
}

#if defined(__SSE__)
TEST(RealtimeThread, FlushesDenormalsOnItsOwnThreadOnly) {
  constexpr unsigned kBits = 0x8040;
  ASSERT_EQ(_mm_getcsr() & kBits, 0u) << "the test thread starts without flushing";
  unsigned inside = 0;
  float product = 1.0f;
  std::thread worker([&] {
    FakeRealtimeScheduler os;
    RealtimeThread rt(48000.0, os, false);  // flushing does not depend on the switch
    inside = _mm_getcsr() & kBits;
    volatile float tiny = 1e-30f;
    product = tiny * 1e-10f;  // a denormal result
  });
  worker.join();
  EXPECT_EQ(inside, kBits);
  EXPECT_EQ(product, 0.0f);
  EXPECT_EQ(_mm_getcsr() & kBits, 0u);
}
#endif

TEST(RealtimeThread, SystemSchedulerNeverFailsTheThread) {
  // Without privilege SCHED_FIFO is refused and the thread simply runs on.
  bool ran = false;
  std::thread worker([&] {
    RealtimeThread rt(48000.0, systemRealtimeScheduler(), true);
    EXPECT_FALSE(rt.hasWorkInterval());
    for (int frames : {128, 128, 4096}) {
      rt.begin(frames);
      rt.end();
    }
    ran = true;
  });
  worker.join();
  EXPECT_TRUE(ran);
}

TEST(RealtimeThread, FifoPriorityFollowsThePeriod) {
  int last = 100;
  for (uint64_t ns : {500000ull, 2666666ull, 21333333ull, 85333333ull, 10000000000ull}) {
    const int p = fifoPriorityFor(ns, 0);
    EXPECT_LE(p, last) << ns;
    EXPECT_GE(p, 60);
    EXPECT_LE(p, 80);
    last = p;
  }
  EXPECT_EQ(fifoPriorityFor(500000, 20), 20) << "an RLIMIT_RTPRIO allowance caps it";
}

}  // namespace
}  // namespace bridge

#include "server/random.h"

#include <gtest/gtest.h>
#include <mbedtls/ctr_drbg.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace bridge {
namespace {

bool allZero(const std::vector<uint8_t>& v, size_t from, size_t to) {
  return std::all_of(v.begin() + static_cast<std::ptrdiff_t>(from), v.begin() + static_cast<std::ptrdiff_t>(to),
                     [](uint8_t b) { return b == 0; });
}

TEST(Random, ConcurrentDrawsAreDistinct) {
  constexpr int kDraws = 1000;
  std::vector<std::array<uint8_t, 32>> a(kDraws), b(kDraws);
  std::atomic<bool> ok{true};
  auto draw = [&](std::vector<std::array<uint8_t, 32>>& out) {
    for (auto& x : out)
      if (!random().fill(x.data(), x.size())) ok = false;
  };
  std::thread t1(draw, std::ref(a)), t2(draw, std::ref(b));
  t1.join();
  t2.join();
  ASSERT_TRUE(ok);
  std::set<std::array<uint8_t, 32>> seen(a.begin(), a.end());
  seen.insert(b.begin(), b.end());
  EXPECT_EQ(seen.size(), 2u * kDraws);
}

TEST(Random, FirstUseFromManyThreadsBuildsOneInstance) {
  std::vector<Random*> got(8);
  std::vector<std::thread> threads;
  for (auto& g : got) threads.emplace_back([&g] { g = &random(); });
  for (auto& t : threads) t.join();
  for (Random* g : got) EXPECT_EQ(g, got[0]);
}

TEST(Random, RequestsBeyondTheGeneratorLimitAreFilledWhole) {
  const size_t n = 5 * MBEDTLS_CTR_DRBG_MAX_REQUEST + 7;
  std::vector<uint8_t> buf(n, 0);
  ASSERT_TRUE(random().fill(buf.data(), buf.size()));
  // Each piece, the last and shortest included, holds random bytes.
  for (size_t at = 0; at < n; at += MBEDTLS_CTR_DRBG_MAX_REQUEST)
    EXPECT_FALSE(allZero(buf, at, std::min(n, at + 64))) << at;
  EXPECT_FALSE(allZero(buf, n - 7, n));
}

TEST(Random, CallbacksReportSuccessAndFailure) {
  unsigned char out[48];
  EXPECT_EQ(rngCallback(nullptr, out, sizeof out), 0);
  EXPECT_EQ(tlsRandom(&random(), out, sizeof out), 0);
}

// An entropy source that fails a given number of times, then gives bytes.
struct FlakySource {
  int failuresLeft;
  static int read(void* self, unsigned char* out, size_t size) {
    auto* s = static_cast<FlakySource*>(self);
    if (s->failuresLeft > 0) {
      --s->failuresLeft;
      return MBEDTLS_ERR_CTR_DRBG_ENTROPY_SOURCE_FAILED;
    }
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<unsigned char>(i * 151 + 7);
    return 0;
  }
};

TEST(Random, FailedSeedIsReported) {
  FlakySource source{1000000};  // no entropy at all
  Random r(FlakySource::read, &source);
  std::vector<uint8_t> buf(32, 0xAA);
  // Nothing usable comes out, and the caller is told so.
  EXPECT_FALSE(r.fill(buf.data(), buf.size()));
  EXPECT_TRUE(allZero(buf, 0, buf.size()));
  EXPECT_NE(rngCallback(&r, buf.data(), buf.size()), 0);
  EXPECT_NE(tlsRandom(&r, buf.data(), buf.size()), 0);
}

TEST(Random, RecoversOnceTheSourceWorks) {
  FlakySource source{2};
  Random r(FlakySource::read, &source);    // first failure
  std::vector<uint8_t> buf(32, 0);
  EXPECT_FALSE(r.fill(buf.data(), buf.size()));  // second failure
  EXPECT_TRUE(r.fill(buf.data(), buf.size()));
  EXPECT_FALSE(allZero(buf, 0, buf.size()));
  EXPECT_EQ(rngCallback(&r, buf.data(), buf.size()), 0);
}

}  // namespace
}  // namespace bridge

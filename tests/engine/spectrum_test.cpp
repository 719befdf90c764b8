#include "engine/spectrum.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace bridge {
namespace {

using Bands = std::array<int8_t, Spectrum::kBands>;

struct Fed {
  Bands in{}, out{};
};

// Feeds `dry` and `wet` (both channels the same) in blocks of `block`.
Fed feedAll(Spectrum& s, const std::vector<float>& dry, const std::vector<float>& wet, int block = 256) {
  Fed f;
  for (size_t at = 0; at < dry.size(); at += block) {
    int n = static_cast<int>(std::min<size_t>(block, dry.size() - at));
    s.feed(dry.data() + at, dry.data() + at, wet.data() + at, wet.data() + at, n, f.in.data(), f.out.data());
  }
  return f;
}

std::vector<float> sineOnBin(int bin, size_t samples) {
  std::vector<float> v(samples);
  for (size_t i = 0; i < samples; ++i)
    v[i] = static_cast<float>(std::sin(2.0 * std::numbers::pi * bin * static_cast<double>(i) / Spectrum::kSize));
  return v;
}

int bandOfBin(const Spectrum& s, int bin) {
  for (int k = 0; k < Spectrum::kBands; ++k) {
    int lo = s.edges[k], hi = std::max(s.edges[k + 1], lo + 1);
    if (bin >= lo && bin < hi) return k;
  }
  return -1;
}

TEST(Spectrum, BandEdgesAt48k) {
  Spectrum s(48000.0);
  const std::vector<int> want = {1,   1,   1,   1,   2,   2,   2,   2,   3,   3,   4,   4,   5,   6,   6,   7,  9,
                                 10,  11,  13,  15,  18,  20,  23,  27,  31,  36,  42,  48,  55,  64,  74,  85, 99,
                                 114, 131, 152, 175, 202, 234, 270, 312, 360, 416, 480, 554, 640, 739, 853};
  EXPECT_EQ(s.edges, want);
}

TEST(Spectrum, EdgesStayInRangeForAnyRate) {
  for (double rate : {8000.0, 384000.0, 0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
    Spectrum s(rate);
    ASSERT_EQ(s.edges.size(), 49u);
    for (int e : s.edges) {
      EXPECT_GE(e, 1) << rate;
      EXPECT_LE(e, 1024) << rate;
    }
  }
}

TEST(Spectrum, WindowIsSymmetricHann) {
  Spectrum s(48000.0);
  ASSERT_EQ(s.window.size(), 2048u);
  EXPECT_EQ(s.window[0], 0.0f);
  EXPECT_EQ(s.window[2047], 0.0f);
  EXPECT_EQ(s.window[100], s.window[1947]);
  EXPECT_NEAR(s.window[1023], 1.0f, 1e-6f);
}

TEST(Spectrum, SilenceAndResetReadMinus100) {
  Spectrum s(48000.0);
  std::vector<float> zero(1, 0.0f);
  Fed f = feedAll(s, zero, zero);
  for (int k = 0; k < Spectrum::kBands; ++k) {
    EXPECT_EQ(f.in[k], -100);
    EXPECT_EQ(f.out[k], -100);
  }
  std::vector<float> sine = sineOnBin(100, 4096);
  feedAll(s, sine, sine);
  s.reset();
  f = feedAll(s, zero, zero);
  for (int k = 0; k < Spectrum::kBands; ++k) {
    EXPECT_EQ(f.in[k], -100) << k;
    EXPECT_EQ(f.out[k], -100) << k;
  }
}

TEST(Spectrum, FullScaleSineOnABinReadsZeroInItsBand) {
  for (int bin : {20, 100, 500, 850}) {
    Spectrum s(48000.0);
    std::vector<float> sine = sineOnBin(bin, 4096 + 77);
    std::vector<float> silence(sine.size(), 0.0f);
    Fed f = feedAll(s, silence, sine);
    const int band = bandOfBin(s, bin);
    ASSERT_GE(band, 0);
    EXPECT_EQ(f.out[band], 0) << "bin " << bin;
    EXPECT_EQ(f.in[band], -100) << "dry is silent";
    // Far from the tone the Hann window's side lobes are deep.
    EXPECT_LT(f.out[band > 24 ? 0 : 47], -60) << "bin " << bin;
  }
}

TEST(Spectrum, LowBandsThatShareAnEdgeReadTheSameBin) {
  Spectrum s(48000.0);
  std::vector<float> sine = sineOnBin(1, 4096);
  Fed f = feedAll(s, sine, sine);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(f.out[k], 0) << k;
  EXPECT_LT(f.out[4], 0) << "band 4 reads bin 2";
}

TEST(Spectrum, OneSampleStillAnalysesTheLast2048) {
  Spectrum s(48000.0);
  std::vector<float> sine = sineOnBin(100, 4096);
  feedAll(s, sine, sine);
  float zero = 0.0f;
  Bands in{}, out{};
  in.fill(1);
  out.fill(1);
  s.feed(&zero, &zero, &zero, &zero, 1, in.data(), out.data());
  const int band = bandOfBin(s, 100);
  EXPECT_EQ(out[band], 0);
  EXPECT_EQ(in[band], 0);
}

TEST(Spectrum, NonFiniteInputStaysInRange) {
  Spectrum s(48000.0);
  std::vector<float> bad(300, std::numeric_limits<float>::quiet_NaN());
  std::vector<float> huge(300, std::numeric_limits<float>::max());
  Fed f = feedAll(s, bad, huge);
  for (int k = 0; k < Spectrum::kBands; ++k) {
    EXPECT_GE(f.in[k], -100);
    EXPECT_LE(f.in[k], 0);
    EXPECT_GE(f.out[k], -100);
    EXPECT_LE(f.out[k], 0);
  }
}

}  // namespace
}  // namespace bridge

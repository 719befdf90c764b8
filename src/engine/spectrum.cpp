#include "engine/spectrum.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace bridge {

namespace {

constexpr int kBits = 11;  // 2^11 = Spectrum::kSize
static_assert((1 << kBits) == Spectrum::kSize);

std::vector<float> hannWindow() {
  std::vector<float> w(Spectrum::kSize);
  for (int i = 0; i < Spectrum::kSize; ++i)
    w[i] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / (Spectrum::kSize - 1)));
  return w;
}

std::vector<int> bandEdges(double sampleRate) {
  std::vector<int> edges(Spectrum::kBands + 1);
  const double binHz = sampleRate / Spectrum::kSize;
  for (int k = 0; k <= Spectrum::kBands; ++k) {
    double f = 20.0 * std::pow(1000.0, static_cast<double>(k) / Spectrum::kBands);
    double bin = std::round(f / binHz);
    // Clamped as a double first, so a nonsensical rate cannot overflow the cast.
    if (!(bin <= Spectrum::kSize / 2)) bin = Spectrum::kSize / 2;
    if (bin < 2) bin = 1;
    edges[k] = static_cast<int>(bin);
  }
  return edges;
}

int reverseBits(int i) {
  int r = 0;
  for (int b = 0; b < kBits; ++b) {
    r = (r << 1) | (i & 1);
    i >>= 1;
  }
  return r;
}

}  // namespace

Spectrum::Spectrum(double sampleRate)
    : window(hannWindow()),
      edges(bandEdges(sampleRate)),
      dryRing(kSize, 0.0f),
      wetRing(kSize, 0.0f),
      re(kSize, 0.0f),
      im(kSize, 0.0f),
      twiddleRe(kSize - 1),
      twiddleIm(kSize - 1),
      bitReversed(kSize) {
  for (int size = 2; size <= kSize; size *= 2) {
    const double angle = -2.0 * std::numbers::pi / size;
    const float stepRe = static_cast<float>(std::cos(angle)), stepIm = static_cast<float>(std::sin(angle));
    float wRe = 1.0f, wIm = 0.0f;
    for (int k = 0; k < size / 2; ++k) {
      twiddleRe[size / 2 - 1 + k] = wRe;
      twiddleIm[size / 2 - 1 + k] = wIm;
      const float nRe = wRe * stepRe - wIm * stepIm;
      wIm = wRe * stepIm + wIm * stepRe;
      wRe = nRe;
    }
  }
  for (int i = 0; i < kSize; ++i) bitReversed[i] = static_cast<uint16_t>(reverseBits(i));
}

void Spectrum::reset() {
  std::fill(dryRing.begin(), dryRing.end(), 0.0f);
  std::fill(wetRing.begin(), wetRing.end(), 0.0f);
  writeIndex = 0;
}

void Spectrum::feed(const float* dryL, const float* dryR, const float* outL, const float* outR, int n,
                    int8_t* bandsIn, int8_t* bandsOut) {
  for (int i = 0; i < n; ++i) {
    dryRing[writeIndex] = (dryL[i] + dryR[i]) * 0.5f;
    wetRing[writeIndex] = (outL[i] + outR[i]) * 0.5f;
    writeIndex = (writeIndex + 1) % kSize;
  }
  analyse(dryRing, bandsIn);
  analyse(wetRing, bandsOut);
}

void Spectrum::analyse(const std::vector<float>& ring, int8_t* bands) {
  // Oldest sample first, windowed, in bit-reversed order.
  const int oldest = static_cast<int>(writeIndex);
  for (int i = 0; i < kSize; ++i) {
    const int r = oldest + i < kSize ? oldest + i : oldest + i - kSize;
    re[bitReversed[i]] = ring[r] * window[i];
  }
  std::fill(im.begin(), im.end(), 0.0f);
  float* const xr = re.data();
  float* const xi = im.data();
  for (int size = 2; size <= kSize; size *= 2) {
    const int half = size / 2;
    const float* const wr = twiddleRe.data() + half - 1;
    const float* const wi = twiddleIm.data() + half - 1;
    for (int start = 0; start < kSize; start += size) {
      for (int k = 0; k < half; ++k) {
        const int a = start + k, b = a + half;
        const float tRe = xr[b] * wr[k] - xi[b] * wi[k];
        const float tIm = xr[b] * wi[k] + xi[b] * wr[k];
        xr[b] = xr[a] - tRe;
        xi[b] = xi[a] - tIm;
        xr[a] += tRe;
        xi[a] += tIm;
      }
    }
  }
  constexpr float fullScale = 512.0f * 512.0f;  // a full-scale sine's peak bin, windowed
  for (int k = 0; k < kBands; ++k) {
    const int lo = edges[k];
    const int hi = std::max(edges[k + 1], lo + 1);
    float peak = 0.0f;
    for (int b = lo; b < hi && b <= kSize / 2 - 1; ++b) peak = std::max(peak, re[b] * re[b] + im[b] * im[b]);
    double g = static_cast<double>(peak / fullScale);
    // NaN from a misbehaving plug-in reads as silence; the dB value is bounded
    // before the narrowing cast, so no input can overflow it.
    if (!(g > 1e-10)) g = 1e-10;
    double db = std::round(10.0 * std::log10(g));
    if (db > 0.0) db = 0.0;
    if (db < -99.0) db = -100.0;
    bands[k] = static_cast<int8_t>(db);
  }
}

}  // namespace bridge

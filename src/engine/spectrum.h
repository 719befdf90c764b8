#pragma once
// Two 48-band spectra (dry input and output of one slot) for the level rows,
// each band a peak level in whole dB from -100 to 0.
//
// Threads: constructed on the main thread, then owned by one chain worker, which
// alone calls reset, feed and analyse. Everything is allocated by the
// constructor; afterwards nothing allocates, locks or blocks.
#include <cstdint>
#include <vector>

namespace bridge {

class Spectrum {
 public:
  static constexpr int kSize = 2048;   // FFT points and ring length
  static constexpr int kBands = 48;

  explicit Spectrum(double sampleRate);

  // Worker thread. Clears both rings.
  void reset();
  // Worker thread. Appends n samples of each (mono mix) and analyses both rings
  // over their last 2048 samples into 48 values each.
  void feed(const float* dryL, const float* dryR, const float* outL, const float* outR, int n, int8_t* bandsIn,
            int8_t* bandsOut);
  // Worker thread. One analysis of a ring (oldest sample at writeIndex).
  void analyse(const std::vector<float>& ring, int8_t* bands);

  // Symmetric Hann window and band edges as FFT bins; fixed at construction.
  const std::vector<float> window;
  const std::vector<int> edges;

 private:
  std::vector<float> dryRing;
  std::vector<float> wetRing;
  int64_t writeIndex = 0;
  std::vector<float> re;
  std::vector<float> im;
  // Each stage's twiddles, made by the stage's float recurrence once instead of
  // once per group: the same values, a table look-up per butterfly. Stage of
  // size s starts at s/2 - 1.
  std::vector<float> twiddleRe, twiddleIm;
  std::vector<uint16_t> bitReversed;
};

}  // namespace bridge

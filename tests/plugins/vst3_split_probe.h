// What the vst3_split test bundle records, read by tests through the exported
// function "krevlo_vst3_split_probe" of the same loaded image.
#pragma once

#include <cstdint>

#include "platform/vst3/vst3_base.h"

// Class ids: the words 'KRV3', 'SPL' + n, 0x01020304, 0x0A0B0C0D.
inline constexpr Steinberg::Uid kSplitEffectUid = Steinberg::makeUid(0x4B525633, 0x53504C01, 0x01020304, 0x0A0B0C0D);
inline constexpr Steinberg::Uid kSplitControllerUid =
    Steinberg::makeUid(0x4B525633, 0x53504C02, 0x01020304, 0x0A0B0C0D);

// Parameter ids, all normalised.
enum : uint32_t {
  kSplitLevel = 1,     // kept by the processor, learnt only in process
  kSplitLatency = 2,   // latency = round(64 x value), taken when activated
  kSplitFollower = 3,  // written by the processor: 1 - level, as an output change
  kSplitMeter = 4,     // "Gain Reduction", read-only, written by the processor: level / 2
};

struct Vst3SplitRecord {
  int blocks;        // process calls with samples
  int emptyBlocks;   // process calls with 0 samples
  int activations;   // setActive(true)
  int deactivations; // setActive(false)
  double level;      // the processor's own copy
};

struct Vst3SplitProbe {
  void (*record)(Vst3SplitRecord* out);
};

using Vst3SplitProbeFn = const Vst3SplitProbe* (*)();

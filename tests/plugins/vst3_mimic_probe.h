// What the vst3_mimic test bundle records, read by tests through the exported
// function "krevlo_vst3_mimic_probe" of the same loaded image.
#pragma once

#include <cstdint>
#include <thread>

#include "platform/vst3/vst3_base.h"

// Class ids: the words 'KRV3', 'MIM' + n, 0x01020304, 0x0A0B0C0D.
inline constexpr Steinberg::Uid kMimicEffectUid = Steinberg::makeUid(0x4B525633, 0x4D494D01, 0x01020304, 0x0A0B0C0D);
inline constexpr Steinberg::Uid kMimicControllerUid =
    Steinberg::makeUid(0x4B525633, 0x4D494D02, 0x01020304, 0x0A0B0C0D);

// Parameter ids, all normalised.
enum : uint32_t {
  kMimicLevel = 1,    // kept by the processor, learnt only from blocks with samples
  kMimicLatency = 2,  // latency = round(64 x value); announced from inside process
  kMimicOutput = 3,   // read-only "Output", written by the processor: the block's output peak
};

// Switches a test sets before it acts.
enum : uint32_t {
  kMimicFailComponentSave = 1,   // the component's getState fails
  kMimicFailControllerSave = 2,  // the controller's getState fails
};

struct Vst3MimicRecord {
  int blocks;              // process calls with samples
  int emptyBlocks;         // process calls with 0 samples (ignored)
  int activations;         // setActive(true)
  double level;            // the processor's own copy
  int processingOn;        // setProcessing(true)
  int processingOff;       // setProcessing(false)
  std::thread::id onThread, offThread;  // of the last of each
  int outputCalls;         // setParamNormalized of kMimicOutput on the controller
  double outputValue;      // ... the last value
  int outputOffMain;       // ... calls from a thread other than the controller's creator
};

struct Vst3MimicProbe {
  void (*record)(Vst3MimicRecord* out);
  void (*setSwitches)(uint32_t switches);
};

using Vst3MimicProbeFn = const Vst3MimicProbe* (*)();

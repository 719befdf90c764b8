// What the vst3_fx test bundle records, read by tests through the exported
// function "krevlo_vst3_fx_probe" of the same loaded image (dlopen of the same
// file with RTLD_NOLOAD). Every copy of the bundle records on its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/vst3/vst3_processor.h"

// Class ids: the words 'KRV3', 0x46580000 + kind, 0x01020304, 0x0A0B0C0D.
enum class Vst3FxKind : uint32_t {
  Gain = 1,          // one object; Gain, Mode, a meter, a bypass, a hidden and a read-only parameter; an editor
  Delay = 2,         // component of its own, latency 64, joined to DelayController by messages
  LatencyShift = 3,  // one object; its "Latency" parameter switches the latency between 0 and 128
  Sidechain = 4,     // extra mono audio buses and an event bus beside the stereo ones
  NoCreate = 5,      // the factory refuses to make it
  InitFail = 6,      // initialize fails
  NoProcessor = 7,   // no IAudioProcessor
  NoController = 8,  // no controller, no controller class id
  BadController = 9, // its separate controller's initialize fails
  NoInput = 10,      // no audio input bus
  Mono = 11,         // a mono main bus that refuses stereo
  No32 = 12,         // no 32-bit samples
  Picky = 13,        // only 48000 Hz
  NoStart = 14,      // setActive(true) fails
  FailProcess = 15,  // process fails after scribbling over its outputs
  DelayController = 100,
  FailingController = 101,
};

// Parameter ids of the Gain kind.
enum : uint32_t {
  kFxGain = 10,           // gain = 2 x value; text "%.2f" of the gain
  kFxMeter = 20,          // "Gain Reduction", read-only; units "dB", text "%.1f" of -24 x value
  kFxBypass = 30,
  kFxHidden = 40,
  kFxMode = 50,           // three steps
  kFxOutputLevel = 60,    // read-only, not a meter
  kFxLatency = 5,         // LatencyShift
  kFxLevel = 1,           // Delay: level of the delayed signal, on the controller
};

struct Vst3FxChange {
  uint32_t id;
  int32_t offset;
  double value;
};

struct Vst3FxProbe {
  // The calls so far, one per line ("Gain.initialize", "Delay.setActive 1", ...).
  size_t (*log)(char* out, size_t capacity);
  void (*clearLog)();
  int (*live)();        // live objects: components, controllers, views
  int (*entries)();     // ModuleEntry calls
  int (*blocks)();      // processed blocks
  void (*lastContext)(Steinberg::Vst::ProcessContext* out);
  // The input parameter changes of the last block that had any, in queue order.
  int (*lastChanges)(Vst3FxChange* out, int capacity);
  // Through the component handler of the last object given one, from the calling thread.
  int (*restart)(int32_t flags);
  int (*edit)(uint32_t id, double value);
  // Gain: the title of the Gain parameter, the flags of one parameter, and the
  // controller index whose info is refused (-1: none).
  void (*setTitle)(uint32_t id, const char16_t* title);
  void (*setFlags)(uint32_t id, int32_t flags);
  void (*refuseInfo)(int32_t index);
  // Gain: what the meter reports at the end of each block (default 1 - gain value).
  void (*setMeterOutput)(double value);
};

using Vst3FxProbeFn = const Vst3FxProbe* (*)();

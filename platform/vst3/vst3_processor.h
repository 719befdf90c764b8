#pragma once
// Our own declarations of the VST3 audio processor and the records of one
// processed block. setupProcessing and setProcessing come from the main thread;
// process from the audio thread.
#include <cstddef>

#include "platform/vst3/vst3_component.h"
#include "platform/vst3/vst3_params.h"

namespace Steinberg::Vst {

using SpeakerArrangement = uint64;
using Speaker = uint64;
using Sample32 = float;
using Sample64 = double;
using SampleRate = double;
using TSamples = int64;
using TQuarterNotes = double;

enum ProcessModes : int32 { kRealtime = 0, kPrefetch = 1, kOffline = 2 };
enum SymbolicSampleSizes : int32 { kSample32 = 0, kSample64 = 1 };

namespace SpeakerArr {
inline constexpr SpeakerArrangement kEmpty = 0;
inline constexpr SpeakerArrangement kMono = Speaker(1) << 19;  // centre
inline constexpr SpeakerArrangement kStereo = 3;                // left | right
}  // namespace SpeakerArr

inline constexpr uint32 kNoTail = 0;
inline constexpr uint32 kInfiniteTail = 0xFFFFFFFFu;

struct ProcessSetup {
  int32 processMode;
  int32 symbolicSampleSize;
  int32 maxSamplesPerBlock;
  SampleRate sampleRate;
};

struct AudioBusBuffers {
  int32 numChannels;
  uint64 silenceFlags;  // bit n: channel n is silent
  union {
    Sample32** channelBuffers32;
    Sample64** channelBuffers64;
  };
};

struct Chord {
  uint8 keyNote;
  uint8 rootNote;
  int16 chordMask;
};

struct FrameRate {
  enum FrameRateFlags : uint32 { kPullDownRate = 1 << 0, kDropRate = 1 << 1 };
  uint32 framesPerSecond;
  uint32 flags;
};

struct ProcessContext {
  enum StatesAndFlags : uint32 {
    kPlaying = 1 << 1,
    kCycleActive = 1 << 2,
    kRecording = 1 << 3,
    kSystemTimeValid = 1 << 8,
    kProjectTimeMusicValid = 1 << 9,
    kTempoValid = 1 << 10,
    kBarPositionValid = 1 << 11,
    kCycleValid = 1 << 12,
    kTimeSigValid = 1 << 13,
    kSmpteValid = 1 << 14,
    kClockValid = 1 << 15,
    kContTimeValid = 1 << 17,
    kChordValid = 1 << 18,
  };

  uint32 state;
  double sampleRate;
  TSamples projectTimeSamples;
  int64 systemTime;
  TSamples continousTimeSamples;
  TQuarterNotes projectTimeMusic;
  TQuarterNotes barPositionMusic;
  TQuarterNotes cycleStartMusic;
  TQuarterNotes cycleEndMusic;
  double tempo;
  int32 timeSigNumerator;
  int32 timeSigDenominator;
  Chord chord;
  int32 smpteOffsetSubframes;
  FrameRate frameRate;
  int32 samplesToNextClock;
};

class IEventList;  // note events; this host passes none

struct ProcessData {
  int32 processMode;
  int32 symbolicSampleSize;
  int32 numSamples;
  int32 numInputs;
  int32 numOutputs;
  AudioBusBuffers* inputs;
  AudioBusBuffers* outputs;
  IParameterChanges* inputParameterChanges;
  IParameterChanges* outputParameterChanges;
  IEventList* inputEvents;
  IEventList* outputEvents;
  ProcessContext* processContext;
};

class IAudioProcessor : public FUnknown {
 public:
  virtual tresult setBusArrangements(SpeakerArrangement* inputs, int32 numIns, SpeakerArrangement* outputs,
                                     int32 numOuts) = 0;
  virtual tresult getBusArrangement(BusDirection dir, int32 index, SpeakerArrangement& arr) = 0;
  virtual tresult canProcessSampleSize(int32 symbolicSampleSize) = 0;
  virtual uint32 getLatencySamples() = 0;
  virtual tresult setupProcessing(ProcessSetup& setup) = 0;
  virtual tresult setProcessing(TBool state) = 0;
  virtual tresult process(ProcessData& data) = 0;
  virtual uint32 getTailSamples() = 0;

  static constexpr Uid iid = makeUid(0x42043F99, 0xB7DA453C, 0xA569E79D, 0x9AAEC33D);
};

static_assert(sizeof(ProcessSetup) == 24 && alignof(ProcessSetup) == 8);
static_assert(offsetof(ProcessSetup, maxSamplesPerBlock) == 8 && offsetof(ProcessSetup, sampleRate) == 16);
static_assert(sizeof(AudioBusBuffers) == 24 && alignof(AudioBusBuffers) == 8);
static_assert(offsetof(AudioBusBuffers, silenceFlags) == 8 && offsetof(AudioBusBuffers, channelBuffers32) == 16);
static_assert(sizeof(ProcessData) == 80 && alignof(ProcessData) == 8);
static_assert(offsetof(ProcessData, numSamples) == 8 && offsetof(ProcessData, numInputs) == 12 &&
              offsetof(ProcessData, numOutputs) == 16 && offsetof(ProcessData, inputs) == 24 &&
              offsetof(ProcessData, outputs) == 32 && offsetof(ProcessData, inputParameterChanges) == 40 &&
              offsetof(ProcessData, outputParameterChanges) == 48 && offsetof(ProcessData, inputEvents) == 56 &&
              offsetof(ProcessData, outputEvents) == 64 && offsetof(ProcessData, processContext) == 72);
static_assert(sizeof(Chord) == 4 && sizeof(FrameRate) == 8);
static_assert(sizeof(ProcessContext) == 112 && alignof(ProcessContext) == 8);
static_assert(offsetof(ProcessContext, sampleRate) == 8 && offsetof(ProcessContext, projectTimeSamples) == 16 &&
              offsetof(ProcessContext, systemTime) == 24 && offsetof(ProcessContext, continousTimeSamples) == 32 &&
              offsetof(ProcessContext, projectTimeMusic) == 40 && offsetof(ProcessContext, barPositionMusic) == 48 &&
              offsetof(ProcessContext, cycleStartMusic) == 56 && offsetof(ProcessContext, cycleEndMusic) == 64 &&
              offsetof(ProcessContext, tempo) == 72 && offsetof(ProcessContext, timeSigNumerator) == 80 &&
              offsetof(ProcessContext, timeSigDenominator) == 84 && offsetof(ProcessContext, chord) == 88 &&
              offsetof(ProcessContext, smpteOffsetSubframes) == 92 && offsetof(ProcessContext, frameRate) == 96 &&
              offsetof(ProcessContext, samplesToNextClock) == 104);
// The context flags a block carries whatever the transport does.
static_assert((ProcessContext::kContTimeValid | ProcessContext::kTimeSigValid | ProcessContext::kBarPositionValid |
               ProcessContext::kTempoValid | ProcessContext::kProjectTimeMusicValid) == 0x22E00);

}  // namespace Steinberg::Vst

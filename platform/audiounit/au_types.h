#pragma once
// The plain data of our in-process Audio Unit layer: status codes, component
// descriptions, stream formats, buffer lists, time stamps, the host's callback
// table and the parameter units and flags. Pure declarations; any thread.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bridge::au {

using Status = int32_t;
inline constexpr Status kNoErr = 0;
// Failures a unit answers with; the values are what callers print.
inline constexpr Status kErrInvalidProperty = -10879;
inline constexpr Status kErrInvalidParameter = -10878;
inline constexpr Status kErrInvalidElement = -10877;
inline constexpr Status kErrFailedInitialization = -10875;
inline constexpr Status kErrFormatNotSupported = -10868;
inline constexpr Status kErrUninitialized = -10867;
inline constexpr Status kErrInvalidScope = -10866;
inline constexpr Status kErrCannotDoInCurrentContext = -10863;
inline constexpr Status kErrRenderFailed = -10849;
inline constexpr Status kErrTooManyFrames = -10874;

// A four-character code from its text, first character most significant.
constexpr uint32_t fourCc(const char (&text)[5]) {
  return uint32_t(uint8_t(text[0])) << 24 | uint32_t(uint8_t(text[1])) << 16 | uint32_t(uint8_t(text[2])) << 8 |
         uint32_t(uint8_t(text[3]));
}

inline constexpr uint32_t kTypeEffect = fourCc("aufx");
inline constexpr uint32_t kTypeMusicEffect = fourCc("aumf");

// What a component is; subtype and manufacturer 0 match every value when a
// description is used to search.
struct ComponentDescription {
  uint32_t type = 0;
  uint32_t subtype = 0;
  uint32_t manufacturer = 0;
  uint32_t flags = 0;
  uint32_t flagsMask = 0;
};

inline bool sameComponent(const ComponentDescription& a, const ComponentDescription& b) {
  return a.type == b.type && a.subtype == b.subtype && a.manufacturer == b.manufacturer;
}

// Instantiation options.
inline constexpr uint32_t kInstantiateInProcess = 0;
inline constexpr uint32_t kInstantiateOutOfProcess = 1u << 1;

enum class Scope : uint32_t { Global = 0, Input = 1, Output = 2 };

// Linear PCM stream description.
inline constexpr uint32_t kFormatLinearPcm = fourCc("lpcm");
inline constexpr uint32_t kFormatFlagIsFloat = 1u << 0;
inline constexpr uint32_t kFormatFlagIsPacked = 1u << 3;
inline constexpr uint32_t kFormatFlagIsNonInterleaved = 1u << 5;

struct StreamDescription {
  double sampleRate = 0.0;
  uint32_t formatId = 0;
  uint32_t formatFlags = 0;
  uint32_t bytesPerPacket = 0;
  uint32_t framesPerPacket = 0;
  uint32_t bytesPerFrame = 0;
  uint32_t channelsPerFrame = 0;
  uint32_t bitsPerChannel = 0;
  uint32_t reserved = 0;
};

// The standard format: deinterleaved 32-bit float at `sampleRate`; none for a
// rate that is not positive and finite or a channel count of 0.
std::optional<StreamDescription> standardFormat(double sampleRate, uint32_t channels);
// Whether `format` is the standard stereo format at some rate.
bool isStandardStereo(const StreamDescription& format);

struct AudioBuffer {
  uint32_t numberChannels = 0;
  uint32_t dataByteSize = 0;
  void* data = nullptr;
};

// A buffer list with room for two buffers, which is all stereo needs.
struct AudioBufferList {
  uint32_t numberBuffers = 0;
  AudioBuffer buffers[2];
};

inline constexpr uint32_t kTimeStampSampleTimeValid = 1u << 0;

struct TimeStamp {
  double sampleTime = 0.0;
  uint64_t hostTime = 0;
  double rateScalar = 0.0;
  uint64_t wordClockTime = 0;
  uint32_t flags = 0;
};

using ActionFlags = uint32_t;

// The input render callback: fills `data` with `frames` frames of input
// element `bus`. Runs inside render, on the rendering thread.
using RenderProc = Status (*)(void* refCon, ActionFlags* flags, const TimeStamp* time, uint32_t bus,
                              uint32_t frames, AudioBufferList* data);
struct RenderCallback {
  RenderProc proc = nullptr;
  void* refCon = nullptr;
};

// The host's answers about musical time and transport. Each fills only the
// outputs that are not null. Run on the rendering thread.
using BeatAndTempoProc = Status (*)(void* userData, double* currentBeat, double* currentTempo);
using MusicalTimeProc = Status (*)(void* userData, uint32_t* samplesToNextBeat, float* timeSigNumerator,
                                   uint32_t* timeSigDenominator, double* currentMeasureDownBeat);
using TransportStateProc = Status (*)(void* userData, bool* isPlaying, bool* transportStateChanged,
                                      double* currentSampleInTimeLine, bool* isCycling, double* cycleStartBeat,
                                      double* cycleEndBeat);
using TransportState2Proc = Status (*)(void* userData, bool* isPlaying, bool* isRecording,
                                       bool* transportStateChanged, double* currentSampleInTimeLine,
                                       bool* isCycling, double* cycleStartBeat, double* cycleEndBeat);
struct HostCallbacks {
  void* userData = nullptr;
  BeatAndTempoProc beatAndTempo = nullptr;
  MusicalTimeProc musicalTime = nullptr;
  TransportStateProc transportState = nullptr;
  TransportState2Proc transportState2 = nullptr;
};

// Parameter units.
enum class ParameterUnit : uint32_t {
  Generic = 0,
  Indexed = 1,
  Boolean = 2,
  Percent = 3,
  Seconds = 4,
  SampleFrames = 5,
  Phase = 6,
  Rate = 7,
  Hertz = 8,
  Cents = 9,
  RelativeSemiTones = 10,
  MidiNoteNumber = 11,
  MidiController = 12,
  Decibels = 13,
  LinearGain = 14,
  Degrees = 15,
  EqualPowerCrossfade = 16,
  MixerFaderCurve1 = 17,
  Pan = 18,
  Meters = 19,
  AbsoluteCents = 20,
  Octaves = 21,
  Bpm = 22,
  Beats = 23,
  Milliseconds = 24,
  Ratio = 25,
  CustomUnit = 26,
};

// Parameter flags.
inline constexpr uint32_t kParameterFlagMeterReadOnly = 1u << 15;
inline constexpr uint32_t kParameterFlagIsReadable = 1u << 30;
inline constexpr uint32_t kParameterFlagIsWritable = 1u << 31;

// What the parameter-info property tells about a global parameter.
struct ParameterInfo {
  std::string name;
  ParameterUnit unit = ParameterUnit::Generic;
  float minValue = 0.0f;
  float maxValue = 0.0f;
  float defaultValue = 0.0f;
  uint32_t flags = 0;
};

// The legacy view property: where the view's classes live and their names.
struct CocoaViewInfo {
  std::string bundleLocation;
  std::vector<std::string> classNames;
};

}  // namespace bridge::au

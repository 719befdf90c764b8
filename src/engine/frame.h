#pragma once
// The binary audio frame: a 64-byte little-endian header, then `frames` left
// float32 samples, then `frames` right ones. Input frames start 1, 2; output
// frames 2, 2.
//
// Everything here is a pure function over bytes: any thread, no allocation, no
// lock. Timeline values are 32-bit and wrap: a browser timeline passes 2^31
// samples after about 12 hours at 48 kHz, so position arithmetic is done modulo
// 2^32 (wrapAdd/wrapSub) and never overflows.
#include <cstddef>
#include <cstdint>

#include "hosting/plugin.h"

namespace bridge {

inline constexpr size_t kFrameHeaderBytes = 64;
inline constexpr int32_t kMaxFrameSamples = 4096;  // samples per channel in one block
inline constexpr uint8_t kInputFrameKind = 1;
inline constexpr uint8_t kOutputFrameKind = 2;
inline constexpr uint8_t kFrameChannels = 2;

// Offsets of the header fields.
namespace frame_offset {
inline constexpr size_t kind = 0;
inline constexpr size_t channels = 1;
inline constexpr size_t stream = 2;
inline constexpr size_t epoch = 4;
inline constexpr size_t position = 8;
inline constexpr size_t frames = 12;
inline constexpr size_t flags = 16;
inline constexpr size_t timeSigNumerator = 20;
inline constexpr size_t timeSigDenominator = 24;
inline constexpr size_t spare = 28;
inline constexpr size_t timelineSample = 32;
inline constexpr size_t tempo = 40;
inline constexpr size_t opaque = 48;
}  // namespace frame_offset

inline constexpr uint32_t kFlagPlaying = 1u << 0;
inline constexpr uint32_t kFlagLooping = 1u << 1;

// The header as sent, without defaults applied.
struct FrameHeader {
  uint8_t kind = 0;
  uint8_t channels = 0;
  uint16_t stream = 0;
  int32_t epoch = 0;
  int32_t position = 0;
  int32_t frames = 0;
  uint32_t flags = 0;
  int32_t timeSigNumerator = 0;
  int32_t timeSigDenominator = 0;
  int32_t spare = 0;
  double timelineSample = 0.0;
  double tempo = 0.0;
};

// Modulo-2^32 arithmetic on timeline values.
constexpr int32_t wrapAdd(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
constexpr int32_t wrapSub(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// Reads the header fields of any 64 bytes or more; false when shorter.
bool readFrameHeader(const uint8_t* data, size_t size, FrameHeader& header);

// Applies every acceptance rule of an input frame: at least 64 bytes, kind 1,
// 2 channels, 1..4096 frames and a length of exactly 64 + 8 x frames. Fills
// `header` only when the frame is accepted.
bool parseInputFrame(const uint8_t* data, size_t size, FrameHeader& header);

// Block size the real-time layer is told about for a queued message: its frame
// count when that field is readable and in range, else 1024.
int32_t frameBlockSize(const uint8_t* data, size_t size);

// What plug-ins receive: tempo 120 for a tempo that is not a positive finite
// number, 4 for a time-signature field of 0 or less.
Transport transportFor(const FrameHeader& header, double sampleRate);

// Samples of this block still swallowed by the latency captured at the start of
// the run: max(0, resetPosition + latencyAtReset - position), modulo 2^32.
int32_t swallowedSamples(int32_t resetPosition, int32_t latencyAtReset, int32_t position);

// Bytes of the output frame for `frames` input samples of which `swallowed` are
// dropped; 0 when nothing is left to send.
size_t outputFrameBytes(int32_t frames, int32_t swallowed);

// Writes the output frame into `frame`, which holds the accepted input frame
// (header and room for its samples): the output header from the input header,
// then left and right samples `swallowed`.. of the processed `left`/`right`.
// The samples come from separate buffers, so writing over the input is safe.
// Returns the output size (outputFrameBytes); the caller shrinks the buffer to it.
size_t writeOutputFrame(uint8_t* frame, const FrameHeader& input, int32_t latencyAtReset, int32_t swallowed,
                        const float* left, const float* right);

// Copies the input frame's left and right samples into planar buffers of at
// least `header.frames` samples each.
void readFrameSamples(const uint8_t* frame, const FrameHeader& header, float* left, float* right);

}  // namespace bridge

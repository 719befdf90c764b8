#include "engine/frame.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace bridge {

// Samples are copied with memcpy between the wire and float buffers, which is
// only a byte-exact conversion on a little-endian host.
static_assert(std::endian::native == std::endian::little, "the frame layout is little-endian");
static_assert(sizeof(float) == 4 && sizeof(double) == 8);

namespace {

template <typename T>
T load(const uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

template <typename T>
void store(uint8_t* p, T value) {
  std::memcpy(p, &value, sizeof value);
}

}  // namespace

bool readFrameHeader(const uint8_t* data, size_t size, FrameHeader& header) {
  if (data == nullptr || size < kFrameHeaderBytes) return false;
  header.kind = data[frame_offset::kind];
  header.channels = data[frame_offset::channels];
  header.stream = load<uint16_t>(data + frame_offset::stream);
  header.epoch = load<int32_t>(data + frame_offset::epoch);
  header.position = load<int32_t>(data + frame_offset::position);
  header.frames = load<int32_t>(data + frame_offset::frames);
  header.flags = load<uint32_t>(data + frame_offset::flags);
  header.timeSigNumerator = load<int32_t>(data + frame_offset::timeSigNumerator);
  header.timeSigDenominator = load<int32_t>(data + frame_offset::timeSigDenominator);
  header.spare = load<int32_t>(data + frame_offset::spare);
  header.timelineSample = load<double>(data + frame_offset::timelineSample);
  header.tempo = load<double>(data + frame_offset::tempo);
  return true;
}

bool parseInputFrame(const uint8_t* data, size_t size, FrameHeader& header) {
  FrameHeader h;
  if (!readFrameHeader(data, size, h)) return false;
  if (h.kind != kInputFrameKind || h.channels != kFrameChannels) return false;
  if (h.frames < 1 || h.frames > kMaxFrameSamples) return false;
  if (size != kFrameHeaderBytes + 8 * static_cast<size_t>(h.frames)) return false;
  header = h;
  return true;
}

int32_t frameBlockSize(const uint8_t* data, size_t size) {
  if (data == nullptr || size < kFrameHeaderBytes) return 1024;
  int32_t frames = load<int32_t>(data + frame_offset::frames);
  return (frames >= 1 && frames <= kMaxFrameSamples) ? frames : 1024;
}

Transport transportFor(const FrameHeader& header, double sampleRate) {
  Transport t;
  t.timelineSample = header.timelineSample;
  // NaN and infinity would reach every plug-in's beat arithmetic; they mean the
  // default just as 0 does.
  t.tempo = (std::isfinite(header.tempo) && header.tempo > 0.0) ? header.tempo : 120.0;
  t.timeSigNumerator = header.timeSigNumerator > 0 ? header.timeSigNumerator : 4;
  t.timeSigDenominator = header.timeSigDenominator > 0 ? header.timeSigDenominator : 4;
  t.playing = (header.flags & kFlagPlaying) != 0;
  t.looping = (header.flags & kFlagLooping) != 0;
  t.sampleRate = sampleRate;
  return t;
}

int32_t swallowedSamples(int32_t resetPosition, int32_t latencyAtReset, int32_t position) {
  int32_t d = wrapSub(wrapAdd(resetPosition, latencyAtReset), position);
  return d > 0 ? d : 0;
}

size_t outputFrameBytes(int32_t frames, int32_t swallowed) {
  if (swallowed >= frames) return 0;
  return kFrameHeaderBytes + 8 * static_cast<size_t>(frames - swallowed);
}

size_t writeOutputFrame(uint8_t* frame, const FrameHeader& input, int32_t latencyAtReset, int32_t swallowed,
                        const float* left, const float* right) {
  const size_t bytes = outputFrameBytes(input.frames, swallowed);
  if (bytes == 0) return 0;
  const int32_t n = input.frames - swallowed;
  frame[frame_offset::kind] = kOutputFrameKind;
  frame[frame_offset::channels] = kFrameChannels;
  store<uint16_t>(frame + frame_offset::stream, input.stream);
  store<int32_t>(frame + frame_offset::epoch, input.epoch);
  store<int32_t>(frame + frame_offset::position, wrapAdd(wrapSub(input.position, latencyAtReset), swallowed));
  store<int32_t>(frame + frame_offset::frames, n);
  // Bytes 16..63 are echoed as they came: they are already in place.
  std::memcpy(frame + kFrameHeaderBytes, left + swallowed, 4 * static_cast<size_t>(n));
  std::memcpy(frame + kFrameHeaderBytes + 4 * static_cast<size_t>(n), right + swallowed, 4 * static_cast<size_t>(n));
  return bytes;
}

void readFrameSamples(const uint8_t* frame, const FrameHeader& header, float* left, float* right) {
  const size_t bytes = 4 * static_cast<size_t>(header.frames);
  std::memcpy(left, frame + kFrameHeaderBytes, bytes);
  std::memcpy(right, frame + kFrameHeaderBytes + bytes, bytes);
}

}  // namespace bridge

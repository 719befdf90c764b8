#pragma once
// Builds input audio frames and reads output frames the way a browser peer does,
// byte by byte, independent of the engine's own parser.
#include <cstdint>
#include <cstring>
#include <vector>

namespace bridge::test {

struct FrameSpec {
  uint8_t kind = 1;
  uint8_t channels = 2;
  uint16_t stream = 1;
  int32_t epoch = 0;
  int32_t position = 0;
  uint32_t flags = 0;
  int32_t timeSigNumerator = 4;
  int32_t timeSigDenominator = 4;
  int32_t spare = 0;
  double timelineSample = 0.0;
  double tempo = 120.0;
  uint8_t opaque[16] = {};
};

template <typename T>
void putLe(std::vector<uint8_t>& bytes, size_t at, T value) {
  std::memcpy(bytes.data() + at, &value, sizeof value);
}

template <typename T>
T getLe(const std::vector<uint8_t>& bytes, size_t at) {
  T value{};
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

// A frame of left.size() samples (right must be as long).
inline std::vector<uint8_t> makeFrame(const FrameSpec& s, const std::vector<float>& left,
                                      const std::vector<float>& right) {
  const int32_t frames = static_cast<int32_t>(left.size());
  std::vector<uint8_t> b(64 + 8 * left.size());
  b[0] = s.kind;
  b[1] = s.channels;
  putLe(b, 2, s.stream);
  putLe(b, 4, s.epoch);
  putLe(b, 8, s.position);
  putLe(b, 12, frames);
  putLe(b, 16, s.flags);
  putLe(b, 20, s.timeSigNumerator);
  putLe(b, 24, s.timeSigDenominator);
  putLe(b, 28, s.spare);
  putLe(b, 32, s.timelineSample);
  putLe(b, 40, s.tempo);
  std::memcpy(b.data() + 48, s.opaque, 16);
  std::memcpy(b.data() + 64, left.data(), 4 * left.size());
  std::memcpy(b.data() + 64 + 4 * left.size(), right.data(), 4 * right.size());
  return b;
}

// A frame of `frames` samples with both channels set to `value`.
inline std::vector<uint8_t> makeFrame(const FrameSpec& s, int frames, float value = 0.0f) {
  std::vector<float> samples(static_cast<size_t>(frames), value);
  return makeFrame(s, samples, samples);
}

// An output frame as the browser reads it.
struct OutputFrame {
  uint8_t kind = 0, channels = 0;
  uint16_t stream = 0;
  int32_t epoch = 0, position = 0, frames = 0;
  std::vector<float> left, right;
  bool valid = false;  // the length matches the frame count
};

inline OutputFrame readOutput(const std::vector<uint8_t>& b) {
  OutputFrame o;
  if (b.size() < 64) return o;
  o.kind = b[0];
  o.channels = b[1];
  o.stream = getLe<uint16_t>(b, 2);
  o.epoch = getLe<int32_t>(b, 4);
  o.position = getLe<int32_t>(b, 8);
  o.frames = getLe<int32_t>(b, 12);
  if (o.frames < 0 || b.size() != 64 + 8 * static_cast<size_t>(o.frames)) return o;
  o.left.resize(static_cast<size_t>(o.frames));
  o.right.resize(static_cast<size_t>(o.frames));
  std::memcpy(o.left.data(), b.data() + 64, 4 * o.left.size());
  std::memcpy(o.right.data(), b.data() + 64 + 4 * o.left.size(), 4 * o.right.size());
  o.valid = true;
  return o;
}

}  // namespace bridge::test

// Whatever bytes a page sends as a binary message, the frame parser must not read
// out of bounds, and an accepted frame must satisfy every rule the audio path
// relies on: its length, its sample count, plug-in-safe transport values and an
// output frame that fits in the input's storage.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so any read past the end is caught.
  std::vector<uint8_t> bytes(data, data + size);
  const int32_t block = bridge::frameBlockSize(bytes.data(), bytes.size());
  if (block < 1 || block > bridge::kMaxFrameSamples) std::abort();

  bridge::FrameHeader h;
  if (!bridge::parseInputFrame(bytes.data(), bytes.size(), h)) return 0;
  if (h.kind != 1 || h.channels != 2 || h.frames < 1 || h.frames > bridge::kMaxFrameSamples) std::abort();
  if (bytes.size() != bridge::kFrameHeaderBytes + 8 * static_cast<size_t>(h.frames)) std::abort();

  bridge::Transport t = bridge::transportFor(h, 48000.0);
  if (!(t.tempo > 0.0) || !std::isfinite(t.tempo) || t.timeSigNumerator <= 0 || t.timeSigDenominator <= 0) std::abort();

  std::vector<float> left(static_cast<size_t>(h.frames)), right(static_cast<size_t>(h.frames));
  bridge::readFrameSamples(bytes.data(), h, left.data(), right.data());
  // Reset and latency drawn from the frame itself, to reach wrap-around cases.
  const int32_t latency = static_cast<int32_t>(static_cast<uint32_t>(h.spare) % (1u << 21));
  const int32_t d = bridge::swallowedSamples(h.epoch, latency, h.position);
  if (d < 0) std::abort();
  const std::vector<uint8_t> input = bytes;
  const size_t n = bridge::writeOutputFrame(bytes.data(), h, latency, d, left.data(), right.data());
  if (n != bridge::outputFrameBytes(h.frames, d) || n > input.size()) std::abort();
  if (n == 0) return 0;
  if (bytes[0] != 2 || bytes[1] != 2 || std::memcmp(bytes.data() + 16, input.data() + 16, 48) != 0) std::abort();
  // The samples kept are the input's tail, unchanged.
  const size_t kept = static_cast<size_t>(h.frames - d);
  if (std::memcmp(bytes.data() + 64, input.data() + 64 + 4 * static_cast<size_t>(d), 4 * kept) != 0) std::abort();
  return 0;
}

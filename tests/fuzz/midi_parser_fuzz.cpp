// Whatever bytes a device or a page sends, the parser must not crash, must emit
// only well-formed messages, and must emit the same ones however the stream is cut.
// The first input byte picks the cut; the rest is the stream.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/midi_parser.h"

namespace {

using Messages = std::vector<std::vector<uint8_t>>;

void check(const std::vector<uint8_t>& m) {
  if (m.empty() || m[0] < 0x80) std::abort();
  if (m[0] == 0xF0) {
    if (m.size() < 2 || m.size() > bridge::MidiParser::kMaxSysex || m.back() != 0xF7) std::abort();
    for (size_t i = 1; i + 1 < m.size(); ++i)
      if (m[i] >= 0x80) std::abort();
    return;
  }
  if (m[0] == 0xF7 || m[0] == 0xF8 || m[0] == 0xFE) std::abort();
  if (m.size() != static_cast<size_t>(bridge::midiDataBytes(m[0])) + 1) std::abort();
  for (size_t i = 1; i < m.size(); ++i)
    if (m[i] >= 0x80) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t step = data[0] % 17 + 1;
  ++data;
  --size;

  Messages whole, cut;
  bridge::MidiParser a, b;
  a.feed(data, size, [&](const uint8_t* d, size_t n) { whole.emplace_back(d, d + n); });
  for (size_t at = 0; at < size; at += step) {
    const size_t n = size - at < step ? size - at : step;
    b.feed(data + at, n, [&](const uint8_t* d, size_t len) { cut.emplace_back(d, d + len); });
  }
  if (whole != cut) std::abort();
  for (const auto& m : whole) check(m);
  return 0;
}

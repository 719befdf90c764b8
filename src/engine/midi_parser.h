#pragma once
// Cuts a MIDI 1.0 byte stream into complete messages: running status, real-time
// bytes anywhere (also inside other messages), system-exclusive messages of at
// most 1024 bytes (0xF0 and 0xF7 included). Malformed input is dropped silently.
//
// Threads: one parser belongs to one thread at a time; it has no locks. feed never
// blocks, and never allocates once constructed: the collecting buffer is reserved
// up front at its largest size, so an input's reader thread can use it freely.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace bridge {

// Data bytes that follow a status byte: 1 or 2 for channel messages, -1 for
// 0xF0 (up to 0xF7), 1/2/1 for 0xF1/0xF2/0xF3, 0 for everything else.
int midiDataBytes(uint8_t status);

class MidiParser {
 public:
  // One complete message; the pointer is valid only during the call.
  using Emit = std::function<void(const uint8_t* data, size_t n)>;

  // Largest system-exclusive message kept, 0xF0 and 0xF7 included.
  static constexpr size_t kMaxSysex = 1024;

  MidiParser();

  // Consumes n bytes and calls emit once per complete message, in stream order,
  // before returning. State carries over between calls, so a message may be
  // split across them.
  void feed(const uint8_t* data, size_t n, const Emit& emit);

 private:
  void statusByte(uint8_t b, const Emit& emit);

  std::vector<uint8_t> buffer;  // the message being collected, status first
  uint8_t runningStatus = 0;    // last channel status, 0 = none
  bool inSysex = false;
  bool overflow = false;        // the current system-exclusive message is too long
};

}  // namespace bridge

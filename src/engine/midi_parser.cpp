#include "engine/midi_parser.h"

namespace bridge {

int midiDataBytes(uint8_t status) {
  if (status >= 0x80 && status <= 0xEF) return (status & 0xE0) == 0xC0 ? 1 : 2;
  switch (status) {
    case 0xF0: return -1;
    case 0xF1: return 1;
    case 0xF2: return 2;
    case 0xF3: return 1;
    default: return 0;
  }
}

MidiParser::MidiParser() { buffer.reserve(kMaxSysex); }

void MidiParser::feed(const uint8_t* data, size_t n, const Emit& emit) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = data[i];

    // Real-time bytes interleave with everything and leave the state alone.
    if (b >= 0xF8) {
      if (b != 0xF8 && b != 0xFE) emit(&b, 1);  // clock and active sensing are noise here
      continue;
    }

    if (inSysex) {
      if (b == 0xF7) {
        inSysex = false;
        if (!overflow) {
          buffer.push_back(b);
          emit(buffer.data(), buffer.size());
        }
        buffer.clear();
        continue;
      }
      if (b < 0x80) {
        // Room for the closing 0xF7 is kept, so the whole message fits kMaxSysex.
        if (buffer.size() > kMaxSysex - 2)
          overflow = true;
        else
          buffer.push_back(b);
        continue;
      }
      // Any other status byte cuts the system-exclusive message off unsent.
      inSysex = false;
      buffer.clear();
      statusByte(b, emit);
      continue;
    }

    if (b < 0x80) {
      if (buffer.empty()) {
        if (runningStatus == 0) continue;  // data without a status
        buffer.push_back(runningStatus);
      }
      buffer.push_back(b);
      if (buffer.size() == static_cast<size_t>(midiDataBytes(buffer[0])) + 1) {
        emit(buffer.data(), buffer.size());
        buffer.clear();
      }
      continue;
    }

    statusByte(b, emit);
  }
}

void MidiParser::statusByte(uint8_t b, const Emit& emit) {
  buffer.clear();  // an unfinished message is dropped
  if (b == 0xF7) return;  // end of exclusive without a start
  if (b == 0xF0) {
    inSysex = true;
    overflow = false;
    runningStatus = 0;
    buffer.push_back(b);
    return;
  }
  if (b <= 0xEF) {
    runningStatus = b;
    buffer.push_back(b);
    return;
  }
  runningStatus = 0;  // system common messages cancel running status
  if (b <= 0xF3) {
    buffer.push_back(b);
    return;
  }
  emit(&b, 1);  // 0xF4, 0xF5, 0xF6 stand alone
}

}  // namespace bridge

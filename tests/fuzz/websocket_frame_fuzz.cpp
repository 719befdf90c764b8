// Whatever bytes a page sends after the upgrade, reading frames must not crash,
// never consume more than it was given, and find the same messages and control
// frames however the stream was split into reads.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "server/websocket_frame.h"

namespace {

struct Event {
  int kind;
  std::string bytes;
  bool operator==(const Event&) const = default;
};

std::vector<Event> read(const uint8_t* data, size_t size, size_t cut) {
  bridge::FrameReader reader;
  std::vector<uint8_t> buffer;
  std::vector<Event> events;
  for (auto [from, to] : {std::pair<size_t, size_t>{0, cut}, {cut, size}}) {
    buffer.insert(buffer.end(), data + from, data + to);
    size_t pos = 0;
    for (;;) {
      bridge::FrameEvent ev = reader.next(buffer.data() + pos, buffer.size() - pos);
      if (ev.kind == bridge::FrameEvent::kNeedMore) break;
      if (ev.consumed > buffer.size() - pos) std::abort();
      Event e{ev.kind, {}};
      if (ev.kind == bridge::FrameEvent::kText || ev.kind == bridge::FrameEvent::kBinary)
        e.bytes.assign(ev.message.begin(), ev.message.end());
      if (ev.kind == bridge::FrameEvent::kPing || ev.kind == bridge::FrameEvent::kClose) {
        if (ev.payload < buffer.data() + pos || ev.payload + ev.payloadSize > buffer.data() + pos + ev.consumed)
          std::abort();
        e.bytes.assign(reinterpret_cast<const char*>(ev.payload), ev.payloadSize);
      }
      events.push_back(e);
      if (ev.kind == bridge::FrameEvent::kInvalid) return events;
      if (ev.consumed == 0) std::abort();
      pos += ev.consumed;
    }
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(pos));
  }
  return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t cut = (data[0] * 257u) % size;
  std::vector<Event> whole = read(data + 1, size - 1, size - 1);
  if (read(data + 1, size - 1, cut) != whole) std::abort();

  // What the server sends must read back as the same message once masked.
  std::vector<uint8_t> payload(data + 1, data + size);
  std::vector<uint8_t> frame = bridge::encodeFrame(bridge::kWsBinary, payload.data(), payload.size());
  size_t header = frame.size() - payload.size();
  std::vector<uint8_t> masked(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(header));
  masked[1] |= 0x80;
  const uint8_t key[4] = {data[0], 0x5A, 0xA5, 0x3C};
  masked.insert(masked.end(), key, key + 4);
  for (size_t i = 0; i < payload.size(); ++i) masked.push_back(payload[i] ^ key[i % 4]);
  bridge::FrameReader reader;
  bridge::FrameEvent ev = reader.next(masked.data(), masked.size());
  if (ev.kind != bridge::FrameEvent::kBinary || ev.message != payload || ev.consumed != masked.size()) std::abort();
  return 0;
}

#include "server/websocket_frame.h"

#include <cstring>

namespace bridge {

namespace {

// XOR with the 4-byte key, eight bytes at a time where possible.
void unmask(uint8_t* p, size_t n, const uint8_t key[4]) {
  uint8_t key8[8];
  for (int i = 0; i < 8; ++i) key8[i] = key[i % 4];
  uint64_t k;
  std::memcpy(&k, key8, 8);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    w ^= k;
    std::memcpy(p + i, &w, 8);
  }
  for (; i < n; ++i) p[i] ^= key[i % 4];
}

// The frame header at the front of data[0..size): its size before the masking
// key and the announced payload length. False until the whole header is there.
bool readHeader(const uint8_t* data, size_t size, size_t& header, uint64_t& length) {
  if (size < 2) return false;
  const uint8_t code = data[1] & 0x7F;
  header = code == 126 ? 4 : code == 127 ? 10 : 2;
  if (size < header) return false;
  length = code;
  if (code == 126) {
    length = (uint64_t{data[2]} << 8) | data[3];
  } else if (code == 127) {
    length = 0;
    for (int i = 0; i < 8; ++i) length = (length << 8) | data[2 + i];
  }
  return true;
}

}  // namespace

std::vector<uint8_t> encodeFrame(uint8_t opcode, const uint8_t* payload, size_t size) {
  std::vector<uint8_t> out;
  size_t header = size <= 125 ? 2 : size <= 65535 ? 4 : 10;
  out.resize(header + size);
  out[0] = static_cast<uint8_t>(0x80 | opcode);
  if (size <= 125) {
    out[1] = static_cast<uint8_t>(size);
  } else if (size <= 65535) {
    out[1] = 126;
    out[2] = static_cast<uint8_t>(size >> 8);
    out[3] = static_cast<uint8_t>(size);
  } else {
    out[1] = 127;
    for (int i = 0; i < 8; ++i) out[2 + i] = static_cast<uint8_t>(static_cast<uint64_t>(size) >> (56 - 8 * i));
  }
  if (size) std::memcpy(out.data() + header, payload, size);
  return out;
}

size_t closeEchoSize(size_t peerPayloadSize) { return peerPayloadSize < 2 ? peerPayloadSize : 2; }

size_t frameSpan(const uint8_t* data, size_t size) {
  size_t header;
  uint64_t length;
  if (!readHeader(data, size, header, length)) return 10 + 4;
  if (length > kMaxFramePayload) length = kMaxFramePayload;
  return header + 4 + static_cast<size_t>(length);
}

FrameEvent FrameReader::next(uint8_t* data, size_t size) {
  FrameEvent ev;
  size_t header;
  uint64_t length;
  if (!readHeader(data, size, header, length)) return ev;
  const bool fin = (data[0] & 0x80) != 0;
  const uint8_t opcode = data[0] & 0x0F;
  const bool masked = (data[1] & 0x80) != 0;
  // Refused before the payload arrives, so a huge announcement costs nothing.
  if (!masked || length > kMaxFramePayload) {
    ev.kind = FrameEvent::kInvalid;
    return ev;
  }
  header += 4;
  if (size < header || size - header < length) return ev;
  uint8_t* payload = data + header;
  const size_t n = static_cast<size_t>(length);
  unmask(payload, n, data + header - 4);
  ev.consumed = header + n;
  ev.kind = FrameEvent::kNone;

  switch (opcode) {
    case kWsClose:
    case kWsPing:
      ev.kind = opcode == kWsClose ? FrameEvent::kClose : FrameEvent::kPing;
      ev.payload = payload;
      ev.payloadSize = n;
      return ev;
    case kWsPong:
      return ev;
    case kWsText:
    case kWsBinary:
      // A new message replaces an unfinished one.
      message_.clear();
      messageOpcode_ = opcode;
      break;
    case kWsContinuation:
      if (messageOpcode_ == 0) {
        ev.kind = FrameEvent::kInvalid;
        return ev;
      }
      break;
    default:
      ev.kind = FrameEvent::kInvalid;
      return ev;
  }
  if (message_.size() + n > kMaxMessageSize) {
    ev.kind = FrameEvent::kInvalid;
    return ev;
  }
  message_.insert(message_.end(), payload, payload + n);
  if (fin) {
    ev.kind = messageOpcode_ == kWsText ? FrameEvent::kText : FrameEvent::kBinary;
    ev.message = std::move(message_);
    message_.clear();
    messageOpcode_ = 0;
  }
  return ev;
}

}  // namespace bridge

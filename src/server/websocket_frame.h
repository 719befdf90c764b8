#pragma once
// WebSocket framing: encoding the server's frames, and reading the browser's
// frames into messages and control events. Pure code over bytes, no I/O.
// A FrameReader belongs to one connection thread; the free functions are for any thread.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace bridge {

enum WsOpcode : uint8_t {
  kWsContinuation = 0,
  kWsText = 1,
  kWsBinary = 2,
  kWsClose = 8,
  kWsPing = 9,
  kWsPong = 10,
};

constexpr size_t kMaxFramePayload = 33554432;  // one received frame
constexpr size_t kMaxMessageSize = 33554432;   // one assembled message

// One unfragmented, unmasked server frame: FIN, opcode, the shortest length form, payload.
std::vector<uint8_t> encodeFrame(uint8_t opcode, const uint8_t* payload, size_t size);

// The payload of the close frame that answers a peer's close: its status code
// (the first two bytes), or the whole payload when shorter.
size_t closeEchoSize(size_t peerPayloadSize);

// The bytes that the frame at the front of data[0..size) takes in all (header,
// masking key and payload) once its header is there; until then the longest
// header. A length past kMaxFramePayload counts as kMaxFramePayload: such a
// frame is refused as soon as its header is read.
size_t frameSpan(const uint8_t* data, size_t size);

struct FrameEvent {
  enum Kind {
    kNeedMore,  // no complete frame at the front; nothing consumed
    kNone,      // a frame was consumed that asks for nothing (a pong, a fragment)
    kText,      // a complete text message in `message`
    kBinary,    // a complete binary message in `message`
    kPing,      // answer with a pong carrying `payload`
    kClose,     // the peer closes; `payload` is its close payload
    kInvalid,   // protocol error: the connection must end without a close frame
  };
  Kind kind = kNeedMore;
  size_t consumed = 0;               // bytes taken from the front of the input
  std::vector<uint8_t> message;      // kText, kBinary
  const uint8_t* payload = nullptr;  // kPing, kClose: points into the input
  size_t payloadSize = 0;
};

// Reads client frames (masked, as browsers must send them) one at a time from
// the front of a buffer, unmasking in place, and assembles fragmented messages.
// Control frames may arrive between fragments without disturbing the message.
class FrameReader {
 public:
  // Handles the frame at the front of data[0..size). After kInvalid the reader
  // must not be used again.
  FrameEvent next(uint8_t* data, size_t size);

 private:
  std::vector<uint8_t> message_;
  uint8_t messageOpcode_ = 0;  // 0 while no message is being assembled
};

}  // namespace bridge

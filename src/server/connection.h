#pragma once
// The view of one accepted WebSocket connection, and the server's handler set.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bridge {

// Threads: every operation may be called from any thread at any time. Sends only
// queue and return at once; the connection's own thread writes. `id` is set before
// the connection thread starts, `origin` and `tls` before onOpen; none changes after.
class Connection {
 public:
  virtual ~Connection() = default;

  int32_t id = 0;
  std::string origin;
  bool tls = false;

  virtual void sendText(const std::string& text) = 0;
  virtual void sendBinary(const std::vector<uint8_t>& bytes) = 0;
  // Starts a normal close (status 1000) unless one is already under way.
  virtual void close() = 0;
  // Encoded frame bytes queued and not yet written.
  virtual uint64_t queued() = 0;
  // Flow control of what the peer sends. While holds outweigh releases, the
  // connection thread hands out no further message and reads nothing more from
  // the socket, so TCP slows the sender down; writing goes on. Every
  // holdInput(true) is matched by one holdInput(false), in either order.
  virtual void holdInput(bool held) { (void)held; }
};

// All five run on the connection's own thread with no server lock held; an empty
// one is skipped (an empty allowOrigin refuses every upgrade).
struct ServerHandlers {
  std::function<bool(const std::string& origin)> allowOrigin;
  std::function<void(std::shared_ptr<Connection>)> onOpen;
  std::function<void(std::shared_ptr<Connection>, std::string&&)> onText;
  std::function<void(std::shared_ptr<Connection>, std::vector<uint8_t>&&)> onBinary;
  std::function<void(std::shared_ptr<Connection>)> onClose;
};

}  // namespace bridge

#pragma once
// The local HTTP/WebSocket server: listens on 127.0.0.1 only, one accept thread,
// one thread per accepted connection. Each connection speaks TLS or clear HTTP/1.1
// (told apart by its first byte), serves one request, and either answers it or
// upgrades it to a WebSocket at "/v1".
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "server/connection.h"
#include "server/tls_identity.h"

namespace bridge {

// Bounds on what one peer may cost. The defaults are the product's; tests shrink them.
struct ServerLimits {
  int idleTimeoutMs = 10000;       // longest silence during the handshake and the request
  int requestDeadlineMs = 20000;   // handshake plus request, however the bytes trickle in
  uint64_t maxPendingBytes = 67108864;  // queued, unwritten bytes before a connection is dropped
  // Past this many queued, unwritten bytes nothing more is read from the peer:
  // one that does not take its replies cannot make them pile up.
  uint64_t readWhileQueuedBelow = 8388608;
  // Sockets served at once; one more is closed as soon as it is accepted.
  size_t maxConnections = 64;
  // Of those, sockets not yet upgraded to a WebSocket. One more pushes out the
  // oldest of them, so idle sockets cannot lock a real page out.
  size_t maxUnopened = 16;
  // Longest wait for a close handshake (ours or the peer's) to finish writing.
  int closeTimeoutMs = 5000;
  // Starts a connection thread; empty means std::thread. May throw (as std::thread
  // does when the system has no threads left): the connection is then refused.
  std::function<std::thread(std::function<void()>)> startThread;
};

// Threads: construct, start, stop and destroy on one thread (the main thread in
// the product). The handlers run on connection threads (see ServerHandlers).
// `identity` must outlive the Server and must not change while it runs.
class Server {
 public:
  Server(ServerHandlers handlers, const TlsIdentity* identity, ServerLimits limits = {});
  ~Server();  // stops
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Listens on 127.0.0.1:port (0: the system picks a free port) and starts the
  // accept thread. False when the port cannot be bound; at most once per Server.
  bool start(int port);
  // Ends every connection (without close frames) and joins every thread. Safe to
  // call more than once. Returns promptly even while peers stall mid-request.
  void stop();

  int port() const { return port_; }  // the bound port once start succeeded
  // Connection threads started and not yet joined; finished ones are joined by
  // the accept thread within a poll cycle.
  size_t threadCount() const;

 private:
  struct Worker {
    int32_t id;
    std::thread thread;
  };

  void acceptLoop();
  void accepted(int socket);
  void reapFinished();

  const ServerHandlers handlers;
  const TlsIdentity* const identity;
  const ServerLimits limits_;
  int listenSocket = -1;
  int acceptWake_ = -1;  // eventfd that ends the accept thread's wait at once
  int port_ = 0;
  std::atomic<bool> running{false};
  std::thread acceptThread;
  mutable std::mutex mutex;
  std::vector<Worker> threads;                    // accept order
  std::vector<std::weak_ptr<Connection>> connections;  // the Conns that may be alive
  std::vector<int32_t> finished_;                 // ids of threads that have returned
  std::atomic<int32_t> nextId{1};
};

}  // namespace bridge

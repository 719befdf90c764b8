#pragma once
// The bare WebSocket echo server that the bridge is measured against: 127.0.0.1
// on a port the system picks, one thread per connection that sleeps in a
// blocking read, clear or TLS (told apart by the first byte, as the bridge does),
// and every message written straight back on the thread that read it. Nothing
// is allocated per message once a connection's buffers have grown to size.
//
// Threads: construct, start, stop and destroy on one thread.
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "server/tls_identity.h"

namespace bridge::bench {

class EchoServer {
 public:
  // identity: null serves clear connections only. Must outlive the server.
  explicit EchoServer(const TlsIdentity* identity);
  ~EchoServer();
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;

  bool start();
  void stop();
  int port() const { return port_; }

 private:
  void acceptLoop();
  void serve(int socket);

  const TlsIdentity* const identity_;
  int listen_ = -1;
  int stopFd_ = -1;
  int port_ = 0;
  std::atomic<bool> running_{false};
  std::thread accept_;
  std::mutex mutex_;
  std::vector<int> sockets_;
  std::vector<std::thread> threads_;
};

}  // namespace bridge::bench

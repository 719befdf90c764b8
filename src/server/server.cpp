#include "server/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <deque>
#include <limits>
#include <new>

#include "server/http_request.h"
#include "server/random.h"
#include "server/websocket_frame.h"
#include "util/clock.h"

namespace bridge {

namespace {

constexpr size_t kRequestReadSize = 2048;
constexpr size_t kFrameReadSize = 65536;
// Reading stops for a pass after this much, so a fast sender cannot starve the
// writes or grow the receive buffer without bound.
constexpr size_t kMaxReadPerPass = 1 << 20;
constexpr int kMaxWritesPerPass = 4096;
constexpr int kPollWithWakeMs = 500;
constexpr int kPollWithoutWakeMs = 20;
constexpr int kHandshakeSteps = 1000;
constexpr int kHandshakeWriteWaitMs = 1000;
constexpr int kSendAllCalls = 1000;
constexpr int kWritableWaitMs = 10;
constexpr int kAcceptPollMs = 300;
constexpr int kAcceptBackoffMs = 100;
constexpr double kNoDeadline = std::numeric_limits<double>::infinity();
// A receive buffer that grew past this for one large message is given back
// once the message has been handed out.
constexpr size_t kKeptReceiveCapacity = 2 * kMaxReadPerPass;

const char* kAlpn[] = {"http/1.1", nullptr};

// A UDP socket connected to itself: a byte sent on it makes it readable, which
// ends the connection thread's poll from any other thread.
int makeWakeSocket() {
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

void sendWake(int s) {
  if (s < 0) return;
  const uint8_t one = 1;
  (void)::send(s, &one, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
}

void drainWake(int s) {
  uint8_t buf[256];
  while (::recv(s, buf, sizeof buf, MSG_DONTWAIT) > 0) {
  }
}

// What ended or refused a connection. A failed allocation stays quiet (telling
// of it could need memory too) and affects only that connection; anything else
// is written to stderr with the connection's id, so that no failure vanishes.
void reportFailure(int32_t connection, const char* what, const std::exception& e) {
  if (dynamic_cast<const std::bad_alloc*>(&e)) return;
  std::fprintf(stderr, "Krevlo Bridge: connection %d: %s: %s\n", static_cast<int>(connection), what, e.what());
}

bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

// One accepted socket. The connection thread (run) owns the socket and the TLS
// context; the Connection operations may be called from any thread and only
// queue frames and wake that thread.
class Conn final : public Connection, public std::enable_shared_from_this<Conn> {
 public:
  Conn(int socket, int port, const ServerLimits& limits)
      : socket(socket),
        port(port),
        wakeSocket(makeWakeSocket()),
        maxPending_(limits.maxPendingBytes),
        readWhileQueuedBelow_(limits.readWhileQueuedBelow),
        closeTimeoutMs_(limits.closeTimeoutMs) {
    mbedtls_ssl_init(&ssl);
    mbedtls_ssl_config_init(&sslConfig);
  }

  ~Conn() override {
    // The context refers to its configuration: it goes first.
    mbedtls_ssl_free(&ssl);
    mbedtls_ssl_config_free(&sslConfig);
    ::close(socket);
    sendQueue.clear();
    if (wakeSocket >= 0) ::close(wakeSocket);
  }

  void sendText(const std::string& text) override {
    if (!accepting(false)) return;
    enqueueFrame(encodeFrame(kWsText, reinterpret_cast<const uint8_t*>(text.data()), text.size()), false);
  }

  void sendBinary(const std::vector<uint8_t>& bytes) override {
    if (!accepting(false)) return;
    enqueueFrame(encodeFrame(kWsBinary, bytes.data(), bytes.size()), false);
  }

  void close() override {
    if (closing.exchange(true)) return;
    static const uint8_t kNormal[] = {0x03, 0xE8};  // status 1000
    enqueueFrame(encodeFrame(kWsClose, kNormal, sizeof kNormal), true);
  }

  uint64_t queued() override { return pendingBytes.load(); }

  void holdInput(bool held) override {
    if (held) {
      holds_.fetch_add(1);
    } else if (holds_.fetch_sub(1) == 1) {
      sendWake(wakeSocket);
    }
  }

  bool isOpen() const { return open; }
  bool isDead() const { return dead; }

  // Server::stop: end at the next wake-up, writing nothing more.
  void abort() {
    closing = true;
    dead = true;
    sendWake(wakeSocket);
  }

  // Nothing thrown leaves here: an allocation that fails ends this connection only.
  void run(const ServerHandlers& handlers, const TlsIdentity* identity, const ServerLimits& limits) {
    try {
      if (!serveRequest(handlers, identity, limits)) return;
    } catch (const std::exception& e) {
      reportFailure(id, "ended while reading its request", e);
      return;
    }
    open = true;
    try {
      if (handlers.onOpen) handlers.onOpen(shared_from_this());
    } catch (const std::exception& e) {
      reportFailure(id, "ended in onOpen", e);
      dead = true;
    }
    frameLoop(handlers);
  }

 private:
  enum class Wait { Ready, TimedOut, Abort };

  bool accepting(bool force) const { return open && !dead && (force || !closing); }
  bool inputHeld() const { return holds_.load() > 0 || pendingBytes.load() > readWhileQueuedBelow_; }

  void enqueueFrame(std::vector<uint8_t>&& frame, bool force) {
    if (!accepting(force)) return;
    const uint64_t size = frame.size();
    uint64_t pending;
    {
      std::lock_guard<std::mutex> lock(queueMutex);
      pending = pendingBytes += size;
      sendQueue.push_back(std::move(frame));
    }
    // A peer that stops reading must not grow our memory without bound.
    if (pending > maxPending_) dead = true;
    sendWake(wakeSocket);
  }

  // Waits for `events` on the socket, at most timeoutMs and never past
  // `deadline`. Abort when the deadline passed or the server is stopping.
  Wait waitSocket(short events, int timeoutMs, double deadline) {
    const double end = std::min(nowMs() + timeoutMs, deadline);
    for (;;) {
      if (dead) return Wait::Abort;
      const double left = end - nowMs();
      if (left <= 0) return nowMs() >= deadline ? Wait::Abort : Wait::TimedOut;
      int slice = static_cast<int>(std::ceil(left));
      if (wakeSocket < 0) slice = std::min(slice, kPollWithoutWakeMs);
      pollfd fds[2] = {{socket, events, 0}, {wakeSocket, POLLIN, 0}};
      int n = ::poll(fds, wakeSocket >= 0 ? 2 : 1, slice);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Wait::Abort;
      }
      if (wakeSocket >= 0 && (fds[1].revents & POLLIN)) drainWake(wakeSocket);
      if (dead) return Wait::Abort;
      // Errors and hang-ups count as ready: the next call reports them.
      if (fds[0].revents) return Wait::Ready;
    }
  }

  static int bioSend(void* context, const unsigned char* buf, size_t size) {
    auto* c = static_cast<Conn*>(context);
    ssize_t n = ::send(c->socket, buf, size, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    return wouldBlock(errno) ? MBEDTLS_ERR_SSL_WANT_WRITE : MBEDTLS_ERR_NET_SEND_FAILED;
  }

  static int bioRecv(void* context, unsigned char* buf, size_t size) {
    auto* c = static_cast<Conn*>(context);
    ssize_t n = ::recv(c->socket, buf, size, 0);
    if (n > 0) return static_cast<int>(n);
    if (n == 0) return MBEDTLS_ERR_NET_CONN_RESET;
    return wouldBlock(errno) ? MBEDTLS_ERR_SSL_WANT_READ : MBEDTLS_ERR_NET_RECV_FAILED;
  }

  // One write attempt: the count written, 0 when it would block, -1 on failure.
  long sendRaw(const uint8_t* data, size_t size) {
    if (tls) {
      int rc = mbedtls_ssl_write(&ssl, data, size);
      if (rc >= 0) return rc;
      return rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE ? 0 : -1;
    }
    ssize_t n = ::send(socket, data, size, MSG_NOSIGNAL);
    if (n >= 0) return n;
    return wouldBlock(errno) ? 0 : -1;
  }

  // One read attempt: the count read, 0 when nothing is there now, -1 when the
  // peer is gone or the stream failed.
  long receive(uint8_t* buf, size_t size) {
    if (tls) {
      int rc = mbedtls_ssl_read(&ssl, buf, size);
      if (rc > 0) return rc;
      return rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE ? 0 : -1;
    }
    ssize_t n = ::recv(socket, buf, size, 0);
    if (n > 0) return n;
    return n < 0 && wouldBlock(errno) ? 0 : -1;
  }

  bool sendAll(const std::string& text) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    size_t done = 0;
    for (int calls = 0; done < text.size() && calls < kSendAllCalls; ++calls) {
      long n = sendRaw(p + done, text.size() - done);
      if (n < 0) return false;
      if (n == 0) {
        if (waitSocket(POLLOUT, kWritableWaitMs, kNoDeadline) == Wait::Abort) return false;
        continue;
      }
      done += static_cast<size_t>(n);
    }
    return done == text.size();
  }

  void sendHttpResponse(const std::string& response) {
    (void)sendAll(response);
    if (tls) (void)mbedtls_ssl_close_notify(&ssl);
    ::shutdown(socket, SHUT_WR);
  }

  bool setUpTls(const TlsIdentity& identity) {
    if (mbedtls_ssl_config_defaults(&sslConfig, MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0)
      return false;
    mbedtls_ssl_conf_rng(&sslConfig, tlsRandom, &random());
    // The library only reads the identity; its interface just isn't const.
    if (mbedtls_ssl_conf_own_cert(&sslConfig, const_cast<mbedtls_x509_crt*>(&identity.cert),
                                  const_cast<mbedtls_pk_context*>(&identity.key)) != 0)
      return false;
    if (mbedtls_ssl_conf_alpn_protocols(&sslConfig, kAlpn) != 0) return false;
    if (mbedtls_ssl_setup(&ssl, &sslConfig) != 0) return false;
    mbedtls_ssl_set_bio(&ssl, this, bioSend, bioRecv, nullptr);
    return true;
  }

  bool handshake(const ServerLimits& limits, double deadline) {
    for (int step = 0; step < kHandshakeSteps; ++step) {
      int rc = mbedtls_ssl_handshake(&ssl);
      if (rc == 0) return true;
      if (rc == MBEDTLS_ERR_SSL_WANT_READ) {
        if (waitSocket(POLLIN, limits.idleTimeoutMs, deadline) != Wait::Ready) return false;
      } else if (rc == MBEDTLS_ERR_SSL_WANT_WRITE) {
        if (waitSocket(POLLOUT, kHandshakeWriteWaitMs, deadline) == Wait::Abort) return false;
      } else {
        return false;
      }
    }
    return true;  // the first read carries the handshake on
  }

  bool readRequest(RequestReader& reader, const ServerLimits& limits, double deadline) {
    uint8_t buf[kRequestReadSize];
    while (reader.state() == RequestReader::State::NeedMore) {
      if (dead || nowMs() >= deadline) return false;
      long n = receive(buf, sizeof buf);
      if (n > 0) {
        reader.feed(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
      } else if (n < 0 || waitSocket(POLLIN, limits.idleTimeoutMs, deadline) != Wait::Ready) {
        return false;
      }
    }
    return reader.state() == RequestReader::State::Complete;
  }

  // TLS detection, handshake, request and answer. True once the 101 reply is out.
  bool serveRequest(const ServerHandlers& handlers, const TlsIdentity* identity, const ServerLimits& limits) {
    // One deadline for everything before the upgrade: a peer that trickles bytes
    // cannot keep this thread (and Server::stop) waiting for long.
    const double deadline = nowMs() + limits.requestDeadlineMs;
    if (waitSocket(POLLIN, limits.idleTimeoutMs, deadline) != Wait::Ready) return false;
    uint8_t first = 0;
    if (::recv(socket, &first, 1, MSG_PEEK) != 1) return false;
    tls = first == 0x16;  // TLS handshake record
    if (tls && (!identity || !setUpTls(*identity) || !handshake(limits, deadline))) return false;

    RequestReader reader;
    if (!readRequest(reader, limits, deadline)) return false;
    HttpRequest request;
    if (!parseRequest(reader.headerBlock(), request)) return false;
    RequestAnswer answer = answerRequest(request, port, tls, handlers.allowOrigin);
    origin = answer.origin;
    if (!answer.upgrade) {
      sendHttpResponse(answer.response);
      return false;
    }
    leftover = reader.leftover();
    return sendAll(answer.response);
  }

  // What the frame loop knows between passes. Only the connection thread touches it.
  enum class Phase {
    Open,      // reading, dispatching and writing
    Closing,   // a close began: writing until the close frame is out, within closeTimeoutMs_
    PeerGone,  // the peer hung up or its stream ended: what it sent is still handed
               // out, nothing more is written
  };
  struct LoopState {
    Phase phase = Phase::Open;
    double closeDeadline = kNoDeadline;  // set when a close begins
    std::vector<uint8_t> received;       // read and not yet parsed
    FrameReader reader;
    // Complete frames may wait in `received`, in the TLS layer or in the socket
    // past this pass's read limit: the next pass handles them without waiting.
    bool inputWaiting = false;
    bool streamEnded = false;       // the last read found the end of the stream or a failure
    std::vector<uint8_t> current;  // the frame being written
    size_t written = 0;
    bool closeTaken = false;  // a close frame was taken from the queue
  };

  // Output the peer has not taken holds its input back too; once the peer is
  // gone nothing is written, so only the handlers' holds still count.
  bool inputHeld(const LoopState& st) const {
    return st.phase == Phase::PeerGone ? holds_.load() > 0 : inputHeld();
  }

  bool queueEmpty() {
    std::lock_guard<std::mutex> lock(queueMutex);
    return sendQueue.empty();
  }

  // Waits for the socket or a wake-up. False when the loop must end.
  bool awaitEvents(LoopState& st) {
    const bool held = inputHeld(st);
    const bool peerGone = st.phase == Phase::PeerGone;
    const bool writing = !peerGone && (!st.current.empty() || !queueEmpty());
    // While held, the socket is not polled for input: its receive buffer fills
    // and the peer's sending stalls. Once the peer is gone the socket reports its
    // hang-up at every poll, so only wake-ups are waited for.
    const short events = static_cast<short>((held ? 0 : POLLIN) | (writing ? POLLOUT : 0));
    pollfd fds[2] = {{peerGone ? -1 : socket, events, 0}, {wakeSocket, POLLIN, 0}};
    const int timeout = st.inputWaiting && !held ? 0 : wakeSocket >= 0 ? kPollWithWakeMs : kPollWithoutWakeMs;
    const int ready = ::poll(fds, wakeSocket >= 0 ? 2 : 1, timeout);
    if (ready < 0) return errno == EINTR;
    if (ready == 0) return true;
    if (wakeSocket >= 0 && (fds[1].revents & POLLIN)) drainWake(wakeSocket);
    if (fds[0].revents & POLLNVAL) return false;
    // What the peer sent before it went away is still in the socket: it is read
    // and handed out before the loop ends.
    if (fds[0].revents & (POLLERR | POLLHUP)) st.phase = Phase::PeerGone;
    return true;
  }

  // Reads while the unparsed bytes stay below the frame at their front plus one
  // read. A handler that holds input after a few small messages then leaves the
  // rest in the kernel, where TCP slows the sender, instead of in `received`.
  void readInput(LoopState& st, std::vector<uint8_t>& chunk) {
    if (st.streamEnded || inputHeld(st)) return;
    for (size_t got = 0; !dead;) {
      if (got >= kMaxReadPerPass ||
          st.received.size() >= frameSpan(st.received.data(), st.received.size()) + kFrameReadSize) {
        st.inputWaiting = true;
        return;
      }
      const long n = receive(chunk.data(), chunk.size());
      if (n < 0) {
        st.streamEnded = true;
        st.phase = Phase::PeerGone;
      }
      if (n <= 0) return;
      st.received.insert(st.received.end(), chunk.begin(), chunk.begin() + n);
      got += static_cast<size_t>(n);
    }
  }

  // Parses and hands out frames from the front of `received` until more bytes
  // are needed or input is held.
  void dispatch(LoopState& st, const ServerHandlers& handlers, const std::shared_ptr<Conn>& self) {
    size_t pos = 0;
    while (!dead) {
      // A hold placed by a handler takes effect before the next message; what is
      // left is handed out as soon as the hold lifts.
      if (inputHeld(st)) {
        if (pos < st.received.size()) st.inputWaiting = true;
        break;
      }
      FrameEvent ev = st.reader.next(st.received.data() + pos, st.received.size() - pos);
      if (ev.kind == FrameEvent::kNeedMore) break;
      pos += ev.consumed;
      switch (ev.kind) {
        case FrameEvent::kInvalid:
          dead = true;
          break;
        case FrameEvent::kPing:
          enqueueFrame(encodeFrame(kWsPong, ev.payload, ev.payloadSize), false);
          break;
        case FrameEvent::kClose:
          // One close frame per connection: none when ours is already queued.
          if (!closing.exchange(true))
            enqueueFrame(encodeFrame(kWsClose, ev.payload, closeEchoSize(ev.payloadSize)), true);
          break;
        case FrameEvent::kText:
          if (handlers.onText) handlers.onText(self, std::string(ev.message.begin(), ev.message.end()));
          break;
        case FrameEvent::kBinary:
          if (handlers.onBinary) handlers.onBinary(self, std::move(ev.message));
          break;
        default:
          break;
      }
    }
    st.received.erase(st.received.begin(), st.received.begin() + static_cast<std::ptrdiff_t>(pos));
    if (st.received.capacity() > kKeptReceiveCapacity && st.received.size() < kKeptReceiveCapacity / 2)
      std::vector<uint8_t>(st.received.begin(), st.received.end()).swap(st.received);
  }

  // Writes queued frames until the socket takes no more, with at most
  // kMaxWritesPerPass calls.
  void writeOutput(LoopState& st) {
    for (int calls = 0; !dead && calls < kMaxWritesPerPass; ++calls) {
      if (st.written == st.current.size()) {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (sendQueue.empty()) break;
        st.current = std::move(sendQueue.front());
        sendQueue.pop_front();
        st.written = 0;
        if (!st.current.empty() && (st.current[0] & 0x0F) == kWsClose) st.closeTaken = true;
      }
      const long n = sendRaw(st.current.data() + st.written, st.current.size() - st.written);
      if (n < 0) dead = true;
      if (n <= 0) break;
      st.written += static_cast<size_t>(n);
      pendingBytes -= static_cast<uint64_t>(n);
    }
    if (st.written == st.current.size()) {
      std::vector<uint8_t>().swap(st.current);
      st.written = 0;
    }
  }

  // A close begun by any thread (or by the peer's close frame) bounds how long
  // the connection may go on.
  void followClose(LoopState& st) {
    if (!closing || st.closeDeadline != kNoDeadline) return;
    st.closeDeadline = nowMs() + closeTimeoutMs_;
    if (st.phase == Phase::Open) st.phase = Phase::Closing;
  }

  // One pass: wait, read, hand out, write. False when the loop must end.
  bool pass(LoopState& st, std::vector<uint8_t>& chunk, const ServerHandlers& handlers,
            const std::shared_ptr<Conn>& self) {
    followClose(st);
    if (nowMs() >= st.closeDeadline) return false;
    if (!awaitEvents(st)) return false;
    st.inputWaiting = false;
    readInput(st, chunk);
    if (!dead) dispatch(st, handlers, self);
    if (dead) return false;
    if (st.phase == Phase::PeerGone) {
      // Everything the peer sent has been handed out: nothing is left to do.
      return !(st.streamEnded && !st.inputWaiting);
    }
    writeOutput(st);
    followClose(st);
    return !dead && !(st.phase == Phase::Closing && st.closeTaken && st.current.empty() && queueEmpty());
  }

  void frameLoop(const ServerHandlers& handlers) {
    std::shared_ptr<Conn> self = shared_from_this();
    LoopState st;
    std::vector<uint8_t> chunk;
    double cpu = threadCpuMs();
    try {
      st.received.assign(leftover.begin(), leftover.end());
      std::string().swap(leftover);
      // Bytes that came with the request are handled before any wait.
      st.inputWaiting = !st.received.empty();
      chunk.resize(kFrameReadSize);
      while (!dead) {
        const double cpuNow = threadCpuMs();
        addNetCpuMs(cpuNow - cpu);
        cpu = cpuNow;
        if (!pass(st, chunk, handlers, self)) break;
      }
    } catch (const std::exception& e) {
      // Out of memory for this connection's buffers or messages: it ends, the
      // process goes on. Anything else a handler threw is reported as well.
      reportFailure(id, "ended", e);
    }
    dead = true;

    if (tls) (void)mbedtls_ssl_close_notify(&ssl);
    ::shutdown(socket, SHUT_RDWR);
    std::vector<uint8_t>().swap(st.received);
    std::vector<uint8_t>().swap(st.current);
    addNetCpuMs(threadCpuMs() - cpu);
    self.reset();
    open = false;
    try {
      if (handlers.onClose) handlers.onClose(shared_from_this());
    } catch (const std::exception& e) {
      reportFailure(id, "failed in onClose", e);
    }
  }

  const int socket;
  const int port;
  const int wakeSocket;
  mbedtls_ssl_context ssl;
  mbedtls_ssl_config sslConfig;
  std::string leftover;
  std::mutex queueMutex;
  std::deque<std::vector<uint8_t>> sendQueue;
  std::atomic<uint64_t> pendingBytes{0};
  std::atomic<bool> open{false};
  std::atomic<bool> closing{false};
  std::atomic<bool> dead{false};
  std::atomic<int> holds_{0};
  const uint64_t maxPending_;
  const uint64_t readWhileQueuedBelow_;
  const int closeTimeoutMs_;
};

}  // namespace

Server::Server(ServerHandlers handlers, const TlsIdentity* identity, ServerLimits limits)
    : handlers(std::move(handlers)), identity(identity), limits_(std::move(limits)) {}

Server::~Server() {
  stop();
  if (acceptWake_ >= 0) ::close(acceptWake_);
}

bool Server::start(int port) {
  if (listenSocket >= 0 || acceptThread.joinable()) return false;
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) return false;
  int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t len = sizeof addr;
  if (port < 0 || port > 65535 || ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(s, 16) != 0 || ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(s);
    return false;
  }
  if (acceptWake_ < 0) acceptWake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  listenSocket = s;
  port_ = ntohs(addr.sin_port);
  running = true;
  try {
    acceptThread = std::thread(&Server::acceptLoop, this);
  } catch (const std::exception&) {
    running = false;
    ::close(listenSocket);
    listenSocket = -1;
    return false;
  }
  return true;
}

void Server::stop() {
  if (!running.exchange(false)) return;
  if (acceptWake_ >= 0) {
    const uint64_t one = 1;
    (void)::write(acceptWake_, &one, sizeof one);
  }
  acceptThread.join();
  ::close(listenSocket);
  listenSocket = -1;

  std::vector<Worker> taken;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& weak : connections)
      if (auto c = weak.lock()) static_cast<Conn&>(*c).abort();
    connections.clear();
    taken.swap(threads);
    finished_.clear();
  }
  for (auto& w : taken) w.thread.join();
}

size_t Server::threadCount() const {
  std::lock_guard<std::mutex> lock(mutex);
  return threads.size();
}

void Server::acceptLoop() {
  while (running) {
    pollfd fds[2] = {{listenSocket, POLLIN, 0}, {acceptWake_, POLLIN, 0}};
    int n = ::poll(fds, acceptWake_ >= 0 ? 2 : 1, kAcceptPollMs);
    reapFinished();
    if (n <= 0 || !running || !(fds[0].revents & POLLIN)) continue;
    int s = ::accept4(listenSocket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s < 0) {
      // Out of descriptors or memory: the connection stays in the backlog and
      // the listener stays readable, so pause instead of spinning.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        ::poll(&fds[1], acceptWake_ >= 0 ? 1 : 0, kAcceptBackoffMs);
      continue;
    }
    accepted(s);
  }
}

void Server::accepted(int s) {
  int one = 1;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::shared_ptr<Conn> conn;
  try {
    conn = std::make_shared<Conn>(s, port_, limits_);
  } catch (const std::exception& e) {
    reportFailure(0, "refused", e);
    ::close(s);
    return;
  }
  conn->id = nextId.fetch_add(1);

  std::lock_guard<std::mutex> lock(mutex);
  connections.erase(std::remove_if(connections.begin(), connections.end(), [](const auto& w) { return w.expired(); }),
                    connections.end());
  // Connections on their way out (ended, or pushed out below) no longer count.
  size_t live = 0, unopened = 0;
  std::shared_ptr<Conn> oldestUnopened;
  for (const auto& weak : connections) {
    auto c = std::static_pointer_cast<Conn>(weak.lock());
    if (!c || c->isDead()) continue;
    ++live;
    if (c->isOpen()) continue;
    ++unopened;
    if (!oldestUnopened) oldestUnopened = c;
  }
  if (live >= limits_.maxConnections) return;  // `conn` goes, closing the socket
  if (unopened >= limits_.maxUnopened && oldestUnopened) oldestUnopened->abort();
  try {
    connections.reserve(connections.size() + 1);
    threads.reserve(threads.size() + 1);
    std::function<void()> body = [this, conn] {
      conn->run(handlers, identity, limits_);
      try {
        std::lock_guard<std::mutex> done(mutex);
        finished_.push_back(conn->id);
      } catch (const std::exception& e) {
        // Not reaped early: stop joins it.
        reportFailure(conn->id, "left its thread to be joined by stop", e);
      }
    };
    std::thread t = limits_.startThread ? limits_.startThread(std::move(body)) : std::thread(std::move(body));
    connections.push_back(conn);
    threads.push_back(Worker{conn->id, std::move(t)});
  } catch (const std::exception& e) {
    // No thread for it: refuse this connection (closing its socket), keep serving.
    reportFailure(conn->id, "refused", e);
  }
}

void Server::reapFinished() {
  std::vector<std::thread> done;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (int32_t id : finished_) {
      auto it = std::find_if(threads.begin(), threads.end(), [id](const Worker& w) { return w.id == id; });
      if (it == threads.end()) continue;
      done.push_back(std::move(it->thread));
      threads.erase(it);
    }
    finished_.clear();
  }
  // Each has returned or is about to: joining takes no time.
  for (auto& t : done) t.join();
}

}  // namespace bridge

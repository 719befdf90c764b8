#include "server/server.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "server/server_recorder.h"
#include "server/websocket_frame.h"
#include "server/ws_test_client.h"
#include "support/test_dir.h"
#include "util/clock.h"

namespace bridge {
namespace {

using test::clientFrame;
using test::clientFrameHeader;
using test::kAllowedOrigin;
using test::WsTestClient;
using Frame = WsTestClient::Frame;
using Result = WsTestClient::Result;

constexpr size_t kMiB = 1 << 20;
const std::string k101 = "HTTP/1.1 101 Switching Protocols";

// Polls a condition that no callback reports (thread reaping), in short slices.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
  const double deadline = nowMs() + timeoutMs;
  while (!done()) {
    if (nowMs() > deadline) return false;
    ::poll(nullptr, 0, 5);
  }
  return true;
}

std::string pattern(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 13 + static_cast<size_t>(seed)) & 0xFF);
  return s;
}

class ServerTest : public ::testing::Test {
 protected:
  void start(bool echo = true, ServerLimits limits = {}, const TlsIdentity* identity = nullptr) {
    server = std::make_unique<Server>(rec.handlers(echo), identity, std::move(limits));
    ASSERT_TRUE(server->start(0));
    port = server->port();
    ASSERT_GT(port, 0);
  }

  // A client whose upgrade succeeded, and the server's side of it.
  std::shared_ptr<Connection> open(WsTestClient& client, std::string_view after = {}) {
    size_t before;
    {
      std::lock_guard<std::mutex> lock(rec.mutex);
      before = rec.opened.size();
    }
    EXPECT_TRUE(client.connect(port));
    EXPECT_EQ(client.upgrade(port, kAllowedOrigin, after), k101);
    EXPECT_TRUE(rec.waitFor([&] { return rec.opened.size() > before; }));
    std::lock_guard<std::mutex> lock(rec.mutex);
    return rec.opened.empty() ? nullptr : rec.opened.back();
  }

  bool closedId(int32_t id) {
    return rec.waitFor([&] { return std::count(rec.closed.begin(), rec.closed.end(), id) == 1; });
  }

  Frame expectFrame(WsTestClient& client) {
    Frame f;
    EXPECT_EQ(client.readFrame(f), Result::Frame);
    return f;
  }

  test::ServerRecorder rec;
  std::unique_ptr<Server> server;
  int port = 0;
};

TEST_F(ServerTest, EchoesMessagesOfEverySizeInBothDirections) {
  start();
  WsTestClient c;
  auto conn = open(c);
  ASSERT_TRUE(conn);
  EXPECT_EQ(conn->id, 1);
  EXPECT_EQ(conn->origin, kAllowedOrigin);
  EXPECT_FALSE(conn->tls);
  {
    std::lock_guard<std::mutex> lock(rec.mutex);
    EXPECT_EQ(rec.origins, std::vector<std::string>{kAllowedOrigin});
  }
  for (size_t size : {size_t{0}, size_t{125}, size_t{126}, size_t{65535}, size_t{65536}, kMiB}) {
    for (uint8_t opcode : {kWsText, kWsBinary}) {
      const std::string payload = pattern(size, opcode);
      ASSERT_TRUE(c.send(clientFrame(0x80 | opcode, payload)));
      Frame f = expectFrame(c);
      EXPECT_TRUE(f.fin);
      EXPECT_EQ(f.opcode, opcode);
      EXPECT_EQ(f.payload, payload) << size;
    }
  }
  // Everything written: nothing is left in the queue.
  EXPECT_TRUE(waitUntil([&] { return conn->queued() == 0; }));
}

TEST_F(ServerTest, ListensOnLoopbackOnly) {
  start();
  char hex[16];
  std::snprintf(hex, sizeof hex, ":%04X", port);
  std::ifstream table("/proc/net/tcp");
  std::string line, local;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, address, remote, state;
    fields >> slot >> address >> remote >> state;
    if (address.ends_with(hex) && state == "0A") local = address;  // 0A: listening
  }
  EXPECT_EQ(local, std::string("0100007F") + hex);
}

TEST_F(ServerTest, IdsCountUpAndAreNotReused) {
  start();
  {
    WsTestClient first;
    auto c1 = open(first);
    ASSERT_TRUE(c1);
    EXPECT_EQ(c1->id, 1);
  }
  ASSERT_TRUE(closedId(1));
  WsTestClient second;
  auto c2 = open(second);
  ASSERT_TRUE(c2);
  EXPECT_EQ(c2->id, 2);
}

TEST_F(ServerTest, StartOnATakenPortFails) {
  start();
  Server other(rec.handlers(), nullptr);
  EXPECT_FALSE(other.start(port));
  other.stop();  // nothing to do
  Server bad(rec.handlers(), nullptr);
  EXPECT_FALSE(bad.start(70000));
}

TEST_F(ServerTest, StopEndsOpenConnectionsWithoutCloseFrames) {
  start();
  WsTestClient clients[3];
  for (auto& c : clients) ASSERT_TRUE(open(c));
  server->stop();
  {
    std::lock_guard<std::mutex> lock(rec.mutex);
    EXPECT_EQ(rec.closed.size(), 3u);  // all threads ended before stop returned
  }
  for (auto& c : clients) {
    Frame f;
    EXPECT_EQ(c.readFrame(f), Result::Closed);
  }
  EXPECT_EQ(server->threadCount(), 0u);
  server->stop();
  server.reset();
}

TEST_F(ServerTest, CloseIsQueuedOnceAfterEarlierFrames) {
  start(false);
  rec.onText = [](std::shared_ptr<Connection> c, const std::string&) {
    c->sendText("a");
    c->close();
    c->close();
    c->sendText("b");  // after the close: dropped
  };
  WsTestClient c;
  auto conn = open(c);
  ASSERT_TRUE(c.send(clientFrame(0x81, "go")));
  Frame f = expectFrame(c);
  EXPECT_EQ(f.opcode, kWsText);
  EXPECT_EQ(f.payload, "a");
  f = expectFrame(c);
  EXPECT_EQ(f.opcode, kWsClose);
  EXPECT_EQ(f.payload, "\x03\xE8");
  EXPECT_EQ(c.readFrame(f), Result::Closed);
  ASSERT_TRUE(closedId(conn->id));
  // A send to a connection that has ended is dropped and queues nothing.
  conn->sendText("late");
  conn->sendBinary({1, 2, 3});
  EXPECT_EQ(conn->queued(), 0u);
}

TEST_F(ServerTest, ClosesCrossingGiveOneCloseFrame) {
  start(false);
  rec.onText = [](std::shared_ptr<Connection> c, const std::string&) { c->close(); };
  WsTestClient c;
  auto conn = open(c);
  // The peer's close is read after ours was queued: it is not echoed as well.
  ASSERT_TRUE(c.send(clientFrame(0x81, "go") + clientFrame(0x88, "\x03\xE9")));
  Frame f = expectFrame(c);
  EXPECT_EQ(f.opcode, kWsClose);
  EXPECT_EQ(f.payload, "\x03\xE8");
  EXPECT_EQ(c.readFrame(f), Result::Closed);
  EXPECT_TRUE(closedId(conn->id));
}

TEST_F(ServerTest, FragmentedMessageWithPingBetween) {
  start();
  WsTestClient c;
  ASSERT_TRUE(open(c));
  ASSERT_TRUE(c.send(clientFrame(0x01, "frag") + clientFrame(0x89, "pp") + clientFrame(0x00, "men") +
                     clientFrame(0x80, "ted")));
  Frame f = expectFrame(c);
  EXPECT_EQ(f.opcode, kWsPong);
  EXPECT_EQ(f.payload, "pp");
  f = expectFrame(c);
  EXPECT_EQ(f.opcode, kWsText);
  EXPECT_EQ(f.payload, "fragmented");
  std::lock_guard<std::mutex> lock(rec.mutex);
  EXPECT_EQ(rec.texts, std::vector<std::string>{"fragmented"});
}

TEST_F(ServerTest, ProtocolErrorsEndTheConnectionSilently) {
  start();
  const std::pair<const char*, std::string> cases[] = {
      {"unmasked", clientFrame(0x81, "hi", false)},
      {"continuationWithoutMessage", clientFrame(0x80, "x")},
      {"reservedOpcode", clientFrame(0x83, "x")},
      {"announcesTooMuch", clientFrameHeader(0x82, kMaxFramePayload + 1)},  // no payload follows
  };
  for (const auto& [name, bytes] : cases) {
    WsTestClient c;
    auto conn = open(c);
    ASSERT_TRUE(conn) << name;
    ASSERT_TRUE(c.send(bytes));
    Frame f;
    EXPECT_EQ(c.readFrame(f), Result::Closed) << name;  // no close frame
    EXPECT_TRUE(closedId(conn->id)) << name;
  }
}

TEST_F(ServerTest, LargestFrameIsAccepted) {
  start(false);
  WsTestClient c;
  ASSERT_TRUE(open(c));
  ASSERT_TRUE(c.send(clientFrame(0x82, std::string(kMaxFramePayload, '\x5A'))));
  ASSERT_TRUE(rec.waitFor([&] { return rec.binaries.size() == 1; }, 30000));
  std::lock_guard<std::mutex> lock(rec.mutex);
  EXPECT_EQ(rec.binaries[0].size(), kMaxFramePayload);
  EXPECT_EQ(rec.binaries[0].back(), 0x5A);
}

TEST_F(ServerTest, PeerCloseIsEchoedAfterWhatWasQueued) {
  start(false);
  rec.onText = [](std::shared_ptr<Connection> c, const std::string&) {
    for (const char* t : {"1", "2", "3"}) c->sendText(t);
  };
  WsTestClient c;
  auto conn = open(c);
  ASSERT_TRUE(c.send(clientFrame(0x81, "burst") + clientFrame(0x88, "\x03\xE9" "going away")));
  for (const char* t : {"1", "2", "3"}) EXPECT_EQ(expectFrame(c).payload, t);
  Frame f = expectFrame(c);
  EXPECT_EQ(f.opcode, kWsClose);
  EXPECT_EQ(f.payload, "\x03\xE9");
  EXPECT_EQ(c.readFrame(f), Result::Closed);
  EXPECT_TRUE(closedId(conn->id));
}

TEST_F(ServerTest, CloseAsFirstFrameIsAnswered) {
  start(false);
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {"\x03\xE9", "\x03\xE9"}, {"\x03\xE9" "bye", "\x03\xE9"}, {"\x03", "\x03"}};
  for (const auto& [sent, echoed] : cases) {
    WsTestClient c;
    auto conn = open(c);
    ASSERT_TRUE(c.send(clientFrame(0x88, sent)));
    Frame f = expectFrame(c);
    EXPECT_EQ(f.opcode, kWsClose);
    EXPECT_EQ(f.payload, echoed);
    EXPECT_EQ(c.readFrame(f), Result::Closed);
    EXPECT_TRUE(closedId(conn->id));
  }
}

TEST_F(ServerTest, BytesThatCameWithTheRequestAreTheFirstFrames) {
  start();
  WsTestClient c;
  ASSERT_TRUE(open(c, clientFrame(0x81, "early") + clientFrame(0x82, "\x01\x02")));
  EXPECT_EQ(expectFrame(c).payload, "early");
  EXPECT_EQ(expectFrame(c).payload, "\x01\x02");
}

TEST_F(ServerTest, MessagesBeforeThePeerLeavesAreDelivered) {
  start(false);
  WsTestClient c;
  auto conn = open(c);
  ASSERT_TRUE(c.send(clientFrame(0x81, "last words")));
  ::shutdown(c.fd(), SHUT_WR);
  EXPECT_TRUE(closedId(conn->id));
  std::lock_guard<std::mutex> lock(rec.mutex);
  EXPECT_EQ(rec.texts, std::vector<std::string>{"last words"});
}

TEST_F(ServerTest, PeerThatNeverReadsLosesOnlyItsOwnConnection) {
  start();
  WsTestClient stuck, healthy;
  auto blocked = open(stuck);
  ASSERT_TRUE(open(healthy));
  const std::vector<uint8_t> mib(kMiB, 0x33);
  // Fill the kernel's buffers and half the queue bound.
  while (blocked->queued() < 32 * kMiB) blocked->sendBinary(mib);
  ASSERT_TRUE(healthy.send(clientFrame(0x81, "still here")));
  EXPECT_EQ(expectFrame(healthy).payload, "still here");
  // Past the bound the connection ends; queued keeps what was queued.
  while (blocked->queued() <= 64 * kMiB) blocked->sendBinary(mib);
  EXPECT_TRUE(closedId(blocked->id));
  EXPECT_GT(blocked->queued(), 64 * kMiB);
  ASSERT_TRUE(healthy.send(clientFrame(0x81, "and after")));
  EXPECT_EQ(expectFrame(healthy).payload, "and after");
  EXPECT_TRUE(stuck.waitClosed());
}

TEST_F(ServerTest, RequestReplies) {
  start();
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  const std::pair<std::string, std::string> cases[] = {
      {"GET / HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 404 Not Found"},  // the page is served over TLS only
      {"POST /v1 HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 405 Method Not Allowed"},
      {"GET /v1 HTTP/1.1\r\nHost: 127.0.0.1:1\r\n\r\n", "HTTP/1.1 421 Misdirected Request"},
      {test::upgradeRequest(port, ""), "HTTP/1.1 403 Forbidden"},
      {test::upgradeRequest(port, "https://elsewhere.example"), "HTTP/1.1 403 Forbidden"},
  };
  for (const auto& [request, status] : cases) {
    WsTestClient c;
    ASSERT_TRUE(c.connect(port));
    std::string reply = c.exchange(request);
    EXPECT_EQ(reply, status + "\r\nContent-Type: text/plain\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  }
  // Malformed or oversized requests get no reply at all.
  for (const std::string& request : {std::string("GET\r\n\r\n"), "GET /v1 HTTP/1.1\r\n" + std::string(9000, 'h')}) {
    WsTestClient c;
    ASSERT_TRUE(c.connect(port));
    EXPECT_EQ(c.exchange(request), "");
    EXPECT_TRUE(c.waitClosed());
  }
  // A TLS hello without an identity to answer with.
  WsTestClient tls;
  ASSERT_TRUE(tls.connect(port));
  EXPECT_EQ(tls.exchange(std::string("\x16\x03\x01\x00\x05hello", 10)), "");
  // None of them was upgraded.
  std::lock_guard<std::mutex> lock(rec.mutex);
  EXPECT_TRUE(rec.opened.empty());
}

TEST_F(ServerTest, SlowPeersAreDroppedByTheirTimeLimits) {
  ServerLimits limits;
  limits.idleTimeoutMs = 200;
  limits.requestDeadlineMs = 600;
  start(true, limits);

  WsTestClient silent;  // connects and says nothing
  ASSERT_TRUE(silent.connect(port));
  EXPECT_TRUE(silent.waitClosed());

  // Never silent for long, never finished: only the overall deadline ends it.
  WsTestClient drip;
  ASSERT_TRUE(drip.connect(port));
  const std::string request = "GET /v1 HTTP/1.1\r\n" + std::string(4000, 'x');
  const double began = nowMs();
  size_t sent = 0;
  bool closed = false;
  while (sent < request.size() && !closed) {
    if (!drip.send(request.substr(sent++, 1))) break;
    pollfd p{drip.fd(), POLLIN, 0};
    if (::poll(&p, 1, 20) > 0) {
      char b;
      closed = ::recv(drip.fd(), &b, 1, MSG_DONTWAIT) <= 0;
    }
  }
  EXPECT_TRUE(closed || drip.waitClosed());
  EXPECT_LT(sent, request.size());
  EXPECT_LT(nowMs() - began, 5000.0);
  std::lock_guard<std::mutex> lock(rec.mutex);
  EXPECT_TRUE(rec.opened.empty());
}

TEST_F(ServerTest, StopIsPromptWhilePeersStall) {
  std::string error;
  auto identity = loadOrCreateIdentity(test::testDir() / "state", error);
  ASSERT_TRUE(identity) << error;
  start(true, {}, identity.get());  // the product's limits: 10 s of silence allowed
  WsTestClient silent, halfRequest, halfHello, blockedPeer, openPeer;
  ASSERT_TRUE(silent.connect(port));
  ASSERT_TRUE(halfRequest.connect(port));
  ASSERT_TRUE(halfRequest.send("GET /v1 HTTP/1.1\r\nHost: 127.0.0.1"));
  ASSERT_TRUE(halfHello.connect(port));
  ASSERT_TRUE(halfHello.send(std::string("\x16\x03\x01", 3)));
  auto blocked = open(blockedPeer);
  ASSERT_TRUE(open(openPeer));
  while (blocked->queued() < 16 * kMiB) blocked->sendBinary(std::vector<uint8_t>(kMiB, 1));
  ASSERT_TRUE(waitUntil([&] { return server->threadCount() == 5; }));

  const double began = nowMs();
  server->stop();
  EXPECT_LT(nowMs() - began, 3000.0);
  EXPECT_EQ(server->threadCount(), 0u);
  for (WsTestClient* c : {&silent, &halfRequest, &halfHello, &openPeer}) EXPECT_TRUE(c->waitClosed());
  std::lock_guard<std::mutex> lock(rec.mutex);
  EXPECT_EQ(rec.closed.size(), 2u);  // only the upgraded ones
}

TEST_F(ServerTest, ThreadThatCannotStartRefusesOnlyItsConnection) {
  std::atomic<int> calls{0};
  ServerLimits limits;
  limits.startThread = [&](std::function<void()> body) {
    if (calls++ == 0) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(std::move(body));
  };
  start(true, limits);
  WsTestClient refused;
  ASSERT_TRUE(refused.connect(port));
  EXPECT_EQ(refused.exchange(test::upgradeRequest(port)), "");
  WsTestClient next;
  auto conn = open(next);
  ASSERT_TRUE(conn);
  EXPECT_EQ(conn->id, 2);
  ASSERT_TRUE(next.send(clientFrame(0x81, "ok")));
  EXPECT_EQ(expectFrame(next).payload, "ok");
}

TEST_F(ServerTest, FinishedThreadsAreReaped) {
  start();
  for (int i = 0; i < 10; ++i) {
    WsTestClient c;
    ASSERT_TRUE(c.connect(port));
    EXPECT_NE(c.exchange("GET /nothing HTTP/1.1\r\n\r\n"), "");
  }
  EXPECT_TRUE(waitUntil([&] { return server->threadCount() == 0; }));
}

TEST_F(ServerTest, NetworkThreadTimeIsCounted) {
  start();
  WsTestClient c;
  ASSERT_TRUE(open(c));
  const double before = netCpuMs();
  const std::string payload = pattern(kMiB, 9);
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(c.send(clientFrame(0x82, payload)));
    EXPECT_EQ(expectFrame(c).payload.size(), payload.size());
  }
  EXPECT_GT(netCpuMs(), before);
}

}  // namespace
}  // namespace bridge

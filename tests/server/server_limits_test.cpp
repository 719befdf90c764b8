// What one peer may cost the server: input held back by a handler, a close
// handshake that the peer never lets finish, and the caps on sockets.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <new>
#include <stdexcept>

#include "server/server.h"
#include "server/server_recorder.h"
#include "server/websocket_frame.h"
#include "server/ws_test_client.h"
#include "util/clock.h"

namespace bridge {
namespace {

using test::clientFrame;
using test::kAllowedOrigin;
using test::WsTestClient;
using Frame = WsTestClient::Frame;
using Result = WsTestClient::Result;

const std::string k101 = "HTTP/1.1 101 Switching Protocols";

bool waitUntil(const std::function<bool()>& done, int timeoutMs = 20000) {
  const double deadline = nowMs() + timeoutMs;
  while (!done()) {
    if (nowMs() > deadline) return false;
    ::poll(nullptr, 0, 5);
  }
  return true;
}

// Writes copies of `bytes` without blocking until the kernel takes no more.
// True when it was refused before `atMost`; `tail` is what is left of the copy
// that was cut off.
bool fillUntilRefused(int fd, const std::string& bytes, size_t atMost, std::string& tail) {
  size_t sent = 0;
  while (sent < atMost) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0) {
        tail = bytes.substr(done);
        return errno == EAGAIN || errno == EWOULDBLOCK;
      }
      done += static_cast<size_t>(n);
    }
    sent += done;
  }
  return false;
}

class ServerLimitsTest : public ::testing::Test {
 protected:
  void start(ServerLimits limits = {}) {
    server = std::make_unique<Server>(rec.handlers(true), nullptr, std::move(limits));
    ASSERT_TRUE(server->start(0));
    port = server->port();
  }

  std::shared_ptr<Connection> open(WsTestClient& client) {
    size_t before;
    {
      std::lock_guard<std::mutex> lock(rec.mutex);
      before = rec.opened.size();
    }
    EXPECT_TRUE(client.connect(port));
    EXPECT_EQ(client.upgrade(port), k101);
    EXPECT_TRUE(rec.waitFor([&] { return rec.opened.size() > before; }));
    std::lock_guard<std::mutex> lock(rec.mutex);
    return rec.opened.empty() ? nullptr : rec.opened.back();
  }

  size_t textCount() {
    std::lock_guard<std::mutex> lock(rec.mutex);
    return rec.texts.size();
  }

  test::ServerRecorder rec;
  std::unique_ptr<Server> server;
  int port = 0;
};

TEST_F(ServerLimitsTest, HeldInputStopsReadingLosesNothingAndSparesOthers) {
  std::shared_ptr<Connection> heldOne;
  rec.onText = [&](std::shared_ptr<Connection> c, const std::string& text) {
    if (text == "first") {
      heldOne = c;
      c->holdInput(true);
    }
  };
  start();
  WsTestClient flooder, other;
  ASSERT_TRUE(open(flooder));
  ASSERT_TRUE(open(other));
  ASSERT_TRUE(flooder.send(clientFrame(0x81, "first")));
  ASSERT_TRUE(rec.waitFor([&] { return rec.texts.size() == 1; }));
  // The held connection reads nothing more: its peer's writes back up.
  const std::string message = clientFrame(0x81, std::string(1000, 'm'));
  std::string batch;
  for (int i = 0; i < 64; ++i) batch += message;
  std::string tail;
  EXPECT_TRUE(fillUntilRefused(flooder.fd(), batch, size_t{256} << 20, tail));
  const size_t queuedInKernel = textCount();
  EXPECT_EQ(queuedInKernel, 1u);
  // Meanwhile another connection is served as usual.
  ASSERT_TRUE(other.send(clientFrame(0x81, "hello")));
  Frame f;
  ASSERT_EQ(other.readFrame(f), Result::Frame);
  EXPECT_EQ(f.payload, "hello");
  // Released, every message the peer managed to send arrives, in order.
  heldOne->holdInput(false);
  ASSERT_TRUE(flooder.send(tail + clientFrame(0x81, "last")));
  ASSERT_TRUE(rec.waitFor([&] { return !rec.texts.empty() && rec.texts.back() == "last"; }, 30000));
  std::lock_guard<std::mutex> lock(rec.mutex);
  for (size_t i = 0; i + 1 < rec.texts.size(); ++i) {
    if (rec.texts[i] != "first" && rec.texts[i] != "hello") {
      ASSERT_EQ(rec.texts[i].size(), 1000u);
    }
  }
}

TEST_F(ServerLimitsTest, HoldsAndReleasesBalanceInEitherOrder) {
  start();
  WsTestClient c;
  auto conn = open(c);
  ASSERT_TRUE(conn);
  // A release that overtook its hold, then the hold: nothing is held after.
  conn->holdInput(false);
  conn->holdInput(true);
  conn->holdInput(true);
  conn->holdInput(false);
  conn->holdInput(true);
  conn->holdInput(false);
  ASSERT_TRUE(c.send(clientFrame(0x81, "through")));
  Frame f;
  ASSERT_EQ(c.readFrame(f), Result::Frame);
  EXPECT_EQ(f.payload, "through");
}

TEST_F(ServerLimitsTest, CloseHandshakeEndsEvenWhenThePeerStopsReading) {
  ServerLimits limits;
  limits.closeTimeoutMs = 200;
  limits.readWhileQueuedBelow = uint64_t{1} << 30;  // the close must be read behind the output
  start(limits);
  WsTestClient c;
  auto conn = open(c);
  ASSERT_TRUE(conn);
  // More than the kernel buffers hold, so the close echo cannot be written.
  const std::vector<uint8_t> mib(1 << 20, 0x44);
  for (int i = 0; i < 32; ++i) conn->sendBinary(mib);
  ASSERT_TRUE(c.send(clientFrame(0x88, std::string("\x03\xe8", 2))));
  EXPECT_TRUE(rec.waitFor([&] { return rec.closed.size() == 1; }, 30000));
}

TEST_F(ServerLimitsTest, APeerThatLeavesItsRepliesUnreadIsReadNoMore) {
  ServerLimits limits;
  limits.readWhileQueuedBelow = 1 << 20;
  start(limits);
  WsTestClient c;
  auto conn = open(c);
  ASSERT_TRUE(conn);
  const std::vector<uint8_t> mib(1 << 20, 0x55);
  for (int i = 0; i < 16; ++i) conn->sendBinary(mib);  // more than the kernel takes
  ASSERT_TRUE(c.send(clientFrame(0x81, "first")));
  std::string tail;
  const std::string batch = clientFrame(0x81, std::string(1000, 'm'));
  EXPECT_TRUE(fillUntilRefused(c.fd(), batch, size_t{256} << 20, tail));
  // Nothing was read past what came before the output piled up.
  EXPECT_LT(textCount(), 100000u);
  EXPECT_FALSE(rec.waitFor([&] { return rec.closed.size() == 1; }, 0));
}

TEST_F(ServerLimitsTest, MessagesSentBeforeAHangUpAreAllDelivered) {
  struct Case {
    const char* name;
    bool reset;  // the peer's socket goes with a reset instead of ending its side
  };
  const Case cases[] = {{"endsItsSide", false}, {"resets", true}};
  // Every message holds input until the test lets it go, as a handler that
  // hands messages to another thread does.
  rec.onText = [](std::shared_ptr<Connection> c, const std::string&) { c->holdInput(true); };
  start();
  constexpr size_t kMessages = 5;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = std::make_unique<WsTestClient>();
    auto conn = open(*client);
    ASSERT_TRUE(conn);
    size_t before;
    {
      std::lock_guard<std::mutex> lock(rec.mutex);
      before = rec.texts.size();
      rec.closed.clear();
    }
    // Everything, and the hang-up, is in the server's socket before it reads.
    conn->holdInput(true);
    std::string batch;
    for (size_t i = 0; i < kMessages; ++i) batch += clientFrame(0x81, "m" + std::to_string(i));
    ASSERT_TRUE(client->send(batch));
    if (c.reset) {
      const linger abort{1, 0};
      ::setsockopt(client->fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      client.reset();
    } else {
      ::shutdown(client->fd(), SHUT_WR);
    }
    for (size_t k = 0; k < kMessages; ++k) {
      conn->holdInput(false);
      ASSERT_TRUE(rec.waitFor([&] { return rec.texts.size() > before + k || !rec.closed.empty(); }));
      std::lock_guard<std::mutex> lock(rec.mutex);
      ASSERT_EQ(rec.texts.size(), before + k + 1) << "ended after " << k << " messages";
      EXPECT_EQ(rec.texts.back(), "m" + std::to_string(k));
    }
    conn->holdInput(false);
    EXPECT_TRUE(rec.waitFor([&] { return !rec.closed.empty(); }));
  }
}

TEST_F(ServerLimitsTest, WhatAHandlerThrowsEndsItsConnectionAndOnlyFailedAllocationsAreQuiet) {
  struct Case {
    const char* name;
    std::function<void()> fail;
    const char* logged;  // nullptr: nothing is written
  };
  const Case cases[] = {
      {"logicError", [] { throw std::runtime_error("field 'track' is not a string"); },
       "field 'track' is not a string"},
      {"outOfMemory", [] { throw std::bad_alloc(); }, nullptr},
  };
  const std::function<void()>* fail = nullptr;
  rec.onText = [&](std::shared_ptr<Connection>, const std::string& text) {
    if (text == "fail") (*fail)();
  };
  start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fail = &c.fail;
    WsTestClient client, other;
    auto conn = open(client);
    ASSERT_TRUE(conn);
    ASSERT_TRUE(open(other));
    {
      std::lock_guard<std::mutex> lock(rec.mutex);
      rec.closed.clear();
    }
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(client.send(clientFrame(0x81, "fail")));
    const bool closed = rec.waitFor([&] { return !rec.closed.empty(); });
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(closed);
    EXPECT_TRUE(client.waitClosed());
    if (c.logged) {
      EXPECT_NE(err.find("connection " + std::to_string(conn->id)), std::string::npos) << err;
      EXPECT_NE(err.find(c.logged), std::string::npos) << err;
    } else {
      EXPECT_EQ(err, "");
    }
    // Only that connection ended.
    ASSERT_TRUE(other.send(clientFrame(0x81, "still")));
    Frame f;
    ASSERT_EQ(other.readFrame(f), Result::Frame);
    EXPECT_EQ(f.payload, "still");
  }
}

TEST_F(ServerLimitsTest, IdleSocketsGiveWayAndConnectionsAreCapped) {
  ServerLimits limits;
  limits.maxConnections = 4;
  limits.maxUnopened = 2;
  start(limits);
  // Two idle sockets fill the sockets allowed before an upgrade.
  WsTestClient idle1, idle2;
  ASSERT_TRUE(idle1.connect(port));
  ASSERT_TRUE(waitUntil([&] { return server->threadCount() == 1; }));
  ASSERT_TRUE(idle2.connect(port));
  ASSERT_TRUE(waitUntil([&] { return server->threadCount() == 2; }));
  // A third pushes out the oldest, so a real page still gets in.
  WsTestClient page;
  ASSERT_TRUE(open(page));
  EXPECT_TRUE(idle1.waitClosed());
  // Up to the cap of connections being served, then the next is refused.
  WsTestClient second, third;
  ASSERT_TRUE(open(second));
  ASSERT_TRUE(open(third));  // page, second, third and idle2 are served
  WsTestClient refused;
  ASSERT_TRUE(refused.connect(port));
  EXPECT_EQ(refused.exchange(test::upgradeRequest(port)), "");
  // The served ones carry on.
  ASSERT_TRUE(page.send(clientFrame(0x81, "still")));
  Frame f;
  ASSERT_EQ(page.readFrame(f), Result::Frame);
  EXPECT_EQ(f.payload, "still");
}

}  // namespace
}  // namespace bridge

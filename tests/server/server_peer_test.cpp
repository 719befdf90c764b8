// The server against peers written by others: python3-websockets, python's ssl
// and http code, and openssl s_client. They check what our own tests cannot:
// that real clients agree with us.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "server/peer_tools.h"
#include "server/server.h"
#include "server/server_recorder.h"
#include "server/tls_identity.h"
#include "support/test_dir.h"
#include "util/process.h"

namespace bridge {
namespace {

using test::capture;
using test::kAllowedOrigin;
using test::quoted;

constexpr char kPython[] = "/usr/bin/python3";

class PeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::access(kPython, X_OK), 0) << "python3 is missing (scripts/install-deps)";
    std::string error;
    identity = loadOrCreateIdentity(dir, error);
    ASSERT_TRUE(identity) << error;
    rec.onText = [this](std::shared_ptr<Connection> c, const std::string& text) { control(c, text); };
    server = std::make_unique<Server>(rec.handlers(true), identity.get());
    ASSERT_TRUE(server->start(0));
    port = server->port();
  }

  void TearDown() override {
    if (server) server->stop();
    joinFlood();
  }

  void joinFlood() {
    std::thread t;
    {
      std::lock_guard<std::mutex> lock(floodMutex);
      t.swap(flood);
    }
    if (t.joinable()) t.join();
  }

  // Requests that the stall check makes of the server.
  void control(const std::shared_ptr<Connection>& c, const std::string& text) {
    if (text == "flood") {
      floodId = c->id;
      std::lock_guard<std::mutex> lock(floodMutex);
      flood = std::thread([this, c] {
        const std::vector<uint8_t> mib(1 << 20, 0x2A);
        while (c->queued() <= (64u << 20) && !gone(c->id)) c->sendBinary(mib);
      });
    } else if (text == "wait-stuck") {
      if (rec.waitFor([&] { return std::count(rec.closed.begin(), rec.closed.end(), floodId.load()) == 1; }, 60000))
        c->sendText("stuck-closed");
    }
  }

  bool gone(int32_t id) {
    std::lock_guard<std::mutex> lock(rec.mutex);
    return std::count(rec.closed.begin(), rec.closed.end(), id) == 1;
  }

  int python(const std::string& script, std::vector<std::string> args) {
    args.insert(args.begin(), {kPython, (test::peerScriptDir() / script).string()});
    return runProcess(args, 180000, {});
  }

  std::string url(bool tls) const { return std::string(tls ? "wss" : "ws") + "://127.0.0.1:" + std::to_string(port) + "/v1"; }
  std::string ca() const { return authorityFile(dir).string(); }

  std::string sClient(const std::string& options) {
    const std::string request = "GET / HTTP/1.1\\r\\nHost: 127.0.0.1:" + std::to_string(port) + "\\r\\n\\r\\n";
    int status = 0;
    return capture("printf '" + request + "' | timeout 60 /usr/bin/openssl s_client -connect 127.0.0.1:" +
                       std::to_string(port) + " -CAfile " + quoted(ca()) +
                       " -verify_return_error -verify_ip 127.0.0.1 -ign_eof " + options,
                   status);
  }

  std::filesystem::path dir = test::testDir() / "state";
  std::unique_ptr<TlsIdentity> identity;
  test::ServerRecorder rec;
  std::unique_ptr<Server> server;
  int port = 0;
  std::mutex floodMutex;  // the flood starts on a connection thread
  std::thread flood;
  std::atomic<int32_t> floodId{0};
};

TEST_F(PeerTest, WebSocketEcho) {
  EXPECT_EQ(python("ws_peer.py", {"echo", url(false), kAllowedOrigin}), 0);
  std::lock_guard<std::mutex> lock(rec.mutex);
  ASSERT_EQ(rec.opened.size(), 1u);
  EXPECT_FALSE(rec.opened[0]->tls);
}

TEST_F(PeerTest, SecureWebSocketEchoVerifiesTheChain) {
  EXPECT_EQ(python("ws_peer.py", {"echo", url(true), kAllowedOrigin, ca()}), 0);
  std::lock_guard<std::mutex> lock(rec.mutex);
  ASSERT_EQ(rec.opened.size(), 1u);
  EXPECT_TRUE(rec.opened[0]->tls);
  EXPECT_EQ(rec.opened[0]->origin, kAllowedOrigin);
}

TEST_F(PeerTest, CloseBeforeAnythingElseIsAnswered) {
  EXPECT_EQ(python("ws_peer.py", {"close-first", url(false), kAllowedOrigin}), 0);
  EXPECT_EQ(python("ws_peer.py", {"close-first", url(true), kAllowedOrigin, ca()}), 0);
}

TEST_F(PeerTest, UpgradeWithoutAllowedOriginIsRefused) {
  EXPECT_EQ(python("ws_peer.py", {"refused", url(false), ""}), 0);
  EXPECT_EQ(python("ws_peer.py", {"refused", url(true), "https://evil.example", ca()}), 0);
}

TEST_F(PeerTest, EveryReplyOfTheDecisionOrder) {
  EXPECT_EQ(python("http_peer.py", {std::to_string(port), ca(), kAllowedOrigin}), 0);
}

TEST_F(PeerTest, StuckReaderLosesOnlyItsOwnConnection) {
  EXPECT_EQ(python("ws_peer.py", {"stall", url(false), kAllowedOrigin}), 0);
  joinFlood();
  std::lock_guard<std::mutex> lock(rec.mutex);
  auto stuck = std::find_if(rec.opened.begin(), rec.opened.end(), [&](auto& c) { return c->id == floodId; });
  ASSERT_NE(stuck, rec.opened.end());
  EXPECT_GT((*stuck)->queued(), 64u << 20);
}

TEST_F(PeerTest, AlpnNegotiatesHttp11) {
  std::string out = sClient("-alpn h2,http/1.1,spdy/3");
  EXPECT_NE(out.find("ALPN protocol: http/1.1"), std::string::npos) << out;
  EXPECT_NE(out.find("Verify return code: 0 (ok)"), std::string::npos) << out;
  EXPECT_NE(out.find("HTTP/1.1 200 OK"), std::string::npos) << out;
  EXPECT_NE(out.find("Krevlo Bridge is running. You can close this tab."), std::string::npos) << out;
}

TEST_F(PeerTest, HandshakeWithoutAlpnCompletes) {
  std::string out = sClient("");
  EXPECT_NE(out.find("No ALPN negotiated"), std::string::npos) << out;
  EXPECT_NE(out.find("Verify return code: 0 (ok)"), std::string::npos) << out;
  EXPECT_NE(out.find("HTTP/1.1 200 OK"), std::string::npos) << out;
}

TEST_F(PeerTest, ServerCertificateVerifiesForThisAddress) {
  int status = 0;
  std::string out = capture("/usr/bin/openssl verify -purpose sslserver -verify_ip 127.0.0.1 -CAfile " +
                                quoted(ca()) + " " + quoted((dir / "cert.pem").string()),
                            status);
  EXPECT_EQ(status, 0) << out;
  out = capture("/usr/bin/openssl verify -purpose sslserver -verify_ip 127.0.0.2 -CAfile " + quoted(ca()) + " " +
                    quoted((dir / "cert.pem").string()),
                status);
  EXPECT_NE(status, 0) << out;
}

}  // namespace
}  // namespace bridge

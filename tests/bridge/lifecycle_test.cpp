// Start, stop and destruction; the post mechanism, the ticker's schedule and the
// routing of binary frames.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <future>

#include "bridge/ticker.h"
#include "bridge_fixture.h"
#include "engine/frame.h"

namespace bridge::test {
namespace {

// A listening socket on 127.0.0.1 that keeps its port taken.
struct TakenPort {
  int fd = -1;
  int port = 0;
  TakenPort() {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(fd, 1), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~TakenPort() { ::close(fd); }
};

std::vector<uint8_t> inputFrame(uint16_t stream, int32_t position, int32_t frames) {
  std::vector<uint8_t> f(kFrameHeaderBytes + 8 * static_cast<size_t>(frames), 0);
  f[frame_offset::kind] = kInputFrameKind;
  f[frame_offset::channels] = kFrameChannels;
  std::memcpy(&f[frame_offset::stream], &stream, 2);
  std::memcpy(&f[frame_offset::position], &position, 4);
  std::memcpy(&f[frame_offset::frames], &frames, 4);
  return f;
}

int32_t framePosition(const std::vector<uint8_t>& f) {
  int32_t p = 0;
  std::memcpy(&p, &f[frame_offset::position], 4);
  return p;
}

TEST_F(BridgeTest, StartFailsWhenThePortIsTaken) {
  TakenPort taken;
  BridgeOptions o = options();
  o.port = taken.port;
  make(o);
  auto host = std::make_unique<FakeHost>("AU");
  FakeHost* h = host.get();
  bridge->addHost(std::move(host));
  int before = changes;
  EXPECT_FALSE(bridge->start());
  Bridge::Status s = bridge->status();
  EXPECT_FALSE(s.running);
  EXPECT_FALSE(s.scanning);
  EXPECT_EQ(s.error, "Port " + std::to_string(taken.port) + " is in use. Is Krevlo Bridge already running?");
  EXPECT_EQ(changes, before + 1);
  EXPECT_EQ(h->scanCalls, 0);
  bridge = nullptr;  // nothing was started; destruction is still safe
  EXPECT_EQ(queue.drain(), 0u);
}

TEST_F(BridgeTest, StartServesWithTlsAndScans) {
  make();
  auto host = std::make_unique<FakeHost>("AU");
  host->add("Delay");
  bridge->addHost(std::move(host));
  ASSERT_TRUE(bridge->start());
  EXPECT_TRUE(bridge->status().running);
  EXPECT_TRUE(bridge->status().tls);
  EXPECT_EQ(bridge->status().error, "");
  EXPECT_TRUE(std::filesystem::exists(dataDir() / "ca.pem"));
  ASSERT_TRUE(drainUntil([&] { return !bridge->status().scanning; }));
  EXPECT_EQ(bridge->status().plugins, 1);
  bridge = nullptr;
  queue.drain();  // the ticker's last jobs find the Bridge dead
}

TEST_F(BridgeTest, CertificateFailureStillServesInClear) {
  std::filesystem::create_directories(testDir());
  std::ofstream(dataDir()) << "a file where the folder should be";
  make();
  ASSERT_TRUE(bridge->start());
  Bridge::Status s = bridge->status();
  EXPECT_TRUE(s.running);
  EXPECT_FALSE(s.tls);
  EXPECT_EQ(s.error.rfind("Certificate: ", 0), 0u) << s.error;
  EXPECT_GT(s.error.size(), std::string("Certificate: ").size());
}

TEST_F(BridgeTest, HandlersPostInOrderAndDieWithTheBridge) {
  make();
  ServerHandlers handlers = probe().handlers();
  auto c = std::make_shared<FakeConnection>(4);
  std::thread connectionThread([&] {
    handlers.onOpen(c);
    handlers.onText(c, R"({"t":"ping","at":1})");
    handlers.onText(c, R"({"t":"ping","at":2})");
  });
  connectionThread.join();
  EXPECT_TRUE(c->texts().empty());  // nothing runs on the connection thread
  queue.drain();
  auto texts = c->takeTexts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[1], R"({"at":1.0,"t":"pong"})");
  EXPECT_EQ(texts[2], R"({"at":2.0,"t":"pong"})");

  handlers.onText(c, R"({"t":"ping","at":3})");
  handlers.onClose(c);
  bridge = nullptr;
  EXPECT_EQ(queue.drain(), 2u);  // both jobs ran, and did nothing
  EXPECT_TRUE(c->texts().empty());
}

TEST_F(BridgeTest, BinaryFramesGoToTheirConnectionsChains) {
  make();
  auto one = connect(1);
  auto two = connect(2);
  // The first output of each chain; later ones would be frames routed wrongly.
  struct FirstOutput {
    std::promise<std::vector<uint8_t>> frame;
    std::atomic<int> count{0};
    void operator()(std::vector<uint8_t> f) {
      if (count++ == 0) frame.set_value(std::move(f));
    }
  };
  auto outOne = std::make_shared<FirstOutput>();
  auto outTwo = std::make_shared<FirstOutput>();
  auto first = outOne->frame.get_future();
  auto second = outTwo->frame.get_future();
  probe().addTrack(1, "a", probe().makeChain(1, [outOne](std::vector<uint8_t> f) { (*outOne)(std::move(f)); }));
  probe().addTrack(2, "a", probe().makeChain(1, [outTwo](std::vector<uint8_t> f) { (*outTwo)(std::move(f)); }));

  // Dropped: too short for a header, a stream nobody routes, and a connection
  // without routes. Each would reach a chain before the frames below if it were
  // routed at all.
  probe().binary(one, std::vector<uint8_t>(63, 0));
  probe().binary(one, inputFrame(9, 900, 16));
  probe().binary(std::make_shared<FakeConnection>(3), inputFrame(1, 300, 16));
  probe().binary(two, inputFrame(1, 200, 16));
  probe().binary(one, inputFrame(1, 100, 16));

  ASSERT_EQ(first.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  ASSERT_EQ(second.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(framePosition(first.get()), 100);
  EXPECT_EQ(framePosition(second.get()), 200);
  bridge = nullptr;  // joins the chains' workers
  EXPECT_EQ(outOne->count, 1);
  EXPECT_EQ(outTwo->count, 1);
  EXPECT_TRUE(one->texts().empty());  // no replies to binary messages
}

// A connection thread that held the last copy of a chain hands its destruction
// to the main thread, where slots and plug-ins must go.
TEST_F(BridgeTest, ChainReleasedLastOffTheMainThreadDiesOnIt) {
  make();
  struct Sentinel {
    std::promise<std::thread::id> where;
    ~Sentinel() { where.set_value(std::this_thread::get_id()); }
  };
  auto sentinel = std::make_shared<Sentinel>();
  auto died = sentinel->where.get_future();
  auto chain = probe().makeChain(1, [sentinel](std::vector<uint8_t>) {});
  sentinel.reset();
  std::thread connectionThread([chain = std::move(chain)]() mutable { chain.reset(); });
  connectionThread.join();
  EXPECT_EQ(died.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  EXPECT_EQ(queue.drain(), 1u);
  ASSERT_EQ(died.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  EXPECT_EQ(died.get(), mainThread);
}

TEST_F(BridgeTest, ChainsQueuedForReleaseGoWithTheBridge) {
  make();
  bool gone = false;
  struct Flag {
    bool* gone;
    ~Flag() { *gone = true; }
  };
  auto flag = std::make_shared<Flag>(Flag{&gone});
  auto chain = probe().makeChain(1, [flag](std::vector<uint8_t>) {});
  flag.reset();
  std::thread([chain = std::move(chain)]() mutable { chain.reset(); }).join();
  bridge = nullptr;  // before the hosts go, not whenever the queue is drained
  EXPECT_TRUE(gone);
  queue.drain();
}

TEST(BridgeTicker, PushesEveryWakeupAndTicksEveryTwentieth) {
  std::atomic<bool> stop{false};
  int wakeups = 0, pushes = 0;
  std::vector<int> ticksAt;
  runTicker(
      stop,
      [&] {
        if (++wakeups == 45) stop = true;
      },
      [&] { ++pushes; }, [&] { ticksAt.push_back(wakeups); });
  EXPECT_EQ(wakeups, 45);
  EXPECT_EQ(pushes, 45);
  EXPECT_EQ(ticksAt, (std::vector<int>{20, 40}));

  int calls = 0;
  runTicker(
      stop, [&] { ++calls; }, [&] { ++calls; }, [&] { ++calls; });
  EXPECT_EQ(calls, 0);  // stopped before it began
}

}  // namespace
}  // namespace bridge::test

// Heap allocations on the audio path, counted by the replaced operator new of
// support/counting_new.cpp, which only this binary links. The worker may
// allocate nothing per block: the output frame reuses the input's storage.
// Behind the real server, the worker and the connection thread are to allocate
// nothing per block either; those two tests are disabled until they do.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>

#include "engine/chain.h"
#include "server/server.h"
#include "server/websocket_frame.h"
#include "server/ws_test_client.h"
#include "support/audio_frames.h"
#include "support/counting_new.h"
#include "support/fake_plugin.h"

namespace bridge {
namespace {

using test::makeFrame;

// Output callback that records the worker's own allocation count per block
// without allocating.
struct Counter {
  std::mutex mutex;
  std::condition_variable cv;
  size_t blocks = 0;
  uint64_t allocationsAt[512] = {};

  void onOutput(std::vector<uint8_t> frame) {
    const uint64_t now = test::threadAllocations();
    std::lock_guard<std::mutex> lock(mutex);
    if (blocks < std::size(allocationsAt)) allocationsAt[blocks] = now;
    ++blocks;
    cv.notify_all();
    (void)frame;
  }
  bool wait(size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::seconds(20), [&] { return blocks >= n; });
  }
};

TEST(AudioAllocations, NonePerBlockThroughAFullyMeteredChain) {
  Counter counter;
  Chain chain(1, 48000.0, [&](std::vector<uint8_t> f) { counter.onOutput(std::move(f)); }, false);
  std::vector<std::shared_ptr<test::FakePlugin>> plugins;
  SlotList slots;
  for (int i = 0; i < 8; ++i) {
    test::FakePluginOptions o;
    o.latency = (i % 3) * 64;
    o.meter = i % 2 == 0;
    o.gain = 0.9f;
    plugins.push_back(std::make_shared<test::FakePlugin>(o));
    auto slot = std::make_shared<Slot>();
    slot->key = "s" + std::to_string(i);
    slot->plugin = plugins.back();
    slot->meter = true;
    slot->stereo = true;
    slot->spectrum = true;
    slot->spectrumOwner = std::make_unique<Spectrum>(48000.0);
    slot->spectrumPtr = slot->spectrumOwner.get();
    slots.push_back(slot);
  }
  chain.setSlots(slots);

  constexpr int kBlocks = 300, kFirst = 20, kLast = 280;
  std::vector<std::vector<uint8_t>> frames;
  for (int b = 0; b < kBlocks; ++b) {
    test::FrameSpec s;
    s.position = b * 512;
    s.epoch = b < 150 ? 0 : 1;  // a stream reset halfway
    frames.push_back(makeFrame(s, 512, 0.25f));
  }
  for (int b = 0; b < kBlocks; ++b) {
    // Bypass toggles now and then, so cross-fades run too.
    if (b % 40 == 10) slots[3]->bypass = !slots[3]->bypass.load();
    // Rows are drained as the level pushes would.
    if (b % 30 == 0) chain.takeLevels();
    chain.push(std::move(frames[b]));
    if (b % 50 == 49) {
      ASSERT_TRUE(counter.wait(static_cast<size_t>(b + 1)));
    }
  }
  ASSERT_TRUE(counter.wait(kBlocks));
  std::lock_guard<std::mutex> lock(counter.mutex);
  EXPECT_EQ(counter.allocationsAt[kLast] - counter.allocationsAt[kFirst], 0u)
      << "allocations on the worker over " << (kLast - kFirst) << " blocks";
}

TEST(AudioAllocations, SpectrumAllocatesOnlyWhenMade) {
  const uint64_t before = test::threadAllocations();
  Spectrum spectrum(44100.0);
  EXPECT_GT(test::threadAllocations(), before);
  std::vector<float> samples(700, 0.3f);
  int8_t in[Spectrum::kBands], out[Spectrum::kBands];
  const uint64_t made = test::threadAllocations();
  spectrum.feed(samples.data(), samples.data(), samples.data(), samples.data(), 700, in, out);
  spectrum.reset();
  spectrum.feed(samples.data(), samples.data(), samples.data(), samples.data(), 1, in, out);
  EXPECT_EQ(test::threadAllocations(), made);
}

// A chain behind the real server, wired as the bridge wires a track: frames
// read on the connection thread are pushed to the chain, whose output is queued
// back with sendBinary. A client plays ping-pong with 128-frame blocks; each
// thread's count is taken once per block on that thread.
struct ServedChain {
  static constexpr int kBlocks = 300, kFirst = 20, kLast = 280;
  // Written by one thread each (connection, worker), read after the stream.
  uint64_t connectionAt[kBlocks] = {}, workerAt[kBlocks] = {};
  int received = 0;  // connection thread
  int produced = 0;  // worker
  std::shared_ptr<Connection> connection;  // set on the connection thread before any push
  std::unique_ptr<Chain> chain;
  bool streamed = false;

  ServedChain() {
    chain = std::make_unique<Chain>(
        1, 48000.0,
        [this](std::vector<uint8_t> frame) {
          if (produced < kBlocks) workerAt[produced] = test::threadAllocations();
          ++produced;
          connection->sendBinary(frame);
        },
        false);
    auto slot = std::make_shared<Slot>();
    slot->key = "g";
    test::FakePluginOptions o;
    o.gain = 0.5f;
    slot->plugin = std::make_shared<test::FakePlugin>(o);
    chain->setSlots({slot});

    ServerHandlers h;
    h.allowOrigin = [](const std::string&) { return true; };
    h.onOpen = [this](std::shared_ptr<Connection> c) { connection = std::move(c); };
    h.onBinary = [this](std::shared_ptr<Connection>, std::vector<uint8_t>&& bytes) {
      if (received < kBlocks) connectionAt[received] = test::threadAllocations();
      ++received;
      chain->push(std::move(bytes));
    };
    Server server(h, nullptr);
    if (!server.start(0)) return;
    {
      test::WsTestClient client;
      if (!client.connect(server.port()) || client.upgrade(server.port()).rfind("HTTP/1.1 101", 0) != 0) return;
      for (int b = 0; b < kBlocks; ++b) {
        test::FrameSpec spec;
        spec.position = b * 128;
        const std::vector<uint8_t> frame = test::makeFrame(spec, 128, 0.25f);
        if (!client.send(test::clientFrame(0x80 | kWsBinary,
                                           std::string_view(reinterpret_cast<const char*>(frame.data()), frame.size()))))
          return;
        test::WsTestClient::Frame reply;
        do {
          if (client.readFrame(reply) != test::WsTestClient::Result::Frame) return;
        } while (reply.opcode != kWsBinary);
      }
      streamed = true;
    }
    // The worker stops before the connection it sends to goes away.
    chain.reset();
    server.stop();
    connection.reset();
  }
};

// Disabled until the audio path stops allocating per block. Today the
// connection thread makes about 1.06 per block (the message's own vector, copied
// out of the receive buffer, and a chain-queue node every 16 blocks) and the
// worker about 1.05 (the encoded frame that sendBinary queues, and a send-queue
// node every 21 blocks); --gtest_also_run_disabled_tests shows the counts.
TEST(AudioAllocations, DISABLED_NonePerBlockOnTheConnectionThread) {
  ServedChain served;
  ASSERT_TRUE(served.streamed);
  EXPECT_EQ(served.connectionAt[ServedChain::kLast] - served.connectionAt[ServedChain::kFirst], 0u)
      << "allocations on the connection thread over " << (ServedChain::kLast - ServedChain::kFirst) << " blocks";
}

TEST(AudioAllocations, DISABLED_NonePerBlockOnTheWorkerSendingToAConnection) {
  ServedChain served;
  ASSERT_TRUE(served.streamed);
  EXPECT_EQ(served.workerAt[ServedChain::kLast] - served.workerAt[ServedChain::kFirst], 0u)
      << "allocations on the worker over " << (ServedChain::kLast - ServedChain::kFirst) << " blocks";
}

// An allocation that fails on the worker (the copy its output makes) loses that
// block only: it is counted, and the next block comes through.
TEST(AudioAllocations, AFailedAllocationOnTheWorkerDropsOnlyThatBlock) {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<int32_t> positions;
  std::atomic<int> worker{0};
  Chain chain(
      1, 48000.0,
      [&](std::vector<uint8_t> frame) {
        std::vector<uint8_t> copy(frame);  // as a connection's queue does
        std::lock_guard<std::mutex> lock(mutex);
        int32_t position;
        std::memcpy(&position, copy.data() + 8, sizeof position);
        positions.push_back(position);
        cv.notify_all();
      },
      false);
  test::FakePluginOptions o;
  o.onProcess = [&] { worker = test::currentThreadId(); };
  auto slot = std::make_shared<Slot>();
  slot->key = "g";
  slot->plugin = std::make_shared<test::FakePlugin>(o);
  chain.setSlots({slot});
  auto wait = [&](size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::seconds(20), [&] { return positions.size() >= n; });
  };
  test::FrameSpec spec;
  chain.push(makeFrame(spec, 128, 0.25f));
  ASSERT_TRUE(wait(1));
  // The worker waits for its next frame now: its next allocation is the copy.
  const uint64_t failedBefore = test::failedAllocations();
  ASSERT_TRUE(test::failAllocation(worker, 1));
  spec.position = 128;
  chain.push(makeFrame(spec, 128, 0.25f));
  spec.position = 256;
  chain.push(makeFrame(spec, 128, 0.25f));
  ASSERT_TRUE(wait(2));
  EXPECT_EQ(test::failedAllocations() - failedBefore, 1u);
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(positions, (std::vector<int32_t>{0, 256}));
  }
  ChainStats stats = chain.takeStats();
  EXPECT_EQ(stats.dropped, 1);
  EXPECT_EQ(stats.errors, (std::vector<std::string>{"std::bad_alloc"}));
}

// Two pages stream through chains of their own behind one real server. A failed
// allocation on one connection's thread ends that connection alone: the
// process lives, and the other connection keeps its replies and its audio.
TEST(AudioAllocations, AFailedAllocationOnAConnectionThreadEndsOnlyThatConnection) {
  struct Peer {
    std::shared_ptr<Connection> connection;  // set in onOpen, before any push
    std::unique_ptr<Chain> chain;
    int thread = 0;
  };
  Peer peers[2];
  std::mutex mutex;
  std::condition_variable opened;
  int opens = 0;
  auto slotList = [] {
    auto slot = std::make_shared<Slot>();
    slot->key = "g";
    test::FakePluginOptions o;
    o.gain = 0.5f;
    slot->plugin = std::make_shared<test::FakePlugin>(o);
    return SlotList{slot};
  };
  for (Peer& peer : peers) {
    peer.chain = std::make_unique<Chain>(
        1, 48000.0, [&peer](std::vector<uint8_t> frame) { peer.connection->sendBinary(frame); }, false);
    peer.chain->setSlots(slotList());
  }
  auto peerOf = [&](const std::shared_ptr<Connection>& c) -> Peer* {
    std::lock_guard<std::mutex> lock(mutex);
    for (Peer& peer : peers)
      if (peer.connection == c) return &peer;
    return nullptr;
  };
  ServerHandlers h;
  h.allowOrigin = [](const std::string&) { return true; };
  h.onOpen = [&](std::shared_ptr<Connection> c) {
    std::lock_guard<std::mutex> lock(mutex);
    if (opens < 2) {
      peers[opens].connection = std::move(c);
      peers[opens].thread = test::currentThreadId();
    }
    ++opens;
    opened.notify_all();
  };
  h.onText = [](std::shared_ptr<Connection> c, std::string&& text) { c->sendText(text); };
  h.onBinary = [&](std::shared_ptr<Connection> c, std::vector<uint8_t>&& bytes) {
    if (Peer* peer = peerOf(c)) peer->chain->push(std::move(bytes));
  };
  Server server(h, nullptr);
  ASSERT_TRUE(server.start(0));

  test::WsTestClient clients[2];
  auto open = [&](int i) {
    if (!clients[i].connect(server.port()) || clients[i].upgrade(server.port()).rfind("HTTP/1.1 101", 0) != 0)
      return false;
    std::unique_lock<std::mutex> lock(mutex);
    return opened.wait_for(lock, std::chrono::seconds(20), [&] { return opens > i; });
  };
  auto sendBlock = [&](int i, int32_t position) {
    test::FrameSpec spec;
    spec.position = position;
    const std::vector<uint8_t> frame = test::makeFrame(spec, 128, 0.25f);
    return clients[i].send(test::clientFrame(
        0x80 | kWsBinary, std::string_view(reinterpret_cast<const char*>(frame.data()), frame.size())));
  };
  // One round trip: the block comes back halved at its own position.
  auto roundTrip = [&](int i, int32_t position) {
    if (!sendBlock(i, position)) return false;
    test::WsTestClient::Frame reply;
    if (clients[i].readFrame(reply) != test::WsTestClient::Result::Frame || reply.opcode != kWsBinary) return false;
    const auto* bytes = reinterpret_cast<const uint8_t*>(reply.payload.data());
    const std::vector<uint8_t> out(bytes, bytes + reply.payload.size());
    int32_t at;
    float first;
    if (out.size() < 64 + sizeof first) return false;
    std::memcpy(&at, out.data() + 8, sizeof at);
    std::memcpy(&first, out.data() + 64, sizeof first);
    return at == position && first == 0.125f;
  };
  auto echo = [&](int i, const std::string& text) {
    test::WsTestClient::Frame reply;
    return clients[i].send(test::clientFrame(0x80 | kWsText, text)) &&
           clients[i].readFrame(reply) == test::WsTestClient::Result::Frame && reply.opcode == kWsText &&
           reply.payload == text;
  };

  ASSERT_TRUE(open(0));
  ASSERT_TRUE(open(1));
  ASSERT_TRUE(roundTrip(0, 0));
  ASSERT_TRUE(roundTrip(1, 0));
  // Both connection threads now wait in poll; the next allocation of the first
  // is made for the message it reads next.
  const uint64_t failedBefore = test::failedAllocations();
  ASSERT_TRUE(test::failAllocation(peers[0].thread, 1));
  ASSERT_TRUE(sendBlock(0, 128));
  EXPECT_TRUE(clients[0].waitClosed());
  EXPECT_EQ(test::failedAllocations() - failedBefore, 1u);
  for (int b = 1; b <= 8; ++b) EXPECT_TRUE(roundTrip(1, b * 128)) << "block " << b;
  EXPECT_TRUE(echo(1, "{\"t\":\"ping\"}"));

  // The workers stop before the connections they send to go away.
  for (Peer& peer : peers) peer.chain.reset();
  server.stop();
}

TEST(AudioAllocations, TheCounterSeesAllocations) {
  const uint64_t before = test::threadAllocations();
  auto p = std::make_unique<std::vector<int>>(100);
  EXPECT_GE(test::threadAllocations() - before, 2u);
}

}  // namespace
}  // namespace bridge

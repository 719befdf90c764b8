#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/midi_backend.h"
#include "engine/midi_ports.h"
#include "support/fake_midi_backend.h"

namespace bridge {
namespace {

using test::FakeMidiEndpoint;
using test::FakeMidiSystem;
using Bytes = std::vector<uint8_t>;
using Names = std::vector<std::string>;

TEST(UniqueNames, NumbersRepeatsAndNamesTheNameless) {
  struct Case {
    Names in, out;
  } cases[] = {
      {{}, {}},
      {{"Keys", "Pads"}, {"Keys", "Pads"}},
      {{"Keys", "Keys", "Pads", "Keys"}, {"Keys", "Keys 2", "Pads", "Keys 3"}},
      {{"", "Keys", ""}, {"MIDI Port", "Keys", "MIDI Port 2"}},
      {{"MIDI Port", ""}, {"MIDI Port", "MIDI Port 2"}},
      // An appended number is not compared again.
      {{"Keys", "Keys", "Keys 2"}, {"Keys", "Keys 2", "Keys 2"}},
  };
  for (const Case& c : cases) EXPECT_EQ(uniqueNames(c.in), c.out);
}

// Records the callbacks; any thread.
struct Recorder {
  std::mutex mutex;
  std::vector<std::pair<std::string, Bytes>> received;
  std::atomic<int> changed{0};
  std::atomic<int> sent{0};

  MidiPorts::Callbacks callbacks() {
    MidiPorts::Callbacks cb;
    cb.changed = [this] { ++changed; };
    cb.received = [this](const std::string& port, const uint8_t* d, size_t n) {
      std::lock_guard<std::mutex> lock(mutex);
      received.push_back({port, Bytes(d, d + n)});
    };
    cb.sent = [this](const std::string&, const uint8_t*, size_t) { ++sent; };
    return cb;
  }
  std::vector<std::pair<std::string, Bytes>> take() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(received, {});
  }
};

FakeMidiEndpoint device(MidiBackend::Endpoint id, std::string displayName) {
  FakeMidiEndpoint e;
  e.id = id;
  e.displayName = std::move(displayName);
  return e;
}

class SystemMidiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    system->setSources({device(11, "Keys"), device(12, "Pads")});
    system->setDestinations({device(21, "Synth"), device(22, "Drums")});
  }
  void start() {
    midi = makeSystemMidi(system->backend());
    midi->start(rec.callbacks());
  }
  // Open's answer: empty when it opened, else the error.
  std::string open(bool input, const std::string& port) {
    std::string error;
    const bool ok = midi->open(input, port, error);
    EXPECT_EQ(ok, error.empty()) << port;
    return ok ? std::string() : error;
  }
  void send(const std::string& port, const Bytes& bytes) { midi->send(port, bytes.data(), bytes.size()); }

  std::shared_ptr<FakeMidiSystem> system = FakeMidiSystem::make();
  Recorder rec;
  std::unique_ptr<MidiPorts> midi;
};

TEST_F(SystemMidiTest, StartCreatesTheClientAndItsTwoPorts) {
  start();
  EXPECT_EQ(system->created(), (Names{"Krevlo Bridge", "Krevlo Bridge In", "Krevlo Bridge Out"}));
  EXPECT_EQ(midi->inputs(), (Names{"Keys", "Pads"}));
  EXPECT_EQ(midi->outputs(), (Names{"Synth", "Drums"}));
  EXPECT_FALSE(midi->inject("Keys", {0x90, 0x3C, 0x64}));
  // Started once: a second start would swap the callbacks under the service's thread.
  midi->start({});
  EXPECT_EQ(system->created().size(), 3u);
  EXPECT_TRUE(system->announce());
  EXPECT_EQ(rec.changed.load(), 1);
}

TEST_F(SystemMidiTest, NamesFromDisplayNameOrNameMadeUnique) {
  auto endpoint = [](MidiBackend::Endpoint id, std::optional<std::string> display, std::optional<std::string> name) {
    FakeMidiEndpoint e;
    e.id = id;
    e.displayName = std::move(display);
    e.name = std::move(name);
    return e;
  };
  system->setSources({
      endpoint(1, "Keys", "ignored"),
      endpoint(2, std::nullopt, "Keys"),                 // display name unreadable: the name
      endpoint(0, "Null endpoint", std::nullopt),        // skipped, numbers nothing
      endpoint(3, std::nullopt, std::nullopt),           // no name at all
      endpoint(4, "Keys", std::nullopt),
      endpoint(5, std::string("Bad \xC3\x28 UTF-8"), "Fallback"),  // does not convert: empty
      endpoint(6, std::string(511, 'x'), std::nullopt),  // fits the buffer
      endpoint(7, std::string(512, 'y'), std::nullopt),  // does not
      endpoint(8, "Caf\xC3\xA9 \xF0\x9F\x8E\xB9", std::nullopt),
  });
  system->setDestinations({endpoint(9, std::nullopt, std::nullopt), endpoint(10, "", "Unused")});
  start();
  EXPECT_EQ(midi->inputs(), (Names{"Keys", "Keys 2", "MIDI Port", "Keys 3", "MIDI Port 2", std::string(511, 'x'),
                                   "MIDI Port 3", "Caf\xC3\xA9 \xF0\x9F\x8E\xB9"}));
  EXPECT_EQ(midi->outputs(), (Names{"MIDI Port", "MIDI Port 2"}));

  // Each listed name opens its own endpoint.
  EXPECT_EQ(open(true, "Keys 3"), "");
  EXPECT_TRUE(system->connected(4));
  EXPECT_EQ(open(true, "MIDI Port 2"), "");
  EXPECT_TRUE(system->connected(5));
  EXPECT_EQ(system->connects(1) + system->connects(2) + system->connects(3), 0);
}

TEST_F(SystemMidiTest, OfflineDevicesAreNotListedAndCannotBeOpened) {
  auto withOffline = [](FakeMidiEndpoint e, std::optional<int64_t> offline) {
    e.offline = offline;
    return e;
  };
  system->setSources({withOffline(device(1, "Gone"), 1), withOffline(device(2, "Here"), 0),
                      withOffline(device(3, "Unknown"), std::nullopt), withOffline(device(4, "Also gone"), -1)});
  system->setDestinations({withOffline(device(5, "Gone out"), 7), withOffline(device(6, "Here"), 0)});
  start();
  EXPECT_EQ(midi->inputs(), (Names{"Here", "Unknown"}));
  EXPECT_EQ(midi->outputs(), (Names{"Here"}));
  EXPECT_EQ(open(true, "Gone"), "Not connected");
  EXPECT_EQ(open(false, "Gone out"), "Not connected");
  EXPECT_EQ(system->connects(1), 0);
  // A name from the other direction is not a port of this one.
  EXPECT_EQ(open(false, "Unknown"), "Not connected");
}

TEST_F(SystemMidiTest, WithoutAClientNothingOpens) {
  system->refuseClient();
  start();
  EXPECT_EQ(system->created(), Names{});
  // The service may still list endpoints, but nothing can be opened.
  EXPECT_EQ(open(true, "Keys"), "Not connected");
  EXPECT_EQ(open(false, "Synth"), "Not connected");
  send("Synth", {0x90, 0x3C, 0x64});
  EXPECT_TRUE(system->sent().empty());
  EXPECT_FALSE(midi->inject("Keys", {0x90, 0x3C, 0x64}));
  EXPECT_FALSE(system->announce());
  midi.reset();
  EXPECT_FALSE(system->closed());
}

TEST_F(SystemMidiTest, RefusedPortsAndConnections) {
  system->refuseInputPort();
  system->refuseOutputPort();
  start();
  EXPECT_EQ(system->created(), Names{"Krevlo Bridge"});
  EXPECT_EQ(open(true, "Keys"), "macOS didn't open it");
  EXPECT_EQ(open(false, "Synth"), "");  // opens, but nothing can be sent
  send("Synth", {0x90, 0x3C, 0x64});
  EXPECT_TRUE(system->sent().empty());
}

TEST_F(SystemMidiTest, RefusedConnectionFailsAndCanBeRetried) {
  system->refuseConnect(11);
  start();
  EXPECT_EQ(open(true, "Keys"), "macOS didn't open it");
  EXPECT_FALSE(system->deliver(11, {0x90, 0x3C, 0x64}));
  system->refuseConnect(11, false);
  EXPECT_EQ(open(true, "Keys"), "");
  EXPECT_EQ(system->connects(11), 2);
  EXPECT_TRUE(system->deliver(11, {0x90, 0x3C, 0x64}));
  EXPECT_EQ(rec.take().size(), 1u);
}

TEST_F(SystemMidiTest, OpenTwiceConnectsOnceAndCloseTwiceDisconnectsOnce) {
  start();
  EXPECT_EQ(open(true, "Pads"), "");
  EXPECT_EQ(open(true, "Pads"), "");
  EXPECT_EQ(system->connects(12), 1);

  // Messages are cut by the input's own parser and carry the port's name.
  EXPECT_TRUE(system->deliver(12, {0x90, 0x3C}));
  EXPECT_TRUE(system->deliver(12, {0x64, 0x3C, 0x00, 0xF8}));
  EXPECT_EQ(rec.take(), (std::vector<std::pair<std::string, Bytes>>{{"Pads", {0x90, 0x3C, 0x64}},
                                                                     {"Pads", {0x90, 0x3C, 0x00}}}));

  midi->close(true, "Pads");
  midi->close(true, "Pads");
  midi->close(true, "Keys");  // never opened
  EXPECT_EQ(system->disconnects(12), 1);
  EXPECT_EQ(system->disconnects(11), 0);
  EXPECT_FALSE(system->deliver(12, {0x90, 0x3C, 0x64}));
  EXPECT_TRUE(rec.take().empty());

  // Open again: a new connection with a parser of its own, so the half message
  // left in the old one does not complete.
  EXPECT_EQ(open(true, "Pads"), "");
  EXPECT_EQ(system->connects(12), 2);
  EXPECT_TRUE(system->deliver(12, {0x40, 0x00}));
  EXPECT_TRUE(rec.take().empty());
}

TEST_F(SystemMidiTest, OutputsOpenTwiceAndCloseTwice) {
  start();
  EXPECT_EQ(open(false, "Drums"), "");
  EXPECT_EQ(open(false, "Drums"), "");
  send("Drums", {0x99, 0x24, 0x7F});
  ASSERT_EQ(system->sent().size(), 1u);
  EXPECT_EQ(system->sent()[0].destination, 22u);
  EXPECT_EQ(system->sent()[0].bytes, (Bytes{0x99, 0x24, 0x7F}));
  midi->close(false, "Drums");
  midi->close(false, "Drums");
  send("Drums", {0x99, 0x24, 0x7F});
  EXPECT_EQ(system->sent().size(), 1u);
  EXPECT_EQ(rec.sent.load(), 0);  // only the test controller reports sends
}

TEST_F(SystemMidiTest, SendsBeyondOnePacketAreDropped) {
  start();
  ASSERT_EQ(open(false, "Synth"), "");
  auto sysexOf = [](size_t total) {
    Bytes b(total, 0x01);
    b.front() = 0xF0;
    b.back() = 0xF7;
    return b;
  };
  send("Synth", sysexOf(2000));
  send("Synth", sysexOf(1267));
  send("Synth", {});
  EXPECT_TRUE(system->sent().empty());
  send("Synth", sysexOf(1266));
  ASSERT_EQ(system->sent().size(), 1u);
  EXPECT_EQ(system->sent()[0].bytes.size(), 1266u);
  send("Keys", {0x90, 0x3C, 0x64});  // an input's name, not an open output
  send("Drums", {0x90, 0x3C, 0x64});
  EXPECT_EQ(system->sent().size(), 1u);
}

TEST_F(SystemMidiTest, DeviceChangesReachChangedAndTheNextListing) {
  start();
  EXPECT_TRUE(system->announce());
  EXPECT_EQ(rec.changed.load(), 1);

  EXPECT_EQ(open(true, "Keys"), "");
  EXPECT_EQ(open(false, "Drums"), "");
  // Keys is unplugged, a second "Pads" appears, and Drums moves to another endpoint.
  system->setSources({device(12, "Pads"), device(13, "Pads")});
  system->setDestinations({device(23, "Drums")});
  EXPECT_TRUE(system->announce());
  EXPECT_EQ(rec.changed.load(), 2);
  EXPECT_EQ(midi->inputs(), (Names{"Pads", "Pads 2"}));
  EXPECT_EQ(open(true, "Keys"), "Not connected");
  EXPECT_EQ(open(true, "Pads 2"), "");
  EXPECT_TRUE(system->connected(13));
  EXPECT_EQ(open(false, "Drums"), "");  // the newer endpoint replaces the older
  send("Drums", {0xB0, 0x07, 0x64});
  ASSERT_EQ(system->sent().size(), 1u);
  EXPECT_EQ(system->sent()[0].destination, 23u);
  midi->close(true, "Keys");  // what the owner does for a port that went away
  EXPECT_EQ(system->disconnects(11), 1);
}

TEST_F(SystemMidiTest, EmptyCallbacksAreSkipped) {
  midi = makeSystemMidi(system->backend());
  midi->start({});
  EXPECT_EQ(open(true, "Keys"), "");
  EXPECT_TRUE(system->announce());
  EXPECT_TRUE(system->deliver(11, {0x90, 0x3C, 0x64}));
}

TEST_F(SystemMidiTest, DestructionDisconnectsAndClosesBeforeReturning) {
  start();
  EXPECT_EQ(open(true, "Keys"), "");
  EXPECT_EQ(open(true, "Pads"), "");
  midi->close(true, "Pads");
  midi.reset();
  EXPECT_TRUE(system->closed());
  EXPECT_EQ(system->disconnects(11), 1);
  EXPECT_EQ(system->disconnects(12), 1);
  EXPECT_FALSE(system->deliver(11, {0x90, 0x3C, 0x64}));
  EXPECT_FALSE(system->announce());
  EXPECT_TRUE(rec.take().empty());
}

TEST_F(SystemMidiTest, DeliveriesOnAnotherThreadWhilePortsOpenAndClose) {
  // The service's thread feeds open inputs while the main thread opens, closes
  // and finally destroys the ports; records it may still reach are only retired.
  system->setSources({device(11, "Keys"), device(12, "Pads"), device(13, "Knobs")});
  start();
  ASSERT_EQ(open(true, "Keys"), "");
  std::atomic<bool> stop{false};
  std::atomic<int> delivered{0};
  std::thread service([&] {
    const Bytes note{0x90, 0x3C, 0x64};
    while (!stop.load())
      for (MidiBackend::Endpoint source : {11u, 12u, 13u})
        if (system->deliver(source, note)) ++delivered;
  });
  for (int i = 0; i < 300; ++i) {
    const std::string port = i % 2 ? "Pads" : "Knobs";
    EXPECT_EQ(open(true, port), "");
    midi->close(true, port);
  }
  // Wait for at least one delivery, so the thread really ran alongside.
  while (delivered.load() == 0) std::this_thread::yield();
  midi.reset();  // waits for a delivery in flight
  stop = true;
  service.join();
  for (const auto& [port, bytes] : rec.take()) {
    EXPECT_TRUE(port == "Keys" || port == "Pads" || port == "Knobs") << port;
    EXPECT_EQ(bytes, (Bytes{0x90, 0x3C, 0x64}));
  }
}

}  // namespace
}  // namespace bridge

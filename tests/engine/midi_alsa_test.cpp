// The system MIDI ports over the real ALSA sequencer. Where the machine has none
// (containers, CI) only the quiet failure is checked; where it has one, a second
// sequencer client in this process stands in for a device.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/midi_backend.h"
#include "engine/midi_ports.h"

namespace bridge {
namespace {

using Bytes = std::vector<uint8_t>;
using Names = std::vector<std::string>;

// Test processes run side by side on one sequencer, so each peer's name is its own.
const std::string kPeer = "Krevlo Test Peer " + std::to_string(::getpid());
const std::string kPeerOut = kPeer + " Out";
const std::string kPeerIn = kPeer + " In";

bool haveSequencer() {
  struct stat st;
  return ::stat("/dev/snd/seq", &st) == 0;
}

#define REQUIRE_SEQUENCER() \
  if (!haveSequencer()) GTEST_SKIP() << "no ALSA sequencer here (/dev/snd/seq is missing)"

// Callbacks arrive on the reader thread; the test waits for them with a bound.
struct Waiter {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::pair<std::string, Bytes>> received;
  int changed = 0;

  MidiPorts::Callbacks callbacks() {
    MidiPorts::Callbacks cb;
    cb.changed = [this] {
      std::lock_guard<std::mutex> lock(mutex);
      ++changed;
      cv.notify_all();
    };
    cb.received = [this](const std::string& port, const uint8_t* d, size_t n) {
      std::lock_guard<std::mutex> lock(mutex);
      received.push_back({port, Bytes(d, d + n)});
      cv.notify_all();
    };
    return cb;
  }
  template <typename Pred>
  bool waitFor(Pred pred) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::seconds(10), [&] { return pred(*this); });
  }
};

// Another client on the sequencer, with one port each way.
class Peer {
 public:
  Peer() {
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
      seq = nullptr;
      return;
    }
    snd_seq_set_client_name(seq, kPeer.c_str());
    id = snd_seq_client_id(seq);
    out = snd_seq_create_simple_port(seq, kPeerOut.c_str(), SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                     SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    in = snd_seq_create_simple_port(seq, kPeerIn.c_str(), SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                    SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    snd_midi_event_new(1024, &codec);
    snd_midi_event_no_status(codec, 1);
  }
  ~Peer() {
    if (codec) snd_midi_event_free(codec);
    if (seq) snd_seq_close(seq);
  }
  bool ok() const { return seq && out >= 0 && in >= 0 && codec; }

  int id = -1;  // client number
  int out = -1;
  int in = -1;

  // The sequencer client of this process with that name, or -1.
  int clientNamed(const std::string& name) const {
    snd_seq_client_info_t* info;
    snd_seq_client_info_alloca(&info);
    snd_seq_client_info_set_client(info, -1);
    while (snd_seq_query_next_client(seq, info) >= 0)
      if (name == snd_seq_client_info_get_name(info) && snd_seq_client_info_get_pid(info) == ::getpid())
        return snd_seq_client_info_get_client(info);
    return -1;
  }

  int addPort(const std::string& name) {
    return snd_seq_create_simple_port(seq, name.c_str(), SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                      SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
  }

  // From the output port to everyone connected to it.
  bool send(const Bytes& bytes) {
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    if (bytes[0] == 0xF0) {
      snd_seq_ev_set_sysex(&ev, static_cast<unsigned>(bytes.size()), const_cast<uint8_t*>(bytes.data()));
    } else {
      snd_midi_event_reset_encode(codec);
      if (snd_midi_event_encode(codec, bytes.data(), static_cast<long>(bytes.size()), &ev) <= 0 ||
          ev.type == SND_SEQ_EVENT_NONE)
        return false;
    }
    snd_seq_ev_set_source(&ev, out);
    snd_seq_ev_set_subs(&ev);
    snd_seq_ev_set_direct(&ev);
    return snd_seq_event_output_direct(seq, &ev) >= 0;
  }

  // The next MIDI event that arrives on the input port, within the bound.
  std::optional<Bytes> receive() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<pollfd> fds(static_cast<size_t>(snd_seq_poll_descriptors_count(seq, POLLIN)));
    snd_seq_poll_descriptors(seq, fds.data(), static_cast<unsigned>(fds.size()), POLLIN);
    while (std::chrono::steady_clock::now() < deadline) {
      snd_seq_event_t* ev = nullptr;
      while (snd_seq_event_input(seq, &ev) >= 0 && ev) {
        if (ev->dest.port != in) continue;
        if (ev->type == SND_SEQ_EVENT_SYSEX) {
          const auto* p = static_cast<const uint8_t*>(ev->data.ext.ptr);
          return Bytes(p, p + ev->data.ext.len);
        }
        Bytes buf(16);
        const long n = snd_midi_event_decode(codec, buf.data(), static_cast<long>(buf.size()), ev);
        if (n > 0) {
          buf.resize(static_cast<size_t>(n));
          return buf;
        }
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long>(1, left.count())));
    }
    return std::nullopt;
  }

 private:
  snd_seq_t* seq = nullptr;
  snd_midi_event_t* codec = nullptr;
};

// How the ALSA backend names an endpoint.
MidiBackend::Endpoint endpoint(int client, int port) {
  return static_cast<MidiBackend::Endpoint>(client) << 16 | static_cast<MidiBackend::Endpoint>(port);
}

bool has(const Names& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

TEST(AlsaMidi, WithoutASequencerStartFailsQuietly) {
  if (haveSequencer()) GTEST_SKIP() << "this machine has a sequencer; the tests beside this one use it";
  Waiter waiter;
  ::testing::internal::CaptureStderr();
  auto midi = makeSystemMidi();
  midi->start(waiter.callbacks());
  EXPECT_EQ(midi->inputs(), Names{});
  EXPECT_EQ(midi->outputs(), Names{});
  for (bool input : {true, false}) {
    std::string error;
    EXPECT_FALSE(midi->open(input, "Midi Through Port-0", error));
    EXPECT_EQ(error, "Not connected");
  }
  const Bytes note{0x90, 0x3C, 0x64};
  midi->send("Midi Through Port-0", note.data(), note.size());
  EXPECT_FALSE(midi->inject("Midi Through Port-0", note));
  midi.reset();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(AlsaMidi, ListsOtherClientsPortsButNeverOursOrTheSystems) {
  REQUIRE_SEQUENCER();
  Peer peer;
  ASSERT_TRUE(peer.ok());
  // Other test processes may run their own "Krevlo Bridge" at the same time, so
  // ours is told apart by its client number, which only the backend shows.
  auto backend = makeAlsaMidiBackend();
  ASSERT_TRUE(backend->createClient("Krevlo Bridge", [] {}));
  ASSERT_TRUE(backend->createInputPort("Krevlo Bridge In", [](void*, const uint8_t*, size_t) {}));
  ASSERT_TRUE(backend->createOutputPort("Krevlo Bridge Out"));
  const int self = peer.clientNamed("Krevlo Bridge");
  ASSERT_GT(self, 0);
  const auto sources = backend->sources(), destinations = backend->destinations();
  auto contains = [](const std::vector<MidiBackend::Endpoint>& list, MidiBackend::Endpoint e) {
    return std::find(list.begin(), list.end(), e) != list.end();
  };
  EXPECT_TRUE(contains(sources, endpoint(peer.id, peer.out)));
  EXPECT_FALSE(contains(sources, endpoint(peer.id, peer.in)));
  EXPECT_TRUE(contains(destinations, endpoint(peer.id, peer.in)));
  EXPECT_FALSE(contains(destinations, endpoint(peer.id, peer.out)));
  for (const auto* list : {&sources, &destinations})
    for (MidiBackend::Endpoint e : *list) {
      EXPECT_NE(e >> 16, 0u) << "a System port is listed";
      EXPECT_NE(e >> 16, static_cast<MidiBackend::Endpoint>(self)) << "our own port is listed";
    }
  std::string name;
  EXPECT_TRUE(backend->displayName(endpoint(peer.id, peer.out), name));
  EXPECT_EQ(name, kPeerOut);
  backend->close();

  Waiter waiter;
  auto midi = makeSystemMidi();
  midi->start(waiter.callbacks());
  EXPECT_TRUE(has(midi->inputs(), kPeerOut));
  EXPECT_TRUE(has(midi->outputs(), kPeerIn));
}

TEST(AlsaMidi, NewPortsOfOtherClientsCallChanged) {
  REQUIRE_SEQUENCER();
  Peer peer;
  ASSERT_TRUE(peer.ok());
  Waiter waiter;
  auto midi = makeSystemMidi();
  midi->start(waiter.callbacks());
  ASSERT_GE(peer.addPort(kPeer + " Extra"), 0);
  EXPECT_TRUE(waiter.waitFor([](Waiter& w) { return w.changed > 0; }));
  EXPECT_TRUE(has(midi->inputs(), kPeer + " Extra"));
}

TEST(AlsaMidi, OpenInputReceivesWholeMessages) {
  REQUIRE_SEQUENCER();
  Peer peer;
  ASSERT_TRUE(peer.ok());
  Waiter waiter;
  auto midi = makeSystemMidi();
  midi->start(waiter.callbacks());
  std::string error;
  ASSERT_TRUE(midi->open(true, kPeerOut, error)) << error;
  ASSERT_TRUE(midi->open(true, kPeerOut, error)) << error;
  const Bytes note{0x90, 0x3C, 0x64}, sysex{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
  ASSERT_TRUE(peer.send(note));
  ASSERT_TRUE(peer.send(sysex));
  ASSERT_TRUE(waiter.waitFor([](Waiter& w) { return w.received.size() >= 2; }));
  {
    std::lock_guard<std::mutex> lock(waiter.mutex);
    const std::vector<std::pair<std::string, Bytes>> expected = {{kPeerOut, note},
                                                                  {kPeerOut, sysex}};
    EXPECT_EQ(waiter.received, expected);
  }
  midi->close(true, kPeerOut);
  midi->close(true, kPeerOut);
  // Destruction joins the reader; the peer's later sends reach nobody.
  midi.reset();
  EXPECT_TRUE(peer.send(note));
}

TEST(AlsaMidi, SendGoesStraightToTheDestination) {
  REQUIRE_SEQUENCER();
  Peer peer;
  ASSERT_TRUE(peer.ok());
  Waiter waiter;
  auto midi = makeSystemMidi();
  midi->start(waiter.callbacks());
  std::string error;
  ASSERT_TRUE(midi->open(false, kPeerIn, error)) << error;
  const Bytes control{0xB0, 0x07, 0x64}, sysex{0xF0, 0x7D, 0x01, 0x02, 0x03, 0xF7};
  midi->send(kPeerIn, control.data(), control.size());
  EXPECT_EQ(peer.receive(), control);
  midi->send(kPeerIn, sysex.data(), sysex.size());
  EXPECT_EQ(peer.receive(), sysex);
}

}  // namespace
}  // namespace bridge

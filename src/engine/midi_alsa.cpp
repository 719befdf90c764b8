// The machine's MIDI through the ALSA sequencer: one client "Krevlo Bridge" with
// an input port that sources are connected to and that also hears the system's
// announcements, and an output port that sends straight to each destination.
// A reader thread drains the input port; it is joined before the sequencer is
// closed, so nothing is delivered after close.
#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "engine/midi_backend.h"

namespace bridge {

namespace {

using Endpoint = MidiBackend::Endpoint;

// Client 0 is the system's, never listed, so a real endpoint is never 0.
Endpoint endpointOf(int client, int port) {
  return static_cast<Endpoint>(client) << 16 | static_cast<Endpoint>(port & 0xFFFF);
}
int clientOf(Endpoint endpoint) { return static_cast<int>(endpoint >> 16); }
int portOf(Endpoint endpoint) { return static_cast<int>(endpoint & 0xFFFF); }

bool isAnnouncement(const snd_seq_event_t& ev) {
  switch (ev.type) {
    case SND_SEQ_EVENT_CLIENT_START:
    case SND_SEQ_EVENT_CLIENT_EXIT:
    case SND_SEQ_EVENT_CLIENT_CHANGE:
    case SND_SEQ_EVENT_PORT_START:
    case SND_SEQ_EVENT_PORT_EXIT:
    case SND_SEQ_EVENT_PORT_CHANGE:
      return ev.source.client == SND_SEQ_CLIENT_SYSTEM;
    default:
      return false;
  }
}

// Threads: as MidiBackend. `mutex` serialises every call on the sequencer handle,
// which is not safe to share between threads on its own; the reader polls without
// it and calls the read and setup-changed functions after releasing it.
class AlsaBackend : public MidiBackend {
 public:
  ~AlsaBackend() override { close(); }

  bool createClient(const std::string& name, SetupChanged changed) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (seq) return true;
    // Without the device node (no sequencer, as in containers) fail quietly:
    // the library would print its own complaint on the way.
    struct stat st;
    if (::stat("/dev/snd/seq", &st) != 0) return false;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
      seq = nullptr;
      return false;
    }
    snd_midi_event_t* enc = nullptr;
    snd_midi_event_t* dec = nullptr;
    wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0 || snd_midi_event_new(16, &enc) < 0 || snd_midi_event_new(16, &dec) < 0) {
      if (enc) snd_midi_event_free(enc);
      if (wake >= 0) ::close(wake);
      wake = -1;
      snd_seq_close(seq);
      seq = nullptr;
      return false;
    }
    encoder = enc;
    decoder = dec;
    snd_midi_event_no_status(decoder, 1);  // every message with its own status byte
    snd_seq_set_client_name(seq, name.c_str());
    self = snd_seq_client_id(seq);
    setupChanged = std::move(changed);
    // Child processes must not inherit the sequencer.
    const int count = snd_seq_poll_descriptors_count(seq, POLLIN);
    if (count > 0) {
      fds.resize(static_cast<size_t>(count) + 1);
      snd_seq_poll_descriptors(seq, fds.data() + 1, static_cast<unsigned>(count), POLLIN);
      for (size_t i = 1; i < fds.size(); ++i) ::fcntl(fds[i].fd, F_SETFD, FD_CLOEXEC);
    }
    return true;
  }

  bool createInputPort(const std::string& name, Read r) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (!seq || inPort >= 0 || fds.empty()) return false;
    const int port = snd_seq_create_simple_port(seq, name.c_str(), SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                                SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (port < 0) return false;
    read = std::move(r);
    // Our own ports exist before we listen, so only other clients' changes arrive.
    snd_seq_connect_from(seq, port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
    fds[0] = {wake, POLLIN, 0};
    try {
      reader = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      snd_seq_delete_simple_port(seq, port);
      read = nullptr;
      return false;
    }
    inPort = port;
    return true;
  }

  bool createOutputPort(const std::string& name) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (!seq || outPort >= 0) return false;
    const int port = snd_seq_create_simple_port(seq, name.c_str(), SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                                SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (port < 0) return false;
    outPort = port;
    return true;
  }

  void close() override {
    if (reader.joinable()) {
      const uint64_t one = 1;
      while (::write(wake, &one, sizeof one) < 0 && errno == EINTR) {
      }
      reader.join();
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (seq) {
      if (inPort >= 0) snd_seq_delete_simple_port(seq, inPort);
      if (outPort >= 0) snd_seq_delete_simple_port(seq, outPort);
      snd_seq_close(seq);
      seq = nullptr;
    }
    inPort = outPort = -1;
    if (encoder) snd_midi_event_free(encoder);
    if (decoder) snd_midi_event_free(decoder);
    encoder = decoder = nullptr;
    if (wake >= 0) ::close(wake);
    wake = -1;
    fds.clear();
    refCons.clear();
    read = nullptr;
    setupChanged = nullptr;
  }

  std::vector<Endpoint> sources() override {
    return list(SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
  }
  std::vector<Endpoint> destinations() override {
    return list(SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
  }

  // A port that is gone is simply not listed; there is no offline state.
  bool offline(Endpoint, int64_t&) override { return false; }

  // The port's name, led by its client's name unless it already starts with it,
  // since many programs call their ports just "in" or "out".
  bool displayName(Endpoint endpoint, std::string& out) override {
    std::lock_guard<std::mutex> lock(mutex);
    std::string client, port;
    if (!names(endpoint, client, port) || port.empty()) return false;
    out = client.empty() || port.compare(0, client.size(), client) == 0 ? port : client + " " + port;
    return true;
  }

  bool name(Endpoint endpoint, std::string& out) override {
    std::lock_guard<std::mutex> lock(mutex);
    std::string client, port;
    if (!names(endpoint, client, port) || client.empty()) return false;
    out = client;
    return true;
  }

  bool connectSource(Endpoint source, void* refCon) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (!seq || inPort < 0) return false;
    if (snd_seq_connect_from(seq, inPort, clientOf(source), portOf(source)) < 0) return false;
    refCons[source] = refCon;
    return true;
  }

  void disconnectSource(Endpoint source) override {
    std::lock_guard<std::mutex> lock(mutex);
    refCons.erase(source);
    // Fails harmlessly when the port has gone, which ends the subscription anyway.
    if (seq && inPort >= 0) snd_seq_disconnect_from(seq, inPort, clientOf(source), portOf(source));
  }

  bool send(Endpoint destination, const uint8_t* data, size_t n) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (!seq || outPort < 0 || n == 0) return false;
    snd_seq_event_t ev;
    if (data[0] == 0xF0) {
      snd_seq_ev_clear(&ev);
      snd_seq_ev_set_sysex(&ev, static_cast<unsigned>(n), const_cast<uint8_t*>(data));
      return output(ev, destination);
    }
    snd_midi_event_reset_encode(encoder);
    bool ok = true;
    size_t done = 0;
    while (done < n) {
      snd_seq_ev_clear(&ev);
      const long used = snd_midi_event_encode(encoder, data + done, static_cast<long>(n - done), &ev);
      if (used <= 0) break;
      done += static_cast<size_t>(used);
      if (ev.type != SND_SEQ_EVENT_NONE) ok = output(ev, destination) && ok;
    }
    return ok;
  }

 private:
  std::vector<Endpoint> list(unsigned caps) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Endpoint> out;
    if (!seq) return out;
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq, client) >= 0) {
      const int id = snd_seq_client_info_get_client(client);
      if (id == SND_SEQ_CLIENT_SYSTEM || id == self) continue;
      snd_seq_port_info_set_client(port, id);
      snd_seq_port_info_set_port(port, -1);
      while (snd_seq_query_next_port(seq, port) >= 0) {
        const unsigned cap = snd_seq_port_info_get_capability(port);
        if ((cap & caps) != caps || (cap & SND_SEQ_PORT_CAP_NO_EXPORT)) continue;
        out.push_back(endpointOf(id, snd_seq_port_info_get_port(port)));
      }
    }
    return out;
  }

  // Under mutex.
  bool names(Endpoint endpoint, std::string& clientName, std::string& portName) {
    if (!seq) return false;
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    if (snd_seq_get_any_port_info(seq, clientOf(endpoint), portOf(endpoint), port) < 0) return false;
    if (const char* p = snd_seq_port_info_get_name(port)) portName = p;
    if (snd_seq_get_any_client_info(seq, clientOf(endpoint), client) >= 0)
      if (const char* c = snd_seq_client_info_get_name(client)) clientName = c;
    return true;
  }

  // Under mutex.
  bool output(snd_seq_event_t& ev, Endpoint destination) {
    snd_seq_ev_set_source(&ev, outPort);
    snd_seq_ev_set_dest(&ev, clientOf(destination), portOf(destination));
    snd_seq_ev_set_direct(&ev);
    return snd_seq_event_output_direct(seq, &ev) >= 0;
  }

  // The reader thread.
  void run() {
    for (;;) {
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[0].revents) return;  // close() asked us to stop
      for (size_t i = 1; i < fds.size(); ++i)
        if (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) return;
      drain();
    }
  }

  // Reader thread: hands on every event waiting, one at a time.
  void drain() {
    for (;;) {
      bool changed = false;
      void* refCon = nullptr;
      size_t n = 0;
      {
        std::lock_guard<std::mutex> lock(mutex);
        snd_seq_event_t* ev = nullptr;
        const int r = snd_seq_event_input(seq, &ev);
        if (r == -ENOSPC) continue;  // the kernel dropped events; the rest still count
        if (r < 0 || !ev) return;
        if (isAnnouncement(*ev)) {
          changed = ev->data.addr.client != self;
        } else {
          const auto it = refCons.find(endpointOf(ev->source.client, ev->source.port));
          if (it != refCons.end()) {
            refCon = it->second;
            n = decode(*ev);
          }
        }
      }
      if (changed && setupChanged) setupChanged();
      if (refCon && n > 0) read(refCon, bytes.data(), n);
    }
  }

  // Under mutex, reader thread: the event's MIDI bytes into `bytes`.
  size_t decode(const snd_seq_event_t& ev) {
    if (ev.type == SND_SEQ_EVENT_SYSEX) {
      const auto* p = static_cast<const uint8_t*>(ev.data.ext.ptr);
      if (!p) return 0;
      bytes.assign(p, p + ev.data.ext.len);
      return bytes.size();
    }
    bytes.resize(16);
    const long n = snd_midi_event_decode(decoder, bytes.data(), static_cast<long>(bytes.size()), &ev);
    return n > 0 ? static_cast<size_t>(n) : 0;
  }

  std::mutex mutex;
  snd_seq_t* seq = nullptr;
  int self = -1;
  int inPort = -1;
  int outPort = -1;
  int wake = -1;                   // eventfd that stops the reader
  std::vector<pollfd> fds;         // wake first, then the sequencer's
  snd_midi_event_t* encoder = nullptr;
  snd_midi_event_t* decoder = nullptr;
  std::map<Endpoint, void*> refCons;
  SetupChanged setupChanged;       // set before the reader starts, cleared after it ends
  Read read;
  std::thread reader;
  std::vector<uint8_t> bytes;      // reader thread only
};

}  // namespace

std::unique_ptr<MidiBackend> makeAlsaMidiBackend() { return std::make_unique<AlsaBackend>(); }

std::unique_ptr<MidiPorts> makeSystemMidi() { return makeSystemMidi(makeAlsaMidiBackend()); }

}  // namespace bridge

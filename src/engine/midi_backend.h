#pragma once
// What the system MIDI ports need from the machine's MIDI service: a client with
// one input and one output port, the endpoints it can see with their properties,
// connecting sources to the input port, and sending to a destination. The port
// logic (naming, offline devices, open bookkeeping, size limit) sits above this,
// so it runs the same over the real service and over a fake.
//
// Threads: every operation runs on the main thread. The setup-changed and read
// functions run on the backend's own thread; the backend calls them without
// holding any lock of its own that an operation takes. close joins that thread,
// so neither function runs once close has returned.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/midi_ports.h"

namespace bridge {

class MidiBackend {
 public:
  // An endpoint of another client; 0 is none.
  using Endpoint = uint32_t;
  using SetupChanged = std::function<void()>;
  // The bytes of one packet from a connected source, with that connection's refCon.
  using Read = std::function<void(void* refCon, const uint8_t* data, size_t n)>;

  virtual ~MidiBackend() = default;

  // False when there is no MIDI service to talk to.
  virtual bool createClient(const std::string& name, SetupChanged setupChanged) = 0;
  virtual bool createInputPort(const std::string& name, Read read) = 0;
  virtual bool createOutputPort(const std::string& name) = 0;
  // Disposes both ports and the client; afterwards no function given above runs.
  virtual void close() = 0;

  // Endpoints to read from (sources) and to send to (destinations), in the
  // service's order. The client's own ports are never among them.
  virtual std::vector<Endpoint> sources() = 0;
  virtual std::vector<Endpoint> destinations() = 0;
  // False when the endpoint has no such property.
  virtual bool offline(Endpoint endpoint, int64_t& value) = 0;
  virtual bool displayName(Endpoint endpoint, std::string& name) = 0;
  virtual bool name(Endpoint endpoint, std::string& name) = 0;

  // Deliveries from source carry refCon until disconnectSource.
  virtual bool connectSource(Endpoint source, void* refCon) = 0;
  virtual void disconnectSource(Endpoint source) = 0;
  // One message, from the output port straight to destination.
  virtual bool send(Endpoint destination, const uint8_t* data, size_t n) = 0;
};

// The port logic over any backend; makeSystemMidi() uses the machine's sequencer.
std::unique_ptr<MidiPorts> makeSystemMidi(std::unique_ptr<MidiBackend> backend);
// The ALSA sequencer. Opens nothing until createClient.
std::unique_ptr<MidiBackend> makeAlsaMidiBackend();

}  // namespace bridge

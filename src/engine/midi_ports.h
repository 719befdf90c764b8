#pragma once
// The program's view of MIDI: named input and output ports that can be listed,
// opened, closed and sent to, with callbacks for device changes and for each
// complete incoming message. A port is identified by its name alone.
//
// Threads: every operation runs on the main thread. The callbacks may be called on
// an implementation's own thread (system MIDI) or synchronously inside send and
// inject (the test controller), so they must be safe to call from any thread. The
// system implementation joins its thread in its destructor: no callback runs after
// the object is gone.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bridge {

class MidiPorts {
 public:
  // Any of them may be empty; an empty one is skipped.
  struct Callbacks {
    // The set of devices changed.
    std::function<void()> changed;
    // One complete message arrived on an open input.
    std::function<void(const std::string& port, const uint8_t* data, size_t n)> received;
    // A message was sent to an output of the test controller.
    std::function<void(const std::string& port, const uint8_t* data, size_t n)> sent;
  };

  virtual ~MidiPorts() = default;

  // Keeps the callbacks and connects to the system. Called once.
  virtual void start(Callbacks callbacks) = 0;
  virtual std::vector<std::string> inputs() = 0;
  virtual std::vector<std::string> outputs() = 0;
  // Opens an input (true) or an output (false); on failure fills error.
  virtual bool open(bool input, const std::string& port, std::string& error) = 0;
  // Closing a port that is not open does nothing.
  virtual void close(bool input, const std::string& port) = 0;
  // One message to an open output; anything else is dropped.
  virtual void send(const std::string& port, const uint8_t* data, size_t n) = 0;
  // Feeds bytes as if they had arrived on an input; false when this
  // implementation cannot inject.
  virtual bool inject(const std::string& port, const std::vector<uint8_t>& bytes) = 0;
};

// The machine's MIDI ports. Nothing is touched before start.
std::unique_ptr<MidiPorts> makeSystemMidi();
// One virtual input and output, "Krevlo Test Controller", whose input is fed by inject.
std::unique_ptr<MidiPorts> makeTestMidi();

// Same length and order. An empty name becomes "MIDI Port"; the second occurrence
// of a name gets " 2" appended, the third " 3", and so on. Appended names are not
// compared again, so one may equal another device's own name.
std::vector<std::string> uniqueNames(const std::vector<std::string>& names);

}  // namespace bridge

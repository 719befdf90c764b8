// A virtual controller with one input and one output, so a page can try its MIDI
// handling without hardware: bytes injected on the input come back through
// `received`, and what is sent to the output is echoed through `sent`. Both run
// synchronously on the caller's thread.
#include <mutex>
#include <set>

#include "engine/midi_parser.h"
#include "engine/midi_ports.h"

namespace bridge {

namespace {

const char* const kPortName = "Krevlo Test Controller";

class TestMidi : public MidiPorts {
 public:
  void start(Callbacks cb) override { callbacks = std::move(cb); }
  std::vector<std::string> inputs() override { return {kPortName}; }
  std::vector<std::string> outputs() override { return {kPortName}; }

  bool open(bool input, const std::string& port, std::string& error) override {
    if (port != kPortName) {
      error = "No such port";
      return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    // A fresh opening starts with a fresh parser, so half a message or a running
    // status left from before cannot leak into the new connection.
    if (input && openInputs.insert(port).second) parser = MidiParser();
    if (!input) openOutputs.insert(port);
    return true;
  }

  void close(bool input, const std::string& port) override {
    std::lock_guard<std::mutex> lock(mutex);
    (input ? openInputs : openOutputs).erase(port);
  }

  void send(const std::string& port, const uint8_t* data, size_t n) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!openOutputs.count(port)) return;
    }
    if (callbacks.sent) callbacks.sent(port, data, n);
  }

  bool inject(const std::string& port, const std::vector<uint8_t>& bytes) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!openInputs.count(port)) return true;  // accepted, and ignored while closed
    }
    parser.feed(bytes.data(), bytes.size(), [&](const uint8_t* message, size_t length) {
      if (callbacks.received) callbacks.received(port, message, length);
    });
    return true;
  }

 private:
  Callbacks callbacks;
  std::mutex mutex;  // guards the two sets
  std::set<std::string> openInputs;
  std::set<std::string> openOutputs;
  MidiParser parser;  // the single input's; main thread only
};

}  // namespace

std::unique_ptr<MidiPorts> makeTestMidi() { return std::make_unique<TestMidi>(); }

}  // namespace bridge

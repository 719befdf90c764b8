// The system MIDI ports: naming, offline devices and the open bookkeeping over a
// MidiBackend. Input records are retired rather than freed when closed, because
// the backend's thread may still be delivering to one; they die with the
// callbacks' shared state, after the backend has been closed.
#include <algorithm>
#include <map>
#include <mutex>

#include "engine/midi_backend.h"
#include "engine/midi_parser.h"

namespace bridge {

namespace {

using Endpoint = MidiBackend::Endpoint;

// A send travels as one packet of a 1280-byte packet list: its 4-byte list header
// and 10-byte packet header leave this much for the message.
constexpr size_t kMaxSendBytes = 1280 - 4 - 10;
// Names go through a 512-byte buffer, terminator included.
constexpr size_t kMaxNameBytes = 511;

bool validUtf8(const std::string& text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const auto c = static_cast<uint8_t>(text[i]);
    size_t len;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto d = static_cast<uint8_t>(text[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

struct OpenInput {
  std::string name;
  Endpoint source = 0;
  MidiParser parser;  // fed only by the backend's thread
};

// Threads: as MidiPorts. The read function works on its own OpenInput without a
// lock; `mutex` guards the port maps against each other.
class SystemMidi : public MidiPorts {
 public:
  explicit SystemMidi(std::unique_ptr<MidiBackend> b) : backend(std::move(b)), shared(std::make_shared<Shared>()) {}
  ~SystemMidi() override;

  void start(Callbacks callbacks) override;
  std::vector<std::string> inputs() override { return list(true).names; }
  std::vector<std::string> outputs() override { return list(false).names; }
  bool open(bool input, const std::string& port, std::string& error) override;
  void close(bool input, const std::string& port) override;
  void send(const std::string& port, const uint8_t* data, size_t n) override;
  bool inject(const std::string&, const std::vector<uint8_t>&) override { return false; }

 private:
  // What the backend's functions hold, so it outlives this object for as long
  // as the backend keeps them.
  struct Shared {
    Callbacks callbacks;
    std::vector<std::unique_ptr<OpenInput>> retired;
  };
  struct Listing {
    std::vector<std::string> names;
    std::vector<Endpoint> endpoints;  // parallel to names
  };

  Listing list(bool input);
  std::string endpointName(Endpoint endpoint);

  std::unique_ptr<MidiBackend> backend;
  std::shared_ptr<Shared> shared;
  bool client = false;
  bool inPort = false;
  bool outPort = false;
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<OpenInput>> openInputs;
  std::vector<std::unique_ptr<OpenInput>> retired;
  std::map<std::string, Endpoint> openOutputs;
};

SystemMidi::~SystemMidi() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& [name, record] : openInputs) {
      backend->disconnectSource(record->source);
      retired.push_back(std::move(record));
    }
    openInputs.clear();
    openOutputs.clear();
    for (auto& record : retired) shared->retired.push_back(std::move(record));
    retired.clear();
  }
  // Joins the backend's thread; after this nothing is delivered.
  backend->close();
}

void SystemMidi::start(Callbacks callbacks) {
  if (client) return;  // started once; the backend's thread already reads the callbacks
  shared->callbacks = std::move(callbacks);
  client = backend->createClient("Krevlo Bridge", [s = shared] {
    if (s->callbacks.changed) s->callbacks.changed();
  });
  if (!client) return;  // every open answers "Not connected"
  inPort = backend->createInputPort("Krevlo Bridge In", [s = shared](void* refCon, const uint8_t* data, size_t n) {
    auto* input = static_cast<OpenInput*>(refCon);
    input->parser.feed(data, n, [&](const uint8_t* message, size_t length) {
      if (s->callbacks.received) s->callbacks.received(input->name, message, length);
    });
  });
  outPort = backend->createOutputPort("Krevlo Bridge Out");
}

std::string SystemMidi::endpointName(Endpoint endpoint) {
  std::string raw;
  if (!backend->displayName(endpoint, raw) && !backend->name(endpoint, raw)) return {};
  // Names that do not convert to UTF-8 in the buffer become empty (and so
  // "MIDI Port"), never text the JSON layer would refuse.
  if (raw.size() > kMaxNameBytes || !validUtf8(raw)) return {};
  return raw;
}

SystemMidi::Listing SystemMidi::list(bool input) {
  Listing out;
  std::vector<std::string> raw;
  for (Endpoint endpoint : input ? backend->sources() : backend->destinations()) {
    if (endpoint == 0) continue;
    int64_t offline = 0;
    if (backend->offline(endpoint, offline) && offline != 0) continue;
    raw.push_back(endpointName(endpoint));
    out.endpoints.push_back(endpoint);
  }
  out.names = uniqueNames(raw);
  return out;
}

bool SystemMidi::open(bool input, const std::string& port, std::string& error) {
  const Listing listing = list(input);
  const auto it = std::find(listing.names.begin(), listing.names.end(), port);
  if (it == listing.names.end() || !client) {
    error = "Not connected";
    return false;
  }
  const Endpoint endpoint = listing.endpoints[static_cast<size_t>(it - listing.names.begin())];

  std::lock_guard<std::mutex> lock(mutex);
  if (!input) {
    openOutputs[port] = endpoint;
    return true;
  }
  if (openInputs.count(port)) return true;
  auto record = std::make_unique<OpenInput>();
  record->name = port;
  record->source = endpoint;
  // Deliveries may start before the record is in the map; they reach it by refCon.
  if (!inPort || !backend->connectSource(endpoint, record.get())) {
    error = "macOS didn't open it";
    return false;
  }
  openInputs[port] = std::move(record);
  return true;
}

void SystemMidi::close(bool input, const std::string& port) {
  std::lock_guard<std::mutex> lock(mutex);
  if (!input) {
    openOutputs.erase(port);
    return;
  }
  const auto it = openInputs.find(port);
  if (it == openInputs.end()) return;
  backend->disconnectSource(it->second->source);
  retired.push_back(std::move(it->second));
  openInputs.erase(it);
}

void SystemMidi::send(const std::string& port, const uint8_t* data, size_t n) {
  Endpoint endpoint;
  {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = openOutputs.find(port);
    if (it == openOutputs.end()) return;
    endpoint = it->second;
  }
  if (n == 0 || n > kMaxSendBytes || !outPort) return;
  backend->send(endpoint, data, n);
}

}  // namespace

std::vector<std::string> uniqueNames(const std::vector<std::string>& names) {
  std::vector<std::string> out;
  out.reserve(names.size());
  std::map<std::string, int> seen;
  for (std::string name : names) {
    if (name.empty()) name = "MIDI Port";
    const int count = ++seen[name];
    out.push_back(count == 1 ? name : name + " " + std::to_string(count));
  }
  return out;
}

std::unique_ptr<MidiPorts> makeSystemMidi(std::unique_ptr<MidiBackend> backend) {
  return std::make_unique<SystemMidi>(std::move(backend));
}

}  // namespace bridge

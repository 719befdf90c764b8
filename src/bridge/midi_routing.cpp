// MIDI between the port layer and the sessions: ownership, the "midi…"
// requests, the opening of ports while a session wants them, and the input queue.
#include <set>

#include "bridge/bridge.h"
#include "bridge/protocol.h"
#include "engine/midi_parser.h"

namespace bridge {

namespace {

constexpr size_t kMaxPendingMidi = 4096;
constexpr size_t kMaxMidiBytes = 8192;

// The bytes of "d": integers 0..255 in order, anything else skipped; none for a
// missing "d", one that is not an array, or one longer than 8192 entries.
std::vector<uint8_t> midiBytes(const nlohmann::json& request) {
  std::vector<uint8_t> bytes;
  auto d = request.find("d");
  if (d == request.end() || !d->is_array() || d->size() > kMaxMidiBytes) return bytes;
  for (const auto& entry : *d) {
    if (entry.is_number_unsigned()) {
      if (entry.get<uint64_t>() <= 255) bytes.push_back(static_cast<uint8_t>(entry.get<uint64_t>()));
    } else if (entry.is_number_integer()) {
      const int64_t v = entry.get<int64_t>();
      if (v >= 0 && v <= 255) bytes.push_back(static_cast<uint8_t>(v));
    }
  }
  return bytes;
}

}  // namespace

void Bridge::startMidi() {
  if (!midi) return;
  MidiPorts::Callbacks callbacks;
  callbacks.changed = [this] { post([this] { refreshMidi(); }); };
  callbacks.received = [this](const std::string& port, const uint8_t* data, size_t n) {
    onMidiReceived(port, data, n);
  };
  callbacks.sent = [this](const std::string& port, const uint8_t* data, size_t n) { onMidiSent(port, data, n); };
  midi->start(std::move(callbacks));
}

// MIDI callback thread: queue, and post one flush per batch.
void Bridge::onMidiReceived(const std::string& port, const uint8_t* data, size_t n) {
  std::lock_guard<std::mutex> lock(midiMutex);
  if (midiPending.size() < kMaxPendingMidi) midiPending.push_back({port, std::vector<uint8_t>(data, data + n)});
  if (!midiFlushPosted) {
    midiFlushPosted = true;
    post([this] { flushMidi(); });
  }
}

void Bridge::flushMidi() {
  std::vector<MidiEvent> events;
  {
    std::lock_guard<std::mutex> lock(midiMutex);
    events.swap(midiPending);
    midiFlushPosted = false;
  }
  auto owner = sessions.find(midiOwnerId);
  if (owner == sessions.end() || !owner->second->ready || events.empty()) return;
  Json list = Json::array();
  for (const MidiEvent& e : events) list.push_back(Json::array({e.port, e.bytes}));
  send(*owner->second, Json{{"t", "midi"}, {"ev", std::move(list)}});
}

// Any thread (the test controller sends on the main thread, inside "midiOut").
void Bridge::onMidiSent(const std::string& port, const uint8_t* data, size_t n) {
  Json message{{"t", "midiSent"}, {"port", port}, {"d", std::vector<uint8_t>(data, data + n)}};
  post([this, message = std::move(message)] {
    for (auto& [id, session] : sessions)
      if (session->ready) send(*session, message);
  });
}

bool Bridge::handleMidi(const std::shared_ptr<Session>& session, const std::string& t, const Json& request) {
  if (t.rfind("midi", 0) != 0) return false;
  if (t != "midiOn" && t != "midiSet" && t != "midiFocus" && t != "midiOut" && t != "midiTest") {
    sendError(*session, t, "unknown");
    return true;
  }
  if (t != "midiOn" && !session->midi) {
    sendError(*session, t, "midi-off");
    return true;
  }
  const int32_t id = session->connection->id;

  if (t == "midiOn") {
    session->midi = true;
    auto owner = sessions.find(midiOwnerId);
    if (owner == sessions.end() || !owner->second->midi) midiOwnerId = id;
    if (!refreshMidi()) sendMidiPorts();
    sendMidiOwner();
  } else if (t == "midiSet") {
    const std::string port = readString(request, "port", kMaxPort);
    std::set<std::string>& off = readString(request, "dir", kMaxDir) == "out" ? midiOffOut : midiOffIn;
    const bool wasOff = off.count(port) > 0;
    if (readBool(request, "on"))
      off.erase(port);
    else
      off.insert(port);
    if (!saveState().settings) {
      // The switch stays as the file has it; the pages see it unchanged.
      if (wasOff)
        off.insert(port);
      else
        off.erase(port);
      sendMidiPorts();
      return true;
    }
    if (!refreshMidi()) sendMidiPorts();
  } else if (t == "midiFocus") {
    if (midiOwnerId != id) {
      midiOwnerId = id;
      sendMidiOwner();
    }
  } else if (t == "midiOut") {
    const std::string port = readString(request, "port", kMaxPort);
    const std::vector<uint8_t> bytes = midiBytes(request);
    auto state = midiOutState.find(port);
    if (!midi || midiOwnerId != id || state == midiOutState.end() || !state->second.empty()) return true;
    MidiParser parser;
    parser.feed(bytes.data(), bytes.size(), [&](const uint8_t* data, size_t n) { midi->send(port, data, n); });
  } else {  // midiTest
    const std::string port = readString(request, "port", kMaxPort);
    if (!midi || !midi->inject(port, midiBytes(request))) sendError(*session, t, "unsupported");
  }
  return true;
}

bool Bridge::refreshMidiPorts(bool input, bool wanted) {
  const std::vector<std::string> names = input ? midi->inputs() : midi->outputs();
  const std::set<std::string>& off = input ? midiOffIn : midiOffOut;
  std::map<std::string, std::string>& state = input ? midiInState : midiOutState;
  std::map<std::string, std::string> next;
  for (const std::string& name : names) {
    auto old = state.find(name);
    const bool wasOpen = old != state.end() && old->second.empty();
    if (wanted && !off.count(name)) {
      if (wasOpen) {
        next[name] = "";
        continue;
      }
      // A port whose last open failed is tried again on every pass.
      std::string why;
      next[name] = midi->open(input, name, why) ? "" : (why.empty() ? "Didn't open" : why);
    } else {
      if (wasOpen) midi->close(input, name);
      next[name] = "Off";
    }
  }
  for (const auto& [name, text] : state)
    if (text.empty() && !next.count(name)) midi->close(input, name);
  const bool changed = next != state;
  state = std::move(next);
  return changed;
}

bool Bridge::refreshMidi() {
  if (!midi) return false;
  bool wanted = false;
  for (const auto& [id, session] : sessions)
    if (session->ready && session->midi) wanted = true;
  const bool inputs = refreshMidiPorts(true, wanted);
  const bool outputs = refreshMidiPorts(false, wanted);
  if (!inputs && !outputs) return false;
  sendMidiPorts();
  notifyChanged();
  return true;
}

void Bridge::sendMidiPorts() {
  auto list = [](const std::map<std::string, std::string>& state, const std::set<std::string>& off) {
    Json ports = Json::array();
    for (const auto& [name, text] : state) {
      const bool on = !off.count(name);
      Json port{{"name", name}, {"on", on}, {"open", text.empty()}};
      if (!text.empty() && on) port["error"] = text;
      ports.push_back(std::move(port));
    }
    return ports;
  };
  Json message{{"t", "midiPorts"}, {"ins", list(midiInState, midiOffIn)}, {"outs", list(midiOutState, midiOffOut)}};
  for (auto& [id, session] : sessions)
    if (session->ready && session->midi) send(*session, message);
}

void Bridge::sendMidiOwner() {
  for (auto& [id, session] : sessions)
    if (session->ready && session->midi) send(*session, Json{{"t", "midiOwner"}, {"mine", id == midiOwnerId}});
}

}  // namespace bridge

// MIDI between the port layer and the sessions.
#include "bridge/bridge.h"

namespace bridge {

namespace {
constexpr size_t kMaxPendingMidi = 4096;
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

// Not built yet: the "midi…" requests.
bool Bridge::handleMidi(const std::shared_ptr<Session>&, const std::string&, const Json&) { return false; }

// Not built yet: opening and closing ports for the sessions that want MIDI.
bool Bridge::refreshMidi() { return false; }

// Not built yet: "midiOwner".
void Bridge::sendMidiOwner() {}

}  // namespace bridge

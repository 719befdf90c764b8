#pragma once
// A MIDI service whose endpoints, refusals and deliveries the test controls, for
// the system MIDI ports over makeSystemMidi(backend). The service (FakeMidiSystem)
// outlives the backend that the ports own, so a test can still look at it after
// the ports are destroyed.
//
// Threads: any. announce and deliver call the client's functions on the calling
// thread, without the lock held; close waits for calls in flight, as a real
// backend joins its thread, so nothing is called once it has returned.
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/midi_backend.h"

namespace bridge::test {

// An unset property cannot be read.
struct FakeMidiEndpoint {
  MidiBackend::Endpoint id = 0;
  std::optional<std::string> displayName;
  std::optional<std::string> name;
  std::optional<int64_t> offline;
};

class FakeMidiSystem : public std::enable_shared_from_this<FakeMidiSystem> {
 public:
  using Endpoint = MidiBackend::Endpoint;

  static std::shared_ptr<FakeMidiSystem> make() { return std::shared_ptr<FakeMidiSystem>(new FakeMidiSystem); }
  // The backend to hand to makeSystemMidi; one at a time.
  std::unique_ptr<MidiBackend> backend();

  // Refusals; set before the ports start (or, for connects, before the open).
  void refuseClient() { set([&] { noClient_ = true; }); }
  void refuseInputPort() { set([&] { noInputPort_ = true; }); }
  void refuseOutputPort() { set([&] { noOutputPort_ = true; }); }
  void refuseConnect(Endpoint source, bool refuse = true) {
    set([&] { refuse ? (void)refused_.insert(source) : (void)refused_.erase(source); });
  }

  void setSources(std::vector<FakeMidiEndpoint> endpoints) { set([&] { sources_ = std::move(endpoints); }); }
  void setDestinations(std::vector<FakeMidiEndpoint> endpoints) { set([&] { destinations_ = std::move(endpoints); }); }

  // The service's setup-changed notification. False when no client listens.
  bool announce() {
    return call([](FakeMidiSystem& s) { return s.setupChanged_ ? &s.setupChanged_ : nullptr; },
                [](const MidiBackend::SetupChanged& fn) { fn(); });
  }
  // One packet from source; false when it is not connected (so nothing arrived).
  bool deliver(Endpoint source, const std::vector<uint8_t>& bytes) {
    void* refCon = nullptr;
    return call(
        [&](FakeMidiSystem& s) -> const MidiBackend::Read* {
          const auto it = s.connections_.find(source);
          if (!s.read_ || it == s.connections_.end()) return nullptr;
          refCon = it->second;
          return &s.read_;
        },
        [&](const MidiBackend::Read& fn) { fn(refCon, bytes.data(), bytes.size()); });
  }

  struct Sent {
    Endpoint destination;
    std::vector<uint8_t> bytes;
  };
  std::vector<Sent> sent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
  }
  // Names the client and its ports were created with, in order.
  std::vector<std::string> created() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return created_;
  }
  int connects(Endpoint source) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count(connectCalls_, source);
  }
  int disconnects(Endpoint source) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count(disconnectCalls_, source);
  }
  bool connected(Endpoint source) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_.count(source) > 0;
  }
  bool closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
  }

 private:
  friend class FakeMidiBackend;
  FakeMidiSystem() = default;

  template <typename F>
  void set(F f) {
    std::lock_guard<std::mutex> lock(mutex_);
    f();
  }
  static int count(const std::map<Endpoint, int>& calls, Endpoint e) {
    const auto it = calls.find(e);
    return it == calls.end() ? 0 : it->second;
  }
  // Finds the function under the lock, calls it without, and lets close wait for it.
  template <typename Find, typename Call>
  bool call(Find find, Call fn) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto* target = find(*this);
    if (!target) return false;
    ++inFlight_;
    lock.unlock();
    fn(*target);
    lock.lock();
    if (--inFlight_ == 0) idle_.notify_all();
    return true;
  }
  const FakeMidiEndpoint* findLocked(Endpoint e) const {
    for (const auto* list : {&sources_, &destinations_})
      for (const auto& endpoint : *list)
        if (endpoint.id == e) return &endpoint;
    return nullptr;
  }

  mutable std::mutex mutex_;
  std::condition_variable idle_;
  int inFlight_ = 0;
  bool noClient_ = false, noInputPort_ = false, noOutputPort_ = false;
  std::set<Endpoint> refused_;
  std::vector<FakeMidiEndpoint> sources_, destinations_;
  bool client_ = false, inPort_ = false, outPort_ = false, closed_ = false;
  MidiBackend::SetupChanged setupChanged_;
  MidiBackend::Read read_;
  std::map<Endpoint, void*> connections_;
  std::map<Endpoint, int> connectCalls_, disconnectCalls_;
  std::vector<Sent> sent_;
  std::vector<std::string> created_;
};

class FakeMidiBackend : public MidiBackend {
 public:
  explicit FakeMidiBackend(std::shared_ptr<FakeMidiSystem> system) : s_(std::move(system)) {}
  ~FakeMidiBackend() override { close(); }

  bool createClient(const std::string& name, SetupChanged fn) override {
    std::lock_guard<std::mutex> lock(s_->mutex_);
    if (s_->noClient_) return false;
    s_->created_.push_back(name);
    s_->client_ = true;
    s_->setupChanged_ = std::move(fn);
    return true;
  }
  bool createInputPort(const std::string& name, Read fn) override {
    std::lock_guard<std::mutex> lock(s_->mutex_);
    if (!s_->client_ || s_->noInputPort_) return false;
    s_->created_.push_back(name);
    s_->inPort_ = true;
    s_->read_ = std::move(fn);
    return true;
  }
  bool createOutputPort(const std::string& name) override {
    std::lock_guard<std::mutex> lock(s_->mutex_);
    if (!s_->client_ || s_->noOutputPort_) return false;
    s_->created_.push_back(name);
    s_->outPort_ = true;
    return true;
  }
  void close() override {
    std::unique_lock<std::mutex> lock(s_->mutex_);
    if (!s_->client_) return;
    s_->idle_.wait(lock, [&] { return s_->inFlight_ == 0; });
    s_->client_ = s_->inPort_ = s_->outPort_ = false;
    s_->closed_ = true;
    s_->connections_.clear();
    // Released outside the lock: they may own what the ports left behind.
    SetupChanged changed = std::move(s_->setupChanged_);
    Read read = std::move(s_->read_);
    s_->setupChanged_ = nullptr;
    s_->read_ = nullptr;
    lock.unlock();
  }

  std::vector<Endpoint> sources() override { return ids(s_->sources_); }
  std::vector<Endpoint> destinations() override { return ids(s_->destinations_); }
  bool offline(Endpoint e, int64_t& value) override {
    return property(e, [&](const FakeMidiEndpoint& p) { return p.offline ? (value = *p.offline, true) : false; });
  }
  bool displayName(Endpoint e, std::string& out) override {
    return property(e, [&](const FakeMidiEndpoint& p) { return p.displayName ? (out = *p.displayName, true) : false; });
  }
  bool name(Endpoint e, std::string& out) override {
    return property(e, [&](const FakeMidiEndpoint& p) { return p.name ? (out = *p.name, true) : false; });
  }

  bool connectSource(Endpoint source, void* refCon) override {
    std::lock_guard<std::mutex> lock(s_->mutex_);
    ++s_->connectCalls_[source];
    if (!s_->inPort_ || s_->refused_.count(source)) return false;
    s_->connections_[source] = refCon;
    return true;
  }
  void disconnectSource(Endpoint source) override {
    std::lock_guard<std::mutex> lock(s_->mutex_);
    ++s_->disconnectCalls_[source];
    s_->connections_.erase(source);
  }
  bool send(Endpoint destination, const uint8_t* data, size_t n) override {
    std::lock_guard<std::mutex> lock(s_->mutex_);
    if (!s_->outPort_) return false;
    s_->sent_.push_back({destination, std::vector<uint8_t>(data, data + n)});
    return true;
  }

 private:
  std::vector<Endpoint> ids(const std::vector<FakeMidiEndpoint>& list) {
    std::lock_guard<std::mutex> lock(s_->mutex_);
    std::vector<Endpoint> out;
    for (const auto& e : list) out.push_back(e.id);
    return out;
  }
  template <typename F>
  bool property(Endpoint e, F read) {
    std::lock_guard<std::mutex> lock(s_->mutex_);
    const FakeMidiEndpoint* endpoint = s_->findLocked(e);
    return endpoint && read(*endpoint);
  }

  std::shared_ptr<FakeMidiSystem> s_;
};

inline std::unique_ptr<MidiBackend> FakeMidiSystem::backend() {
  return std::make_unique<FakeMidiBackend>(shared_from_this());
}

}  // namespace bridge::test

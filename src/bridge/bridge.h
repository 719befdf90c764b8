#pragma once
// The session core: start-up options, the shell's callbacks, the plug-in hosts
// and their catalog, pairing, saved state, one session per WebSocket connection
// with its JSON protocol, and the routing of binary audio frames to chains.
//
// Threads: the main thread is the one that constructs the Bridge and runs the
// jobs handed to Platform::runOnMain. Every operation runs there unless its
// declaration says otherwise. Work from other threads (connections, ticker, scan,
// MIDI, plug-ins) reaches the Bridge only as posted jobs, which are dropped once
// the Bridge is being destroyed.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bridge/pairing.h"
#include "bridge/places.h"
#include "engine/chain.h"
#include "engine/midi_ports.h"
#include "hosting/host.h"
#include "server/connection.h"
#include "server/server.h"
#include "server/tls_identity.h"

namespace bridge {

namespace test {
struct BridgeProbe;
}

class ChainReleaser;
class InputBudget;

struct BridgeOptions {
  std::filesystem::path dataDir;     // pairings, settings, certificates, scan caches
  int32_t port = 47800;              // TCP port on 127.0.0.1
  std::vector<std::string> origins;  // extra allowed web origins, compared exactly
  std::string fixedCode;             // when set, the pairing code; never rotated
};

struct Platform {
  // Runs a job on the main thread, later, first in first out. Required.
  std::function<void(std::function<void()>)> runOnMain;
  // Something the shell shows has changed. May be empty.
  std::function<void()> changed;
  // Asks the user for a folder; answers "" when cancelled. May be empty.
  std::function<void(std::function<void(std::string)>)> pickFolder;
};

class Bridge {
 public:
  struct BrowserStatus {
    std::string origin;
    std::string name;
    bool ready = false;
    int32_t tracks = 0;
    int32_t slots = 0;
  };

  struct Status {
    bool running = false;
    int32_t port = 0;
    std::string error;
    std::string code;
    bool pairingPaused = false;
    bool tls = false;
    int32_t plugins = 0;
    bool scanning = false;
    std::vector<std::string> failures;
    std::vector<BrowserStatus> browsers;
    int32_t pairings = 0;
    std::vector<std::string> midiInputs;
    double cpu = 0.0;
    bool busy = false;
  };

  // One track of a session: its chain, its last "chain" request and the
  // bookkeeping of plug-in creation.
  struct Track {
    std::shared_ptr<Chain> chain;
    nlohmann::json request;
    std::map<std::string, std::shared_ptr<Slot>> loaded;
    std::set<std::string> pendingKeys;
    std::map<std::string, std::string> failures;
    std::set<std::string> stateRejected;
    // Tells this Track from an earlier one of the same id, so a creation started
    // before an "unchain" never lands in the Track made after it.
    uint64_t serial = 0;
  };

  // Parameter indices that plug-ins reported changed, by (track id, slot key),
  // waiting for the next push. Any thread, under `mutex`. Kept apart from the
  // Session so that a plug-in's audio thread, which may report a change, holds
  // only this record and never the Session with its chains.
  struct PendingParams {
    std::mutex mutex;
    std::map<std::pair<std::string, std::string>, std::set<int>> pendingParams;
  };

  // One open WebSocket connection. Main thread, except `pending`, which plug-in
  // threads also reach.
  struct Session {
    std::shared_ptr<Connection> connection;
    bool ready = false;
    std::string pairingId;
    std::string name;
    std::string nonce;
    std::map<std::string, Track> tracks;
    int32_t nextStream = 1;
    const std::shared_ptr<PendingParams> pending = std::make_shared<PendingParams>();
    bool midi = false;
    double openedMs = 0.0;   // clockMs at open: a session not ready in time is closed
    bool dismissed = false;  // closed by the Bridge; gone once the close arrives
  };

  // One incoming MIDI message waiting for the main thread.
  struct MidiEvent {
    std::string port;
    std::vector<uint8_t> bytes;
  };

  Bridge(BridgeOptions options, Platform platform);
  // Stops, then marks the Bridge dead so that jobs still queued are dropped.
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Before start. The order of hosts is the order of "formats" and of scans.
  void addHost(std::unique_ptr<Host> host);
  // Before start; without it there is no MIDI.
  void setMidi(std::unique_ptr<MidiPorts> ports);
  // Loads the identity, starts the server, then the scan, MIDI and the ticker.
  // True when the server listens. Call once.
  bool start();

  // Any thread (connection threads ask it for every upgrade). No lock.
  bool originAllowed(const std::string& origin) const;
  // Any thread; both block on the trust tool.
  bool trustForSafari(std::string& error);
  bool safariTrusted() const;

  void newCode();
  void forgetPairings();
  void rescan();
  std::vector<std::string> formats() const;
  void setFormatShown(const std::string& format, bool shown);
  // The formats switched off, as settings.json holds them: read from the file
  // once at construction and changed only by setFormatShown, which takes a
  // switch back when the file cannot be written. A copy; reads no file.
  std::set<std::string> shownOff() const { return hiddenFormats; }
  Status status() const;
  Host* hostFor(const std::string& id) const;

 private:
  friend struct test::BridgeProbe;
  using Json = nlohmann::json;

  // Lifecycle and threads (bridge.cpp).
  void stop();
  ServerHandlers makeHandlers();

  // Binary frames (routing.cpp). onBinary runs on connection threads. Every
  // chain must come from makeChain: its deleter sends a last release made off
  // the main thread to the main thread.
  void onBinary(const std::shared_ptr<Connection>& connection, std::vector<uint8_t>&& message);
  // backPressure goes to ChainHooks (render chains hold their connection's input).
  std::shared_ptr<Chain> makeChain(int stream, double sampleRate, std::function<void(std::vector<uint8_t>)> output,
                                   bool dropLate, std::function<void(bool)> backPressure = {});
  // Any thread. Chains (worker threads) made by makeChain and not yet destroyed,
  // over every Bridge in the process.
  static size_t chainCount();

  // Sessions and dispatch (session.cpp).
  void onOpen(std::shared_ptr<Connection> connection);
  void onText(std::shared_ptr<Connection> connection, const std::string& text);
  void handle(const std::shared_ptr<Session>& session, const std::string& t, const Json& request);
  void onClose(std::shared_ptr<Connection> connection);
  // Closes sessions that did not pair or authenticate in time (tick).
  void dismissUnready();
  void send(const Session& session, const Json& message) const;
  void sendError(const Session& session, const std::string& t, const std::string& code,
                 const std::string& message = "") const;
  void notifyChanged() const;

  // Pairing (pairing.cpp).
  void rotateCode();
  void handlePair(const std::shared_ptr<Session>& session, const std::string& t, const Json& request);
  void handleAuth(const std::shared_ptr<Session>& session, const std::string& t, const Json& request);

  // Saved state (saved_state.cpp). saveState writes both files; the result says
  // which of them now hold the members.
  struct SaveResult {
    bool pairings = false;
    bool settings = false;
  };
  void loadState();
  SaveResult saveState() const;

  // Catalog (catalog.cpp).
  void startScan();
  void scanThreadMain(std::weak_ptr<bool> alive);
  void mergeScan(const std::string& format, std::vector<PluginInfo> entries, std::vector<std::string> problems,
                 bool last);
  void sendPlugins(const Session& session) const;
  void publishCatalog();
  const PluginInfo* findPlugin(const std::string& id) const;

  // Places (places.cpp). addPlace answers the new or existing id, "" when the
  // folder is refused or could not be saved.
  Json placesMessage() const;
  void sendPlaces();
  std::string addPlace(const std::string& folder);
  void removePlace(const std::string& id);
  void sendPlacesError(const Session& session, const std::string& t, const Json& request, const std::string& code,
                       const std::string& message) const;

  // Track requests and chain building (chains.cpp), slot requests
  // (slot_requests.cpp), MIDI (midi_routing.cpp), Places (places.cpp), pushes
  // (pushes.cpp) and the tick (tick.cpp). Main thread, except onMidiReceived and
  // onMidiSent (MIDI threads) and the callbacks that startCreation and observe
  // hand out (host and plug-in threads), which only post or touch
  // Session::pending under its lock.
  void handleChainRequest(const std::shared_ptr<Session>& session, const std::string& t, const std::string& track,
                          const Json& request);
  void handleUnchain(Session& session, const std::string& track);
  void applyChain(const std::shared_ptr<Session>& session, const std::string& track);
  // Everything a creation carries to the main thread besides the plug-in; the
  // serial and the rate tell whether the result still fits the track.
  struct Creation {
    std::string track;
    uint64_t serial = 0;
    std::string key;
    std::string pluginId;
    std::string name;
    double rate = 0.0;
    std::vector<uint8_t> state;
    Json params;
  };
  void startCreation(const std::shared_ptr<Session>& session, Host& host, Creation creation);
  void pluginCreated(const std::shared_ptr<Session>& session, Creation& creation, std::shared_ptr<Plugin> plugin,
                     const std::string& failure);
  void observe(const std::shared_ptr<Session>& session, const std::string& track, const std::string& key,
               Plugin& plugin);
  void handleMeter(Session& session, Track& track, const Json& request);
  void handleSlotRequest(const std::shared_ptr<Session>& session, const std::string& t, const std::string& trackId,
                         Track& track, const std::shared_ptr<Slot>& slot, const Json& request);
  bool handlePlaces(const std::shared_ptr<Session>& session, const std::string& t, const Json& request);
  bool handleMidi(const std::shared_ptr<Session>& session, const std::string& t, const Json& request);
  void startMidi();
  bool refreshMidi();
  bool refreshMidiPorts(bool input, bool wanted);
  void sendMidiPorts();
  void sendMidiOwner();
  void flushMidi();
  void onMidiReceived(const std::string& port, const uint8_t* data, size_t n);
  void onMidiSent(const std::string& port, const uint8_t* data, size_t n);
  void flushParams();
  void flushLevels();
  void tick();
  void sendStats();

  // Declaration order is release order reversed: sessions, chains and plug-ins
  // go before the hosts that made them, the server before its identity.
  BridgeOptions options;
  Platform platform;
  std::thread::id mainThread;
  std::function<double()> clockMs;  // bridge::nowMs; tests substitute a manual clock
  std::vector<std::unique_ptr<Host>> hosts;
  std::vector<PluginInfo> catalog;
  std::map<std::string, std::vector<std::string>> scanProblems;
  bool scanning = false;
  std::thread scanThread;
  std::atomic<bool> scanStop{false};
  std::unique_ptr<TlsIdentity> identity;
  std::unique_ptr<Server> server;
  std::string error;
  std::string code;
  int32_t wrongCodes = 0;
  bool pairingPaused = false;
  double codeTime = 0.0;
  std::vector<Pairing> pairings;
  std::set<std::string> hiddenFormats;
  std::vector<Place> places;
  std::unique_ptr<MidiPorts> midi;
  std::set<std::string> midiOffIn, midiOffOut;
  std::map<std::string, std::string> midiInState, midiOutState;
  int32_t midiOwnerId = 0;
  std::mutex midiMutex;
  std::vector<MidiEvent> midiPending;
  bool midiFlushPosted = false;
  std::function<void(std::function<void()>)> post;
  // Chains released last off the main thread wait here for the main thread.
  std::shared_ptr<ChainReleaser> chainReleaser;
  std::map<int32_t, std::shared_ptr<Session>> sessions;
  // Each open connection's unhandled text (see InputBudget), by connection id.
  // Connection threads add, look up and erase entries, under budgetMutex.
  std::mutex budgetMutex;
  std::map<int32_t, std::shared_ptr<InputBudget>> budgets;
  uint64_t nextTrackSerial = 1;
  std::mutex routeMutex;
  std::map<int32_t, std::map<int32_t, std::shared_ptr<Chain>>> routes;
  std::thread tickerThread;
  std::atomic<bool> tickerStop{false};
  double lastCpuMs = 0.0, lastTickMs = 0.0, cpuPercent = 0.0, lastNetMs = 0.0, netPercent = 0.0;
  bool stopped = false;
  std::shared_ptr<bool> alive;
  // Taken once at construction, so other threads never touch `alive` itself.
  std::weak_ptr<bool> aliveWeak;
};

}  // namespace bridge

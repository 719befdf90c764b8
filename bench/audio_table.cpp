// The audio path as a browser page drives it, beside a bare echo server in the
// same run: 128-frame stereo blocks at 48 kHz through a chain of one CLAP gain
// (our test plug-in, loaded by the real CLAP host after the real helper examined
// it), over clear TCP and TLS, with 1 and 32 connections, either ping-pong (the
// next block goes as soon as the reply is in) or at the real-time pace (one
// block every 2.667 ms, every thread asleep in between). The bridge and the echo
// run in alternating segments so that a change in the machine's load falls on
// both. Both get the same frames and the client checks every sample of every
// reply. Then a render track of 4096-frame blocks with 8 in flight; the heap
// allocations per block on the chain worker and on the connection thread,
// counted by the replaced operator new; and where a paced block's time goes,
// from stamps taken on each thread it passes. Everything listens on 127.0.0.1
// on ports the system picks; the run takes about two minutes.
//   audio_table [--scale X]   (X multiplies every measuring time; default 1)
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge/bridge.h"
#include "echo_server.h"
#include "engine/chain.h"
#include "engine/frame.h"
#include "hosting/clap_host.h"
#include "platform/dispatch/main_queue.h"
#include "server/server.h"
#include "server/tls_identity.h"
#include "server/websocket_frame.h"
#include "support/counting_new.h"
#include "support/fake_plugin.h"
#include "support/free_port.h"
#include "ws_peer.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr char kOrigin[] = "https://bench.example";
constexpr char kGainId[] = "CLAP:org.krevlo.fx.gain";
constexpr double kRate = 48000.0;
constexpr int kBlock = 128;
constexpr double kPeriodNs = kBlock * 1e9 / kRate;  // 2.667 ms
constexpr int kWarmUpBlocks = 20;  // per connection and segment, not recorded
// The gain is set as a normalised value of its 0..2 range: 0.25 is a gain of
// one half, which every output sample must show exactly.
constexpr double kGainParam = 0.25;
constexpr float kGain = 0.5f;

double scale = 1.0;

int64_t nowNs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

// The input sample at timeline position p; right is its negation.
float sampleAt(int32_t p) { return static_cast<float>(static_cast<uint32_t>(p) % 1009) / 1009.0f; }

// One masked client frame carrying an input block, rewritten in place for each
// block so that sending allocates nothing.
class BlockFrame {
 public:
  BlockFrame(int stream, int frames) : frames_(frames) {
    const size_t payload = bridge::kFrameHeaderBytes + 8 * static_cast<size_t>(frames);
    bytes_.assign(8 + payload, 0);
    bytes_[0] = 0x80 | bridge::kWsBinary;
    bytes_[1] = 0x80 | 126;
    bytes_[2] = static_cast<uint8_t>(payload >> 8);
    bytes_[3] = static_cast<uint8_t>(payload);
    std::memcpy(&bytes_[4], kKey, 4);
    plain_.assign(payload, 0);
    plain_[0] = bridge::kInputFrameKind;
    plain_[1] = bridge::kFrameChannels;
    const uint16_t s = static_cast<uint16_t>(stream);
    std::memcpy(&plain_[bridge::frame_offset::stream], &s, 2);
    std::memcpy(&plain_[bridge::frame_offset::frames], &frames_, 4);
  }
  void fill(int32_t position) {
    std::memcpy(&plain_[bridge::frame_offset::position], &position, 4);
    float* left = reinterpret_cast<float*>(&plain_[bridge::kFrameHeaderBytes]);
    for (int i = 0; i < frames_; ++i) {
      const float v = sampleAt(bridge::wrapAdd(position, i));
      std::memcpy(left + i, &v, 4);
      const float r = -v;
      std::memcpy(left + frames_ + i, &r, 4);
    }
    for (size_t i = 0; i < plain_.size(); ++i) bytes_[8 + i] = plain_[i] ^ kKey[i % 4];
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  static constexpr uint8_t kKey[4] = {7, 1, 9, 3};
  int32_t frames_;
  std::vector<uint8_t> bytes_, plain_;
};

// Checks a reply against the block sent at `position`: the echo answers the very
// bytes (kind 1), the bridge an output frame (kind 2) of the same size with every
// sample times the gain. Answers the reply's position through `at`.
bool checkReply(const uint8_t* p, size_t n, int stream, int frames, bool fromBridge, int32_t& at) {
  if (n != bridge::kFrameHeaderBytes + 8 * static_cast<size_t>(frames)) return false;
  if (p[0] != (fromBridge ? bridge::kOutputFrameKind : bridge::kInputFrameKind) || p[1] != 2) return false;
  uint16_t s;
  int32_t count;
  std::memcpy(&s, p + bridge::frame_offset::stream, 2);
  std::memcpy(&at, p + bridge::frame_offset::position, 4);
  std::memcpy(&count, p + bridge::frame_offset::frames, 4);
  if (s != stream || count != frames) return false;
  const float gain = fromBridge ? kGain : 1.0f;
  const uint8_t* samples = p + bridge::kFrameHeaderBytes;
  for (int i = 0; i < frames; ++i) {
    float l, r;
    std::memcpy(&l, samples + 4 * i, 4);
    std::memcpy(&r, samples + 4 * (frames + i), 4);
    const float v = sampleAt(bridge::wrapAdd(at, i));
    if (l != v * gain || r != -v * gain) return false;
  }
  return true;
}

// Server frames as they come off a non-blocking peer: binary ones are handed
// over, text pushes skipped. The buffer keeps its storage between reads.
class FrameInbox {
 public:
  explicit FrameInbox(bridge::bench::WsPeer& peer) : peer_(peer) { buffer_.reserve(1 << 17); }
  // Reads what is there; -1 when the stream failed, else the count of binary
  // messages given to `each`.
  template <class Each>
  int pump(Each&& each) {
    uint8_t chunk[16384];
    for (;;) {
      long r = peer_.tryRead(chunk, sizeof chunk);
      if (r < 0) return -1;
      if (r == 0) break;
      buffer_.insert(buffer_.end(), chunk, chunk + r);
    }
    int messages = 0;
    size_t pos = 0;
    for (;;) {
      const size_t left = buffer_.size() - pos;
      if (left < 2) break;
      const uint8_t* h = buffer_.data() + pos;
      uint64_t n = h[1] & 0x7f;
      size_t header = 2;
      if (n == 126) {
        if (left < 4) break;
        n = uint64_t{h[2]} << 8 | h[3];
        header = 4;
      } else if (n == 127) {
        if (left < 10) break;
        n = 0;
        for (int i = 0; i < 8; ++i) n = n << 8 | h[2 + i];
        header = 10;
      }
      if (left < header + n) break;
      if ((h[0] & 0x0f) == bridge::kWsBinary) {
        each(h + header, static_cast<size_t>(n));
        ++messages;
      }
      pos += header + n;
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos));
    return messages;
  }

 private:
  bridge::bench::WsPeer& peer_;
  std::vector<uint8_t> buffer_;
};

// Waits until the socket is readable or `untilNs`, whichever comes first.
void waitReadable(bridge::bench::WsPeer& peer, int64_t untilNs) {
  if (peer.buffered()) return;
  const int64_t left = untilNs - nowNs();
  if (left <= 0) return;
  pollfd f{peer.fd(), POLLIN, 0};
  timespec t{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
  (void)::ppoll(&f, 1, &t, nullptr);
}

// One connection to the bridge or the echo, ready to stream.
struct Link {
  std::unique_ptr<bridge::bench::WsPeer> peer;
  int stream = 1;
  bool bridge = false;
  int32_t position = 0;
};

// What one side measured in a row.
struct Figures {
  std::vector<double> rttUs;
  int64_t blocks = 0;  // recorded blocks sent
  int64_t late = 0;    // recorded blocks answered later than one period, or never
  std::string error;
};

// Sees every recorded block: its position, when it was sent and when its reply
// was in.
using Observer = std::function<void(int32_t position, int64_t sentNs, int64_t gotNs)>;

// Streams on one link from `startNs` to `endNs`: paced (a block at every period
// tick) or ping-pong (the next block once the reply is in). Replies left after
// the end are awaited for a second. `observe` may be empty.

void streamLink(Link& link, bool paced, int64_t startNs, int64_t endNs, int frames, Figures& out,
                const Observer& observe = {}) {
  BlockFrame block(link.stream, frames);
  FrameInbox inbox(*link.peer);
  constexpr size_t kRing = 4096;
  std::vector<int64_t> sentAt(kRing, 0);
  std::vector<int32_t> sentPos(kRing, 0);
  const int32_t first = link.position;
  int64_t sent = 0, answered = 0;
  int64_t nextTick = startNs;
  bool failed = false;
  auto onReply = [&](const uint8_t* p, size_t n) {
    const int64_t now = nowNs();
    int32_t at = 0;
    if (!checkReply(p, n, link.stream, frames, link.bridge, at)) {
      out.error = "a reply did not match its block";
      failed = true;
      return;
    }
    const int64_t k = bridge::wrapSub(at, first) / frames;
    if (k < 0 || k >= sent || sentPos[static_cast<size_t>(k) % kRing] != at) {
      out.error = "a reply for no block in flight";
      failed = true;
      return;
    }
    ++answered;
    if (k < kWarmUpBlocks) return;
    const int64_t sentNs = sentAt[static_cast<size_t>(k) % kRing];
    if (observe) observe(at, sentNs, now);
    const double us = static_cast<double>(now - sentNs) / 1000.0;
    out.rttUs.push_back(us);
    if (us * 1000.0 > kPeriodNs) ++out.late;
  };
  while (!failed && nowNs() < endNs) {
    const bool due = paced ? nowNs() >= nextTick : answered == sent;
    if (due && sent - answered < static_cast<int64_t>(kRing)) {
      block.fill(link.position);
      sentPos[static_cast<size_t>(sent) % kRing] = link.position;
      sentAt[static_cast<size_t>(sent) % kRing] = nowNs();
      if (!link.peer->writeAll(block.bytes().data(), block.bytes().size())) {
        out.error = "the connection failed";
        break;
      }
      link.position = bridge::wrapAdd(link.position, frames);
      ++sent;
      if (paced) nextTick += static_cast<int64_t>(kPeriodNs);
    }
    waitReadable(*link.peer, paced ? nextTick : nowNs() + 1000000000);
    if (inbox.pump(onReply) < 0) {
      out.error = "the connection failed";
      failed = true;
    }
  }
  const int64_t drainUntil = nowNs() + 1000000000;
  while (!failed && answered < sent && nowNs() < drainUntil) {
    waitReadable(*link.peer, drainUntil);
    if (inbox.pump(onReply) < 0) failed = true;
  }
  const int64_t recorded = std::max<int64_t>(0, sent - kWarmUpBlocks);
  out.blocks = recorded;
  // A block never answered is as late as a block can be.
  out.late += std::max<int64_t>(0, recorded - static_cast<int64_t>(out.rttUs.size()));
}

void merge(Figures& into, Figures&& part) {
  into.rttUs.insert(into.rttUs.end(), part.rttUs.begin(), part.rttUs.end());
  into.blocks += part.blocks;
  into.late += part.late;
  if (into.error.empty()) into.error = std::move(part.error);
}


// A started Bridge with the real CLAP host, which finds only our test plug-in,
// served from a main thread of its own; ready once the helper examined it.
struct LiveBridge {
  fs::path dir;
  bridge::MainQueue queue;
  std::atomic<bool> stop{false};
  int port = bridge::test::freePort();
  int plugins = 0;
  bool started = false;
  std::thread main;

  LiveBridge(const fs::path& root, const std::string& helper, const std::string& plugin) : dir(root / "bridge") {
    fs::create_directories(root / "clap");
    std::error_code ec;
    fs::copy_file(plugin, root / "clap" / fs::path(plugin).filename(), fs::copy_options::overwrite_existing, ec);
    std::promise<bool> ready;
    auto up = ready.get_future();
    main = std::thread([this, &ready, &root, &helper] {
      bridge::BridgeOptions o;
      o.dataDir = dir;
      o.port = port;
      o.origins = {kOrigin};
      o.fixedCode = "123456";
      bridge::Platform p;
      p.runOnMain = [this](std::function<void()> job) { queue.post(std::move(job)); };
      // Made on this thread, which is the CLAP main thread from here on.
      auto host = bridge::makeClapHost(dir, {(root / "clap").string()}, p.runOnMain, helper);
      auto b = std::make_unique<bridge::Bridge>(std::move(o), std::move(p));
      b->addHost(std::move(host));
      bool ok = b->start();
      const int64_t giveUp = nowNs() + 60'000'000'000;
      while (ok && b->status().scanning && nowNs() < giveUp) {
        queue.wait(20);
        queue.drain();
      }
      plugins = b->status().plugins;
      ready.set_value(ok && !b->status().scanning);
      while (!stop) {
        queue.wait(20);
        queue.drain();
      }
      b.reset();
      queue.drain();
    });
    started = up.get();
  }
  ~LiveBridge() {
    stop = true;
    main.join();
  }
};

bool pair(bridge::bench::WsPeer& peer) {
  Json m;
  return peer.awaitText("hello", m) && peer.sendText(Json{{"t", "pair"}, {"code", "123456"}, {"name", "bench"}}) &&
         peer.awaitText("ready", m);
}

// Builds a chain of one gain on `track` of a paired session, sets the gain to
// one half and answers the stream number; -1 on failure.
int buildChain(bridge::bench::WsPeer& peer, const std::string& track) {
  Json m;
  peer.sendText(Json{{"t", "chain"},
                     {"track", track},
                     {"rate", kRate},
                     {"slots", Json::array({Json{{"key", "g"}, {"plugin", kGainId}}})}});
  int stream = -1;
  while (stream < 0 && peer.awaitText("chain", m)) {
    const Json& slots = m["slots"];
    if (!slots.empty() && slots[0].value("status", "") == "ok") stream = m.value("stream", -1);
    if (!slots.empty() && slots[0].value("status", "") == "error") return -1;
  }
  if (stream < 0 || !peer.sendText(Json{{"t", "params"}, {"track", track}, {"key", "g"}}) ||
      !peer.awaitText("params", m))
    return -1;
  int index = -1;
  for (const Json& p : m["list"])
    if (p.value("name", "") == "Gain") index = p.value("i", -1);
  if (index < 0 || !peer.sendText(Json{{"t", "set"}, {"track", track}, {"key", "g"}, {"i", index}, {"v", kGainParam}}))
    return -1;
  while (peer.awaitText("param", m))
    if (m.value("echo", false)) return stream;
  return -1;
}

struct Context {
  LiveBridge& live;
  int echoPort;
  std::string ca;  // empty: clear
};

// `count` links to the bridge (each with its own session and chain) or the echo.
std::vector<Link> openLinks(const Context& c, bool toBridge, int count, const std::string& track) {
  std::vector<Link> links;
  for (int i = 0; i < count; ++i) {
    Link l;
    l.bridge = toBridge;
    l.peer = std::make_unique<bridge::bench::WsPeer>(toBridge ? c.live.port : c.echoPort, c.ca, kOrigin);
    if (!l.peer->ok()) return {};
    if (toBridge && (!pair(*l.peer) || (l.stream = buildChain(*l.peer, track)) < 0)) return {};
    if (!l.peer->setNonBlocking()) return {};
    links.push_back(std::move(l));
  }
  return links;
}

// Every link streams on a thread of its own; paced links share one tick grid,
// as the tracks of one audio clock would.
Figures runSegment(std::vector<Link>& links, bool paced, double seconds, int frames) {
  std::vector<Figures> parts(links.size());
  std::vector<std::thread> threads;
  const int64_t start = nowNs() + 20'000'000;
  const int64_t end = start + static_cast<int64_t>(seconds * scale * 1e9);
  for (size_t i = 0; i < links.size(); ++i)
    threads.emplace_back([&, i] { streamLink(links[i], paced, start, end, frames, parts[i]); });
  for (auto& t : threads) t.join();
  Figures all;
  for (auto& p : parts) merge(all, std::move(p));
  return all;
}

double percentile(std::vector<double>& v, double q) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(static_cast<double>(v.size()) * q))];
}

struct Row {
  std::string name;
  bool tls;
  int connections;
  Figures bridge, echo;
};

// The row's segments alternate: bridge, echo, bridge, echo.
Row measureRow(const Context& c, const std::string& name, bool paced, int connections, double secondsPerSegment) {
  Row row{name, !c.ca.empty(), connections, {}, {}};
  std::vector<Link> toBridge = openLinks(c, true, connections, "bench");
  std::vector<Link> toEcho = openLinks(c, false, connections, "bench");
  if (toBridge.empty() || toEcho.empty()) {
    row.bridge.error = "could not connect";
    return row;
  }
  for (int segment = 0; segment < 2; ++segment) {
    merge(row.bridge, runSegment(toBridge, paced, secondsPerSegment, kBlock));
    merge(row.echo, runSegment(toEcho, paced, secondsPerSegment, kBlock));
  }
  return row;
}

std::string cell(double us) {
  char b[32];
  std::snprintf(b, sizeof b, "%.0f", us);
  return b;
}

std::string share(const Figures& f) {
  char b[32];
  std::snprintf(b, sizeof b, "%.2f%%", f.blocks > 0 ? 100.0 * static_cast<double>(f.late) / f.blocks : NAN);
  return b;
}

void printTable(std::vector<Row>& rows) {
  std::printf(
      "\n| case | transport | conns | bridge p50 / p99 / p99.9 µs | bridge late | echo p50 / p99 / p99.9 µs | echo late "
      "| ratio p50 / p99 | blocks per side |\n|---|---|---|---|---|---|---|---|---|\n");
  for (Row& r : rows) {
    if (!r.bridge.error.empty() || !r.echo.error.empty()) {
      std::printf("| %s | %s | %d | failed: %s %s | | | | | |\n", r.name.c_str(), r.tls ? "TLS" : "clear",
                  r.connections, r.bridge.error.c_str(), r.echo.error.c_str());
      continue;
    }
    const double b50 = percentile(r.bridge.rttUs, 0.5), b99 = percentile(r.bridge.rttUs, 0.99),
                 b999 = percentile(r.bridge.rttUs, 0.999);
    const double e50 = percentile(r.echo.rttUs, 0.5), e99 = percentile(r.echo.rttUs, 0.99),
                 e999 = percentile(r.echo.rttUs, 0.999);
    std::printf("| %s | %s | %d | %s / %s / %s | %s | %s / %s / %s | %s | %.1f / %.1f | %lld / %lld |\n",
                r.name.c_str(), r.tls ? "TLS" : "clear", r.connections, cell(b50).c_str(), cell(b99).c_str(),
                cell(b999).c_str(), share(r.bridge).c_str(), cell(e50).c_str(), cell(e99).c_str(),
                cell(e999).c_str(), share(r.echo).c_str(), b50 / e50, b99 / e99,
                static_cast<long long>(r.bridge.blocks), static_cast<long long>(r.echo.blocks));
  }
  std::fflush(stdout);
}

// 4096-frame blocks on a "render:" track with 8 in flight: frames per second
// as a multiple of real time, bridge and echo on the same connection kind.
void measureRender(const Context& c) {
  constexpr int kFrames = 4096, kInFlight = 8;
  for (bool toBridge : {true, false}) {
    std::vector<Link> links = openLinks(c, toBridge, 1, "render:bench");
    if (links.empty()) {
      std::printf("render (%s): could not connect\n", toBridge ? "bridge" : "echo");
      continue;
    }
    Link& link = links[0];
    BlockFrame block(link.stream, kFrames);
    FrameInbox inbox(*link.peer);
    int64_t sent = 0, answered = 0, bad = 0;
    auto sendOne = [&] {
      block.fill(link.position);
      link.position = bridge::wrapAdd(link.position, kFrames);
      ++sent;
      return link.peer->writeAll(block.bytes().data(), block.bytes().size());
    };
    auto onReply = [&](const uint8_t* p, size_t n) {
      int32_t at;
      if (!checkReply(p, n, link.stream, kFrames, link.bridge, at)) ++bad;
      ++answered;
    };
    bool ok = true;
    for (int i = 0; i < kInFlight && ok; ++i) ok = sendOne();
    const int64_t start = nowNs(), end = start + static_cast<int64_t>(3e9 * scale);
    while (ok && nowNs() < end) {
      waitReadable(*link.peer, nowNs() + 1000000000);
      const int64_t before = answered;
      ok = inbox.pump(onReply) >= 0;
      for (int64_t i = before; ok && i < answered; ++i) ok = sendOne();
    }
    const int64_t elapsed = nowNs() - start;
    const int64_t counted = answered;
    while (ok && answered < sent && nowNs() < end + 1000000000) {
      waitReadable(*link.peer, end + 1000000000);
      ok = inbox.pump(onReply) >= 0;
    }
    const double audioS = static_cast<double>(counted) * kFrames / kRate;
    std::printf("render track, %s, 4096-frame blocks, 8 in flight: %.0f x real time (%lld blocks, %lld wrong%s)\n",
                toBridge ? "bridge" : "bare echo", audioS / (static_cast<double>(elapsed) / 1e9),
                static_cast<long long>(counted), static_cast<long long>(bad), ok ? "" : ", connection failed");
  }
}

std::set<int> threadIds() {
  std::set<int> ids;
  for (const auto& e : fs::directory_iterator("/proc/self/task")) ids.insert(std::stoi(e.path().filename()));
  return ids;
}

std::vector<int> added(const std::set<int>& before, const std::set<int>& after) {
  std::vector<int> out;
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(out));
  return out;
}

const char* policyName(int tid) {
  const int policy = sched_getscheduler(tid);
  if (policy < 0) return "policy unknown";
  switch (policy & ~SCHED_RESET_ON_FORK) {
    case SCHED_FIFO: return "SCHED_FIFO";
    case SCHED_RR: return "SCHED_RR";
    case SCHED_OTHER: return "SCHED_OTHER";
    default: return "other";
  }
}

// Counts the allocations of the connection thread (the one that appears when the
// connection opens) and of the chain worker (the one that appears with the
// chain) over paced blocks, after a warm-up.
void measureAllocations(const Context& c) {
  const char* transport = c.ca.empty() ? "clear" : "TLS";
  const std::set<int> before = threadIds();
  Link link;
  link.bridge = true;
  link.peer = std::make_unique<bridge::bench::WsPeer>(c.live.port, c.ca, kOrigin);
  const std::set<int> connected = threadIds();
  const bool paired = link.peer->ok() && pair(*link.peer);
  const std::set<int> beforeChain = threadIds();
  link.stream = paired ? buildChain(*link.peer, "bench") : -1;
  const std::vector<int> connectionThreads = added(before, connected);
  const std::vector<int> workers = added(beforeChain, threadIds());
  if (link.stream < 0 || !link.peer->setNonBlocking()) {
    std::printf("allocations (%s): could not connect\n", transport);
    return;
  }
  if (connectionThreads.size() != 1 || workers.size() != 1) {
    std::printf("allocations (%s): could not tell the threads apart (%zu new on connecting, %zu with the chain)\n",
                transport, connectionThreads.size(), workers.size());
    return;
  }
  const int connection = connectionThreads[0], worker = workers[0];
  Figures warm;
  streamLink(link, true, nowNs(), nowNs() + 300'000'000, kBlock, warm);
  const uint64_t c0 = bridge::test::allocationsOfThread(connection), w0 = bridge::test::allocationsOfThread(worker);
  Figures f;
  const int64_t start = nowNs();
  streamLink(link, true, start, start + static_cast<int64_t>(2e9 * scale), kBlock, f);
  const uint64_t c1 = bridge::test::allocationsOfThread(connection), w1 = bridge::test::allocationsOfThread(worker);
  // Every block sent, the warm-up ones of the stream included, went through.
  const double blocks = static_cast<double>(f.blocks + kWarmUpBlocks);
  if (!f.error.empty() || f.rttUs.size() != static_cast<size_t>(f.blocks)) {
    std::printf("allocations (%s): the stream failed (%s)\n", transport, f.error.c_str());
    return;
  }
  std::printf("heap allocations per block, %s, paced, over %.0f blocks: worker %.2f (%s), connection thread %.2f\n",
              transport, blocks, static_cast<double>(w1 - w0) / blocks, policyName(worker),
              static_cast<double>(c1 - c0) / blocks);
}


// Where a paced block's round trip goes, told by stamps on every thread: the
// server and a chain (one gain slot of our own fake plug-in) wired as the bridge
// wires a track, stamped by its handlers and output callback. Beside it, in
// alternating segments: the bare echo, the server echoing on its connection
// thread (no hand-off), and the whole bridge with the CLAP gain.
struct StagedChain {
  static constexpr size_t kMax = 1 << 14;  // blocks stamped, by position
  std::vector<int64_t> received = std::vector<int64_t>(kMax), pushed = std::vector<int64_t>(kMax),
                       processed = std::vector<int64_t>(kMax), queued = std::vector<int64_t>(kMax);
  std::shared_ptr<bridge::Connection> connection;  // set before the first push
  std::unique_ptr<bridge::Chain> chain;
  std::unique_ptr<bridge::Server> server;

  static size_t indexOf(const uint8_t* frame) {
    int32_t position;
    std::memcpy(&position, frame + bridge::frame_offset::position, 4);
    return static_cast<uint32_t>(position) / kBlock % kMax;
  }

  StagedChain() {
    chain = std::make_unique<bridge::Chain>(
        1, kRate,
        [this](std::vector<uint8_t> frame) {
          const size_t k = indexOf(frame.data());
          processed[k] = nowNs();
          connection->sendBinary(frame);
          queued[k] = nowNs();
        },
        true);
    auto slot = std::make_shared<bridge::Slot>();
    slot->key = "g";
    bridge::test::FakePluginOptions o;
    o.gain = kGain;
    slot->plugin = std::make_shared<bridge::test::FakePlugin>(o);
    chain->setSlots({slot});
    bridge::ServerHandlers h;
    h.allowOrigin = [](const std::string&) { return true; };
    h.onOpen = [this](std::shared_ptr<bridge::Connection> c) { connection = std::move(c); };
    h.onBinary = [this](std::shared_ptr<bridge::Connection>, std::vector<uint8_t>&& bytes) {
      if (bytes.size() < bridge::kFrameHeaderBytes) return;
      const size_t k = indexOf(bytes.data());
      received[k] = nowNs();
      chain->push(std::move(bytes));
      pushed[k] = nowNs();
    };
    server = std::make_unique<bridge::Server>(h, nullptr);
  }
  // Joins the worker, then the connection threads: the stamps are then ours.
  void stop() {
    chain.reset();
    server->stop();
    connection.reset();
  }
};

struct Stamp {
  size_t index;
  int64_t sent, got;
};

double median(std::vector<double> v) { return percentile(v, 0.5); }

void measureStages(const Context& c) {
  constexpr double kSeconds = 2.0;
  StagedChain staged;
  bridge::Server serverEcho(bridge::bench::echoHandlers(), nullptr);
  if (!staged.server->start(0) || !serverEcho.start(0)) {
    std::printf("stages: could not start\n");
    return;
  }
  std::vector<Link> bare = openLinks(c, false, 1, "bench"), bridgeLinks = openLinks(c, true, 1, "bench");
  Link stagedLink, echoLink;
  stagedLink.peer = std::make_unique<bridge::bench::WsPeer>(staged.server->port(), "", kOrigin);
  stagedLink.bridge = true;
  echoLink.peer = std::make_unique<bridge::bench::WsPeer>(serverEcho.port(), "", kOrigin);
  if (bare.empty() || bridgeLinks.empty() || !stagedLink.peer->ok() || !echoLink.peer->ok() ||
      !stagedLink.peer->setNonBlocking() || !echoLink.peer->setNonBlocking()) {
    std::printf("stages: could not connect\n");
    return;
  }
  Figures fBare, fServer, fStaged, fBridge;
  std::vector<Stamp> stamps;
  Observer note = [&](int32_t position, int64_t sent, int64_t got) {
    stamps.push_back({static_cast<uint32_t>(position) / kBlock % StagedChain::kMax, sent, got});
  };
  auto run = [&](Link& link, Figures& into, const Observer& observe) {
    Figures f;
    const int64_t start = nowNs() + 20'000'000;
    streamLink(link, true, start, start + static_cast<int64_t>(kSeconds * scale * 1e9), kBlock, f, observe);
    merge(into, std::move(f));
  };
  for (int segment = 0; segment < 2; ++segment) {
    run(bare[0], fBare, {});
    run(echoLink, fServer, {});
    run(stagedLink, fStaged, note);
    run(bridgeLinks[0], fBridge, {});
  }
  const bridge::ChainStats stats = staged.chain->takeStats();
  stagedLink.peer.reset();
  echoLink.peer.reset();
  staged.stop();
  serverEcho.stop();
  for (const Figures* f : {&fBare, &fServer, &fStaged, &fBridge})
    if (!f->error.empty()) {
      std::printf("stages: a stream failed (%s)\n", f->error.c_str());
      return;
    }

  std::vector<double> wake, push, workerTurn, send, back;
  for (const Stamp& s : stamps) {
    const int64_t r = staged.received[s.index], p = staged.pushed[s.index], w = staged.processed[s.index],
                  q = staged.queued[s.index];
    // The push may return after the worker is done with the block (a real-time
    // worker can preempt the thread that woke it), so it is timed on its own.
    if (!(s.sent <= r && r <= p && r <= w && w <= q && q <= s.got)) continue;  // a stamp from another block
    wake.push_back(static_cast<double>(r - s.sent) / 1000.0);
    push.push_back(static_cast<double>(p - r) / 1000.0);
    workerTurn.push_back(static_cast<double>(w - r) / 1000.0);
    send.push_back(static_cast<double>(q - w) / 1000.0);
    back.push_back(static_cast<double>(s.got - q) / 1000.0);
  }
  const double processUs = stats.load * kPeriodNs / 1000.0;
  std::printf(
      "\nwhere a paced block's round trip goes (clear, 1 connection, medians in µs, %zu blocks stamped):\n"
      "| path | p50 | p99 |\n|---|---|---|\n"
      "| bare echo | %.0f | %.0f |\n| the server echoing on its connection thread | %.0f | %.0f |\n"
      "| server + chain of one fake gain (stamped) | %.0f | %.0f |\n| whole bridge, one CLAP gain | %.0f | %.0f |\n",
      wake.size(), percentile(fBare.rttUs, 0.5), percentile(fBare.rttUs, 0.99), percentile(fServer.rttUs, 0.5),
      percentile(fServer.rttUs, 0.99), percentile(fStaged.rttUs, 0.5), percentile(fStaged.rttUs, 0.99),
      percentile(fBridge.rttUs, 0.5), percentile(fBridge.rttUs, 0.99));
  const double total = median(wake) + median(workerTurn) + median(send) + median(back);
  auto line = [&](const char* what, const std::vector<double>& v) {
    std::vector<double> copy = v;
    std::printf("| %s | %.1f | %.1f | %.0f%% |\n", what, median(v), percentile(copy, 0.99), 100.0 * median(v) / total);
  };
  std::printf("\n| stage of the stamped chain | p50 µs | p99 µs | share of the p50 sum |\n|---|---|---|---|\n");
  line("client write → connection thread has the message (kernel, wake, read, parse, copy)", wake);
  line("connection thread has it → output callback on the worker (push, worker wake-up, processing)", workerTurn);
  line("sendBinary on the worker (encode, copy, queue lock, sendto wake)", send);
  line("sendBinary → client has the reply (connection thread wake, write, kernel, client wake)", back);
  std::vector<double> pushCopy = push;
  std::printf("of which: Chain::push returns after %.1f µs (p99 %.1f) on the connection thread; processing alone "
              "(chain load x period, mean) %.1f µs\n",
              median(push), percentile(pushCopy, 0.99), processUs);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--scale") == 0) scale = std::max(0.05, std::atof(argv[i + 1]));
  const fs::path root = fs::temp_directory_path() / ("krevlo-audio-table-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "home");
  // The CLAP host searches HOME and CLAP_PATH too: only our plug-in is wanted.
  ::setenv("HOME", (root / "home").c_str(), 1);
  ::unsetenv("CLAP_PATH");
  int status = 0;
  {
    LiveBridge live(root, KREVLO_BENCH_HELPER, KREVLO_BENCH_CLAP_PLUGIN);
    std::string error;
    // The echo serves the bridge's own certificate, so one authority checks both.
    auto identity = live.started ? bridge::loadOrCreateIdentity(live.dir, error) : nullptr;
    bridge::bench::EchoServer echo(identity.get());
    if (!live.started || live.plugins < 1 || !identity || !echo.start()) {
      std::printf("audio_table: the bridge (%d plug-ins) or the echo server did not start %s\n", live.plugins,
                  error.c_str());
      status = 1;
    } else {
      std::vector<Row> rows;
      for (bool tls : {false, true}) {
        Context c{live, echo.port(), tls ? bridge::authorityFile(live.dir).string() : ""};
        rows.push_back(measureRow(c, "ping-pong", false, 1, 1.0));
        rows.push_back(measureRow(c, "real-time pace", true, 1, 4.0));
        rows.push_back(measureRow(c, "ping-pong", false, 32, 1.0));
        rows.push_back(measureRow(c, "real-time pace", true, 32, 2.0));
      }
      std::printf("\n128-frame stereo blocks at 48 kHz through one CLAP gain; round trips in µs; \"late\": later than "
                  "one block period (%.0f µs) or never answered.\n",
                  kPeriodNs / 1000.0);
      printTable(rows);
      std::printf("\n");
      measureRender(Context{live, echo.port(), ""});
      for (bool tls : {false, true})
        measureAllocations(Context{live, echo.port(), tls ? bridge::authorityFile(live.dir).string() : ""});
      measureStages(Context{live, echo.port(), ""});
      for (const Row& r : rows)
        if (!r.bridge.error.empty() || !r.echo.error.empty()) status = 1;
    }
    echo.stop();
  }
  fs::remove_all(root);
  return status;
}

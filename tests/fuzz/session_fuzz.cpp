// Whatever text a page sends, before pairing and after, the session core must
// answer with well-formed messages (or nothing) and never crash, hang or leak.
// One Bridge over a fake host serves every input; each input is one connection
// whose lines are sent as messages, first unpaired, then again once ready.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "bridge/bridge_probe.h"
#include "platform/dispatch/main_queue.h"
#include "support/fake_connection.h"
#include "support/fake_host.h"

namespace {

using bridge::test::FakeConnection;
using Json = nlohmann::json;

constexpr char kCode[] = "123456";

struct Rig {
  bridge::MainQueue queue;
  std::unique_ptr<bridge::Bridge> bridge;
  int32_t nextId = 1;

  Rig() {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("krevlo-session-fuzz-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    bridge::BridgeOptions options;
    options.dataDir = dir;
    options.port = 0;
    options.fixedCode = kCode;
    bridge::Platform platform;
    platform.runOnMain = [this](std::function<void()> job) { queue.post(std::move(job)); };
    bridge = std::make_unique<bridge::Bridge>(std::move(options), std::move(platform));
    auto host = std::make_unique<bridge::test::FakeHost>("CLAP");
    host->add("gain");
    host->add("comp");
    bridge->addHost(std::move(host));
    bridge::test::BridgeProbe(*bridge).startScan();
    while (bridge->status().scanning) {
      queue.wait(100);
      queue.drain();
    }
  }
};

Rig& rig() {
  static Rig* r = new Rig;  // lives for the process: the fuzzer never returns from main
  return *r;
}

void checkReplies(FakeConnection& c) {
  for (const std::string& text : c.takeTexts()) {
    Json m = Json::parse(text, nullptr, false);
    if (!m.is_object() || !m.contains("t") || !m["t"].is_string()) std::abort();
  }
  c.takeBinaries();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Rig& r = rig();
  bridge::test::BridgeProbe probe(*r.bridge);
  std::vector<std::string> lines;
  std::string text(reinterpret_cast<const char*>(data), size);
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  auto c = std::make_shared<FakeConnection>(r.nextId++);
  probe.open(c);
  r.queue.drain();
  checkReplies(*c);
  for (int round = 0; round < 2; ++round) {
    for (const std::string& line : lines) {
      probe.text(c, line);
      r.queue.drain();
      checkReplies(*c);
    }
    // Then as a paired page; wrong codes above may have paused pairing, which a
    // new code lifts.
    if (round == 0) {
      r.bridge->newCode();
      probe.makeReady(c->id);
    }
  }
  probe.close(c);
  r.queue.drain();
  // A pairing the input made goes, so they do not pile up across inputs.
  if (r.bridge->status().pairings > 0) {
    r.bridge->forgetPairings();
    r.queue.drain();
  }
  return 0;
}

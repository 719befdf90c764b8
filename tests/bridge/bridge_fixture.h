#pragma once
// A Bridge on a hand-drained main queue, with FakeConnections standing in for the
// server's connections.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bridge/bridge.h"
#include "bridge_probe.h"
#include "platform/dispatch/main_queue.h"
#include "support/fake_connection.h"
#include "support/fake_host.h"
#include "support/test_dir.h"

namespace bridge::test {

using Json = nlohmann::json;

class BridgeTest : public ::testing::Test {
 protected:
  MainQueue queue;  // outlives the Bridge, as the application's does
  std::thread::id mainThread = std::this_thread::get_id();
  int changes = 0;
  bool changedOffMain = false;
  // Given to the Bridge as its folder dialog when set before make().
  std::function<void(std::function<void(std::string)>)> pickFolder;
  std::unique_ptr<Bridge> bridge;

  std::filesystem::path dataDir() const { return testDir() / "data"; }

  BridgeOptions options(std::string fixedCode = "") const {
    BridgeOptions o;
    o.dataDir = dataDir();
    o.port = 0;
    o.fixedCode = std::move(fixedCode);
    return o;
  }

  Platform platform() {
    Platform p;
    p.runOnMain = [this](std::function<void()> job) { queue.post(std::move(job)); };
    p.changed = [this] {
      if (std::this_thread::get_id() != mainThread) changedOffMain = true;
      ++changes;
    };
    p.pickFolder = pickFolder;
    return p;
  }

  void make(BridgeOptions o) { bridge = std::make_unique<Bridge>(std::move(o), platform()); }
  void make(std::string fixedCode = "") { make(options(std::move(fixedCode))); }

  BridgeProbe probe() { return BridgeProbe(*bridge); }

  // Opens a connection as the server would and returns it with its hello read.
  std::shared_ptr<FakeConnection> connect(int32_t id, std::string origin = "https://daw.krevlo.example",
                                          Json* hello = nullptr) {
    auto c = std::make_shared<FakeConnection>(id, std::move(origin));
    probe().open(c);
    queue.drain();
    auto texts = c->takeTexts();
    EXPECT_EQ(texts.size(), 1u);
    if (hello && !texts.empty()) *hello = Json::parse(texts[0]);
    return c;
  }

  // Sends one text message and returns every reply it caused.
  std::vector<std::string> say(const std::shared_ptr<FakeConnection>& c, const std::string& text) {
    probe().text(c, text);
    queue.drain();
    return c->takeTexts();
  }
  std::vector<std::string> say(const std::shared_ptr<FakeConnection>& c, const Json& message) {
    return say(c, message.dump());
  }

  // Pairs `c` with `code` and returns the "paired" reply.
  Json pair(const std::shared_ptr<FakeConnection>& c, const std::string& code, const std::string& name = "Test") {
    auto replies = say(c, Json{{"t", "pair"}, {"code", code}, {"name", name}});
    EXPECT_EQ(replies.size(), 3u);
    if (replies.empty()) return Json();
    return Json::parse(replies[0]);
  }

  // Every message sent to `c` so far, parsed; with a type, only those.
  static std::vector<Json> messages(FakeConnection& c, const std::string& type = "") {
    std::vector<Json> out;
    for (const std::string& text : c.takeTexts()) {
      Json m = Json::parse(text);
      if (type.empty() || m["t"] == type) out.push_back(std::move(m));
    }
    return out;
  }

  // Waits on another thread's progress (a chain worker's output) without
  // running main-queue jobs; fails after 10 s.
  template <typename Done>
  static bool waitFor(Done done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::yield();
    }
    return true;
  }

  // Runs main-queue jobs until `done` holds; fails after 10 s.
  template <typename Done>
  bool drainUntil(Done done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      queue.wait(100);
      queue.drain();
    }
    return true;
  }
};

}  // namespace bridge::test

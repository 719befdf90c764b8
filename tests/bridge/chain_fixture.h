#pragma once
// A paired session on a Bridge with one fake CLAP host offering "CLAP:Gain" and
// "CLAP:Delay", and helpers to build chains and stream frames through them.
#include <thread>

#include "bridge_fixture.h"
#include "support/audio_frames.h"
#include "util/encoding.h"

namespace bridge::test {

inline std::vector<Json> parsed(const std::vector<std::string>& texts) {
  std::vector<Json> out;
  for (const std::string& t : texts) out.push_back(Json::parse(t));
  return out;
}

inline std::vector<std::string> statuses(const Json& reply) {
  std::vector<std::string> out;
  for (const Json& s : reply["slots"]) out.push_back(s["status"]);
  return out;
}

inline Json slot(const std::string& key, const std::string& plugin) { return Json{{"key", key}, {"plugin", plugin}}; }

inline std::string b64(const std::string& bytes) {
  return base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

class BridgeChains : public BridgeTest {
 protected:
  FakeHost* host = nullptr;
  std::shared_ptr<FakeConnection> c;
  std::shared_ptr<std::atomic<int>> live = std::make_shared<std::atomic<int>>(0);

  void SetUp() override {
    make("123456");
    auto h = std::make_unique<FakeHost>("CLAP");
    host = h.get();
    host->add("Gain");
    host->add("Delay");
    FakePluginOptions options;
    options.liveCounter = live;
    host->setPluginOptions(options);
    bridge->addHost(std::move(h));
    c = connect(1);
    pair(c, "123456");
    probe().startScan();
    ASSERT_TRUE(drainUntil([&] { return !bridge->status().scanning; }));
    c->takeTexts();
  }

  std::vector<Json> chain(const Json& slots, const std::string& track = "a", double rate = 48000.0) {
    return parsed(say(c, Json{{"t", "chain"}, {"track", track}, {"rate", rate}, {"slots", slots}}));
  }

  // Runs the deferred host's completions on a thread of their own, as the Audio
  // Unit host does, then the jobs they posted.
  std::vector<Json> completeElsewhere() {
    std::thread([this] { host->completePending(); }).join();
    queue.drain();
    return messages(*c, "chain");
  }

  SlotList slots(const std::string& track = "a") {
    auto chain = probe().chainOf(1, track);
    return chain ? chain->slots() : SlotList{};
  }
  FakePlugin* plugin(const std::string& track, size_t i) {
    auto list = slots(track);
    return i < list.size() ? dynamic_cast<FakePlugin*>(list[i]->plugin.get()) : nullptr;
  }

  // Sends one frame on `stream` and waits for the chain's answer.
  OutputFrame roundTrip(uint16_t stream, int32_t position, const std::vector<float>& left,
                        const std::vector<float>& right) {
    const size_t before = c->binaries().size();
    FrameSpec spec;
    spec.stream = stream;
    spec.position = position;
    probe().binary(c, makeFrame(spec, left, right));
    EXPECT_TRUE(waitFor([&] { return c->binaries().size() > before; }));
    auto all = c->binaries();
    return all.size() > before ? readOutput(all[before]) : OutputFrame{};
  }
};

}  // namespace bridge::test

#pragma once
// The Audio Unit host over our in-process layer, with test components that a
// test registers (and the fixture removes), a hand-drained main queue for the
// editor's posted work, and creation that waits for the layer's answer.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "hosting/au_host.h"
#include "hosting/au_plugin.h"
#include "hosting/plugin_id.h"
#include "platform/audiounit/au_component.h"
#include "platform/dispatch/main_queue.h"

namespace bridge::test {

inline constexpr uint32_t kTestMaker = au::fourCc("Ktst");

// Doubles the signal: exact, and visibly not the input.
class DoublingDsp final : public au::Dsp {
 public:
  au::Status render(au::Unit&, const float* inL, const float* inR, float* outL, float* outR, uint32_t n) override {
    for (uint32_t i = 0; i < n; ++i) {
      outL[i] = inL[i] * 2.0f;
      outR[i] = inR[i] * 2.0f;
    }
    return au::kNoErr;
  }
};

inline au::UnitSpec doublingSpec() {
  au::UnitSpec s;
  s.makeDsp = [] { return std::make_unique<DoublingDsp>(); };
  return s;
}

inline au::ParameterSpec parameter(uint64_t address, const char* name, au::ParameterUnit unit, float min, float max,
                                   float def) {
  au::ParameterSpec p;
  p.address = address;
  p.displayName = name;
  p.unit = unit;
  p.minValue = min;
  p.maxValue = max;
  p.defaultValue = def;
  return p;
}

class AuFixture : public ::testing::Test {
 protected:
  struct Created {
    std::unique_ptr<Plugin> plugin;
    std::string error;
    int calls = 0;
    bool onCallingThread = false;
    bool onCompletionThread = false;
  };

  void TearDown() override {
    flushCompletion();
    queue.drain();
    for (const auto& d : added_) au::Registry::shared().remove(d);
  }

  // Registers an effect component of `subtype` by our test maker; its id.
  std::string add(uint32_t subtype, au::UnitSpec spec = doublingSpec(),
                  std::function<void(au::Component&)> configure = {}) {
    au::Component c;
    c.description = {au::kTypeEffect, subtype, kTestMaker, 0, 0};
    c.spec = [spec] { return spec; };
    if (configure) configure(c);
    added_.push_back(c.description);
    au::Registry::shared().add(c);
    return auPluginId(c.description.type, c.description.subtype, c.description.manufacturer);
  }
  std::string add(const char (&subtype)[5], au::UnitSpec spec = doublingSpec(),
                  std::function<void(au::Component&)> configure = {}) {
    return add(au::fourCc(subtype), std::move(spec), std::move(configure));
  }

  // Every answer the layer had queued before now has run.
  static void flushCompletion() {
    std::promise<void> done;
    au::runOnCompletionThread([&] { done.set_value(); });
    done.get_future().wait();
  }

  Created create(const std::string& id, double rate = 48000.0, int maxBlock = 256) {
    struct Shared {
      std::mutex mutex;
      std::condition_variable cv;
      Created result;
      std::thread::id caller = std::this_thread::get_id();
    };
    auto shared = std::make_shared<Shared>();
    host->create(
        id, maxBlock,
        [shared](std::unique_ptr<Plugin> plugin, std::string error) {
          std::lock_guard<std::mutex> lock(shared->mutex);
          ++shared->result.calls;
          shared->result.plugin = std::move(plugin);
          shared->result.error = std::move(error);
          shared->result.onCallingThread = std::this_thread::get_id() == shared->caller;
          shared->result.onCompletionThread = au::onCompletionThread();
          shared->cv.notify_all();
        },
        rate);
    {
      std::unique_lock<std::mutex> lock(shared->mutex);
      shared->cv.wait(lock, [&] { return shared->result.calls > 0; });
    }
    flushCompletion();  // a second answer would have come by now
    std::lock_guard<std::mutex> lock(shared->mutex);
    return std::move(shared->result);
  }

  // A plug-in of a fresh component made of `spec`.
  std::unique_ptr<AuPlugin> make(au::UnitSpec spec, double rate = 48000.0, int maxBlock = 256) {
    static int serial = 0;
    const uint32_t subtype = au::fourCc("p000") + static_cast<uint32_t>(serial++);
    Created c = create(add(subtype, std::move(spec)), rate, maxBlock);
    EXPECT_TRUE(c.plugin) << c.error;
    return std::unique_ptr<AuPlugin>(static_cast<AuPlugin*>(c.plugin.release()));
  }

  MainQueue queue;
  std::unique_ptr<Host> host = makeAuHost([this](std::function<void()> job) { queue.post(std::move(job)); });

 private:
  std::vector<au::ComponentDescription> added_;
};

}  // namespace bridge::test

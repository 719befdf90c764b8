#pragma once
// A Connection that records what is sent to it. Any thread.
#include <atomic>
#include <mutex>

#include "server/connection.h"

namespace bridge::test {

class FakeConnection : public Connection {
 public:
  explicit FakeConnection(int32_t connId = 1, std::string connOrigin = "https://daw.krevlo.example") {
    id = connId;
    origin = std::move(connOrigin);
  }

  void sendText(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.push_back(text);
  }
  void sendBinary(const std::vector<uint8_t>& bytes) override {
    std::lock_guard<std::mutex> lock(mutex_);
    binaries_.push_back(bytes);
  }
  void close() override { closed = true; }
  uint64_t queued() override { return queuedBytes.load(); }
  void holdInput(bool held) override { holds += held ? 1 : -1; }

  std::vector<std::string> texts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }
  std::vector<std::vector<uint8_t>> binaries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return binaries_;
  }
  // Returns and forgets what was sent so far.
  std::vector<std::string> takeTexts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(texts_, {});
  }
  std::vector<std::vector<uint8_t>> takeBinaries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(binaries_, {});
  }

  std::atomic<bool> closed{false};
  std::atomic<uint64_t> queuedBytes{0};
  std::atomic<int> holds{0};  // holdInput(true) calls minus holdInput(false) calls

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> texts_;
  std::vector<std::vector<uint8_t>> binaries_;
};

}  // namespace bridge::test

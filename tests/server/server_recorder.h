#pragma once
// ServerHandlers that record what the server reports, and let a test wait for it
// on a condition variable instead of guessing with sleeps. Any thread.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/connection.h"
#include "server/ws_test_client.h"

namespace bridge::test {

class ServerRecorder {
 public:
  // With `echo`, every message is sent straight back on its connection.
  ServerHandlers handlers(bool echo = false) {
    ServerHandlers h;
    h.allowOrigin = [this](const std::string& origin) {
      note([&] { origins.push_back(origin); });
      return origin == kAllowedOrigin;
    };
    h.onOpen = [this](std::shared_ptr<Connection> c) {
      if (onOpen) onOpen(c);
      note([&] { opened.push_back(c); });
    };
    h.onText = [this, echo](std::shared_ptr<Connection> c, std::string&& text) {
      if (onText) onText(c, text);
      if (echo) c->sendText(text);
      note([&] { texts.push_back(std::move(text)); });
    };
    h.onBinary = [this, echo](std::shared_ptr<Connection> c, std::vector<uint8_t>&& bytes) {
      if (echo) c->sendBinary(bytes);
      note([&] { binaries.push_back(std::move(bytes)); });
    };
    h.onClose = [this](std::shared_ptr<Connection> c) { note([&] { closed.push_back(c->id); }); };
    return h;
  }

  // Waits until `done` (called under the lock) holds; false after the time-out.
  bool waitFor(const std::function<bool()>& done, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
  }

  std::shared_ptr<Connection> openedAt(size_t i) {
    std::lock_guard<std::mutex> lock(mutex);
    return i < opened.size() ? opened[i] : nullptr;
  }

  // Called on the connection thread before the default handling.
  std::function<void(std::shared_ptr<Connection>)> onOpen;
  std::function<void(std::shared_ptr<Connection>, const std::string&)> onText;

  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::string> origins;
  std::vector<std::shared_ptr<Connection>> opened;
  std::vector<std::string> texts;
  std::vector<std::vector<uint8_t>> binaries;
  std::vector<int32_t> closed;

 private:
  void note(const std::function<void()>& change) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      change();
    }
    cv.notify_all();
  }
};

}  // namespace bridge::test

#pragma once
// A fixed ring of short text lines between one producer and one consumer: an
// audio thread leaves a line without allocating, locking or writing to a
// stream, and another thread (the main thread) prints it later. A line is cut
// to the line size; when every line is still untaken, a new one is dropped.
//
// Threads: push from one thread at a time, drain from one thread at a time.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace bridge {

template <size_t Lines, size_t LineSize>
class LineRing {
 public:
  // Producer. False when the ring was full and the line was dropped.
  bool push(int tag, const char* text) {
    const uint32_t written = written_.load(std::memory_order_relaxed);
    // Acquire: the consumer has finished reading every line below `read_`.
    if (written - read_.load(std::memory_order_acquire) >= Lines) return false;
    Line& line = lines_[written % Lines];
    line.tag = tag;
    std::snprintf(line.text, sizeof line.text, "%s", text ? text : "");
    // Release: the line is complete before the consumer may see it.
    written_.store(written + 1, std::memory_order_release);
    return true;
  }

  // Consumer. Calls fn(tag, text) for every waiting line, oldest first.
  template <typename Fn>
  void drain(Fn fn) {
    const uint32_t written = written_.load(std::memory_order_acquire);
    for (uint32_t i = read_.load(std::memory_order_relaxed); i != written; ++i) {
      const Line& line = lines_[i % Lines];
      fn(line.tag, static_cast<const char*>(line.text));
      read_.store(i + 1, std::memory_order_release);
    }
  }

 private:
  struct Line {
    int tag = 0;
    char text[LineSize] = {};
  };
  Line lines_[Lines];
  std::atomic<uint32_t> written_{0}, read_{0};
};

}  // namespace bridge

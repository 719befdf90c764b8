#pragma once
// A clock that moves only when the test says so.
#include <functional>

namespace bridge::test {

struct ManualClock {
  double now = 0.0;
  void advance(double ms) { now += ms; }
  std::function<double()> fn() {
    return [this] { return now; };
  }
};

}  // namespace bridge::test

#pragma once
// What the shell asks of the session core, as an interface, so the controller
// can be driven against a fake. The real one wraps a bridge::Bridge.
//
// Threads: main thread only, like the Bridge itself.
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bridge/bridge.h"

namespace bridge {

class BridgeControl {
 public:
  // Destroying it destroys the Bridge: threads joined, helpers killed, the
  // server closed.
  virtual ~BridgeControl() = default;
  virtual bool start() = 0;
  virtual Bridge::Status status() const = 0;
  virtual void newCode() = 0;
  virtual void rescan() = 0;
  virtual void forgetPairings() = 0;
  virtual std::vector<std::string> formats() const = 0;
  virtual void setFormatShown(const std::string& format, bool shown) = 0;
  // The formats switched off. Costs a copy of a set of a few short names from
  // memory, no file access, so a refresh may ask for it every time.
  virtual std::set<std::string> hiddenFormats() const = 0;
};

// Takes over the Bridge.
std::unique_ptr<BridgeControl> controlBridge(std::unique_ptr<Bridge> bridge);

}  // namespace bridge

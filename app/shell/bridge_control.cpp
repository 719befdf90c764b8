#include "app/shell/bridge_control.h"

namespace bridge {

namespace {

class RealBridgeControl : public BridgeControl {
 public:
  explicit RealBridgeControl(std::unique_ptr<Bridge> b) : bridge_(std::move(b)) {}

  bool start() override { return bridge_->start(); }
  Bridge::Status status() const override { return bridge_->status(); }
  void newCode() override { bridge_->newCode(); }
  void rescan() override { bridge_->rescan(); }
  void forgetPairings() override { bridge_->forgetPairings(); }
  std::vector<std::string> formats() const override { return bridge_->formats(); }
  void setFormatShown(const std::string& format, bool shown) override { bridge_->setFormatShown(format, shown); }

  std::set<std::string> hiddenFormats() const override { return bridge_->shownOff(); }

 private:
  std::unique_ptr<Bridge> bridge_;
};

}  // namespace

std::unique_ptr<BridgeControl> controlBridge(std::unique_ptr<Bridge> bridge) {
  return std::make_unique<RealBridgeControl>(std::move(bridge));
}

}  // namespace bridge

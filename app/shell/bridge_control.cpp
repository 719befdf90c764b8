#include "app/shell/bridge_control.h"

#include "bridge/saved_state.h"
#include "util/files.h"

namespace bridge {

namespace {

class RealBridgeControl : public BridgeControl {
 public:
  RealBridgeControl(std::unique_ptr<Bridge> b, std::filesystem::path dir)
      : bridge_(std::move(b)), dataDir_(std::move(dir)) {}

  bool start() override { return bridge_->start(); }
  Bridge::Status status() const override { return bridge_->status(); }
  void newCode() override { bridge_->newCode(); }
  void rescan() override { bridge_->rescan(); }
  void forgetPairings() override { bridge_->forgetPairings(); }
  std::vector<std::string> formats() const override { return bridge_->formats(); }
  void setFormatShown(const std::string& format, bool shown) override { bridge_->setFormatShown(format, shown); }

  // The Bridge keeps its hidden formats exactly as settings.json holds them: it
  // loads them from there and takes a switch back when the file cannot be
  // written. So the file answers, until the Bridge offers the set itself.
  std::set<std::string> hiddenFormats() const override {
    return parseSettings(readFile(dataDir_ / "settings.json")).hiddenFormats;
  }

 private:
  std::unique_ptr<Bridge> bridge_;
  std::filesystem::path dataDir_;
};

}  // namespace

std::unique_ptr<BridgeControl> controlBridge(std::unique_ptr<Bridge> bridge, std::filesystem::path dataDir) {
  return std::make_unique<RealBridgeControl>(std::move(bridge), std::move(dataDir));
}

}  // namespace bridge

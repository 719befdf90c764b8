#pragma once
// The application controller: builds the running system at launch, refreshes
// the window once a second and whenever the session core reports a change,
// answers the menu, and runs Safari set-up, the folder picker and updates.
// It knows no toolkit: it talks to a ShellUi and an EventLoop.
//
// Threads: main thread only. It must be owned by a std::shared_ptr: every
// callback it hands out (to the Bridge, timers, dialogs, background work) holds
// it weakly and does nothing once it is gone. Blocking work (certificate checks
// and installation) runs through `background` and comes back through runOnMain.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/shell/bridge_control.h"
#include "app/shell/event_loop.h"
#include "app/shell/ui.h"
#include "app/shell/updater.h"
#include "app/shell/view_model.h"

namespace bridge {

// What the environment asks of this run; read once at start.
struct ShellEnvironment {
  std::filesystem::path dataDir;
  std::vector<std::string> origins;       // BridgeOptions::origins
  std::optional<std::string> appearance;  // QUILLET_APPEARANCE
  std::optional<std::string> snapshot;    // QUILLET_SNAPSHOT: a PNG path
  std::string snapshotState;              // QUILLET_SNAPSHOT_STATE
};

struct ShellServices {
  EventLoop* loop = nullptr;
  // Posts to the main queue; safe from any thread at any time.
  std::function<void(std::function<void()>)> runOnMain;
  // Runs a job off the main thread (a detached thread in the application).
  std::function<void(std::function<void()>)> background;
  // The certificate trust operations; both block.
  std::function<bool(const std::filesystem::path& dataDir)> identityTrusted;
  std::function<bool(const std::filesystem::path& dataDir, std::string& error)> trustAuthority;
  // Made only when updateKey is not empty and no snapshot is asked for.
  std::string updateKey;
  UpdaterFactory makeUpdater;
};

// Constructs the Bridge with the options and callbacks, adds the hosts and the
// MIDI ports, and hands it over (not started).
using BridgeAssembler = std::function<std::unique_ptr<BridgeControl>(BridgeOptions, Platform)>;

class AppController : public ShellActions, public std::enable_shared_from_this<AppController> {
 public:
  AppController(ShellUi& ui, ShellServices services);
  ~AppController() override;

  // The launch sequence: appearance, updater, menu and window, activity, the
  // Bridge, format switches, start, trust check, the refresh timer, a first
  // refresh, and the snapshot when asked for.
  void launch(const ShellEnvironment& environment, const BridgeAssembler& assemble);
  // Destroys the Bridge; the loop has ended or is about to.
  void terminate();

  // ShellActions.
  void perform(Action action) override;
  void formatToggled(const std::string& format, bool on) override;
  std::vector<MenuItem> menu() const override;

  void refresh();
  void copyCode();
  void checkTrust();
  void trust();
  // The Bridge's folder picker: returns at once; `done` is called exactly once
  // later, unless the controller is gone by then.
  void pickFolder(std::function<void(std::string)> done);
  // The updater's announcement: keeps the newest installation until the audio
  // is idle.
  void updateReady(std::function<void()> install);
  void installWhenIdle();

  const WindowView& view() const { return view_; }
  bool trusted() const { return trusted_; }
  bool hasBridge() const { return bridge_ != nullptr; }

 private:
  struct FolderRequest;
  // A job that calls `member` on this controller while it still exists.
  std::function<void()> weakly(void (AppController::*member)());
  void trustChecked(uint64_t generation, bool trusted);
  void trustInstalled(bool installed, const std::string& error);
  void resetCopyTitle();
  void takeSnapshot(const std::string& path);

  ShellUi& ui_;
  ShellServices services_;
  ShellEnvironment environment_;
  std::unique_ptr<BridgeControl> bridge_;
  std::vector<std::string> switches_;
  WindowView view_;
  std::string copyTitle_ = kCopyTitle;
  bool trusted_ = false;
  // Only the newest trust check may set trusted_: checks can finish in any order.
  uint64_t trustChecksStarted_ = 0;
  uint64_t trustCheckApplied_ = 0;
  // A Safari set-up is between its first alert and its outcome.
  bool settingUp_ = false;
  std::unique_ptr<Updater> updater_;
  std::function<void()> installUpdate_;
  bool refreshing_ = false;
  bool installing_ = false;
};

}  // namespace bridge

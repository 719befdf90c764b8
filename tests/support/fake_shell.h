#pragma once
// Doubles for the application shell: a front end that records what it was
// told and holds dialogs until the test answers them, a session core whose
// status the test sets, an updater, and a background runner that runs jobs
// inline or holds them for the test to run in any order.
//
// Threads: main thread only (the test's).
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/shell/bridge_control.h"
#include "app/shell/ui.h"
#include "app/shell/updater.h"

namespace bridge::test {

class FakeUi : public ShellUi {
 public:
  struct OpenAlert {
    Alert alert;
    std::function<void(size_t)> done;
  };
  struct OpenFolder {
    FolderPrompt prompt;
    std::function<void(std::string)> done;
  };

  void setAppearance(bool dark) override { appearance.push_back(dark); }
  void build(std::weak_ptr<ShellActions> a) override {
    actions = std::move(a);
    ++builds;
  }
  void beginActivity(const std::string& reason) override { activities.push_back(reason); }
  void show(const WindowView& view) override {
    shown = view;
    ++shows;
  }
  void showWindow() override { ++windowShown; }
  void hide() override { ++hidden; }
  void copyToClipboard(const std::string& text) override { clipboard = text; }
  void alert(const Alert& a, std::function<void(size_t)> done) override { alerts.push_back({a, std::move(done)}); }
  void chooseFolder(const FolderPrompt& prompt, std::function<void(std::string)> done) override {
    folders.push_back({prompt, std::move(done)});
  }
  bool saveSnapshot(const std::string& path) override {
    snapshots.push_back(path);
    return snapshotWrites;
  }

  std::vector<bool> appearance;
  std::weak_ptr<ShellActions> actions;
  int builds = 0;
  std::vector<std::string> activities;
  WindowView shown;
  int shows = 0;
  int windowShown = 0;
  int hidden = 0;
  std::string clipboard;
  std::deque<OpenAlert> alerts;
  std::deque<OpenFolder> folders;
  std::vector<std::string> snapshots;
  bool snapshotWrites = true;
};

// Counts calls; `status` is what status() answers, `hidden` the hidden formats.
class FakeBridgeControl : public BridgeControl {
 public:
  bool start() override {
    ++starts;
    return status_.running;
  }
  Bridge::Status status() const override {
    ++statusCalls;
    if (onStatus) onStatus();
    return status_;
  }
  void newCode() override { ++newCodes; }
  void rescan() override { ++rescans; }
  void forgetPairings() override { ++forgets; }
  std::vector<std::string> formats() const override { return formats_; }
  void setFormatShown(const std::string& format, bool shown) override {
    if (shown)
      hidden_.erase(format);
    else
      hidden_.insert(format);
    if (changed) changed();
  }
  std::set<std::string> hiddenFormats() const override { return hidden_; }

  Bridge::Status status_;
  std::vector<std::string> formats_{"VST3", "CLAP"};
  std::set<std::string> hidden_;
  // Runs inside every status() call.
  std::function<void()> onStatus;
  // The Platform::changed the controller gave, when the test wires it.
  std::function<void()> changed;
  int starts = 0;
  mutable int statusCalls = 0;
  int newCodes = 0, rescans = 0, forgets = 0;
};

class FakeUpdater : public Updater {
 public:
  void start(WillInstall w) override {
    willInstall = std::move(w);
    ++starts;
  }
  void checkForUpdates() override { ++checks; }
  WillInstall willInstall;
  int starts = 0;
  int checks = 0;
};

// Records what a front end asked for; `trusted` and `updater` shape the menu.
class RecordingActions : public ShellActions {
 public:
  void perform(Action action) override { performed.push_back(action); }
  void formatToggled(const std::string& format, bool on) override { toggled.emplace_back(format, on); }
  std::vector<MenuItem> menu() const override { return applicationMenu(updater, trusted); }

  std::vector<Action> performed;
  std::vector<std::pair<std::string, bool>> toggled;
  bool trusted = false;
  bool updater = false;
};

// Inline by default; with `hold` the jobs wait for run(i) or runAll().
struct FakeBackground {
  bool hold = false;
  std::vector<std::function<void()>> held;
  int started = 0;

  std::function<void(std::function<void()>)> fn() {
    return [this](std::function<void()> job) {
      ++started;
      if (hold)
        held.push_back(std::move(job));
      else
        job();
    };
  }
  void run(size_t i) {
    auto job = std::move(held.at(i));
    held.at(i) = nullptr;
    if (job) job();
  }
};

}  // namespace bridge::test

#pragma once
// Editor windows without a windowing system: installs itself as the process's
// EditorWindows for its lifetime, records what the plug-ins ask of it, and lets
// the test play the user who closes a window.
//
// Threads: main thread only, like the real windows.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hosting/editor_window.h"

namespace bridge::test {

class FakeEditorWindows : public EditorWindows {
 public:
  struct Window {
    std::string title;
    int width = 0, height = 0;
    bool resizable = false;
    uintptr_t parent = 0;  // the native handle given to attach
    bool open = true;
    bool closedByCaller = false;
    int focusCalls = 0;
    std::vector<std::pair<int, int>> resizes;
    std::function<void()> onClose;
  };

  // A generic view as the plug-in made it; kept after the view is gone.
  struct Generic {
    std::vector<GenericViewRow> rows;  // as made, then as updated
    uintptr_t parent = 0;              // 0 until attached
    bool gone = false;                 // the owner destroyed the view
    std::vector<int> updates;          // the rows updated, in order
    GenericViewSet set;                // the test plays the user with it
  };

  FakeEditorWindows();
  ~FakeEditorWindows() override;

  // EditorWindows
  bool clapSupported() override { return supported; }
  ClapWindow* clapOpen(const std::string& title, int width, int height, bool resizable,
                       std::function<bool(void*)> attach, std::function<void()> onClose) override;
  void clapResize(ClapWindow* window, int width, int height) override;
  void clapFocus(ClapWindow* window) override;
  void clapClose(ClapWindow* window) override;
  uint64_t addTimer(uint32_t periodMs, std::function<void()> fire) override;
  uint64_t addFd(int fd, uint32_t flags, std::function<void(uint32_t)> ready) override;
  void remove(uint64_t id) override;
  std::unique_ptr<GenericView> genericView(std::vector<GenericViewRow> rows, GenericViewSet set) override;

  // The user closes the window: onClose runs once and the window is gone.
  void userClose(ClapWindow* window);
  // Every window ever opened, oldest first; null when none.
  const Window* last() const { return windows_.empty() ? nullptr : windows_.back().get(); }
  // The handle of the last window opened, as the plug-in holds it.
  ClapWindow* lastHandle() const {
    return windows_.empty() ? nullptr : reinterpret_cast<ClapWindow*>(windows_.back().get());
  }
  size_t opened() const { return windows_.size(); }
  size_t openNow() const;

  bool supported = true;
  bool failOpen = false;  // open fails before attach is asked
  bool genericViews = true;  // generic views are made

  // Every generic view ever made, oldest first.
  std::vector<std::shared_ptr<Generic>> generics;

  // The loop services as registered; the test plays the loop by calling them.
  struct Source {
    uint32_t periodMs = 0;  // a timer when fd < 0
    int fd = -1;
    uint32_t flags = 0;
    std::function<void()> fire;
    std::function<void(uint32_t)> ready;
  };
  std::map<uint64_t, Source> sources;

 private:
  Window* find(ClapWindow* window) const;

  uintptr_t nextParent_ = 0x4000001;
  uint64_t nextSource_ = 1;
  std::vector<std::unique_ptr<Window>> windows_;
};

}  // namespace bridge::test

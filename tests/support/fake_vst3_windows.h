#pragma once
// VST3 editor windows without a windowing system: installs itself as the
// process's Vst3Windows for its lifetime, attaches the view to a made-up X11
// parent as a real window would, records what the plug-ins ask of it, and lets
// the test play the user who closes a window.
//
// Threads: main thread only, like the real windows.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hosting/vst3_window.h"

namespace bridge::test {

class FakeVst3Windows : public Vst3Windows {
 public:
  struct Window {
    std::string title;
    Steinberg::IPlugView* view = nullptr;  // not owned; cleared when detached
    uintptr_t parent = 0;
    int width = 0, height = 0;
    bool open = true;
    bool closedByCaller = false;
    int focusCalls = 0;
    std::function<void()> onClose;
  };

  FakeVst3Windows();
  ~FakeVst3Windows() override;

  // Vst3Windows
  bool vst3Supported() override { return supported; }
  Vst3Window* vst3Open(Steinberg::IPlugView* view, const std::string& title,
                       std::function<void()> onClose) override;
  void vst3Focus(Vst3Window* window) override;
  void vst3Close(Vst3Window* window) override;

  // The user closes the window: the view is detached, onClose runs once.
  void userClose(Vst3Window* window);
  const Window* last() const { return windows_.empty() ? nullptr : windows_.back().get(); }
  Vst3Window* lastHandle() const;
  size_t opened() const { return windows_.size(); }
  size_t openNow() const;

  bool supported = true;
  bool refuseAttach = false;  // the view's attached() is not asked; open fails

 private:
  Window* find(Vst3Window* window) const;
  static void detach(Window& w);

  uintptr_t nextParent_ = 0x5000001;
  std::vector<std::unique_ptr<Window>> windows_;
};

}  // namespace bridge::test

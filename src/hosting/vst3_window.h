#pragma once
// Windows for VST3 editor views, one per plug-in instance, with the same calling
// order as the CLAP windows of editor_window.h: open, any number of focus calls,
// then exactly one of the caller's close or the user's close (onClose). After
// either the pointer is dead. Every function taking a window does nothing for a
// null pointer. The view stays the plug-in's: the window never releases it.
//
// Threads: main thread only, including onClose.
#include <functional>
#include <string>

namespace Steinberg {
class IPlugView;
}

namespace bridge {

// A VST3 editor's window, opaque to its users.
struct Vst3Window;

bool vst3WindowsSupported();
// Shows `view` in a new window; null when the view cannot be shown there, and
// onClose then stays unused.
Vst3Window* vst3OpenWindow(Steinberg::IPlugView* view, const std::string& title, std::function<void()> onClose);
void vst3FocusWindow(Vst3Window* window);
// Detaches the view and closes the window without calling its onClose.
void vst3CloseWindow(Vst3Window* window);

// The windowing system behind the functions above. The application installs
// one; tests install a fake. Without one there are no VST3 editor windows.
class Vst3Windows {
 public:
  virtual ~Vst3Windows() = default;
  virtual bool vst3Supported() = 0;
  virtual Vst3Window* vst3Open(Steinberg::IPlugView* view, const std::string& title,
                               std::function<void()> onClose) = 0;
  virtual void vst3Focus(Vst3Window* window) = 0;
  virtual void vst3Close(Vst3Window* window) = 0;
};

// Installs `windows` (not owned; null removes it). Main thread, while no VST3
// editor window is open.
void setVst3Windows(Vst3Windows* windows);

}  // namespace bridge

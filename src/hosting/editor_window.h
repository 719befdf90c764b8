#pragma once
// Windows for plug-ins' own editors, one per plug-in instance.
//
// The plug-ins decide when to open, focus, resize and close; the window code owns
// the window and reports through `onClose` when the user closed it. Calling order
// per window: open, then any number of focus and resize calls, then exactly one of
// the caller's close or the user's close (onClose). After either the pointer is
// dead: the caller forgets it before calling close, and onClose forgets it too.
// Every function taking a window does nothing for a null pointer.
//
// Threads: main thread only, including onClose.
#include <functional>
#include <string>

namespace bridge {

// A CLAP editor's window, opaque to its users.
struct ClapWindow;

// The CLAP window API of the native parent that `attach` receives. Editors here
// are embedded in X11 windows; attach's pointer carries the X11 window id.
inline constexpr const char* kClapWindowApi = "x11";

// Whether editor windows exist at all in this process.
bool clapWindowsSupported();
// Opens a window of width x height and calls `attach` with its native parent.
// When attach answers false, no window is left and null is returned; `onClose`
// then stays unused.
ClapWindow* clapOpenWindow(const std::string& title, int width, int height, bool resizable,
                           std::function<bool(void*)> attach, std::function<void()> onClose);
void clapResizeWindow(ClapWindow* window, int width, int height);
// Brings the window to the front.
void clapFocusWindow(ClapWindow* window);
// Closes the window without calling its onClose.
void clapCloseWindow(ClapWindow* window);

// The windowing system behind the functions above. The application installs one;
// tests install a fake. Without one there are no editor windows.
class EditorWindows {
 public:
  virtual ~EditorWindows() = default;
  virtual bool clapSupported() = 0;
  virtual ClapWindow* clapOpen(const std::string& title, int width, int height, bool resizable,
                               std::function<bool(void*)> attach, std::function<void()> onClose) = 0;
  virtual void clapResize(ClapWindow* window, int width, int height) = 0;
  virtual void clapFocus(ClapWindow* window) = 0;
  virtual void clapClose(ClapWindow* window) = 0;
};

// Installs `windows` (not owned; null removes it). Main thread, while no editor
// window is open.
void setEditorWindows(EditorWindows* windows);

}  // namespace bridge

#pragma once
// Windows for plug-ins' own editors, one per plug-in instance, for every
// format, and the main-loop services (timers and descriptors) that editors on
// Linux need to draw at all.
//
// The plug-ins decide when to open, focus, resize and close; the window code owns
// the window and reports through `onClose` when the user closed it. Calling order
// per window: open, then any number of focus and resize calls, then exactly one of
// the caller's close or the user's close (onClose). After either the pointer is
// dead: the caller forgets it before calling close, and onClose forgets it too.
// Every function taking a window does nothing for a null pointer. The window
// calls carry CLAP's name, whose editors are embedded in them directly; VST3
// views are shown through them too (vst3_window.h).
//
// Threads: main thread only, including onClose and every loop callback.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bridge {

// An editor's window, opaque to its users.
struct ClapWindow;

// The CLAP window API of the native parent that `attach` receives. Editors here
// are embedded in X11 windows; attach's pointer carries the X11 window id.
inline constexpr const char* kClapWindowApi = "x11";

// Whether editor windows exist at all in this process.
bool clapWindowsSupported();
// Opens a window of width x height and calls `attach` with its native parent.
// When attach answers false, no window is left and null is returned; `onClose`
// then stays unused. A title that is not valid UTF-8 (one cut inside a
// character, say) is shown with the broken bytes dropped.
ClapWindow* clapOpenWindow(const std::string& title, int width, int height, bool resizable,
                           std::function<bool(void*)> attach, std::function<void()> onClose);
void clapResizeWindow(ClapWindow* window, int width, int height);
// Brings the window to the front: restored when minimised, raised, focused.
void clapFocusWindow(ClapWindow* window);
// Closes the window without calling its onClose.
void clapCloseWindow(ClapWindow* window);

// Descriptor conditions of the loop services; the bit values are CLAP's.
enum : uint32_t { kFdRead = 1, kFdWrite = 2, kFdError = 4 };
// Besides kFdError in the last call of a watch whose descriptor is no longer
// open: the watch has ended and its id is no longer valid. Not CLAP's.
inline constexpr uint32_t kFdGone = 1u << 31;

// Calls `fire` every `periodMs` milliseconds on the main loop until removed;
// 0 when there is no loop.
uint64_t editorAddTimer(uint32_t periodMs, std::function<void()> fire);
// Calls `ready` with the conditions met whenever `fd` meets one of `flags`
// (kFdError is always watched); 0 when there is no loop.
uint64_t editorAddFd(int fd, uint32_t flags, std::function<void(uint32_t flags)> ready);
// Stops a timer or descriptor watch; its callback is dropped at once and never
// runs again. Unknown or 0: nothing.
void editorRemove(uint64_t id);

// `text` as valid UTF-8: every byte that does not belong to a whole, well-formed
// character is dropped. Any thread.
std::string validUtf8Title(std::string_view text);

// One row of a generic view: a parameter as a slider beside its value's text.
struct GenericViewRow {
  std::string name;
  float value = 0.0f;    // normalised, 0..1
  std::string text;
  int steps = 0;         // 2 or more: the slider stops at that many evenly spaced positions
  bool writable = true;  // false: shown, never moved by the user
};

// A view of a plug-in's parameters that the windowing system draws, for
// plug-ins that have no view of their own. Its owner destroys it before the
// window it was attached to goes (after a close call or inside onClose).
// Main thread only.
class GenericView {
 public:
  virtual ~GenericView() = default;
  // Places the view into a window's native parent, as attach receives it.
  virtual bool attach(void* parent) = 0;
  // A change from elsewhere: the row's slider and text follow; `set` is not
  // called for it. Unknown rows are ignored.
  virtual void update(int row, float value, const std::string& text) = 0;
};

// Called with (row, value) when the user moves a row's slider.
using GenericViewSet = std::function<void(int row, float value)>;

// A generic view of `rows`; null when the windowing system has none.
std::unique_ptr<GenericView> editorGenericView(std::vector<GenericViewRow> rows, GenericViewSet set);

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

  // The loop services; without a loop there are none.
  virtual uint64_t addTimer(uint32_t /*periodMs*/, std::function<void()> /*fire*/) { return 0; }
  virtual uint64_t addFd(int /*fd*/, uint32_t /*flags*/, std::function<void(uint32_t)> /*ready*/) { return 0; }
  virtual void remove(uint64_t /*id*/) {}

  // Generic views; a windowing system without them makes none.
  virtual std::unique_ptr<GenericView> genericView(std::vector<GenericViewRow> /*rows*/, GenericViewSet /*set*/) {
    return nullptr;
  }
};

// Installs `windows` (not owned; null removes it). Main thread, while no editor
// window is open.
void setEditorWindows(EditorWindows* windows);

}  // namespace bridge

#pragma once
// Windows for VST3 editor views, one per plug-in instance, made through the
// editor windows of editor_window.h and with the same calling order: open, any
// number of focus calls, then exactly one of the caller's close or the user's
// close (onClose). After either the pointer is dead. Every function taking a
// window does nothing for a null pointer. The view stays the plug-in's: the
// window never releases it.
//
// The view's frame answers resizeView by resizing the window, and also offers
// the Linux run loop: the plug-in's descriptor and timer handlers are served
// from the main loop until it unregisters them or its view is detached.
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

}  // namespace bridge

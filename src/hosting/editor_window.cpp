#include "hosting/editor_window.h"

#include <utility>

namespace bridge {

namespace {
// Main thread only, like every caller.
EditorWindows* installed = nullptr;
}  // namespace

void setEditorWindows(EditorWindows* windows) { installed = windows; }

bool clapWindowsSupported() { return installed && installed->clapSupported(); }

ClapWindow* clapOpenWindow(const std::string& title, int width, int height, bool resizable,
                           std::function<bool(void*)> attach, std::function<void()> onClose) {
  if (!installed) return nullptr;
  return installed->clapOpen(title, width, height, resizable, std::move(attach), std::move(onClose));
}

void clapResizeWindow(ClapWindow* window, int width, int height) {
  if (installed && window) installed->clapResize(window, width, height);
}

void clapFocusWindow(ClapWindow* window) {
  if (installed && window) installed->clapFocus(window);
}

void clapCloseWindow(ClapWindow* window) {
  if (installed && window) installed->clapClose(window);
}

}  // namespace bridge

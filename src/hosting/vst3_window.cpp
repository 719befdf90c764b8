#include "hosting/vst3_window.h"

#include <utility>

namespace bridge {

namespace {
// Main thread only, like every caller.
Vst3Windows* installed = nullptr;
}  // namespace

void setVst3Windows(Vst3Windows* windows) { installed = windows; }

bool vst3WindowsSupported() { return installed && installed->vst3Supported(); }

Vst3Window* vst3OpenWindow(Steinberg::IPlugView* view, const std::string& title, std::function<void()> onClose) {
  if (!installed || !view) return nullptr;
  return installed->vst3Open(view, title, std::move(onClose));
}

void vst3FocusWindow(Vst3Window* window) {
  if (installed && window) installed->vst3Focus(window);
}

void vst3CloseWindow(Vst3Window* window) {
  if (installed && window) installed->vst3Close(window);
}

}  // namespace bridge

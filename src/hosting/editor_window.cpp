#include "hosting/editor_window.h"

#include <utility>

namespace bridge {

namespace {
// Main thread only, like every caller.
EditorWindows* installed = nullptr;

// The length of the well-formed character at s[i], or 0.
size_t characterAt(std::string_view s, size_t i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return 1;
  size_t n;
  unsigned lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() - i <= n) return 0;
  for (size_t k = 1; k <= n; ++k) {
    unsigned char b = static_cast<unsigned char>(s[i + k]);
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return 0;
  }
  return n + 1;
}

}  // namespace

std::string validUtf8Title(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t n = characterAt(text, i);
    if (n == 0) {
      ++i;
      continue;
    }
    out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

void setEditorWindows(EditorWindows* windows) { installed = windows; }

bool clapWindowsSupported() { return installed && installed->clapSupported(); }

ClapWindow* clapOpenWindow(const std::string& title, int width, int height, bool resizable,
                           std::function<bool(void*)> attach, std::function<void()> onClose) {
  if (!installed) return nullptr;
  return installed->clapOpen(validUtf8Title(title), width, height, resizable, std::move(attach),
                             std::move(onClose));
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

uint64_t editorAddTimer(uint32_t periodMs, std::function<void()> fire) {
  return installed ? installed->addTimer(periodMs, std::move(fire)) : 0;
}

uint64_t editorAddFd(int fd, uint32_t flags, std::function<void(uint32_t)> ready) {
  return installed && fd >= 0 ? installed->addFd(fd, flags, std::move(ready)) : 0;
}

std::unique_ptr<GenericView> editorGenericView(std::vector<GenericViewRow> rows, GenericViewSet set) {
  return installed ? installed->genericView(std::move(rows), std::move(set)) : nullptr;
}

void editorRemove(uint64_t id) {
  if (installed && id) installed->remove(id);
}

}  // namespace bridge

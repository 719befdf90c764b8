#include "app/desktop/x11_errors.h"

#include <X11/Xlib.h>

#include <atomic>
#include <cstdio>

namespace bridge {

namespace {

std::atomic<uint64_t> logged{0};

int logXError(Display* display, XErrorEvent* e) {
  char text[160] = {};
  XGetErrorText(display, e->error_code, text, sizeof text);
  std::fprintf(stderr, "X error on connection %p: %s (request %d.%d, resource 0x%lx)\n", static_cast<void*>(display),
               text, int(e->request_code), int(e->minor_code), static_cast<unsigned long>(e->resourceid));
  logged.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

}  // namespace

void installX11ErrorLog() { XSetErrorHandler(logXError); }

uint64_t x11ErrorsLogged() { return logged.load(std::memory_order_relaxed); }

}  // namespace bridge

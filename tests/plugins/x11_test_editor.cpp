#include "plugins/x11_test_editor.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdlib>
#include <cstring>

namespace krevlo_test {

namespace {

KrevloX11EditorState gState{};
X11Editor gEditor;

Display* dpy(void* d) { return static_cast<Display*>(d); }

// Whether `window` exists, asked without raising an X error.
bool windowExists(Display* d, Window window) {
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  Window rootOf = DefaultRootWindow(d);
  if (!XQueryTree(d, rootOf, &root, &parent, &children, &count)) return false;
  std::function<bool(Window)> search = [&](Window w) -> bool {
    Window r = 0, p = 0, *kids = nullptr;
    unsigned n = 0;
    if (!XQueryTree(d, w, &r, &p, &kids, &n)) return false;
    bool found = false;
    for (unsigned i = 0; i < n && !found; ++i) found = kids[i] == window || search(kids[i]);
    if (kids) XFree(kids);
    return found;
  };
  bool found = false;
  for (unsigned i = 0; i < count && !found; ++i) found = children[i] == window || search(children[i]);
  if (children) XFree(children);
  return found;
}

}  // namespace

X11Editor& x11Editor() { return gEditor; }

bool X11Editor::enabled() {
  const char* v = std::getenv("KREVLO_TEST_X11_EDITOR");
  return v && std::strcmp(v, "1") == 0;
}

bool X11Editor::open(unsigned long parent, int width, int height) {
  close();
  Display* d = XOpenDisplay(nullptr);
  if (!d) return false;
  display_ = d;
  parent_ = parent;
  width_ = width;
  height_ = height;
  XSetWindowAttributes a{};
  a.background_pixel = 0x3366aa;
  a.event_mask = ExposureMask | StructureNotifyMask;
  window_ = XCreateWindow(d, parent, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height), 0,
                          CopyFromParent, InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &a);
  XMapWindow(d, window_);
  XSync(d, False);
  ++gState.opened;
  gState.child = window_;
  gState.parent = parent;
  return true;
}

void X11Editor::close() {
  if (!display_) return;
  Display* d = dpy(display_);
  // The host must still hold its window while the editor lets go of its own.
  if (!windowExists(d, parent_)) gState.parentGoneAtDestroy = 1;
  XDestroyWindow(d, window_);
  XSync(d, False);
  XCloseDisplay(d);
  display_ = nullptr;
  window_ = 0;
  gState.child = 0;
  ++gState.closed;
}

bool X11Editor::isOpen() const { return display_ != nullptr; }

int X11Editor::fd() const { return display_ ? ConnectionNumber(dpy(display_)) : -1; }

void X11Editor::draw() {
  Display* d = dpy(display_);
  GC gc = XCreateGC(d, window_, 0, nullptr);
  XSetForeground(d, gc, 0xffcc00);
  XFillRectangle(d, window_, gc, 4, 4, static_cast<unsigned>(width_ / 2), static_cast<unsigned>(height_ / 2));
  XFreeGC(d, gc);
  XFlush(d);
}

void X11Editor::onTimer() {
  if (!display_) return;
  ++gState.timerTicks;
  // The server answers with an Expose on the connection, so every tick also
  // makes the descriptor readable.
  XClearArea(dpy(display_), window_, 0, 0, 0, 0, True);
  XFlush(dpy(display_));
}

void X11Editor::onFd() {
  if (!display_) return;
  ++gState.fdEvents;
  Display* d = dpy(display_);
  while (XPending(d) > 0) {
    XEvent e;
    XNextEvent(d, &e);
    if (e.type == Expose) {
      ++gState.exposes;
      draw();
    }
  }
}

void X11Editor::resized(int width, int height) {
  if (!display_) return;
  width_ = width;
  height_ = height;
  XResizeWindow(dpy(display_), window_, static_cast<unsigned>(width), static_cast<unsigned>(height));
  XSync(dpy(display_), False);
}

// ---- CLAP ----------------------------------------------------------------

ClapX11Editor& clapEditor() {
  static ClapX11Editor editor;
  return editor;
}

const clap_plugin_timer_support_t ClapX11Editor::timerExtension = {
    [](const clap_plugin_t*, clap_id) { gEditor.onTimer(); }};
const clap_plugin_posix_fd_support_t ClapX11Editor::fdExtension = {
    [](const clap_plugin_t*, int, clap_posix_fd_flags_t) { gEditor.onFd(); }};

bool ClapX11Editor::setParent(const clap_host_t* host, unsigned long parent, uint32_t width, uint32_t height) {
  if (!X11Editor::enabled()) return true;
  if (!gEditor.open(parent, static_cast<int>(width), static_cast<int>(height))) return false;
  host_ = host;
  auto* timers = static_cast<const clap_host_timer_support_t*>(host->get_extension(host, CLAP_EXT_TIMER_SUPPORT));
  auto* fds = static_cast<const clap_host_posix_fd_support_t*>(host->get_extension(host, CLAP_EXT_POSIX_FD_SUPPORT));
  bool timer = timers && timers->register_timer(host, 20, &timer_);
  fd_ = gEditor.fd();
  bool fd = fds && fds->register_fd(host, fd_, CLAP_POSIX_FD_READ);
  gState.loopRegistered = timer && fd ? 1 : 0;
  gEditor.askResize = [host](int w, int h) {
    auto* gui = static_cast<const clap_host_gui_t*>(host->get_extension(host, CLAP_EXT_GUI));
    if (!gui || !gui->request_resize(host, static_cast<uint32_t>(w), static_cast<uint32_t>(h))) return false;
    gEditor.resized(w, h);
    return true;
  };
  return true;
}

void ClapX11Editor::destroy() {
  if (!gEditor.isOpen() || !host_) return;
  auto* timers = static_cast<const clap_host_timer_support_t*>(host_->get_extension(host_, CLAP_EXT_TIMER_SUPPORT));
  auto* fds = static_cast<const clap_host_posix_fd_support_t*>(host_->get_extension(host_, CLAP_EXT_POSIX_FD_SUPPORT));
  if (timers) timers->unregister_timer(host_, timer_);
  if (fds) fds->unregister_fd(host_, fd_);
  gEditor.askResize = nullptr;
  gEditor.close();
  host_ = nullptr;
}

// ---- VST3 ----------------------------------------------------------------

using namespace Steinberg;

bool Vst3X11Editor::attached(IPlugView* view, IPlugFrame* frame, void* parent, int width, int height) {
  if (!X11Editor::enabled()) return true;
  if (!frame) return false;
  void* obj = nullptr;
  if (frame->queryInterface(Linux::IRunLoop::iid.bytes, &obj) != kResultOk || !obj) return false;
  loop_ = static_cast<Linux::IRunLoop*>(obj);
  if (!gEditor.open(static_cast<unsigned long>(reinterpret_cast<uintptr_t>(parent)), width, height)) return false;
  bool timer = loop_->registerTimer(this, 20) == kResultTrue;
  bool fd = loop_->registerEventHandler(this, gEditor.fd()) == kResultTrue;
  gState.loopRegistered = timer && fd ? 1 : 0;
  gEditor.askResize = [view, frame](int w, int h) {
    ViewRect r{0, 0, w, h};
    if (frame->resizeView(view, &r) != kResultOk) return false;
    gEditor.resized(w, h);
    return true;
  };
  return true;
}

void Vst3X11Editor::removed() {
  if (loop_) {
    loop_->unregisterTimer(this);
    loop_->unregisterEventHandler(this);
    loop_->release();
    loop_ = nullptr;
  }
  gEditor.askResize = nullptr;
  gEditor.close();
}

tresult Vst3X11Editor::queryInterface(const TUID iid, void** obj) {
  if (FUnknown::iid.matches(iid) || Linux::IEventHandler::iid.matches(iid)) {
    *obj = static_cast<Linux::IEventHandler*>(this);
    return kResultOk;
  }
  if (Linux::ITimerHandler::iid.matches(iid)) {
    *obj = static_cast<Linux::ITimerHandler*>(this);
    return kResultOk;
  }
  *obj = nullptr;
  return kNoInterface;
}

void Vst3X11Editor::onFDIsSet(Linux::FileDescriptor) { gEditor.onFd(); }
void Vst3X11Editor::onTimer() { gEditor.onTimer(); }

}  // namespace krevlo_test

namespace {

void probeState(KrevloX11EditorState* out) { *out = krevlo_test::gState; }
bool probeResize(int w, int h) {
  return krevlo_test::gEditor.askResize ? krevlo_test::gEditor.askResize(w, h) : false;
}
const KrevloX11EditorProbe kProbe = {probeState, probeResize};

}  // namespace

extern "C" __attribute__((visibility("default"))) const KrevloX11EditorProbe* krevlo_x11_editor_probe() {
  return &kProbe;
}

#include "hosting/vst3_window.h"

#include <memory>
#include <utility>

#include "hosting/editor_window.h"
#include "hosting/vst3_loop_sources.h"
#include "platform/vst3/vst3_run_loop.h"
#include "platform/vst3/vst3_view.h"

namespace bridge {

using namespace Steinberg;

namespace {

constexpr int32 kFallbackWidth = 400;
constexpr int32 kFallbackHeight = 300;

// The view's frame, inside its window record: a fixed reference count, since
// the record owns it and the plug-in only borrows it while attached.
class Frame final : public IPlugFrame, public Linux::IRunLoop {
 public:
  explicit Frame(Vst3Window& owner) : owner_(owner) {}
  ~Frame() { dropAll(); }
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

  tresult queryInterface(const TUID iid, void** obj) override {
    if (!obj) return kInvalidArgument;
    if (FUnknown::iid.matches(iid) || IPlugFrame::iid.matches(iid)) {
      *obj = static_cast<IPlugFrame*>(this);
      return kResultOk;
    }
    if (Linux::IRunLoop::iid.matches(iid)) {
      *obj = static_cast<Linux::IRunLoop*>(this);
      return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
  }
  uint32 addRef() override { return 1000; }
  uint32 release() override { return 1000; }

  tresult resizeView(IPlugView* view, ViewRect* rect) override;

  tresult registerEventHandler(Linux::IEventHandler* handler, Linux::FileDescriptor fd) override {
    return sources_.registerEventHandler(handler, fd);
  }
  tresult unregisterEventHandler(Linux::IEventHandler* handler) override {
    return sources_.unregisterEventHandler(handler);
  }
  tresult registerTimer(Linux::ITimerHandler* handler, Linux::TimerInterval ms) override {
    return sources_.registerTimer(handler, ms);
  }
  tresult unregisterTimer(Linux::ITimerHandler* handler) override { return sources_.unregisterTimer(handler); }

  // Stops every handler: the view is detached, and nothing may call into it.
  void dropAll() { sources_.dropAll(); }

 private:
  Vst3Window& owner_;
  Vst3LoopSources sources_;
};

}  // namespace

struct Vst3Window {
  IPlugView* view = nullptr;  // not owned; cleared when detached
  ClapWindow* window = nullptr;
  Frame frame{*this};
  std::function<void()> onClose;
  bool closing = false;
  // A size the view asked for before its window existed (from inside attached,
  // say): the window takes it as soon as it is made.
  bool pending = false;
  int pendingWidth = 0, pendingHeight = 0;

  // Both close paths: the plug-in lets go of its view first, while the window
  // and the view's child window in it still exist.
  void detach() {
    closing = true;
    if (view) {
      view->removed();
      view->setFrame(nullptr);
      view = nullptr;
    }
    frame.dropAll();
  }
};

namespace {

// Served from the moment the view has its frame: a view may ask for its size
// from inside attached, before the window call that attaches it has returned,
// and it draws nothing until onSize tells it the size it got.
tresult resizeFrame(Vst3Window& w, IPlugView* view, ViewRect* rect) {
  if (!rect) return kInvalidArgument;
  const int width = rect->right - rect->left, height = rect->bottom - rect->top;
  if (w.window) {
    clapResizeWindow(w.window, width, height);
  } else {
    w.pending = true;
    w.pendingWidth = width;
    w.pendingHeight = height;
  }
  if (view) view->onSize(rect);
  return kResultOk;
}

}  // namespace

tresult Frame::resizeView(IPlugView* view, ViewRect* rect) { return resizeFrame(owner_, view, rect); }

bool vst3WindowsSupported() { return clapWindowsSupported(); }

Vst3Window* vst3OpenWindow(IPlugView* view, const std::string& title, std::function<void()> onClose) {
  if (!view || !clapWindowsSupported() || view->isPlatformTypeSupported(kPlatformTypeX11EmbedWindowID) != kResultTrue)
    return nullptr;
  ViewRect r{};
  if (view->getSize(&r) != kResultOk || r.left >= r.right || r.top >= r.bottom)
    r = ViewRect{0, 0, kFallbackWidth, kFallbackHeight};
  const bool resizable = view->canResize() == kResultTrue;

  auto record = std::make_unique<Vst3Window>();
  Vst3Window* w = record.get();
  w->view = view;
  w->onClose = std::move(onClose);
  // The frame first: a view may ask it for the run loop while it attaches.
  view->setFrame(&w->frame);
  auto attach = [w](void* parent) {
    return w->view->attached(parent, kPlatformTypeX11EmbedWindowID) == kResultOk;
  };
  auto userClosed = [w] {
    if (w->closing) return;
    w->detach();
    auto call = std::move(w->onClose);
    w->onClose = nullptr;
    // The window is gone with this call; the record goes with it.
    std::unique_ptr<Vst3Window> free(w);
    if (call) call();
  };
  w->window = clapOpenWindow(title, r.right - r.left, r.bottom - r.top, resizable, attach, userClosed);
  if (!w->window) {
    view->setFrame(nullptr);
    w->view = nullptr;
    w->frame.dropAll();
    w->onClose = nullptr;  // destroyed without being called
    return nullptr;
  }
  if (w->pending) clapResizeWindow(w->window, w->pendingWidth, w->pendingHeight);
  return record.release();
}

void vst3FocusWindow(Vst3Window* w) {
  if (w) clapFocusWindow(w->window);
}

void vst3CloseWindow(Vst3Window* w) {
  if (!w || w->closing) return;
  w->detach();
  w->onClose = nullptr;
  ClapWindow* window = w->window;
  w->window = nullptr;
  delete w;
  clapCloseWindow(window);
}

}  // namespace bridge

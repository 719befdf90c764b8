#include "support/fake_vst3_windows.h"

#include <gtest/gtest.h>

#include "platform/vst3/vst3_view.h"

namespace bridge::test {

using namespace Steinberg;

// The handles given out are our records, seen through the opaque type.
static Vst3Window* handleOf(FakeVst3Windows::Window* w) { return reinterpret_cast<Vst3Window*>(w); }

FakeVst3Windows::FakeVst3Windows() { setVst3Windows(this); }

FakeVst3Windows::~FakeVst3Windows() { setVst3Windows(nullptr); }

Vst3Window* FakeVst3Windows::vst3Open(IPlugView* view, const std::string& title, std::function<void()> onClose) {
  if (refuseAttach || !view || view->isPlatformTypeSupported(kPlatformTypeX11EmbedWindowID) != kResultTrue)
    return nullptr;
  auto w = std::make_unique<Window>();
  w->title = title;
  w->view = view;
  w->parent = nextParent_++;
  ViewRect r{};
  if (view->getSize(&r) != kResultOk || r.right <= r.left || r.bottom <= r.top) r = ViewRect{0, 0, 400, 300};
  w->width = r.right - r.left;
  w->height = r.bottom - r.top;
  if (view->attached(reinterpret_cast<void*>(w->parent), kPlatformTypeX11EmbedWindowID) != kResultOk) return nullptr;
  w->onClose = std::move(onClose);
  windows_.push_back(std::move(w));
  return handleOf(windows_.back().get());
}

Vst3Window* FakeVst3Windows::lastHandle() const {
  return windows_.empty() ? nullptr : handleOf(windows_.back().get());
}

FakeVst3Windows::Window* FakeVst3Windows::find(Vst3Window* window) const {
  for (const auto& w : windows_)
    if (handleOf(w.get()) == window) return w.get();
  return nullptr;
}

void FakeVst3Windows::detach(Window& w) {
  if (w.view) w.view->removed();
  w.view = nullptr;
}

void FakeVst3Windows::vst3Focus(Vst3Window* window) {
  Window* w = find(window);
  ASSERT_TRUE(w && w->open) << "focus of a window that is not open";
  ++w->focusCalls;
}

void FakeVst3Windows::vst3Close(Vst3Window* window) {
  Window* w = find(window);
  ASSERT_TRUE(w && w->open) << "close of a window that is not open";
  detach(*w);
  w->open = false;
  w->closedByCaller = true;
  w->onClose = nullptr;  // destroyed without being called
}

void FakeVst3Windows::userClose(Vst3Window* window) {
  Window* w = find(window);
  ASSERT_TRUE(w && w->open) << "user close of a window that is not open";
  detach(*w);
  w->open = false;
  auto onClose = std::move(w->onClose);
  w->onClose = nullptr;
  if (onClose) onClose();
}

size_t FakeVst3Windows::openNow() const {
  size_t n = 0;
  for (const auto& w : windows_) n += w->open ? 1 : 0;
  return n;
}

}  // namespace bridge::test

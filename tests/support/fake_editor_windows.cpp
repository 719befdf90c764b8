#include "support/fake_editor_windows.h"

#include <gtest/gtest.h>

namespace bridge::test {

// The handles given out are our records, seen through the opaque type.
static ClapWindow* handleOf(FakeEditorWindows::Window* w) { return reinterpret_cast<ClapWindow*>(w); }

FakeEditorWindows::FakeEditorWindows() { setEditorWindows(this); }

FakeEditorWindows::~FakeEditorWindows() { setEditorWindows(nullptr); }

ClapWindow* FakeEditorWindows::clapOpen(const std::string& title, int width, int height, bool resizable,
                                        std::function<bool(void*)> attach, std::function<void()> onClose) {
  if (failOpen) return nullptr;
  auto w = std::make_unique<Window>();
  w->title = title;
  w->width = width;
  w->height = height;
  w->resizable = resizable;
  w->parent = nextParent_++;
  if (!attach(reinterpret_cast<void*>(w->parent))) return nullptr;
  w->onClose = std::move(onClose);
  windows_.push_back(std::move(w));
  return handleOf(windows_.back().get());
}

FakeEditorWindows::Window* FakeEditorWindows::find(ClapWindow* window) const {
  for (const auto& w : windows_)
    if (handleOf(w.get()) == window) return w.get();
  return nullptr;
}

void FakeEditorWindows::clapResize(ClapWindow* window, int width, int height) {
  Window* w = find(window);
  ASSERT_TRUE(w && w->open) << "resize of a window that is not open";
  w->resizes.emplace_back(width, height);
}

void FakeEditorWindows::clapFocus(ClapWindow* window) {
  Window* w = find(window);
  ASSERT_TRUE(w && w->open) << "focus of a window that is not open";
  ++w->focusCalls;
}

void FakeEditorWindows::clapClose(ClapWindow* window) {
  Window* w = find(window);
  ASSERT_TRUE(w && w->open) << "close of a window that is not open";
  w->open = false;
  w->closedByCaller = true;
  w->onClose = nullptr;  // destroyed without being called
}

void FakeEditorWindows::userClose(ClapWindow* window) {
  Window* w = find(window);
  ASSERT_TRUE(w && w->open) << "user close of a window that is not open";
  w->open = false;
  auto onClose = std::move(w->onClose);
  w->onClose = nullptr;
  if (onClose) onClose();
}

uint64_t FakeEditorWindows::addTimer(uint32_t periodMs, std::function<void()> fire) {
  Source s;
  s.periodMs = periodMs;
  s.fire = std::move(fire);
  sources[nextSource_] = std::move(s);
  return nextSource_++;
}

uint64_t FakeEditorWindows::addFd(int fd, uint32_t flags, std::function<void(uint32_t)> ready) {
  Source s;
  s.fd = fd;
  s.flags = flags;
  s.ready = std::move(ready);
  sources[nextSource_] = std::move(s);
  return nextSource_++;
}

void FakeEditorWindows::remove(uint64_t id) {
  EXPECT_EQ(sources.erase(id), 1u) << "removal of a source that is not registered";
}

namespace {

class FakeGenericView final : public GenericView {
 public:
  explicit FakeGenericView(std::shared_ptr<FakeEditorWindows::Generic> record) : record_(std::move(record)) {}
  ~FakeGenericView() override { record_->gone = true; }
  bool attach(void* parent) override {
    record_->parent = reinterpret_cast<uintptr_t>(parent);
    return true;
  }
  void update(int row, float value, const std::string& text) override {
    record_->updates.push_back(row);
    if (row < 0 || static_cast<size_t>(row) >= record_->rows.size()) return;
    record_->rows[static_cast<size_t>(row)].value = value;
    record_->rows[static_cast<size_t>(row)].text = text;
  }

 private:
  std::shared_ptr<FakeEditorWindows::Generic> record_;
};

}  // namespace

std::unique_ptr<GenericView> FakeEditorWindows::genericView(std::vector<GenericViewRow> rows, GenericViewSet set) {
  if (!genericViews) return nullptr;
  auto record = std::make_shared<Generic>();
  record->rows = std::move(rows);
  record->set = std::move(set);
  generics.push_back(record);
  return std::make_unique<FakeGenericView>(std::move(record));
}

size_t FakeEditorWindows::openNow() const {
  size_t n = 0;
  for (const auto& w : windows_) n += w->open ? 1 : 0;
  return n;
}

}  // namespace bridge::test

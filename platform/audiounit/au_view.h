#pragma once
// A unit's editor views: the view controller a unit offers, the legacy view
// classes a unit names by bundle and class, and the generic view made from a
// parameter tree. A view here has a frame size and is attached to the native
// parent of the window that shows it.
//
// Threads: views are made and attached on the main thread; a view controller
// may be made on any thread and handed to the main thread. The view-class
// registry may be used from any thread.
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace bridge::au {

class Unit;

struct Size {
  double width = 0.0;
  double height = 0.0;
};

class View {
 public:
  // `kind` says what made it ("controller", "legacy", "generic").
  View(std::string kind, Size frame) : kind_(std::move(kind)), frame_(frame) {}
  virtual ~View() = default;

  const std::string& kind() const { return kind_; }
  Size frameSize() const { return frame_; }
  // Places the view into the native parent; false when it cannot be shown.
  virtual bool attach(void* parent) {
    parent_ = parent;
    return true;
  }
  void* parent() const { return parent_; }

 private:
  const std::string kind_;
  const Size frame_;
  void* parent_ = nullptr;
};

class ViewController {
 public:
  ViewController(std::unique_ptr<View> view, Size preferred) : view_(std::move(view)), preferred_(preferred) {}
  View* view() const { return view_.get(); }
  Size preferredContentSize() const { return preferred_; }

 private:
  std::unique_ptr<View> view_;
  const Size preferred_;
};

// What a legacy view class makes when it conforms to the view protocol.
class CocoaUiBase {
 public:
  virtual ~CocoaUiBase() = default;
  virtual std::unique_ptr<View> uiViewForAudioUnit(Unit& unit, Size size) = 0;
};

struct ViewClass {
  bool conformsToCocoaUiBase = true;
  std::function<std::unique_ptr<CocoaUiBase>()> make;
};

// The classes a bundle at `bundleLocation` provides.
void registerViewClass(const std::string& bundleLocation, const std::string& className, ViewClass viewClass);
// The class, once the bundle is "loaded"; none when either is unknown.
std::optional<ViewClass> loadViewClass(const std::string& bundleLocation, const std::string& className);

// A view with one row per parameter of the unit's tree.
std::unique_ptr<View> makeGenericView(Unit& unit);

}  // namespace bridge::au

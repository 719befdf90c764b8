#include "platform/audiounit/au_view.h"

#include <map>
#include <mutex>
#include <utility>

#include "platform/audiounit/au_unit.h"

namespace bridge::au {

namespace {

struct ViewClasses {
  std::mutex mutex;
  std::map<std::pair<std::string, std::string>, ViewClass> classes;
};

ViewClasses& viewClasses() {
  static ViewClasses* registry = new ViewClasses;  // used until the process ends
  return *registry;
}

constexpr double kGenericWidth = 360.0;
constexpr double kGenericRow = 28.0;
constexpr double kGenericMargin = 16.0;

}  // namespace

void registerViewClass(const std::string& bundleLocation, const std::string& className, ViewClass viewClass) {
  ViewClasses& r = viewClasses();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.classes[{bundleLocation, className}] = std::move(viewClass);
}

std::optional<ViewClass> loadViewClass(const std::string& bundleLocation, const std::string& className) {
  ViewClasses& r = viewClasses();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.classes.find({bundleLocation, className});
  if (it == r.classes.end()) return std::nullopt;
  return it->second;
}

std::unique_ptr<View> makeGenericView(Unit& unit) {
  const ParameterTree* tree = unit.parameterTree();
  const size_t rows = tree ? tree->allParameters().size() : 0;
  return std::make_unique<View>("generic",
                                Size{kGenericWidth, 2 * kGenericMargin + kGenericRow * static_cast<double>(rows)});
}

}  // namespace bridge::au

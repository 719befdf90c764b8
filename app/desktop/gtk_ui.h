#pragma once
// The status window and its menus in GTK 3 on X11: nine rows in one column 280
// pixels wide, the application, "Edit" and "Window" menus with Ctrl
// accelerators, asynchronous alerts and folder chooser, the clipboard, and the
// window drawn into a PNG for snapshots. Closing the window only hides it; the
// application's activation shows it again.
//
// Threads: main thread only, after openDisplay() succeeded.
#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/shell/ui.h"

namespace bridge {

// Opens the X11 display for GTK (other backends are never tried: plug-in
// editors need X11 window ids). Keeps GTK from switching the process's locale,
// so numbers stay formatted in the C locale. False when there is no display.
bool openDisplay();

// The application's id on the session bus.
inline constexpr const char* kApplicationId = "com.krevlo.Bridge";

// When another copy of the program already runs in this desktop session, asks
// it to show its window and answers true: this copy then has nothing to do.
// Otherwise answers false and hands back in `app` the application, registered
// as this session's one copy (or on its own when there is no session bus).
bool activateRunningCopy(GtkApplication*& app);

class GtkUi : public ShellUi {
 public:
  // `app` (owned from here on) is the registered application; without one the
  // window makes its own, which claims nothing on the session bus.
  explicit GtkUi(GtkApplication* app = nullptr);
  ~GtkUi() override;
  GtkUi(const GtkUi&) = delete;
  GtkUi& operator=(const GtkUi&) = delete;

  void setAppearance(bool dark) override;
  void build(std::weak_ptr<ShellActions> actions) override;
  void beginActivity(const std::string& reason) override;
  void show(const WindowView& view) override;
  void showWindow() override;
  void hide() override;
  void copyToClipboard(const std::string& text) override;
  void alert(const Alert& alert, std::function<void(size_t button)> done) override;
  void chooseFolder(const FolderPrompt& prompt, std::function<void(std::string)> done) override;
  bool saveSnapshot(const std::string& path) override;

  // For tests: the widgets as the controller last set them.
  GtkWidget* window() const { return window_; }
  GtkWidget* menuBar() const { return menuBar_; }
  GtkWidget* row(size_t index) const { return index < rows_.size() ? rows_[index] : nullptr; }
  GtkWidget* stateLabel() const { return state_; }
  GtkWidget* codeLabel() const { return code_; }
  GtkWidget* copyButton() const { return copy_; }
  const std::vector<GtkWidget*>& formatButtons() const { return formatButtons_; }
  // The application menu's items in order, separators included.
  const std::vector<GtkWidget*>& appMenuItems() const { return appItems_; }
  bool inhibiting() const { return inhibitCookie_ != 0 || inhibitRequested_; }

 private:
  struct FormatHandler;
  void buildMenus();
  void buildFormats(const std::vector<FormatSwitch>& formats);
  void updateMenu();
  void updateActivity(const WindowView& view);
  void perform(Action action);

  std::weak_ptr<ShellActions> actions_;
  GtkApplication* app_ = nullptr;
  GtkWidget* window_ = nullptr;
  GtkWidget* menuBar_ = nullptr;
  GtkAccelGroup* accel_ = nullptr;
  std::vector<GtkWidget*> rows_;
  GtkWidget* dot_ = nullptr;
  GtkWidget* state_ = nullptr;
  GtkWidget* code_ = nullptr;
  GtkWidget* copy_ = nullptr;
  GtkWidget* detail_ = nullptr;
  GtkWidget* safari_ = nullptr;
  GtkWidget* formats_ = nullptr;
  GtkWidget* skipped_ = nullptr;
  GtkWidget* retry_ = nullptr;
  GtkWidget* footer_ = nullptr;
  std::vector<GtkWidget*> appItems_;
  std::vector<Action> appActions_;
  std::vector<GtkWidget*> formatButtons_;
  std::vector<std::unique_ptr<FormatHandler>> formatHandlers_;
  std::vector<std::string> formatNames_;
  Dot dotColour_ = Dot::Tertiary;
  bool haveView_ = false;
  WindowView view_;
  std::string activityReason_;
  guint inhibitCookie_ = 0;
  bool inhibitRequested_ = false;
};

}  // namespace bridge

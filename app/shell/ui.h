#pragma once
// The front end under the application controller: it shows what the controller
// computed and reports the user's choices back. A toolkit backend and the
// terminal backend implement it; tests use a fake.
//
// Threads: main thread only. No call may run a nested event loop: dialogs are
// asynchronous and answer through their callbacks later, from the main loop.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/shell/view_model.h"

namespace bridge {

// What the front end may ask of the controller. Main thread.
class ShellActions {
 public:
  virtual ~ShellActions() = default;
  // A menu item or button; the front end offers only enabled items.
  virtual void perform(Action action) = 0;
  virtual void formatToggled(const std::string& format, bool on) = 0;
  // The application menu as it is now, enablement included.
  virtual std::vector<MenuItem> menu() const = 0;
};

struct Alert {
  std::string message;
  std::string informative;
  std::vector<std::string> buttons;  // the first is the default one
};

struct FolderPrompt {
  std::string prompt;   // the confirming button
  std::string message;  // shown above the chooser
};

class ShellUi {
 public:
  virtual ~ShellUi() = default;

  // Once at launch, in this order, before anything is shown. `actions` is where
  // menu choices, buttons and format switches go; it may be gone at any time.
  virtual void setAppearance(bool dark) = 0;
  virtual void build(std::weak_ptr<ShellActions> actions) = 0;
  // Keeps the system from throttling the process while audio is processed.
  virtual void beginActivity(const std::string& reason) = 0;

  // The window's contents changed (or may have: compare before redrawing).
  virtual void show(const WindowView& view) = 0;
  virtual void showWindow() = 0;
  virtual void hide() = 0;
  virtual void copyToClipboard(const std::string& text) = 0;

  // A modal-looking alert; `done` gets the chosen button's index, once.
  virtual void alert(const Alert& alert, std::function<void(size_t button)> done) = 0;
  // Brings the application forward and asks for a folder; `done` gets the
  // chosen folder's absolute path, or ""
  // when cancelled, once.
  virtual void chooseFolder(const FolderPrompt& prompt, std::function<void(std::string)> done) = 0;

  // Draws the whole window into a PNG file; false when nothing was written.
  virtual bool saveSnapshot(const std::string& path) = 0;
};

}  // namespace bridge

#pragma once
// The front end used when there is no display: it prints what the window
// would show whenever that changes (state, pairing code, browsers, plug-in
// count, skipped files) and takes the menu's commands as typed lines. Dialogs
// become questions answered by the next line; the folder chooser reads a path.
// Output is plain lines; only when it goes to a terminal is the screen redrawn
// in place.
//
// Threads: main thread only.
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/shell/ui.h"

namespace bridge {

class TerminalUi : public ShellUi {
 public:
  // `write` takes each piece of output; `interactive` says it goes to a
  // terminal.
  TerminalUi(std::function<void(const std::string&)> write, bool interactive);

  void setAppearance(bool) override {}
  void build(std::weak_ptr<ShellActions> actions) override;
  void beginActivity(const std::string&) override {}
  void show(const WindowView& view) override;
  void showWindow() override;
  void hide() override {}
  void copyToClipboard(const std::string& text) override;
  void alert(const Alert& alert, std::function<void(size_t button)> done) override;
  void chooseFolder(const FolderPrompt& prompt, std::function<void(std::string)> done) override;
  bool saveSnapshot(const std::string& path) override;

  // Bytes typed by the user, in any pieces; each complete line is handled.
  void feed(std::string_view bytes);
  // Nothing more will be typed: open questions are answered as cancelled, and
  // so is every later one.
  void endOfInput();

 private:
  struct Question {
    Alert alert;  // used when folderDone is empty
    std::function<void(size_t)> alertDone;
    FolderPrompt folder;
    std::function<void(std::string)> folderDone;
  };

  void handleLine(std::string line);
  void answer(Question& q, const std::string& line);
  void command(const std::string& line);
  void help();
  void draw();
  void ask();
  void cancel(Question& q);

  std::function<void(const std::string&)> write_;
  const bool interactive_;
  std::weak_ptr<ShellActions> actions_;
  WindowView view_;
  bool drawn_ = false;
  std::string lastDrawn_;
  std::string input_;
  bool inputClosed_ = false;
  std::deque<Question> questions_;
};

// The window as text: one line per visible element. `colour` adds a coloured
// dot for terminals. Pure.
std::string renderWindow(const WindowView& view, bool colour);

}  // namespace bridge

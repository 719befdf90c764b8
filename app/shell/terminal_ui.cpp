#include "app/shell/terminal_ui.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace bridge {

namespace {

constexpr size_t kMaxLine = 4096;

struct Command {
  const char* word;
  Action action;
};

// The menu's items that make sense without a window, by the word that runs them.
constexpr Command kCommands[] = {
    {"show", Action::ShowWindow}, {"updates", Action::CheckForUpdates}, {"new", Action::NewCode},
    {"rescan", Action::Rescan},   {"safari", Action::Trust},            {"forget", Action::Forget},
    {"quit", Action::Quit},
};

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// Everything but the CPU figure, which moves every second: the window is only
// printed again when something else changed (a redraw every second would also
// wipe what the user is typing).
std::string withoutCpu(const WindowView& view) {
  WindowView v = view;
  size_t at = v.footer.rfind(" \u00b7 CPU ");
  if (at != std::string::npos) v.footer.resize(at);
  return renderWindow(v, false);
}

}  // namespace

std::string renderWindow(const WindowView& v, bool colour) {
  std::string out = "Krevlo Bridge\n";
  if (colour) {
    const char* dot = v.dot == Dot::Red ? "\x1b[31m" : v.dot == Dot::Green ? "\x1b[32m" : "\x1b[90m";
    out += std::string(dot) + "\u25cf\x1b[0m ";
  }
  out += "Status: " + v.state + "\n";
  if (!v.code.empty()) {
    out += (v.codeStyle == CodeStyle::Code ? "Code: " : "") + v.code;
    if (!v.copyHidden) out += "  (type \"copy\" to copy it)";
    out += "\n";
  }
  if (!v.detail.empty()) out += v.detail + "\n";
  if (!v.safariHidden) out += std::string(kSafariTitle) + ": type \"safari\"\n";
  if (!v.formats.empty()) {
    out += "Formats:";
    for (const FormatSwitch& f : v.formats) out += std::string(" [") + (f.on ? "x" : " ") + "] " + f.name;
    out += "\n";
  }
  if (!v.skippedHidden) out += v.skipped + "\n" + kRetryTitle + ": type \"rescan\"\n";
  out += v.footer + "\n";
  return out;
}

TerminalUi::TerminalUi(std::function<void(const std::string&)> write, bool interactive)
    : write_(std::move(write)), interactive_(interactive) {}

void TerminalUi::build(std::weak_ptr<ShellActions> actions) { actions_ = std::move(actions); }

void TerminalUi::show(const WindowView& view) {
  view_ = view;
  draw();
}

void TerminalUi::showWindow() {
  lastDrawn_.clear();
  draw();
}

void TerminalUi::draw() {
  std::string key = withoutCpu(view_);
  if (drawn_ && key == lastDrawn_) return;
  lastDrawn_ = key;
  std::string out;
  if (interactive_) out += "\x1b[H\x1b[2J";
  out += renderWindow(view_, interactive_);
  if (!drawn_ || interactive_) out += "Type \"help\" for the commands.\n";
  if (!interactive_) out += "\n";
  drawn_ = true;
  write_(out);
  // A redrawn screen would hide the open question.
  if (interactive_ && !questions_.empty()) ask();
}

void TerminalUi::copyToClipboard(const std::string& text) { write_("Copied: " + text + "\n"); }

void TerminalUi::alert(const Alert& alert, std::function<void(size_t)> done) {
  std::string out = alert.message + "\n";
  if (!alert.informative.empty()) out += alert.informative + "\n";
  // Nothing to choose: the alert is only news.
  if (alert.buttons.size() <= 1) {
    write_(out + "\n");
    done(0);
    return;
  }
  Question q;
  q.alert = alert;
  q.alertDone = std::move(done);
  if (inputClosed_) return cancel(q);
  questions_.push_back(std::move(q));
  if (questions_.size() == 1) ask();
}

void TerminalUi::chooseFolder(const FolderPrompt& prompt, std::function<void(std::string)> done) {
  Question q;
  q.folder = prompt;
  q.folderDone = std::move(done);
  if (inputClosed_) return cancel(q);
  questions_.push_back(std::move(q));
  if (questions_.size() == 1) ask();
}

bool TerminalUi::saveSnapshot(const std::string& path) {
  write_("A snapshot needs a display; nothing was written to " + path + ".\n");
  return false;
}

void TerminalUi::ask() {
  const Question& q = questions_.front();
  std::string out;
  if (q.folderDone) {
    out = q.folder.prompt + ": " + q.folder.message + "\nType the folder's path (an empty line cancels):\n";
  } else {
    out = q.alert.message + "\n";
    if (!q.alert.informative.empty()) out += q.alert.informative + "\n";
    out += "Type";
    for (size_t i = 0; i < q.alert.buttons.size(); ++i)
      out += (i == 0 ? " " : i + 1 == q.alert.buttons.size() ? " or " : ", ") + std::to_string(i + 1) + " for " +
             q.alert.buttons[i];
    out += ":\n";
  }
  write_(out);
}

void TerminalUi::cancel(Question& q) {
  if (q.folderDone) {
    auto done = std::move(q.folderDone);
    done({});
  } else {
    // Anything but the first button declines.
    auto done = std::move(q.alertDone);
    done(q.alert.buttons.size() - 1);
  }
}

void TerminalUi::feed(std::string_view bytes) {
  for (char c : bytes) {
    if (c == '\n') {
      std::string line = std::move(input_);
      input_.clear();
      if (!line.empty() && line.back() == '\r') line.pop_back();
      handleLine(std::move(line));
    } else if (input_.size() < kMaxLine) {
      input_ += c;
    }
  }
}

void TerminalUi::endOfInput() {
  if (!input_.empty()) handleLine(std::exchange(input_, {}));
  inputClosed_ = true;
  while (!questions_.empty()) {
    Question q = std::move(questions_.front());
    questions_.pop_front();
    cancel(q);
  }
}

void TerminalUi::handleLine(std::string line) {
  if (questions_.empty()) return command(trim(line));
  answer(questions_.front(), trim(line));
}

void TerminalUi::answer(Question& q, const std::string& line) {
  if (q.folderDone) {
    std::string path = line;
    if (!path.empty()) {
      const char* home = std::getenv("HOME");
      if (home && (path == "~" || path.rfind("~/", 0) == 0)) path = home + path.substr(1);
      std::error_code ec;
      std::filesystem::path p = std::filesystem::absolute(path, ec).lexically_normal();
      if (p.has_relative_path() && !p.has_filename()) p = p.parent_path();
      if (ec || !std::filesystem::is_directory(p, ec)) {
        write_("Not a folder: " + line + "\n");
        return ask();
      }
      path = p.string();
    }
    auto done = std::move(q.folderDone);
    questions_.pop_front();
    done(path);
  } else {
    size_t chosen = q.alert.buttons.size();
    for (size_t i = 0; i < q.alert.buttons.size(); ++i)
      if (line == std::to_string(i + 1) || lower(line) == lower(q.alert.buttons[i])) chosen = i;
    if (chosen == q.alert.buttons.size()) return ask();
    auto done = std::move(q.alertDone);
    questions_.pop_front();
    done(chosen);
  }
  if (!questions_.empty()) ask();
}

void TerminalUi::command(const std::string& line) {
  if (line.empty()) return;
  auto actions = actions_.lock();
  std::string word = lower(line);
  if (word == "help" || word == "?") return help();
  if (!actions) return;
  if (word == "copy") {
    if (view_.copyHidden) return write_("There is no pairing code to copy now.\n");
    return actions->perform(Action::CopyCode);
  }
  for (const Command& c : kCommands) {
    if (word != c.word) continue;
    for (const MenuItem& item : actions->menu()) {
      if (item.action != c.action) continue;
      if (!item.enabled) return write_(item.title + " is not available now.\n");
      return actions->perform(c.action);
    }
    break;
  }
  // "<format> on" or "<format> off".
  size_t space = word.find(' ');
  if (space != std::string::npos) {
    std::string name = word.substr(0, space), state = trim(word.substr(space + 1));
    for (const FormatSwitch& f : view_.formats)
      if (lower(f.name) == name && (state == "on" || state == "off"))
        return actions->formatToggled(f.name, state == "on");
  }
  write_("Unknown command \"" + line + "\". Type \"help\" for the commands.\n");
}

void TerminalUi::help() {
  std::string out = "Commands:\n";
  auto actions = actions_.lock();
  if (actions) {
    for (const Command& c : kCommands)
      for (const MenuItem& item : actions->menu())
        if (item.action == c.action)
          out += "  " + std::string(c.word) + std::string(10 - std::string(c.word).size(), ' ') + item.title +
                 (item.enabled ? "" : " (not available now)") + "\n";
  }
  out += "  copy      " + std::string(kCopyTitle) + "\n";
  for (const FormatSwitch& f : view_.formats)
    out += "  " + f.name + " on|off  " + f.toolTip + (f.on ? " (on)" : " (off)") + "\n";
  out += "  help      This list\n";
  write_(out);
}

}  // namespace bridge

#pragma once
// What the status window and the menu show, computed from the session core's
// status snapshot alone: every text, hidden flag, dot colour and menu
// enablement. Pure, so each toolkit front end only copies fields into widgets.
// Any thread.
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/bridge.h"

namespace bridge {

inline constexpr const char* kAppName = "Krevlo Bridge";
inline constexpr const char* kCopyTitle = "Copy Code";
inline constexpr const char* kCopiedTitle = "Copied";
inline constexpr const char* kSafariTitle = "Set up Safari";
inline constexpr const char* kRetryTitle = "Try Again";

// The status dot; each toolkit maps these to its own system colours.
enum class Dot { Red, Green, Tertiary };

// How the code area's big text is set.
enum class CodeStyle {
  Code,  // monospaced digits, 34 pt light: a pairing code
  Name,  // 22 pt regular: a browser's name, or "Pairing paused"
};

struct FormatSwitch {
  std::string name;
  bool on = true;
  std::string toolTip;
  bool operator==(const FormatSwitch&) const = default;
};

struct WindowView {
  Dot dot = Dot::Tertiary;
  std::string state;
  std::string code;
  CodeStyle codeStyle = CodeStyle::Code;
  bool copyHidden = true;
  std::string copyTitle = kCopyTitle;
  std::string detail;
  bool safariHidden = true;
  std::vector<FormatSwitch> formats;
  std::string skipped;
  bool skippedHidden = true;  // the skipped list and "Try Again" together
  std::string footer;
  bool operator==(const WindowView&) const = default;
};

enum class Action { None, ShowWindow, CheckForUpdates, NewCode, Rescan, Trust, Forget, Hide, Quit, CopyCode };

struct MenuItem {
  std::string title;  // empty for a separator
  Action action = Action::None;
  std::string key;  // with the primary modifier; a capital letter adds Shift
  bool enabled = true;
  bool separator() const { return action == Action::None; }
};

// `text` when it is valid UTF-8, else "": a toolkit string made from invalid
// bytes fails, and the window then shows nothing rather than garbage.
std::string shownText(std::string_view text);

// The format switches to build: every format of the hosts except "Test".
std::vector<std::string> switchFormats(const std::vector<std::string>& formats);

// In snapshot mode with QUILLET_SNAPSHOT_STATE "connected": one fake connected
// browser, and the certificate counts as trusted.
void applySnapshotState(Bridge::Status& status, bool& trusted);

// The window for one snapshot. `switches` are the built switches in host order;
// `hidden` the formats hidden from browsers.
WindowView makeWindowView(const Bridge::Status& status, bool trusted, const std::vector<std::string>& switches,
                          const std::set<std::string>& hidden);

// The application menu in order, separators included; "Check for Updates…"
// only with an updater. Everything is enabled except Safari set-up once the
// certificate is trusted.
std::vector<MenuItem> applicationMenu(bool hasUpdater, bool trusted);
bool actionEnabled(Action action, bool trusted);

}  // namespace bridge

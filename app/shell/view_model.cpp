#include "app/shell/view_model.h"

#include <cstdio>

#include "bridge/origins.h"

namespace bridge {

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool validUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n;
    unsigned lo = 0x80, hi = 0xBF;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (s.size() - i <= n) return false;
    for (size_t k = 1; k <= n; ++k) {
      unsigned char b = static_cast<unsigned char>(s[i + k]);
      if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return false;
    }
    i += n + 1;
  }
  return true;
}

std::string hostOf(const std::string& origin) {
  size_t at = origin.find("://");
  return at == std::string::npos ? origin : origin.substr(at + 3);
}

}  // namespace

std::string shownText(std::string_view text) { return validUtf8(text) ? std::string(text) : std::string(); }

std::vector<std::string> switchFormats(const std::vector<std::string>& formats) {
  std::vector<std::string> names;
  for (const std::string& f : formats)
    if (f != "Test") names.push_back(f);
  return names;
}

void applySnapshotState(Bridge::Status& status, bool& trusted) {
  Bridge::BrowserStatus fake;
  fake.origin = std::string(builtInOrigins[0]);
  fake.name = "Chrome";
  fake.ready = true;
  fake.tracks = 3;
  fake.slots = 5;
  status.browsers = {fake};
  trusted = true;
}

WindowView makeWindowView(const Bridge::Status& s, bool trusted, const std::vector<std::string>& switches,
                          const std::set<std::string>& hidden) {
  WindowView v;
  const Bridge::BrowserStatus* first = nullptr;
  long slots = 0;
  for (const auto& b : s.browsers) {
    if (!first && b.ready) first = &b;
    slots += b.slots;
  }

  if (!s.error.empty() || !s.running) {
    v.dot = Dot::Red;
    v.state = shownText(s.error.empty() ? "Not running" : s.error);
  } else if (first) {
    v.dot = Dot::Green;
    v.state = s.browsers.size() == 1 ? "Connected" : std::to_string(s.browsers.size()) + " browsers connected";
  } else {
    v.dot = Dot::Tertiary;
    v.state = "Waiting for the DAW";
  }

  if (first) {
    v.code = shownText(first->name.empty() ? "Browser" : first->name);
    v.codeStyle = CodeStyle::Name;
    std::string host = hostOf(first->origin);
    v.detail = shownText(slots == 0 ? host
                                    : host + "\n" + std::to_string(slots) + " plug-in" + (slots == 1 ? "" : "s") +
                                          " running");
    v.copyHidden = true;
  } else if (s.pairingPaused) {
    v.code = "Pairing paused";
    v.codeStyle = CodeStyle::Name;
    v.detail = "Wrong codes were typed. Choose New Pairing Code (\u2318N) to pair.";
    v.copyHidden = true;
  } else {
    bool six = s.code.size() == 6;
    v.code = shownText(six ? s.code.substr(0, 3) + " " + s.code.substr(3) : s.code);
    v.codeStyle = CodeStyle::Code;
    v.detail = "Enter this code in the DAW to connect.";
    v.copyHidden = !six;
  }

  v.safariHidden = !(s.tls && !trusted);

  for (const std::string& name : switches)
    v.formats.push_back({name, hidden.count(name) == 0, shownText("List " + name + " plug-ins in the DAW")});

  if (!s.failures.empty()) {
    std::string list;
    for (const std::string& f : s.failures) list += (list.empty() ? "" : ", ") + f;
    v.skipped = shownText("Skipped, crashed or didn't finish loading: " + list);
  }
  v.skippedHidden = s.failures.empty() || s.scanning;

  char cpu[64];
  std::snprintf(cpu, sizeof cpu, " \u00b7 CPU %.0f%%", s.cpu);
  v.footer = std::to_string(s.plugins) + " plug-ins" + (s.scanning ? ", looking for more\u2026" : "") + cpu;
  return v;
}

bool actionEnabled(Action action, bool trusted) { return !(action == Action::Trust && trusted); }

std::vector<MenuItem> applicationMenu(bool hasUpdater, bool trusted) {
  std::vector<MenuItem> items;
  auto add = [&](const char* title, Action action, const char* key) {
    items.push_back({title, action, key, actionEnabled(action, trusted)});
  };
  add("Show Krevlo Bridge", Action::ShowWindow, "0");
  if (hasUpdater) add("Check for Updates\u2026", Action::CheckForUpdates, "");
  items.push_back({});
  add("New Pairing Code", Action::NewCode, "n");
  add("Rescan Plug-ins", Action::Rescan, "r");
  add("Set Up Safari\u2026", Action::Trust, "");
  add("Forget Paired Browsers", Action::Forget, "");
  items.push_back({});
  add("Hide Krevlo Bridge", Action::Hide, "h");
  add("Quit Krevlo Bridge", Action::Quit, "q");
  return items;
}

}  // namespace bridge

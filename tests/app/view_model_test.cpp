// The window and menu computed from status snapshots.
#include "app/shell/view_model.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

namespace bridge {
namespace {

using Status = Bridge::Status;
using Browser = Bridge::BrowserStatus;

Browser browser(std::string name, bool ready, int slots = 0, std::string origin = "https://daw.krevlo.example") {
  Browser b;
  b.origin = std::move(origin);
  b.name = std::move(name);
  b.ready = ready;
  b.slots = slots;
  return b;
}

// Every field of the view as text, so one table can name what it checks.
std::map<std::string, std::string> fields(const WindowView& v) {
  auto shown = [](bool hidden) { return std::string(hidden ? "hidden" : "shown"); };
  std::string formats;
  for (const auto& f : v.formats) formats += f.name + (f.on ? "=on " : "=off ");
  return {
      {"dot", v.dot == Dot::Red ? "red" : v.dot == Dot::Green ? "green" : "tertiary"},
      {"state", v.state},
      {"code", v.code},
      {"style", v.codeStyle == CodeStyle::Code ? "code" : "name"},
      {"copy", shown(v.copyHidden)},
      {"detail", v.detail},
      {"safari", shown(v.safariHidden)},
      {"formats", formats},
      {"skipped", v.skipped},
      {"skippedList", shown(v.skippedHidden)},
      {"footer", v.footer},
  };
}

struct Case {
  const char* name;
  std::function<void(Status&)> setup;
  std::map<std::string, std::string> expect;
  bool trusted = false;
  bool snapshotConnected = false;
  std::set<std::string> hidden = {};
};

TEST(ViewModel, TableOfStatuses) {
  const std::vector<Case> cases = {
      {"waiting with a six-digit code",
       [](Status&) {},
       {{"dot", "tertiary"},
        {"state", "Waiting for the DAW"},
        {"code", "012 345"},
        {"style", "code"},
        {"copy", "shown"},
        {"detail", "Enter this code in the DAW to connect."},
        {"footer", "4 plug-ins \u00b7 CPU 13%"}}},
      {"not running without an error", [](Status& s) { s.running = false; },
       {{"dot", "red"}, {"state", "Not running"}}},
      {"the port is taken",
       [](Status& s) {
         s.running = false;
         s.error = "Port 47800 is in use. Is Krevlo Bridge already running?";
       },
       {{"dot", "red"}, {"state", "Port 47800 is in use. Is Krevlo Bridge already running?"}}},
      {"running with a certificate error", [](Status& s) { s.error = "Certificate: no key"; },
       {{"dot", "red"}, {"state", "Certificate: no key"}}},
      {"an unpaired connection alone is still waiting", [](Status& s) { s.browsers = {browser("", false)}; },
       {{"dot", "tertiary"}, {"state", "Waiting for the DAW"}, {"code", "012 345"}}},
      {"one paired browser",
       [](Status& s) { s.browsers = {browser("Firefox", true)}; },
       {{"dot", "green"},
        {"state", "Connected"},
        {"code", "Firefox"},
        {"style", "name"},
        {"copy", "hidden"},
        {"detail", "daw.krevlo.example"}}},
      {"an unpaired and a paired connection count as two",
       [](Status& s) { s.browsers = {browser("", false), browser("Chrome", true)}; },
       {{"dot", "green"}, {"state", "2 browsers connected"}, {"code", "Chrome"}}},
      {"an empty name, one slot: singular",
       [](Status& s) { s.browsers = {browser("", true, 1, "http://127.0.0.1:5173")}; },
       {{"code", "Browser"}, {"detail", "127.0.0.1:5173\n1 plug-in running"}}},
      {"slots add up over every record, ready or not",
       [](Status& s) { s.browsers = {browser("A", true, 2), browser("", false, 3)}; },
       {{"code", "A"}, {"detail", "daw.krevlo.example\n5 plug-ins running"}}},
      {"an origin without a scheme is the host", [](Status& s) { s.browsers = {browser("A", true, 0, "localhost")}; },
       {{"detail", "localhost"}}},
      {"pairing paused",
       [](Status& s) {
         s.pairingPaused = true;
         s.code.clear();
       },
       {{"code", "Pairing paused"},
        {"style", "name"},
        {"copy", "hidden"},
        {"detail", "Wrong codes were typed. Choose New Pairing Code (\u2318N) to pair."}}},
      {"a fixed code of other length is shown as it is", [](Status& s) { s.code = "12345"; },
       {{"code", "12345"}, {"style", "code"}, {"copy", "hidden"}}},
      {"TLS on, not trusted: Safari set-up offered", [](Status& s) { s.tls = true; }, {{"safari", "shown"}}},
      {"TLS on and trusted", [](Status& s) { s.tls = true; }, {{"safari", "hidden"}}, true},
      {"TLS off", [](Status& s) { s.tls = false; }, {{"safari", "hidden"}}},
      {"skipped files",
       [](Status& s) { s.failures = {"/a/x.clap (CLAP)", "/b/y.vst3 (VST3)"}; },
       {{"skipped", "Skipped, crashed or didn't finish loading: /a/x.clap (CLAP), /b/y.vst3 (VST3)"},
        {"skippedList", "shown"}}},
      {"skipped files wait while scanning",
       [](Status& s) {
         s.failures = {"/a/x.clap (CLAP)"};
         s.scanning = true;
       },
       {{"skippedList", "hidden"}, {"footer", "4 plug-ins, looking for more\u2026 \u00b7 CPU 13%"}}},
      {"no skipped files", [](Status&) {}, {{"skipped", ""}, {"skippedList", "hidden"}}},
      {"footer rounds the CPU figure",
       [](Status& s) {
         s.plugins = 1;
         s.cpu = 0.4;
       },
       {{"footer", "1 plug-ins \u00b7 CPU 0%"}}},
      {"format switches follow the hidden set", [](Status&) {}, {{"formats", "VST3=off CLAP=on "}}, false, false,
       {"VST3"}},
      {"invalid UTF-8 becomes empty text",
       [](Status& s) {
         s.running = false;
         s.error = "Port \xff";
         s.failures = {"/a/\xc3 (CLAP)"};
       },
       {{"state", ""}, {"skipped", ""}, {"skippedList", "shown"}}},
      {"invalid UTF-8 in a browser's name and origin",
       [](Status& s) { s.browsers = {browser("\xed\xa0\x80", true, 0, "https://\xc0\xaf")}; },
       {{"code", ""}, {"detail", ""}, {"dot", "green"}}},
      {"valid multi-byte text passes", [](Status& s) { s.browsers = {browser("Caf\u00e9 \U0001F3B5", true)}; },
       {{"code", "Caf\u00e9 \U0001F3B5"}}},
      {"snapshot mode shows a connected Chrome",
       [](Status& s) { s.tls = true; },
       {{"dot", "green"},
        {"state", "Connected"},
        {"code", "Chrome"},
        {"detail", "daw.krevlo.example\n5 plug-ins running"},
        {"safari", "hidden"}},
       false,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Status s;
    s.running = true;
    s.port = 47800;
    s.code = "012345";
    s.plugins = 4;
    s.cpu = 12.6;
    c.setup(s);
    bool trusted = c.trusted;
    if (c.snapshotConnected) applySnapshotState(s, trusted);
    auto got = fields(makeWindowView(s, trusted, {"VST3", "CLAP"}, c.hidden));
    for (const auto& [field, value] : c.expect) EXPECT_EQ(got.at(field), value) << field;
  }
}

TEST(ViewModel, SwitchesLeaveOutTheTestFormat) {
  EXPECT_EQ(switchFormats({"AU", "Test", "VST3", "CLAP"}), (std::vector<std::string>{"AU", "VST3", "CLAP"}));
  WindowView v = makeWindowView(Status{}, false, {"CLAP"}, {});
  ASSERT_EQ(v.formats.size(), 1u);
  EXPECT_EQ(v.formats[0].toolTip, "List CLAP plug-ins in the DAW");
}

TEST(ViewModel, MenuOrderAndEnablement) {
  auto titles = [](const std::vector<MenuItem>& items) {
    std::string out;
    for (const auto& i : items) out += (i.separator() ? "-" : i.title + (i.enabled ? "" : "(off)")) + "|";
    return out;
  };
  EXPECT_EQ(titles(applicationMenu(false, false)),
            "Show Krevlo Bridge|-|New Pairing Code|Rescan Plug-ins|Set Up Safari\u2026|Forget Paired Browsers|-|"
            "Hide Krevlo Bridge|Quit Krevlo Bridge|");
  EXPECT_EQ(titles(applicationMenu(true, true)),
            "Show Krevlo Bridge|Check for Updates\u2026|-|New Pairing Code|Rescan Plug-ins|Set Up Safari\u2026(off)|"
            "Forget Paired Browsers|-|Hide Krevlo Bridge|Quit Krevlo Bridge|");
  std::string keys;
  for (const auto& i : applicationMenu(true, false)) keys += i.key + ",";
  EXPECT_EQ(keys, "0,,,n,r,,,,h,q,");
}

}  // namespace
}  // namespace bridge

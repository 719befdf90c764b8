// The terminal front end: what it prints, and what typed lines do.
#include "app/shell/terminal_ui.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/fake_shell.h"
#include "support/test_dir.h"

namespace bridge {
namespace {

WindowView sampleView() {
  Bridge::Status s;
  s.running = true;
  s.code = "012345";
  s.tls = true;
  s.plugins = 2;
  s.failures = {"/x/bad.clap (CLAP)"};
  return makeWindowView(s, false, {"VST3", "CLAP"}, {"VST3"});
}

class TerminalTest : public ::testing::Test {
 protected:
  std::string out;
  std::shared_ptr<test::RecordingActions> actions = std::make_shared<test::RecordingActions>();

  std::unique_ptr<TerminalUi> make(bool interactive) {
    auto ui = std::make_unique<TerminalUi>([this](const std::string& s) { out += s; }, interactive);
    ui->build(actions);
    return ui;
  }
  std::string take() { return std::exchange(out, {}); }
};

TEST_F(TerminalTest, PlainOutputPrintsTheWindowWhenItChanges) {
  auto ui = make(false);
  WindowView v = sampleView();
  ui->show(v);
  EXPECT_EQ(take(),
            "Krevlo Bridge\n"
            "Status: Waiting for the DAW\n"
            "Code: 012 345  (type \"copy\" to copy it)\n"
            "Enter this code in the DAW to connect.\n"
            "Set up Safari: type \"safari\"\n"
            "Formats: [ ] VST3 [x] CLAP\n"
            "Skipped, crashed or didn't finish loading: /x/bad.clap (CLAP)\n"
            "Try Again: type \"rescan\"\n"
            "2 plug-ins \u00b7 CPU 0%\n"
            "Type \"help\" for the commands.\n\n");
  ui->show(v);
  v.footer = "2 plug-ins \u00b7 CPU 7%";
  v.copyTitle = kCopiedTitle;
  ui->show(v);
  EXPECT_EQ(take(), "") << "the CPU figure and the button title alone print nothing";
  v.state = "Connected";
  ui->show(v);
  std::string again = take();
  EXPECT_NE(again.find("Status: Connected\n"), std::string::npos);
  EXPECT_NE(again.find("CPU 7%"), std::string::npos);
  EXPECT_EQ(again.find('\x1b'), std::string::npos) << "no escapes when not a terminal";
  ui->showWindow();
  EXPECT_NE(take().find("Status: Connected"), std::string::npos) << "show prints it again";
}

TEST_F(TerminalTest, TerminalOutputRedrawsInPlace) {
  auto ui = make(true);
  WindowView v = sampleView();
  ui->show(v);
  std::string first = take();
  EXPECT_EQ(first.rfind("\x1b[H\x1b[2J", 0), 0u);
  EXPECT_NE(first.find("\x1b[90m\u25cf\x1b[0m Status: Waiting"), std::string::npos);
  v.footer = "2 plug-ins \u00b7 CPU 7%";
  ui->show(v);
  EXPECT_EQ(take(), "");
  std::vector<size_t> answers;
  ui->alert({"Q?", "", {"Yes", "No"}}, [&](size_t b) { answers.push_back(b); });
  take();
  v.state = "Connected";
  ui->show(v);
  std::string redrawn = take();
  EXPECT_NE(redrawn.find("CPU 7%"), std::string::npos);
  EXPECT_NE(redrawn.find("Q?\nType 1 for Yes or 2 for No:\n"), std::string::npos) << "the open question again";
}

TEST_F(TerminalTest, CommandsBecomeActions) {
  auto ui = make(false);
  ui->show(sampleView());
  take();
  ui->feed("new\nRESCAN\r\nfor");
  ui->feed("get\n  vst3 on \nCLAP off\nquit\nshow\ncopy\n");
  EXPECT_EQ(actions->performed, (std::vector<Action>{Action::NewCode, Action::Rescan, Action::Forget, Action::Quit,
                                                     Action::ShowWindow, Action::CopyCode}));
  EXPECT_EQ(actions->toggled, (std::vector<std::pair<std::string, bool>>{{"VST3", true}, {"CLAP", false}}));
  EXPECT_EQ(take(), "");

  ui->feed("updates\nAU off\nbogus\n");
  EXPECT_EQ(take(), "Unknown command \"updates\". Type \"help\" for the commands.\n"
                    "Unknown command \"AU off\". Type \"help\" for the commands.\n"
                    "Unknown command \"bogus\". Type \"help\" for the commands.\n");
  actions->trusted = true;
  ui->feed("safari\n");
  EXPECT_EQ(take(), "Set Up Safari\u2026 is not available now.\n");
  EXPECT_EQ(actions->performed.size(), 6u);

  ui->feed("help\n");
  std::string help = take();
  EXPECT_NE(help.find("  new       New Pairing Code\n"), std::string::npos);
  EXPECT_NE(help.find("  safari    Set Up Safari\u2026 (not available now)\n"), std::string::npos);
  EXPECT_NE(help.find("  CLAP on|off  List CLAP plug-ins in the DAW (on)\n"), std::string::npos);
  EXPECT_EQ(help.find("updates"), std::string::npos) << "no updater, no command";

  Bridge::Status paused;
  paused.running = true;
  paused.pairingPaused = true;
  ui->show(makeWindowView(paused, false, {}, {}));
  take();
  ui->feed("copy\n");
  EXPECT_EQ(take(), "There is no pairing code to copy now.\n");
}

TEST_F(TerminalTest, AlertsAreQuestionsAnsweredByTheNextLine) {
  auto ui = make(false);
  std::vector<size_t> answers;
  ui->alert({"Set up Safari?", "Why.", {"Continue", "Cancel"}}, [&](size_t b) { answers.push_back(b); });
  EXPECT_EQ(take(), "Set up Safari?\nWhy.\nType 1 for Continue or 2 for Cancel:\n");
  ui->feed("new\n");
  EXPECT_TRUE(actions->performed.empty()) << "a line answers the question, it is no command";
  EXPECT_EQ(take(), "Set up Safari?\nWhy.\nType 1 for Continue or 2 for Cancel:\n");
  ui->feed("2\n");
  ui->alert({"Set up Safari?", "Why.", {"Continue", "Cancel"}}, [&](size_t b) { answers.push_back(b); });
  ui->feed("continue\n");
  EXPECT_EQ(answers, (std::vector<size_t>{1, 0}));

  take();
  ui->alert({"The certificate was not added", "certutil failed", {"OK"}}, [&](size_t b) { answers.push_back(b + 10); });
  EXPECT_EQ(take(), "The certificate was not added\ncertutil failed\n\n");
  EXPECT_EQ(answers.back(), 10u) << "a one-button alert needs no answer";
}

TEST_F(TerminalTest, FolderChooserReadsAPath) {
  namespace fs = std::filesystem;
  fs::create_directories(test::testDir() / "stems");
  std::ofstream(test::testDir() / "file.wav") << "x";
  auto ui = make(false);
  std::vector<std::string> answers;
  auto record = [&](std::string p) { answers.push_back(p); };

  ui->chooseFolder({"Add to Places", "Choose."}, record);
  EXPECT_EQ(take(), "Add to Places: Choose.\nType the folder's path (an empty line cancels):\n");
  ui->feed((test::testDir() / "file.wav").string() + "\n");
  EXPECT_EQ(take().rfind("Not a folder: ", 0), 0u);
  ui->feed((test::testDir() / "stems").string() + "/\n");
  ui->chooseFolder({"Add to Places", "Choose."}, record);
  ui->feed("~/stems/../stems\n");
  ui->chooseFolder({"Add to Places", "Choose."}, record);
  ui->feed("\n");
  std::string stems = (test::testDir() / "stems").string();
  EXPECT_EQ(answers, (std::vector<std::string>{stems, stems, ""}));
}

TEST_F(TerminalTest, QuestionsWaitTheirTurnAndEndOfInputCancelsThem) {
  auto ui = make(false);
  std::vector<std::string> answers;
  ui->alert({"Q?", "", {"Yes", "No"}}, [&](size_t b) { answers.push_back("alert " + std::to_string(b)); });
  ui->chooseFolder({"Add to Places", "Choose."}, [&](std::string p) { answers.push_back("folder " + p); });
  EXPECT_EQ(take(), "Q?\nType 1 for Yes or 2 for No:\n") << "one question at a time";
  ui->feed("1\n");
  EXPECT_EQ(take(), "Add to Places: Choose.\nType the folder's path (an empty line cancels):\n");
  ui->alert({"Q2?", "", {"Yes", "No"}}, [&](size_t b) { answers.push_back("alert " + std::to_string(b)); });
  ui->endOfInput();
  EXPECT_EQ(answers, (std::vector<std::string>{"alert 0", "folder ", "alert 1"}));
  ui->chooseFolder({"Add to Places", "Choose."}, [&](std::string p) { answers.push_back("late " + p); });
  EXPECT_EQ(answers.back(), "late ") << "nobody can answer any more";
}

}  // namespace
}  // namespace bridge

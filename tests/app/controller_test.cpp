// The application controller against a fake front end, a fake session core, a
// hand-moved clock and a background runner that runs inline or on demand.
#include "app/shell/controller.h"

#include <gtest/gtest.h>

#include "app/shell/poll_loop.h"
#include "support/fake_shell.h"
#include "support/manual_clock.h"
#include "support/test_dir.h"

namespace bridge {
namespace {

using test::FakeBridgeControl;
using test::FakeUi;
using test::FakeUpdater;

class ControllerTest : public ::testing::Test {
 protected:
  MainQueue queue;
  test::ManualClock clock;
  PollLoop loop{queue, clock.fn()};
  FakeUi ui;
  test::FakeBackground background;
  FakeBridgeControl* core = nullptr;  // owned by the controller
  FakeUpdater* updater = nullptr;     // owned by the controller
  std::shared_ptr<AppController> controller;
  ShellEnvironment env;
  BridgeOptions options;
  Platform platform;
  std::string updateKey;
  bool makeUpdater = false;
  int trustChecks = 0;
  bool trustAnswer = false;
  int installs = 0;
  bool installAnswer = true;
  std::string installError;

  ControllerTest() {
    env.dataDir = test::testDir() / "data";
    env.origins = {"http://127.0.0.1:5173"};
  }

  void launch(std::function<void(FakeBridgeControl&)> configure = {}) {
    ShellServices s;
    s.loop = &loop;
    s.runOnMain = [this](std::function<void()> job) { queue.post(std::move(job)); };
    s.background = background.fn();
    s.identityTrusted = [this](const std::filesystem::path& dir) {
      EXPECT_EQ(dir, env.dataDir);
      ++trustChecks;
      return trustAnswer;
    };
    s.trustAuthority = [this](const std::filesystem::path& dir, std::string& error) {
      EXPECT_EQ(dir, env.dataDir);
      ++installs;
      error = installError;
      return installAnswer;
    };
    s.updateKey = updateKey;
    if (makeUpdater)
      s.makeUpdater = [this] {
        auto u = std::make_unique<FakeUpdater>();
        updater = u.get();
        return u;
      };
    controller = std::make_shared<AppController>(ui, std::move(s));
    controller->launch(env, [&](BridgeOptions o, Platform p) {
      options = o;
      platform = p;
      auto c = std::make_unique<FakeBridgeControl>();
      core = c.get();
      c->status_.running = true;
      c->status_.port = o.port;
      c->status_.code = "012345";
      c->status_.tls = true;
      c->changed = p.changed;
      if (configure) configure(*c);
      return c;
    });
    queue.drain();
  }

  void advance(double ms) {
    clock.advance(ms);
    loop.runReady();
  }
};

TEST_F(ControllerTest, LaunchBuildsAndStartsEverythingOnce) {
  launch();
  EXPECT_EQ(options.dataDir, env.dataDir);
  EXPECT_EQ(options.port, 47800);
  EXPECT_EQ(options.origins, env.origins);
  EXPECT_TRUE(options.fixedCode.empty());
  EXPECT_EQ(core->starts, 1);
  EXPECT_EQ(ui.builds, 1);
  EXPECT_EQ(ui.activities, (std::vector<std::string>{"Processing audio for browser DAW tracks"}));
  EXPECT_TRUE(ui.appearance.empty());
  EXPECT_EQ(trustChecks, 1);
  EXPECT_EQ(ui.shown.code, "012 345");
  EXPECT_EQ(ui.shown.formats.size(), 2u);

  // The Bridge's jobs go to the main queue and never run inline.
  bool ran = false;
  platform.runOnMain([&] { ran = true; });
  EXPECT_FALSE(ran);
  queue.drain();
  EXPECT_TRUE(ran);
}

TEST_F(ControllerTest, RefreshesEverySecondAndOnChange) {
  launch();
  int calls = core->statusCalls;
  advance(999);
  EXPECT_EQ(core->statusCalls, calls);
  advance(1);
  EXPECT_GT(core->statusCalls, calls);
  core->status_.code = "999999";
  platform.changed();
  EXPECT_EQ(ui.shown.code, "999 999");
}

TEST_F(ControllerTest, AppearanceOnlyWhenAsked) {
  const std::vector<std::pair<std::optional<std::string>, std::vector<bool>>> cases = {
      {std::nullopt, {}}, {"dark", {true}}, {"Dark", {false}}, {"", {false}}, {"light", {false}}};
  for (const auto& [value, expected] : cases) {
    ui.appearance.clear();
    env.appearance = value;
    launch();
    EXPECT_EQ(ui.appearance, expected) << value.value_or("(unset)");
  }
}

TEST_F(ControllerTest, UpdaterOnlyWithAKeyAndWithoutSnapshot) {
  makeUpdater = true;
  launch();
  EXPECT_EQ(updater, nullptr) << "no key, no updater";
  EXPECT_EQ(controller->menu()[1].title, "");

  updateKey = "key";
  env.snapshot = test::testDir() / "shot.png";
  launch();
  EXPECT_EQ(updater, nullptr) << "a snapshot run never updates";

  env.snapshot.reset();
  launch();
  ASSERT_NE(updater, nullptr);
  EXPECT_EQ(updater->starts, 1);
  EXPECT_EQ(controller->menu()[1].title, "Check for Updates\u2026");
  controller->perform(Action::CheckForUpdates);
  EXPECT_EQ(updater->checks, 1);
}

TEST_F(ControllerTest, MenuActionsReachTheBridgeAndTheLoop) {
  launch();
  controller->perform(Action::NewCode);
  controller->perform(Action::Rescan);
  controller->perform(Action::Forget);
  controller->perform(Action::ShowWindow);
  controller->perform(Action::Hide);
  EXPECT_EQ(core->newCodes, 1);
  EXPECT_EQ(core->rescans, 1);
  EXPECT_EQ(core->forgets, 1);
  EXPECT_EQ(ui.windowShown, 1);
  EXPECT_EQ(ui.hidden, 1);
  EXPECT_FALSE(loop.quitting());
  controller->perform(Action::Quit);
  EXPECT_TRUE(loop.quitting());
  EXPECT_TRUE(controller->hasBridge()) << "the Bridge goes only when the loop has ended";
  controller->terminate();
  EXPECT_FALSE(controller->hasBridge());
  controller->refresh();
  controller->perform(Action::NewCode);
}

TEST_F(ControllerTest, CopyCodeAndItsTitleReset) {
  launch();
  controller->perform(Action::CopyCode);
  EXPECT_EQ(ui.clipboard, "012345") << "digits without the space";
  EXPECT_EQ(ui.shown.copyTitle, "Copied");
  advance(1000);  // a refresh in between keeps the title
  EXPECT_EQ(ui.shown.copyTitle, "Copied");
  advance(499);
  EXPECT_EQ(ui.shown.copyTitle, "Copied");
  advance(1);
  EXPECT_EQ(ui.shown.copyTitle, "Copy Code");

  ui.clipboard.clear();
  core->status_.code.clear();
  core->status_.pairingPaused = true;
  controller->perform(Action::CopyCode);
  EXPECT_EQ(ui.clipboard, "");
  EXPECT_EQ(ui.shown.copyTitle, "Copy Code");
}

TEST_F(ControllerTest, FormatSwitchesKeptAcrossRefreshes) {
  launch([](FakeBridgeControl& c) { c.formats_ = {"VST3", "Test", "CLAP"}; });
  ASSERT_EQ(ui.shown.formats.size(), 2u);
  EXPECT_EQ(ui.shown.formats[0].name, "VST3");
  EXPECT_EQ(ui.shown.formats[1].name, "CLAP");
  controller->formatToggled("VST3", false);
  EXPECT_FALSE(ui.shown.formats[0].on);
  advance(3000);
  EXPECT_FALSE(ui.shown.formats[0].on);
  EXPECT_TRUE(ui.shown.formats[1].on);
  controller->formatToggled("VST3", true);
  advance(1000);
  EXPECT_TRUE(ui.shown.formats[0].on);
}

TEST_F(ControllerTest, TrustCancelStartsNothing) {
  launch();
  int started = background.started;
  controller->perform(Action::Trust);
  ASSERT_EQ(ui.alerts.size(), 1u);
  const Alert& a = ui.alerts[0].alert;
  EXPECT_EQ(a.message, "Set up Safari?");
  EXPECT_EQ(a.informative,
            "Safari only connects to Krevlo Bridge over an encrypted connection. Krevlo Bridge made its own "
            "certificate for 127.0.0.1 (this Mac only) when it first started, and threw away the key that signed it, "
            "so it can never sign anything else.\n\nmacOS asks for your password next.");
  EXPECT_EQ(a.buttons, (std::vector<std::string>{"Continue", "Cancel"}));
  ui.alerts[0].done(1);
  queue.drain();
  EXPECT_EQ(background.started, started);
  EXPECT_EQ(installs, 0);
  EXPECT_EQ(ui.alerts.size(), 1u);
  EXPECT_EQ(trustChecks, 1);
}

TEST_F(ControllerTest, TrustFailureShowsTheErrorThenChecksAgain) {
  launch();
  installAnswer = false;
  installError = "certutil exited with 255";
  controller->perform(Action::Trust);
  ui.alerts[0].done(0);
  EXPECT_EQ(installs, 1);
  queue.drain();
  ASSERT_EQ(ui.alerts.size(), 2u);
  EXPECT_EQ(ui.alerts[1].alert.message, "The certificate was not added");
  EXPECT_EQ(ui.alerts[1].alert.informative, "certutil exited with 255");
  EXPECT_EQ(ui.alerts[1].alert.buttons.size(), 1u);
  ui.alerts[1].done(0);
  queue.drain();
  EXPECT_EQ(trustChecks, 2);
  EXPECT_FALSE(controller->trusted());
  EXPECT_FALSE(ui.shown.safariHidden);
}

TEST_F(ControllerTest, TrustSuccessHidesTheButtonAndDisablesTheMenu) {
  launch();
  EXPECT_FALSE(ui.shown.safariHidden);
  controller->perform(Action::Trust);
  trustAnswer = true;
  ui.alerts[0].done(0);
  queue.drain();
  EXPECT_EQ(ui.alerts.size(), 1u) << "no alert on success";
  EXPECT_EQ(trustChecks, 2);
  EXPECT_TRUE(controller->trusted());
  EXPECT_TRUE(ui.shown.safariHidden);
  for (const MenuItem& item : controller->menu()) EXPECT_EQ(item.enabled, item.action != Action::Trust);
  controller->perform(Action::Trust);
  EXPECT_EQ(ui.alerts.size(), 1u) << "a disabled item does nothing";
}

TEST_F(ControllerTest, SecondSetUpWhileOneRunsStartsNothing) {
  launch();
  background.hold = true;
  controller->perform(Action::Trust);
  controller->perform(Action::Trust);
  ASSERT_EQ(ui.alerts.size(), 1u);
  ui.alerts[0].done(0);
  ui.alerts[0].done(0);  // a front end that answers twice
  ASSERT_EQ(background.held.size(), 1u);
  controller->perform(Action::Trust);
  EXPECT_EQ(ui.alerts.size(), 1u) << "the installation is still running";
  background.run(0);
  queue.drain();
  EXPECT_EQ(installs, 1);
  controller->perform(Action::Trust);
  EXPECT_EQ(ui.alerts.size(), 2u) << "once it finished, a new set-up may start";
}

TEST_F(ControllerTest, OlderTrustCheckFinishingLastDoesNotOverwrite) {
  background.hold = true;
  launch();  // check #0 held
  controller->checkTrust();  // check #1 held
  ASSERT_EQ(background.held.size(), 2u);
  trustAnswer = false;
  background.run(1);
  queue.drain();
  EXPECT_FALSE(controller->trusted());
  trustAnswer = true;
  background.run(0);
  queue.drain();
  EXPECT_FALSE(controller->trusted()) << "the newer check's answer stands";

  // In order, each answer counts.
  controller->checkTrust();
  controller->checkTrust();
  trustAnswer = true;
  background.run(2);
  queue.drain();
  EXPECT_TRUE(controller->trusted());
  trustAnswer = false;
  background.run(3);
  queue.drain();
  EXPECT_FALSE(controller->trusted());
}

TEST_F(ControllerTest, FolderPickerCompletesExactlyOnce) {
  launch();
  std::vector<std::string> answers;
  platform.pickFolder([&](std::string path) { answers.push_back(path); });
  EXPECT_TRUE(ui.folders.empty()) << "the asking request finishes first";
  queue.drain();
  ASSERT_EQ(ui.folders.size(), 1u);
  EXPECT_EQ(ui.folders[0].prompt.prompt, "Add to Places");
  EXPECT_EQ(ui.folders[0].prompt.message,
            "Choose a folder of samples or stems. Browsers paired with Krevlo Bridge can list and read the audio "
            "files in it.");
  ui.folders[0].done("/music/stems");
  ui.folders[0].done("/elsewhere");
  EXPECT_EQ(answers, (std::vector<std::string>{"/music/stems"}));

  // Cancelled, and a front end that lets the chooser go without answering.
  platform.pickFolder([&](std::string path) { answers.push_back("cancel:" + path); });
  platform.pickFolder([&](std::string path) { answers.push_back("dropped:" + path); });
  queue.drain();
  ASSERT_EQ(ui.folders.size(), 3u);
  ui.folders[1].done("");
  ui.folders.pop_back();
  EXPECT_EQ(answers, (std::vector<std::string>{"/music/stems", "cancel:", "dropped:"}));

  // Once the controller is gone, nothing is asked and nothing answered.
  platform.pickFolder([&](std::string path) { answers.push_back("late:" + path); });
  controller.reset();
  queue.drain();
  EXPECT_EQ(ui.folders.size(), 2u);
  EXPECT_EQ(answers.size(), 3u);
}

TEST_F(ControllerTest, UpdateWaitsWhileAudioFlows) {
  updateKey = "key";
  makeUpdater = true;
  launch();
  core->status_.busy = true;
  int first = 0, second = 0;
  updater->willInstall([&] { ++first; });
  advance(1000);
  updater->willInstall([&] { ++second; });
  advance(5000);
  EXPECT_EQ(first + second, 0);
  core->status_.busy = false;
  advance(1000);
  EXPECT_EQ(first, 0) << "only the later installation is kept";
  EXPECT_EQ(second, 1);
  advance(3000);
  EXPECT_EQ(second, 1);

  // Idle at once: installed straight away.
  int third = 0;
  updater->willInstall([&] { ++third; });
  EXPECT_EQ(third, 1);
}

TEST_F(ControllerTest, UpdateAnnouncedInsideARefreshRunsOnceAndNotNested) {
  updateKey = "key";
  makeUpdater = true;
  launch();
  int runs = 0, nestedRuns = 0, laterRuns = 0;
  bool inStatus = false, inInstall = false, announce = true;
  core->onStatus = [&] {
    if (!announce) return;
    announce = false;
    inStatus = true;
    updater->willInstall([&] {
      ++runs;
      if (inStatus) ++nestedRuns;
      // The installation itself announces another one.
      inInstall = true;
      updater->willInstall([&] {
        ++laterRuns;
        if (inInstall) ++nestedRuns;
      });
      inInstall = false;
    });
    inStatus = false;
  };
  advance(1000);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(laterRuns, 1);
  EXPECT_EQ(nestedRuns, 0);
  advance(3000);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(laterRuns, 1);
}

TEST_F(ControllerTest, SnapshotRefreshesSavesAndQuits) {
  updateKey = "key";
  makeUpdater = true;
  env.snapshot = (test::testDir() / "window.png").string();
  env.snapshotState = "connected";
  ui.snapshotWrites = false;  // a failed write still ends the run
  launch();
  EXPECT_EQ(updater, nullptr);
  EXPECT_EQ(ui.shown.state, "Connected");
  EXPECT_EQ(ui.shown.code, "Chrome");
  EXPECT_EQ(ui.shown.detail, "daw.krevlo.example\n5 plug-ins running");
  EXPECT_TRUE(ui.shown.safariHidden);
  advance(1999);
  EXPECT_TRUE(ui.snapshots.empty());
  advance(1);
  EXPECT_EQ(ui.snapshots, (std::vector<std::string>{*env.snapshot}));
  EXPECT_TRUE(loop.quitting());
}

TEST_F(ControllerTest, SnapshotPathThatIsNotUtf8BecomesEmpty) {
  env.snapshot = "/tmp/\xff.png";
  launch();
  advance(2000);
  EXPECT_EQ(ui.snapshots, (std::vector<std::string>{""}));
}

}  // namespace
}  // namespace bridge

// Start-up against the real system: the data folder, the environment, the
// assembled Bridge, and the shutdown signals.
#include "app/shell/startup.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <csignal>
#include <cstdlib>
#include <fstream>

#include "app/shell/signals.h"
#include "support/test_dir.h"

namespace bridge {
namespace {

namespace fs = std::filesystem;

TEST(Startup, DataFolderFollowsXdgDataHome) {
  const fs::path home = test::testDir();
  ::unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(dataFolder(), home / ".local/share/Quillet");
  ::setenv("XDG_DATA_HOME", "", 1);
  EXPECT_EQ(dataFolder(), home / ".local/share/Quillet") << "empty counts as unset";
  ::setenv("XDG_DATA_HOME", "/srv/data", 1);
  EXPECT_EQ(dataFolder(), fs::path("/srv/data/Quillet"));
  ::unsetenv("XDG_DATA_HOME");
}

TEST(Startup, EnvironmentIsTakenAsItIs) {
  ::setenv("QUILLET_ORIGINS", "http://a.example,http://b.example", 1);
  ::setenv("QUILLET_APPEARANCE", "Dark", 1);
  ::unsetenv("QUILLET_SNAPSHOT");
  ::setenv("QUILLET_SNAPSHOT_STATE", "connected", 1);
  ShellEnvironment e = readEnvironment();
  EXPECT_EQ(e.origins, (std::vector<std::string>{"http://a.example,http://b.example"})) << "one origin, whole";
  EXPECT_EQ(e.appearance, "Dark");
  EXPECT_FALSE(e.snapshot);
  EXPECT_EQ(e.snapshotState, "connected");
  EXPECT_EQ(e.dataDir, dataFolder());

  ::setenv("QUILLET_ORIGINS", "", 1);
  EXPECT_EQ(readEnvironment().origins, (std::vector<std::string>{""}));
  ::unsetenv("QUILLET_ORIGINS");
  ::unsetenv("QUILLET_APPEARANCE");
  ::unsetenv("QUILLET_SNAPSHOT_STATE");
  e = readEnvironment();
  EXPECT_TRUE(e.origins.empty());
  EXPECT_FALSE(e.appearance);
  EXPECT_EQ(e.snapshotState, "");
}

TEST(Startup, AssembledBridgeHasTheBuiltHostsInOrder) {
  BridgeOptions options;
  options.dataDir = test::testDir() / "data";
  Platform platform;
  platform.runOnMain = runOnMainQueue;
  auto core = assembleBridge(std::move(options), std::move(platform));
  EXPECT_EQ(core->formats(), (std::vector<std::string>{"AU", "VST3", "CLAP"}));
  EXPECT_FALSE(core->status().running);
  core.reset();
  applicationQueue().drain();
}

TEST(Startup, HiddenFormatsAreTheBridgesOwn) {
  const fs::path dir = test::testDir() / "data";
  auto open = [&](const fs::path& d) {
    BridgeOptions options;
    options.dataDir = d;
    Platform platform;
    platform.runOnMain = runOnMainQueue;
    return assembleBridge(std::move(options), std::move(platform));
  };
  auto core = open(dir);
  EXPECT_TRUE(core->hiddenFormats().empty());
  core->setFormatShown("VST3", false);
  EXPECT_EQ(core->hiddenFormats(), (std::set<std::string>{"VST3"}));
  core.reset();
  core = open(dir);
  EXPECT_EQ(core->hiddenFormats(), (std::set<std::string>{"VST3"})) << "kept across restarts";
  core->setFormatShown("VST3", true);
  EXPECT_TRUE(core->hiddenFormats().empty());
  core.reset();

  // A folder that cannot be made (even by root): the Bridge takes the switch
  // back, and so does what the shell shows.
  std::ofstream(test::testDir() / "file") << "x";
  core = open(test::testDir() / "file" / "data");
  core->setFormatShown("CLAP", false);
  EXPECT_TRUE(core->hiddenFormats().empty());
  core.reset();
  applicationQueue().drain();
}

TEST(Startup, HiddenFormatsAreReadFromTheFileOnlyAtStart) {
  const fs::path dir = test::testDir() / "data";
  auto open = [&] {
    BridgeOptions options;
    options.dataDir = dir;
    Platform platform;
    platform.runOnMain = runOnMainQueue;
    return assembleBridge(std::move(options), std::move(platform));
  };
  auto core = open();
  core->setFormatShown("VST3", false);
  core.reset();
  core = open();
  // From now on the file cannot be read (nor written, even by root): what was
  // read at start still answers every refresh.
  const fs::path settings = dir / "settings.json";
  fs::remove(settings);
  fs::create_directory(settings);
  const std::set<std::string> want{"VST3"};
  for (int refresh = 0; refresh < 20; ++refresh) ASSERT_EQ(core->hiddenFormats(), want) << "refresh " << refresh;
  // A switch that cannot be saved is taken back, in what the shell shows too.
  core->setFormatShown("CLAP", false);
  EXPECT_EQ(core->hiddenFormats(), want);
  core.reset();
  applicationQueue().drain();
}

TEST(Startup, ShutdownSignalsBecomeReadable) {
  ShutdownSignals signals;
  pollfd p{signals.fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0);
  EXPECT_EQ(signals.take(), 0);
  ::raise(SIGTERM);
  EXPECT_EQ(::poll(&p, 1, 1000), 1);
  EXPECT_EQ(signals.take(), SIGTERM);
  ::raise(SIGINT);
  EXPECT_EQ(signals.take(), SIGINT);
  EXPECT_EQ(::poll(&p, 1, 0), 0);
}

}  // namespace
}  // namespace bridge

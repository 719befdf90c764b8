#include "app/shell/startup.h"

#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "bridge/origins.h"
#include "engine/midi_ports.h"
#include "hosting/au_host.h"
#include "hosting/clap_host.h"
#include "hosting/vst3_host.h"

namespace bridge {

namespace {

std::optional<std::string> variable(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  return std::string(v);
}

}  // namespace

std::filesystem::path dataFolder() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg) return std::filesystem::path(xdg) / "Quillet";
  std::string home;
  if (const char* h = std::getenv("HOME"); h && *h) {
    home = h;
  } else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
    home = pw->pw_dir;
  }
  return std::filesystem::path(home) / ".local" / "share" / "Quillet";
}

ShellEnvironment readEnvironment() {
  ShellEnvironment e;
  e.dataDir = dataFolder();
  e.origins = originsFromEnvironment();
  e.appearance = variable("QUILLET_APPEARANCE");
  e.snapshot = variable("QUILLET_SNAPSHOT");
  e.snapshotState = variable("QUILLET_SNAPSHOT_STATE").value_or("");
  return e;
}

MainQueue& applicationQueue() {
  static MainQueue* queue = new MainQueue;
  return *queue;
}

void runOnMainQueue(std::function<void()> job) { applicationQueue().post(std::move(job)); }

long raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return static_cast<long>(limit.rlim_cur);
}

void runDetached(std::function<void()> job) { std::thread(std::move(job)).detach(); }

std::unique_ptr<BridgeControl> assembleBridge(BridgeOptions options, Platform platform) {
  std::filesystem::path dataDir = options.dataDir;
  auto runOnMain = platform.runOnMain;
  auto core = std::make_unique<Bridge>(std::move(options), std::move(platform));
  core->addHost(makeAuHost(runOnMain));
  core->addHost(makeVst3Host(dataDir, {}, runOnMain));
  core->addHost(makeClapHost(dataDir, {}, runOnMain));
  core->setMidi(makeSystemMidi());
  return controlBridge(std::move(core));
}

}  // namespace bridge

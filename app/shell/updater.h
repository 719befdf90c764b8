#pragma once
// Application updates. An updater is made only when the build carries an
// update signing key, and this build carries none, so in a release no updater
// exists; the interface keeps the shell's update logic whole and testable.
//
// Threads: main thread. The updater calls `willInstall` on the main thread.
#include <functional>
#include <memory>
#include <string>

namespace bridge {

class Updater {
 public:
  // An update is ready; calling `install` (once, without arguments) installs it
  // and relaunches. The shell decides when.
  using WillInstall = std::function<void(std::function<void()> install)>;

  virtual ~Updater() = default;
  // Starts checking in the background.
  virtual void start(WillInstall willInstall) = 0;
  // The "Check for Updates…" menu item.
  virtual void checkForUpdates() = 0;
};

// The update signing key of this build: empty.
inline constexpr const char* kUpdateSigningKey = "";

using UpdaterFactory = std::function<std::unique_ptr<Updater>()>;

}  // namespace bridge

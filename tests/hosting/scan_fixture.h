#pragma once
// Fixtures for examination tests: copies of our built test plug-ins, a spy that
// records every helper run before it hands over to the real helper, and scoped
// environment variables.
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "util/files.h"

namespace bridge::test {

namespace fs = std::filesystem;

inline fs::path builtPlugins() { return KREVLO_TEST_PLUGINS; }

// Copies a built plug-in (a .clap file or a .vst3 bundle) to `to`. Copies, not
// links: the loader hands out one image per inode.
inline fs::path copyPlugin(const std::string& built, const fs::path& to) {
  fs::create_directories(to.parent_path());
  fs::copy(builtPlugins() / built, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  return to;
}

// A VST3 bundle keeps its name in a copy: the loader finds Name.so by it.
inline fs::path copyBundle(const std::string& built, const fs::path& folder) {
  return copyPlugin(built, folder / built);
}

// A time-out that only a hang outlasts, however loaded the machine is: helpers
// run at low priority, and with every core busy a low-priority helper has been
// seen to take more than ten seconds to start and report its first file.
inline constexpr const char* kPatientTimeoutMs = "30000";

inline void writeScript(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
  fs::permissions(path, fs::perms::owner_all);
}

// Every run of the spy makes the folder <runs>/<n> (n = 1, 2, ...; mkdir is
// atomic, so concurrent runs never share a number) holding the run's list, one
// path per line, and then becomes the real helper.
class HelperSpy {
 public:
  HelperSpy(const fs::path& dir, const std::string& helper) : runs_(dir / "runs"), script_(dir / "spy.sh") {
    fs::create_directories(runs_);
    writeScript(script_, "#!/bin/sh\nn=1\nwhile ! mkdir '" + runs_.string() + "/'$n 2>/dev/null; do n=$((n+1)); done\n" +
                             "tr '\\000' '\\n' < \"$3\" > '" + runs_.string() + "/'$n/list\n" + "exec '" + helper +
                             "' \"$@\"\n");
  }

  std::string path() const { return script_.string(); }

  int runs() const {
    int n = 0;
    while (fs::exists(runs_ / std::to_string(n + 1))) ++n;
    return n;
  }

  // The paths listed in run n (from 1).
  std::vector<std::string> list(int n) const {
    std::vector<std::string> out;
    std::ifstream in(runs_ / std::to_string(n) / "list");
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

 private:
  fs::path runs_;
  fs::path script_;
};

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Moves a file's modification time by `seconds`, whatever the clock's grain.
inline void shiftStamp(const fs::path& p, int seconds) {
  fs::last_write_time(p, fs::last_write_time(p) + std::chrono::seconds(seconds));
}

}  // namespace bridge::test

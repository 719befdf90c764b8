#pragma once
// Running independent peers (openssl, python, NSS tools) from tests. Any thread.
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace bridge::test {

// Where the peer scripts live (set by the build).
inline std::filesystem::path peerScriptDir() { return KREVLO_SERVER_TEST_DIR; }

// Runs a shell command line; returns its standard output (standard error joins
// it when `withStderr`) and sets `status` to the exit code (-1 when it did not exit).
inline std::string capture(const std::string& command, int& status, bool withStderr = true) {
  std::string out;
  FILE* p = ::popen((command + (withStderr ? " 2>&1" : "")).c_str(), "r");
  if (!p) {
    status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int raw = ::pclose(p);
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

inline std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

}  // namespace bridge::test

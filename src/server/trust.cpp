#include "server/trust.h"

#include <mbedtls/oid.h>
#include <mbedtls/x509_crt.h>

#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

#include "server/tls_identity.h"
#include "util/clock.h"
#include "util/process.h"

namespace bridge {

namespace {

constexpr int kCheckTimeoutMs = 10000;
constexpr int kInstallTimeoutMs = 180000;
constexpr char kInstallFailed[] = "macOS did not add the certificate (cancelled?)";

// The tools chat on standard output; only their status matters, so the chatter
// goes nowhere. The shell execs the tool, which keeps its pid and its status.
int runQuietly(const std::string& tool, const std::vector<std::string>& args, int timeoutMs) {
  std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/null 2>&1", tool};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv, timeoutMs, {});
}

std::string databaseArg() { return "sql:" + trustDatabase().string(); }

// The database's name for the authority: its common name, which carries the
// creation date, so every renewal adds a certificate of its own.
std::string authorityNickname(const std::filesystem::path& dir) {
  std::string nickname = "Krevlo Bridge local authority";
  mbedtls_x509_crt crt;
  mbedtls_x509_crt_init(&crt);
  if (mbedtls_x509_crt_parse_file(&crt, authorityFile(dir).c_str()) == 0) {
    for (const mbedtls_x509_name* n = &crt.subject; n; n = n->next) {
      if (n->oid.p && MBEDTLS_OID_CMP(MBEDTLS_OID_AT_CN, &n->oid) == 0 && n->val.len > 0) {
        nickname.assign(reinterpret_cast<const char*>(n->val.p), n->val.len);
        break;
      }
    }
  }
  mbedtls_x509_crt_free(&crt);
  return nickname;
}

}  // namespace

std::filesystem::path trustDatabase() {
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home ? home : "") / ".pki" / "nssdb";
}

bool identityTrusted(const std::filesystem::path& dir, const TrustTools& tools) {
  return runQuietly(tools.vfychain, {"-d", databaseArg(), "-u", "1", "-a", (dir / "cert.pem").string()},
                    kCheckTimeoutMs) == 0;
}

bool trustAuthority(const std::filesystem::path& dir, std::string& error, const TrustTools& tools) {
  const double deadline = nowMs() + kInstallTimeoutMs;
  auto remaining = [&] { return static_cast<int>(deadline - nowMs()); };
  auto fail = [&] {
    error = kInstallFailed;
    return false;
  };

  const std::filesystem::path db = trustDatabase();
  std::error_code ec;
  if (!std::filesystem::exists(db / "cert9.db", ec)) {
    // The database holds keys as well as trust settings: owner-only, like NSS makes it.
    if (std::filesystem::create_directories(db, ec))
      std::filesystem::permissions(db, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace, ec);
    if (runQuietly(tools.certutil, {"-N", "-d", databaseArg(), "--empty-password"}, remaining()) != 0) return fail();
  }
  if (runQuietly(tools.certutil,
                 {"-A", "-d", databaseArg(), "-n", authorityNickname(dir), "-t", "C,,", "-a", "-i",
                  authorityFile(dir).string()},
                 remaining()) != 0)
    return fail();
  return true;
}

}  // namespace bridge

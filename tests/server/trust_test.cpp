#include "server/trust.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "server/tls_identity.h"
#include "support/test_dir.h"
#include "util/files.h"

namespace bridge {
namespace {

namespace fs = std::filesystem;

// A scripted stand-in for an NSS tool: logs its arguments, one call per line,
// each argument followed by '|', then exits with `status`.
std::string fakeTool(const std::string& name, int status) {
  fs::path path = test::testDir() / "tools" / name;
  writeFile(path,
            "#!/bin/sh\n{ printf '%s ' \"" + name + "\"; printf '%s|' \"$@\"; echo; } >> \"" +
                (test::testDir() / "tools.log").string() + "\"\nexit " + std::to_string(status) + "\n",
            false);
  fs::permissions(path, fs::perms::owner_all);
  return path.string();
}

std::string toolLog() { return readFile(test::testDir() / "tools.log"); }

class Trust : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(loadOrCreateIdentity(dir, error)) << error;
    char date[16];
    std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y%m%d", std::gmtime(&now));
    nickname = std::string("Krevlo Bridge local authority ") + date;
  }
  fs::path dir = test::testDir() / "state";
  std::string db = (test::testDir() / ".pki" / "nssdb").string();
  std::string nickname;
};

TEST_F(Trust, CheckAsksTheDatabaseAboutTheServerCertificate) {
  for (int status : {0, 1, 255}) {
    fs::remove(test::testDir() / "tools.log");
    TrustTools tools;
    tools.vfychain = fakeTool("vfychain", status);
    tools.certutil = fakeTool("certutil", 0);
    EXPECT_EQ(identityTrusted(dir, tools), status == 0) << status;
    EXPECT_EQ(toolLog(), "vfychain -d|sql:" + db + "|-u|1|-a|" + (dir / "cert.pem").string() + "|\n");
  }
  TrustTools missing;
  missing.vfychain = (test::testDir() / "no-such-tool").string();
  EXPECT_FALSE(identityTrusted(dir, missing));
}

TEST_F(Trust, InstallCreatesTheDatabaseFirst) {
  TrustTools tools;
  tools.certutil = fakeTool("certutil", 0);
  std::string error = "untouched";
  EXPECT_TRUE(trustAuthority(dir, error, tools));
  EXPECT_EQ(error, "untouched");
  EXPECT_EQ(toolLog(), "certutil -N|-d|sql:" + db + "|--empty-password|\n" + "certutil -A|-d|sql:" + db + "|-n|" +
                           nickname + "|-t|C,,|-a|-i|" + (dir / "ca.pem").string() + "|\n");
  struct stat st {};
  ASSERT_EQ(::stat(db.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // With a database in place, only the certificate is added.
  writeFile(fs::path(db) / "cert9.db", "db", false);
  fs::remove(test::testDir() / "tools.log");
  EXPECT_TRUE(trustAuthority(dir, error, tools));
  EXPECT_EQ(toolLog(), "certutil -A|-d|sql:" + db + "|-n|" + nickname + "|-t|C,,|-a|-i|" + (dir / "ca.pem").string() +
                           "|\n");
}

TEST_F(Trust, FailuresGiveTheOneErrorText) {
  struct Case {
    const char* name;
    bool haveDatabase;
    int status;
    size_t calls;
  };
  for (Case c : {Case{"createFails", false, 1, 1}, Case{"addFails", true, 1, 1}, Case{"addKilled", true, 137, 1}}) {
    fs::remove_all(test::testDir() / ".pki");
    fs::remove(test::testDir() / "tools.log");
    if (c.haveDatabase) writeFile(fs::path(db) / "cert9.db", "db", false);
    TrustTools tools;
    tools.certutil = fakeTool("certutil", c.status);
    std::string error;
    EXPECT_FALSE(trustAuthority(dir, error, tools)) << c.name;
    EXPECT_EQ(error, "macOS did not add the certificate (cancelled?)") << c.name;
    std::string log = toolLog();
    EXPECT_EQ(static_cast<size_t>(std::count(log.begin(), log.end(), '\n')), c.calls) << c.name;
  }
}

TEST_F(Trust, WithoutHomeTheDatabasePathIsRelative) {
  const fs::path cwd = fs::current_path();
  fs::current_path(test::testDir());
  ::unsetenv("HOME");
  TrustTools tools;
  tools.certutil = fakeTool("certutil", 0);
  tools.vfychain = fakeTool("vfychain", 0);
  std::string error;
  EXPECT_TRUE(trustAuthority(dir, error, tools));
  EXPECT_TRUE(identityTrusted(dir, tools));
  EXPECT_EQ(trustDatabase(), fs::path(".pki/nssdb"));
  fs::current_path(cwd);
  ::setenv("HOME", test::testDir().c_str(), 1);
  EXPECT_NE(toolLog().find("certutil -A|-d|sql:.pki/nssdb|"), std::string::npos) << toolLog();
  EXPECT_NE(toolLog().find("vfychain -d|sql:.pki/nssdb|"), std::string::npos) << toolLog();
}

// The real NSS tools against a database in the test's own HOME.
TEST_F(Trust, RealDatabaseRoundTrip) {
  ASSERT_EQ(::access("/usr/bin/certutil", X_OK), 0) << "libnss3-tools is missing (scripts/install-deps)";
  EXPECT_FALSE(identityTrusted(dir));
  std::string error;
  ASSERT_TRUE(trustAuthority(dir, error)) << error;
  EXPECT_TRUE(fs::exists(fs::path(db) / "cert9.db"));
  EXPECT_TRUE(identityTrusted(dir));

  // A renewal makes a new authority (the same name on the same day): not trusted
  // until it is installed too; installing it works beside the old one.
  fs::remove(dir / "cert.pem");
  ASSERT_TRUE(loadOrCreateIdentity(dir, error)) << error;
  EXPECT_FALSE(identityTrusted(dir));
  ASSERT_TRUE(trustAuthority(dir, error)) << error;
  EXPECT_TRUE(identityTrusted(dir));
}

}  // namespace
}  // namespace bridge

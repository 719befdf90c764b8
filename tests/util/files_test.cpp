#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/test_dir.h"
#include "util/files.h"

namespace bridge {
namespace {

namespace fs = std::filesystem;

mode_t modeOf(const fs::path& p) {
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

TEST(WriteFile, CreatesMissingFoldersAndLeavesNoTemporary) {
  fs::path target = test::testDir() / "a" / "b" / "c.json";
  ASSERT_TRUE(writeFile(target, "x", false));
  EXPECT_EQ(readFile(target), "x");
  EXPECT_FALSE(fs::exists(target.string() + ".tmp"));
}

TEST(WriteFile, ReplacesExistingContentWhole) {
  fs::path target = test::testDir() / "settings.json";
  ASSERT_TRUE(writeFile(target, std::string(100000, 'a'), false));
  ASSERT_TRUE(writeFile(target, "short", false));
  EXPECT_EQ(readFile(target), "short");
}

TEST(WriteFile, PrivateTargetIsOwnerOnly) {
  fs::path target = test::testDir() / "key.pem";
  ASSERT_TRUE(writeFile(target, "secret", true));
  EXPECT_EQ(modeOf(target), 0600u);
}

TEST(WriteFile, PrivateWriteTightensLeftoverTemporaryFile) {
  // A temporary file left by an interrupted earlier write, readable by everyone.
  fs::path target = test::testDir() / "pairings.json";
  fs::path tmp = target.string() + ".tmp";
  ASSERT_TRUE(writeFile(tmp, "old", false));
  ASSERT_EQ(::chmod(tmp.c_str(), 0644), 0);
  ASSERT_TRUE(writeFile(target, "secret", true));
  EXPECT_EQ(modeOf(target), 0600u);
  EXPECT_EQ(readFile(target), "secret");
}

TEST(WriteFile, UnwritableFolderFailsAndKeepsOldTarget) {
  if (::geteuid() == 0) {
    // Root writes through permission bits; take the folder's place with a file so
    // the temporary file cannot be created either way.
    fs::path blocker = test::testDir() / "blocked";
    ASSERT_TRUE(writeFile(blocker, "not a folder", false));
    EXPECT_FALSE(writeFile(blocker / "c.json", "x", false));
    EXPECT_EQ(readFile(blocker), "not a folder");
    return;
  }
  fs::path dir = test::testDir() / "ro";
  fs::create_directories(dir);
  ASSERT_TRUE(writeFile(dir / "c.json", "old", false));
  ASSERT_EQ(::chmod(dir.c_str(), 0500), 0);
  EXPECT_FALSE(writeFile(dir / "c.json", "new", false));
  EXPECT_EQ(readFile(dir / "c.json"), "old");
  ::chmod(dir.c_str(), 0700);
}

TEST(ReadFile, MissingAndEmptyBothGiveEmpty) {
  fs::path empty = test::testDir() / "empty";
  ASSERT_TRUE(writeFile(empty, "", false));
  EXPECT_EQ(readFile(empty), "");
  EXPECT_EQ(readFile(test::testDir() / "missing"), "");
}

TEST(ReadFile, BinaryBytesUnchanged) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  bytes += "\r\n\0\r";
  fs::path p = test::testDir() / "bin";
  ASSERT_TRUE(writeFile(p, bytes, false));
  EXPECT_EQ(readFile(p), bytes);
}

}  // namespace
}  // namespace bridge

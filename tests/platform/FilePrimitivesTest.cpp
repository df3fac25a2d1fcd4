// The one bounded read and the one atomic write: what they do with files that are not
// what they seem.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "platform/AtomicFile.h"
#include "platform/BoundedFileRead.h"
#include "support/TempFolder.h"

namespace quorvin {
namespace {

namespace fs = std::filesystem;

class FilePrimitivesTest : public ::testing::Test {
 protected:
  test::TempFolder folder{"quorvin-files"};
  fs::path root = folder.path();
};

TEST_F(FilePrimitivesTest, ReadTellsEachKindOfFileApart) {
  test::writeFile(root / "small", "12345");
  EXPECT_EQ(readFileWithin(root / "small", 5).bytes, "12345");
  EXPECT_EQ(readFileWithin(root / "small", 4).outcome, FileRead::Outcome::tooLarge);
  EXPECT_EQ(readFileWithin(root / "none", 5).outcome, FileRead::Outcome::missing);
  EXPECT_EQ(readFileWithin(root / "none" / "deeper", 5).outcome, FileRead::Outcome::missing);
  EXPECT_EQ(readFileWithin(root, 5).outcome, FileRead::Outcome::notRegular);
  test::writeFile(root / "empty", "");
  EXPECT_TRUE(readFileWithin(root / "empty", 0).ok());

  // A FIFO with no writer would block a plain open for ever.
  ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(readFileWithin(root / "fifo", 5).outcome, FileRead::Outcome::notRegular);

  fs::create_symlink(root / "small", root / "link");
  EXPECT_EQ(readFileWithin(root / "link", 5).bytes, "12345");
  EXPECT_EQ(readFileWithin(root / "link", 5, FollowLinks::no).outcome, FileRead::Outcome::notRegular);
  // A file under a file is neither missing nor readable.
  const FileRead under = readFileWithin(root / "small" / "x", 5);
  EXPECT_EQ(under.outcome, FileRead::Outcome::unreadable);
  EXPECT_EQ(under.reason(), "Not a directory");
}

TEST_F(FilePrimitivesTest, AtomicWriteLeavesOneOwnerOnlyFileAndClearsLeftovers) {
  const fs::path file = root / "secret.json";
  test::writeFile(root / ".secret.json.tmp-Ab12Cd", "half a secret");
  test::writeFile(root / ".other.json.tmp-Ab12Cd", "someone else's");
  removeStaleTemporaries(file);
  EXPECT_FALSE(fs::exists(root / ".secret.json.tmp-Ab12Cd"));
  EXPECT_TRUE(fs::exists(root / ".other.json.tmp-Ab12Cd"));

  ASSERT_TRUE(writeFileAtomically(file, "new", 0600));
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(readFileWithin(file, 16).bytes, "new");

  std::string error;
  EXPECT_FALSE(writeFileAtomically(root / "no-folder" / "x", "y", 0600, &error));
  EXPECT_TRUE(error.starts_with("create temporary")) << error;

  const auto aside = moveAside(file, WallTime{std::chrono::seconds(1'767'225'600)});
  ASSERT_TRUE(aside);
  EXPECT_EQ(aside->filename(), "secret.json.corrupt-20260101T000000Z");
  EXPECT_EQ(readFileWithin(*aside, 16).bytes, "new");
  EXPECT_FALSE(fs::exists(file));
}

}  // namespace
}  // namespace quorvin

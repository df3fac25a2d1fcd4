#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/json/parse.hpp>

#include "update/UpdateLaunchHandshake.h"
#include "update/UpdateTestKit.h"

namespace quorvin {
namespace {

using Handshake = UpdateLaunchHandshake;
using Kind = Handshake::HandshakeError::Kind;
namespace fs = std::filesystem;

class UpdateLaunchHandshakeTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(updates_); }

  bool signal(const std::string& markerPath) {
    return Handshake::signalIfRequested({{"QUORVIN_UPDATE_READY_FILE", markerPath}}, updates_, "2.0.0", 4242,
                                        WallTime(std::chrono::milliseconds(1'767'225'600'500)));
  }
  // Every refusal: the right error and no file anywhere under the test folder.
  void expectRefused(const std::string& markerPath, Kind kind, size_t filesBefore = 0) {
    try {
      signal(markerPath);
      ADD_FAILURE() << markerPath << " was accepted";
    } catch (const Handshake::HandshakeError& error) {
      EXPECT_EQ(error.kind(), kind) << markerPath;
    }
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root_.path())) files += entry.is_regular_file();
    EXPECT_EQ(files, filesBefore) << markerPath;
  }

  test::TempFolder root_;
  fs::path updates_ = root_ / "quorvin/updates";
};

TEST_F(UpdateLaunchHandshakeTest, NoRequestNoFile) {
  EXPECT_FALSE(Handshake::signalIfRequested({}, updates_, "2.0.0", 1, WallTime{}));
  EXPECT_FALSE(Handshake::signalIfRequested({{"QUORVIN_UPDATE_READY_FILE", ""}}, updates_, "2.0.0", 1, WallTime{}));
  EXPECT_TRUE(fs::is_empty(updates_));
}

TEST_F(UpdateLaunchHandshakeTest, WritesAPrivateMarkerWithExactlyItsThreeKeys) {
  ASSERT_TRUE(signal((updates_ / "ready-abc.json").string()));
  struct stat info {};
  ASSERT_EQ(::stat((updates_ / "ready-abc.json").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const auto marker = boost::json::parse(test::readFile(updates_ / "ready-abc.json")).as_object();
  EXPECT_EQ(marker.size(), 3u);
  EXPECT_EQ(marker.at("version").as_string(), "2.0.0");
  EXPECT_EQ(marker.at("processID").as_int64(), 4242);
  EXPECT_DOUBLE_EQ(marker.at("launchedAt").as_double(), 1'767'225'600.5);
  // A trailing slash on the allowed folder and a "." in the path are the same place.
  EXPECT_TRUE(Handshake::signalIfRequested({{"QUORVIN_UPDATE_READY_FILE", (updates_ / "./ready-2.json").string()}},
                                           updates_.string() + "/", "", 1, WallTime{}));
  EXPECT_EQ(boost::json::parse(test::readFile(updates_ / "ready-2.json")).at("version").as_string(), "unknown");
}

TEST_F(UpdateLaunchHandshakeTest, RefusesMarkersOutsideTheUpdateFolder) {
  fs::create_directories(updates_ / "sub");
  expectRefused((updates_ / "sub" / "ready-x.json").string(), Kind::invalidMarkerPath);
  expectRefused((updates_ / "ready-x.txt").string(), Kind::invalidMarkerPath);
  expectRefused((updates_ / "x-ready.json").string(), Kind::invalidMarkerPath);
  expectRefused((updates_ / ".." / "ready-x.json").string(), Kind::invalidMarkerPath);
  expectRefused((root_ / "ready-x.json").string(), Kind::invalidMarkerPath);
  expectRefused("ready-x.json", Kind::invalidMarkerPath);  // relative: depends on the working folder
}

TEST_F(UpdateLaunchHandshakeTest, RefusesALinkedOrMissingUpdateFolder) {
  const fs::path elsewhere = root_ / "elsewhere";
  fs::create_directories(elsewhere);
  fs::remove(updates_);
  fs::create_directory_symlink(elsewhere, updates_);
  expectRefused((updates_ / "ready-x.json").string(), Kind::unsafeUpdateDirectory);
  EXPECT_TRUE(fs::is_empty(elsewhere));

  // A link higher up redirects the folder too.
  fs::remove(updates_);
  const fs::path linkedParent = root_ / "linked";
  fs::create_directory_symlink(root_ / "quorvin", linkedParent);
  fs::create_directories(updates_);
  Kind kind{};
  try {
    Handshake::signalIfRequested({{"QUORVIN_UPDATE_READY_FILE", (linkedParent / "updates/ready-x.json").string()}},
                                 linkedParent / "updates", "2", 1, WallTime{});
  } catch (const Handshake::HandshakeError& error) {
    kind = error.kind();
  }
  EXPECT_EQ(kind, Kind::unsafeUpdateDirectory);
  EXPECT_TRUE(fs::is_empty(updates_));

  fs::remove(updates_);
  expectRefused((updates_ / "ready-x.json").string(), Kind::unsafeUpdateDirectory);
}

TEST_F(UpdateLaunchHandshakeTest, NeverReplacesOrFollowsAnExistingMarker) {
  test::writeFile(updates_ / "ready-x.json", "theirs");
  expectRefused((updates_ / "ready-x.json").string(), Kind::markerCreationFailed, 1);
  EXPECT_EQ(test::readFile(updates_ / "ready-x.json"), "theirs");

  const fs::path target = root_ / "target.txt";
  fs::create_symlink(target, updates_ / "ready-link.json");
  expectRefused((updates_ / "ready-link.json").string(), Kind::markerCreationFailed, 1);
  EXPECT_FALSE(fs::exists(target));
}

}  // namespace
}  // namespace quorvin

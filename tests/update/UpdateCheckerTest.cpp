#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <functional>

#include "update/UpdateChecker.h"

namespace quorvin {
namespace {

TEST(UpdateCheckerVersionTest, ComparesDottedNumbersPositionByPosition) {
  EXPECT_TRUE(UpdateChecker::isNewer("1.10.0", "1.9.9"));  // numbers, not text
  EXPECT_FALSE(UpdateChecker::isNewer("1.9.9", "1.10.0"));
  EXPECT_FALSE(UpdateChecker::isNewer("2.0", "2.0.0"));  // a missing position is 0
  EXPECT_FALSE(UpdateChecker::isNewer("2.0.0", "2.0"));
  EXPECT_TRUE(UpdateChecker::isNewer("2.0.1", "2.0"));
  EXPECT_FALSE(UpdateChecker::isNewer("1.2.3-beta", "1.2.2"));  // reads as 1.2.0
  EXPECT_TRUE(UpdateChecker::isNewer("1..3", "1.2"));             // empty pieces dropped: [1, 3]
  EXPECT_FALSE(UpdateChecker::isNewer("99999999999999999999", "1"));  // overflow is not a number
  EXPECT_TRUE(UpdateChecker::isNewer("0.1.0", "0"));
}

boost::json::object artifact(const std::string& file) {
  return {{"file", file}, {"size", 1234}, {"sha256", std::string(64, 'a')}, {"signed", true}, {"notarized", true}};
}

boost::json::object goodManifest() {
  return {{"appVersion", "1.4.2"},
          {"verified", true},
          {"tarball", artifact("quorvin-linux.tar.gz")},
          {"deb", artifact("quorvin-linux.deb")},
          {"source", artifact("quorvin-source.tar.gz")},
          {"releaseNotes", "unknown keys are ignored"}};
}

bool trusted(const boost::json::object& manifest, const std::string& current = "1.4.1") {
  return UpdateChecker::trustedManifest(boost::json::serialize(manifest), current).has_value();
}

TEST(UpdateCheckerManifestTest, AcceptsOnlyACompleteVerifiedSignedNotarizedNewerRelease) {
  ASSERT_TRUE(trusted(goodManifest()));
  EXPECT_FALSE(trusted(goodManifest(), "1.4.2"));  // not newer

  using Edit = std::function<void(boost::json::object&)>;
  const std::pair<const char*, Edit> refusals[] = {
      {"not verified", [](auto& m) { m["verified"] = false; }},
      {"tarball unsigned", [](auto& m) { m["tarball"].as_object()["signed"] = false; }},
      {"deb not notarized", [](auto& m) { m["deb"].as_object()["notarized"] = false; }},
      {"source digest 63", [](auto& m) { m["source"].as_object()["sha256"] = std::string(63, 'a'); }},
      {"tarball digest 65", [](auto& m) { m["tarball"].as_object()["sha256"] = std::string(65, 'a'); }},
      {"digest with g", [](auto& m) { m["tarball"].as_object()["sha256"] = std::string(63, 'a') + "g"; }},
      {"versioned file name", [](auto& m) { m["tarball"].as_object()["file"] = "quorvin-linux-1.4.2.tar.gz"; }},
      {"zero size", [](auto& m) { m["deb"].as_object()["size"] = 0; }},
      {"size as text", [](auto& m) { m["deb"].as_object()["size"] = "1234"; }},
      {"missing source", [](auto& m) { m.erase("source"); }},
      {"verified as number", [](auto& m) { m["verified"] = 1; }},
      // The version becomes part of a file name in the update folder.
      {"version with a path", [](auto& m) { m["appVersion"] = "9.9/../../../evil"; }},
      {"version with a space", [](auto& m) { m["appVersion"] = "9.9 x"; }},
  };
  for (const auto& [name, edit] : refusals) {
    auto manifest = goodManifest();
    edit(manifest);
    EXPECT_FALSE(trusted(manifest)) << name;
  }

  auto upper = goodManifest();
  upper["tarball"].as_object()["sha256"] = std::string(64, 'F');
  EXPECT_TRUE(trusted(upper)) << "upper-case hex digits are hex digits";
  EXPECT_FALSE(UpdateChecker::trustedManifest("not json", "0").has_value());
  EXPECT_FALSE(UpdateChecker::trustedManifest("[]", "0").has_value());
}

}  // namespace
}  // namespace quorvin

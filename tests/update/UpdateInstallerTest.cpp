#include <gtest/gtest.h>

#include <algorithm>
#include <variant>

#include "update/ServedReleaseTest.h"
#include "update/RelaunchScript.h"
#include "update/UpdateInstaller.h"

namespace quorvin {
namespace {

namespace fs = std::filesystem;
using release::ExtraEntry;

class UpdateInstallerTest : public test::ServedReleaseTest {
 protected:
  UpdateInstaller::Context context() { return {*http_, runtime_.pool(), updates_, home_}; }

  // The prepared plan, or the refusal's text.
  std::variant<UpdateInstaller::RelaunchPlan, std::string> prepare(const UpdateChecker::AvailableUpdate& update,
                                                                   const fs::path& bundle) {
    try {
      return drive(UpdateInstaller::prepare(context(), update, bundle, 99999));
    } catch (const std::exception& error) {
      return std::string(error.what());
    }
  }
  std::string refusal(const UpdateChecker::AvailableUpdate& update) {
    auto result = prepare(update, installed_);
    return std::holds_alternative<std::string>(result) ? std::get<std::string>(result) : "prepared";
  }
  std::string refusalOf(const std::function<void(const fs::path&)>& edit, const std::vector<ExtraEntry>& extra = {}) {
    publish("2.0.0", edit, extra);
    auto update = check();
    if (!update) return "no update";
    return refusal(*update);
  }

  // Files next to the installed bundle other than the bundle itself.
  std::vector<std::string> besideInstalled() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(installed_.parent_path())) {
      if (entry.path() != installed_) names.push_back(entry.path().filename().string());
    }
    return names;
  }
  std::string installedVersion() { return test::readFile(installed_ / "Info.json"); }
};

TEST_F(UpdateInstallerTest, StagesAVerifiedCopyAndAScriptLeavingTheInstalledBundleAlone) {
  publish("2.0.0");
  const auto update = check();
  ASSERT_TRUE(update);
  EXPECT_EQ(update->downloadURL, server_.api + "/downloads/quorvin-linux.tar.gz");
  const std::string before = installedVersion();

  auto upper = *update;  // the manifest's digest in capitals is the same digest
  for (char& c : upper.artifact.sha256) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  auto result = prepare(upper, installed_);
  ASSERT_TRUE(std::holds_alternative<UpdateInstaller::RelaunchPlan>(result)) << std::get<std::string>(result);
  const auto plan = std::get<UpdateInstaller::RelaunchPlan>(result);

  EXPECT_EQ(plan.scriptURL.parent_path(), updates_);
  EXPECT_TRUE(plan.scriptURL.filename().string().starts_with("install-"));
  const std::string script = test::readFile(plan.scriptURL);
  EXPECT_NE(script.find(RelaunchScript::shellQuote(installed_.string())), std::string::npos);
  EXPECT_EQ(installedVersion(), before);
  const auto beside = besideInstalled();
  ASSERT_EQ(beside.size(), 1u);
  EXPECT_TRUE(beside[0].starts_with(".quorvin-update-"));
  EXPECT_NE(test::readFile(installed_.parent_path() / beside[0] / "Info.json").find("2.0.0"), std::string::npos);
  // The unpacked copy is gone; the download stays for the script to remove.
  std::vector<std::string> inUpdates;
  for (const auto& entry : fs::directory_iterator(updates_)) inUpdates.push_back(entry.path().filename().string());
  std::sort(inUpdates.begin(), inUpdates.end());
  ASSERT_EQ(inUpdates.size(), 2u);
  EXPECT_EQ(inUpdates[1], "quorvin-2.0.0.tar.gz");
}

TEST_F(UpdateInstallerTest, RefusesDownloadsThatDoNotMatchTheManifest) {
  publish("2.0.0");
  const auto update = check();
  ASSERT_TRUE(update);

  auto longer = *update;
  longer.artifact.size += 1;
  EXPECT_EQ(refusal(longer), "The update download returned an invalid response.");

  auto digest = *update;
  digest.artifact.sha256[0] = digest.artifact.sha256[0] == '0' ? '1' : '0';
  EXPECT_EQ(refusal(digest), "The update checksum did not match the trusted release manifest.");
  EXPECT_FALSE(fs::exists(updates_ / "quorvin-2.0.0.tar.gz")) << "a mismatching download is removed";

  auto missing = *update;
  missing.downloadURL = server_.api + "/downloads/quorvin-linux-missing.tar.gz";
  EXPECT_EQ(refusal(missing), "The update download returned an invalid response.");

  EXPECT_TRUE(besideInstalled().empty());
}

TEST_F(UpdateInstallerTest, RefusesAnInstallThatCannotUpdateItselfBeforeDownloading) {
  publish("2.0.0");
  const auto update = check();
  ASSERT_TRUE(update);
  const fs::path desktop = home_ / "Desktop/Quorvin";
  test::makeSealedBundle(desktop, "1.0.0");
  auto result = prepare(*update, desktop);
  ASSERT_TRUE(std::holds_alternative<std::string>(result));
  EXPECT_EQ(std::get<std::string>(result), "Automatic updates require Quorvin to be installed in /opt or ~/.local/opt.");
  EXPECT_FALSE(fs::exists(updates_));

  fs::create_directories(home_ / ".local/opt/apps");
  EXPECT_TRUE(UpdateInstaller::supportsAutomaticInstall(home_ / ".local/opt/apps/Quorvin", home_));
  EXPECT_FALSE(UpdateInstaller::supportsAutomaticInstall(home_ / ".local/opt/missing/Quorvin", home_));
  EXPECT_TRUE(UpdateInstaller::supportsAutomaticInstall(installed_.string() + "/", home_));
  EXPECT_FALSE(UpdateInstaller::supportsAutomaticInstall(home_ / ".local/opt", home_));
  EXPECT_FALSE(UpdateInstaller::supportsAutomaticInstall(home_ / ".local/optional/Quorvin", home_));
  EXPECT_FALSE(UpdateInstaller::supportsAutomaticInstall(home_ / ".local/opt/../Quorvin", home_));
  EXPECT_FALSE(UpdateInstaller::supportsAutomaticInstall("/usr/lib/quorvin", home_));
}

TEST_F(UpdateInstallerTest, RefusesUnsafeArchives) {
  const std::string mount = "The update disk image could not be mounted. ";
  EXPECT_EQ(refusalOf({}, {{"Quorvin/../escape.txt", ExtraEntry::Type::file, "x"}}),
            mount + "Unsafe archive entry: Quorvin/../escape.txt");
  EXPECT_EQ(refusalOf({}, {{"/tmp/quorvin-absolute.txt", ExtraEntry::Type::file, "x"}}),
            mount + "Unsafe archive entry: /tmp/quorvin-absolute.txt");
  EXPECT_EQ(refusalOf({}, {{"Other/readme.txt", ExtraEntry::Type::file, "x"}}),
            mount + "Unsafe archive entry: Other/readme.txt");
  EXPECT_EQ(refusalOf({}, {{"Quorvin/bin/out", ExtraEntry::Type::symlink, "../../../etc/passwd"}}),
            mount + "Archive link leaves the bundle: Quorvin/bin/out");
  EXPECT_EQ(refusalOf({}, {{"Quorvin/bin/abs", ExtraEntry::Type::symlink, "/etc/passwd"}}),
            mount + "Archive link leaves the bundle: Quorvin/bin/abs");
  // Writing through a link that itself stays inside must not reach outside either.
  EXPECT_EQ(refusalOf({}, {{"Quorvin/up", ExtraEntry::Type::symlink, ".."},
                           {"Quorvin/up/escape.txt", ExtraEntry::Type::file, "x"}}),
            mount + "Archive link leaves the bundle: Quorvin/up");
  EXPECT_FALSE(fs::exists(root_ / "escape.txt"));
  EXPECT_FALSE(fs::exists("/tmp/quorvin-absolute.txt"));
  EXPECT_TRUE(besideInstalled().empty());
  for (const auto& entry : fs::directory_iterator(updates_)) {
    EXPECT_FALSE(entry.path().filename().string().starts_with("extract-")) << "the unpacked folder is removed";
  }
}

TEST_F(UpdateInstallerTest, RefusesBundlesThatAreNotTheSignedNotarisedRelease) {
  const std::string rejected = "The system rejected the update signature. ";
  const std::string identity = "The update app bundle is invalid. Identity, version, or release flags do not match "
                               "the manifest.";
  const auto reseal = [](const fs::path& bundle, const BundleInfo& info) {
    release::writeInfo(bundle, info);
    release::signBundle(bundle, test::testReleaseKey());
    release::notarizeBundle(bundle, test::testNotaryKey());
  };
  const auto info = [](const fs::path& bundle) { return *BundleInfo::parse(test::readFile(bundle / "Info.json")); };

  EXPECT_EQ(refusalOf([](const fs::path& b) { test::writeFile(b / "bin/quorvin", "#!/bin/sh\nexit 1\n", fs::perms(0755)); }),
            rejected + "bin/quorvin: a sealed resource is missing or invalid");
  EXPECT_EQ(refusalOf([](const fs::path& b) { fs::permissions(b / "share/quorvin/prices.json", fs::perms(0755)); }),
            rejected + "share/quorvin/prices.json: a sealed resource is missing or invalid");
  EXPECT_EQ(refusalOf([](const fs::path& b) { test::writeFile(b / "bin/extra", "x"); }), rejected + "file added: bin/extra");
  EXPECT_EQ(refusalOf({}, {{"Quorvin/bin/alias", ExtraEntry::Type::symlink, "quorvin"}}),
            rejected + "file added: bin/alias");
  EXPECT_EQ(refusalOf([](const fs::path& b) {
              release::signBundle(b, test::testReleaseKey(), "AAAAAAAAAA");
              release::notarizeBundle(b, test::testNotaryKey());
            }),
            rejected + "Developer ID team or hardened-runtime identity does not match.");
  EXPECT_EQ(refusalOf([](const fs::path& b) {
              release::signBundle(b, test::testReleaseKey(), std::string(BundleSignature::kTeam), false);
              release::notarizeBundle(b, test::testNotaryKey());
            }),
            rejected + "Developer ID team or hardened-runtime identity does not match.");
  EXPECT_EQ(refusalOf([](const fs::path& b) {
              release::signBundle(b, crypto::ed25519GenerateSeed());
              release::notarizeBundle(b, test::testNotaryKey());
            }),
            rejected + "invalid signature (code or signature have been modified)");
  EXPECT_EQ(refusalOf([](const fs::path& b) { fs::remove(b / "Notarization.json"); }),
            rejected + "rejected (the code is not notarized)");
  EXPECT_EQ(refusalOf([](const fs::path& b) { release::notarizeBundle(b, test::testReleaseKey()); }),
            rejected + "rejected (the notarization does not match this signature)");
  // Resealed with a correct signature, but flags or version other than the manifest's.
  const std::function<void(BundleInfo&)> identityEdits[] = {
      [](BundleInfo& i) { i.previewBuild.reset(); },
      [](BundleInfo& i) { i.previewBuild = true; },
      [](BundleInfo& i) { i.shortVersion = "2.0.1"; },
  };
  for (const auto& edit : identityEdits) {
    EXPECT_EQ(refusalOf([&](const fs::path& b) {
                auto i = info(b);
                edit(i);
                reseal(b, i);
              }),
              identity);
  }
  EXPECT_TRUE(besideInstalled().empty()) << "a refused copy is not left beside the installed bundle";
}

}  // namespace
}  // namespace quorvin

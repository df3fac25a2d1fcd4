// Runs under `tests/support/with-keyring --no-secret-service`: a session bus with no Secret Service.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "core/Log.h"
#include "publishing/CredentialStore.h"
#include "platform/MemoryUserDefaults.h"
#include "support/TempFolder.h"

namespace quorvin {
namespace {

namespace fs = std::filesystem;

class CredentialStoreFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* mode = std::getenv("QUORVIN_TEST_PRIVATE_KEYRING");
    if (mode == nullptr || std::string(mode) != "none") GTEST_SKIP() << "run through CTest (with-keyring)";
    dataFolder = fs::path(std::getenv("XDG_DATA_HOME")) / "quorvin";
    file = dataFolder / "device-credentials.json";
  }

  MemoryUserDefaults defaults;
  fs::path dataFolder;
  fs::path file;
};

TEST_F(CredentialStoreFileTest, WithoutSecretServiceThePrivateFileGivesTheSameOutcomes) {
  EXPECT_FALSE(secretServiceAvailable());
  std::vector<std::string> lines;
  std::unique_ptr<CredentialStore> store;
  {
    MemoryUserDefaults unused;
    ScopedLogCapture capture([&lines](std::string_view line) { lines.emplace_back(line); });
    store = CredentialStore::open(defaults, dataFolder);
    CredentialStore::open(unused, dataFolder);  // said once per process, not per store
  }
  ASSERT_EQ(store->secrets().name(), "file");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("Quorvin ")) << lines[0];

  EXPECT_EQ(store->probeDeviceToken(), TokenProbe::missing());
  defaults.setString("device_token", "legacy");
  EXPECT_EQ(store->probeDeviceToken(), TokenProbe::available({"legacy", TokenSource::legacyDefaults}));

  store->saveDeviceToken("file-token", store->mutationGeneration());
  EXPECT_FALSE(defaults.contains("device_token"));
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(store->probeDeviceToken(), TokenProbe::available({"file-token", TokenSource::current}));
  {
    std::lock_guard lock(store->interactionLock());
    EXPECT_EQ(store->locateDeviceToken(), TokenProbe::available({"file-token", TokenSource::current}));
  }
  store->saveDeviceToken("file-token-2", store->mutationGeneration());
  EXPECT_EQ(store->probeDeviceToken(), TokenProbe::available({"file-token-2", TokenSource::current}));

  // Another build of the program reading the same file.
  CredentialStore otherBuild(makeFileSecretStore(file), defaults, "ffffffffffffffffffffffff");
  EXPECT_EQ(otherBuild.probeDeviceToken(), TokenProbe::legacyPairingRequired());

  int64_t started = store->mutationGeneration();
  store->raiseMutationGeneration();
  EXPECT_THROW(store->saveDeviceToken("late", started), StoreError);
  EXPECT_EQ(store->probeDeviceToken(), TokenProbe::available({"file-token-2", TokenSource::current}));

  store->deleteDeviceTokens(false);
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(store->probeDeviceToken(), TokenProbe::missing());
  EXPECT_EQ(otherBuild.probeDeviceToken(), TokenProbe::missing());
  store->deleteDeviceTokens(true);  // nothing to delete
}

TEST_F(CredentialStoreFileTest, DamagedFileIsReportedAndReplacedByTheNextSave) {
  CredentialStore store(makeFileSecretStore(file), defaults, "0123456789abcdef01234567");
  fs::create_directories(dataFolder);
  for (std::string damaged : {std::string("{\"items\":[{\"service\":1}]}"), std::string("not json"),
                              std::string("{\"items\":[{\"service\":\"app.quorvin.menubar\",\"secret\":\"zz\"}]}"),
                              std::string(2 * 1024 * 1024, '['), std::string("{\"items\":{}}")}) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << damaged;
    EXPECT_EQ(store.probeDeviceToken(),
              TokenProbe::failed("Could not read this computer's pairing token from keyring (the credential file is damaged)."))
        << damaged.substr(0, 40);
  }
  store.saveDeviceToken("fresh", store.mutationGeneration());
  EXPECT_EQ(store.probeDeviceToken(), TokenProbe::available({"fresh", TokenSource::current}));
  EXPECT_TRUE(fs::exists(file.string() + ".unreadable"));  // kept aside, not silently lost

  std::ofstream(file, std::ios::binary | std::ios::trunc) << "garbage";
  store.deleteDeviceTokens(false);
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(CredentialStoreFileTest, ItemsWithoutAccountOrOfOtherServicesAreLeftAlone) {
  fs::create_directories(dataFolder);
  std::ofstream(file, std::ios::binary | std::ios::trunc)
      << R"({"items":[{"service":"app.quorvin.menubar","secret":"6869"},)"
      << R"({"service":"app.other","account":"quorvin-device-token-v3","secret":"6869"}]})";
  CredentialStore store(makeFileSecretStore(file), defaults, "0123456789abcdef01234567");
  EXPECT_EQ(store.probeDeviceToken(), TokenProbe::missing());
  store.deleteDeviceTokens(false);
  EXPECT_EQ(store.secrets().name(), "file");
  std::string rest = test::readFile(file);
  EXPECT_EQ(rest.find("app.quorvin.menubar"), std::string::npos);
  EXPECT_NE(rest.find("app.other"), std::string::npos);
}

}  // namespace
}  // namespace quorvin

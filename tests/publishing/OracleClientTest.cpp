// The checkpoint chain's client: the signing key on disk, which only a missing or plainly
// wrong file may replace, and a head the chain cannot follow.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <filesystem>

#include "platform/CurlHttpClient.h"
#include "platform/SystemClock.h"
#include "publishing/OracleClient.h"
#include "publishing/OracleKeyFile.h"
#include "support/LoopbackHttpServer.h"
#include "support/TempFolder.h"

namespace quorvin {
namespace {

namespace fs = std::filesystem;

class OracleClientTest : public ::testing::Test {
 protected:
  std::string keyBytes() {
    const auto seed = loadOrCreateOracleKey(dir);
    return std::string(seed.begin(), seed.end());
  }

  test::TempFolder folder;
  fs::path dir = folder / "nested";  // created on first use
  fs::path keyFile = dir / oracleKeyFileName;
};

TEST_F(OracleClientTest, OnlyAMissingKeyOrOneOfTheWrongLengthIsReplaced) {
  const std::string key = keyBytes();  // created: 32 bytes, owner only
  struct stat info {};
  ASSERT_EQ(::stat(keyFile.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(test::readFile(keyFile), key);
  EXPECT_EQ(keyBytes(), key);

  test::writeFile(keyFile, key.substr(0, 31));
  const std::string replaced = keyBytes();
  EXPECT_NE(replaced, key);
  EXPECT_EQ(test::readFile(keyFile).size(), 32u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1) << "no temporary file is left";
  test::writeFile(keyFile, replaced + "x");
  EXPECT_NE(keyBytes(), replaced);

  // Replacing these would lose the profile's chain for good: they are errors, and the disk
  // stays as it was.
  const fs::path elsewhere = dir / "backup.key";
  test::writeFile(elsewhere, key);
  fs::remove(keyFile);
  fs::create_symlink(elsewhere, keyFile);
  EXPECT_THROW(loadOrCreateOracleKey(dir), fs::filesystem_error);
  EXPECT_TRUE(fs::is_symlink(keyFile));
  EXPECT_EQ(test::readFile(elsewhere), key);

  fs::remove(keyFile);
  fs::create_directory(keyFile);
  EXPECT_THROW(loadOrCreateOracleKey(dir), fs::filesystem_error);
  EXPECT_TRUE(fs::is_directory(keyFile));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
}

TEST_F(OracleClientTest, AHeadAtTheLastPositionIsNotFollowed) {
  const auto seed = loadOrCreateOracleKey(dir);
  const std::string publicKey = crypto::hex(*crypto::ed25519PublicKey(seed));
  test::LoopbackHttpServer server;
  server.route("GET", "/api/oracle/ada", [&](const test::TestHttpRequest&) {
    return test::TestHttpReply{200, {}, R"({"head":{"handle":"ada","seq":9223372036854775807,"head":"h","pubkey":")" +
                                            publicKey + R"(","ts":1}})"};
  });
  CurlHttpClient http;
  SystemClock clock;
  OracleClient client(http, clock, dir);
  boost::asio::io_context io;
  std::exception_ptr failure;
  boost::asio::co_spawn(io, client.commit(server.baseUrl(), "token", "Ada", 5, 1.5),
                        [&](std::exception_ptr error, CommitResult) { failure = error; });
  io.run();
  ASSERT_TRUE(failure);
  try {
    std::rethrow_exception(failure);
  } catch (const OracleError& error) {
    EXPECT_EQ(error.kind(), OracleError::Kind::requestFailed);
  } catch (const std::exception& error) {
    ADD_FAILURE() << error.what();
  }
  // Nothing was signed or sent past the head.
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].method, "GET");
}

}  // namespace
}  // namespace quorvin

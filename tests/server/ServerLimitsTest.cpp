#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/beast/http/fields.hpp>
#include <filesystem>
#include <tuple>

#include "server/ServerConfig.h"
#include "server/http/ConnectionLimits.h"
#include "server/http/RequestChecks.h"
#include "server/logic/RateLimiter.h"
#include "server/pages/Html.h"
#include "support/TempFolder.h"
#include "wire/Crypto.h"

namespace quorvin::server {
namespace {

namespace fs = std::filesystem;
namespace http = boost::beast::http;

TEST(RateLimiter, AllowsTheAppsPaceRefusesATightLoopAndStaysBounded) {
  RateLimiter limiter({5, 0.5}, 1000);
  int64_t now = 0;
  for (int i = 0; i < 100; ++i, now += 3000) EXPECT_TRUE(limiter.allow("CODE", now)) << i;
  int allowed = 0;
  for (int i = 0; i < 50; ++i) allowed += limiter.allow("BUSY", now) ? 1 : 0;
  EXPECT_EQ(allowed, 5);
  EXPECT_TRUE(limiter.allow("OTHER", now)) << "keys are limited one by one";
  EXPECT_TRUE(limiter.allow("BUSY", now + 2000));

  // Budgets spent only on failure: checking costs nothing.
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(limiter.hasBudget("addr", now));
  for (int i = 0; i < 5; ++i) limiter.spend("addr", now);
  EXPECT_FALSE(limiter.hasBudget("addr", now));

  // A flood of invented keys, long ones included, never holds more than the cap.
  for (int i = 0; i < 5000; ++i) limiter.allow(std::string(15'500, 'k') + std::to_string(i), now);
  EXPECT_LE(limiter.tracked(), 1000u);
}

TEST(ConnectionLimits, CapsConnectionsOverallAndPerAddressAndBodyBytes) {
  ConnectionLimits limits({3, 2, 100});
  auto a1 = limits.open("a");
  auto a2 = limits.open("a");
  EXPECT_TRUE(a1 && a2);
  EXPECT_FALSE(limits.open("a")) << "per address";
  auto b1 = limits.open("b");
  EXPECT_TRUE(b1);
  EXPECT_FALSE(limits.open("c")) << "overall";
  { auto released = std::move(a1); }
  EXPECT_EQ(limits.openConnections(), 2u);
  EXPECT_TRUE(limits.open("c"));

  auto body = limits.reserveBody(60);
  EXPECT_TRUE(body);
  EXPECT_FALSE(limits.reserveBody(41));
  body.release();
  EXPECT_TRUE(limits.reserveBody(100));
}

TEST(ConnectionLimits, KeysIpv6ClientsByTheirNetwork) {
  EXPECT_EQ(clientKey("203.0.113.7"), "203.0.113.7");
  EXPECT_EQ(clientKey("2001:db8:1:2:aaaa::1"), clientKey("2001:db8:1:2:bbbb::9"));
  EXPECT_NE(clientKey("2001:db8:1:2::1"), clientKey("2001:db8:1:3::1"));
  EXPECT_EQ(clientKey("::ffff:203.0.113.7"), "203.0.113.7");
}

TEST(RequestChecks, RefusesFramingAProxyCouldReadOtherwise) {
  auto framing = [](std::vector<std::pair<std::string, std::string>> headers) {
    http::fields fields;
    for (auto& [name, value] : headers) fields.insert(name, value);
    return ambiguousFraming(fields);
  };
  EXPECT_FALSE(framing({}));
  EXPECT_FALSE(framing({{"Content-Length", "5"}}));
  EXPECT_FALSE(framing({{"Transfer-Encoding", "chunked"}}));
  EXPECT_FALSE(framing({{"Transfer-Encoding", " Chunked "}}));
  for (const char* odd : {"xchunked", "gzip", "chunked, identity", "gzip, chunked", "identity", ""}) {
    EXPECT_TRUE(framing({{"Transfer-Encoding", odd}})) << odd;
  }
  EXPECT_TRUE(framing({{"Transfer-Encoding", "chunked"}, {"Transfer-Encoding", "chunked"}}));
  EXPECT_TRUE(framing({{"Transfer-Encoding", "chunked"}, {"Content-Length", "5"}}));
}

TEST(RequestChecks, RangesResumeDownloadsAndOddOnesGetTheWholeFile) {
  using Kind = ByteRange::Kind;
  const std::tuple<const char*, uint64_t, uint64_t> partial[] = {
      {"bytes=100-", 100, 999}, {"bytes=0-9", 0, 9}, {"bytes=990-5000", 990, 999},
      {"bytes=-10", 990, 999},  {"bytes=-5000", 0, 999},
  };
  for (const auto& [header, first, last] : partial) {
    const auto r = parseRange(header, 1000);
    EXPECT_EQ(r.kind, Kind::partial) << header;
    EXPECT_EQ(r.first, first) << header;
    EXPECT_EQ(r.last, last) << header;
  }
  EXPECT_EQ(parseRange("bytes=1000-", 1000).kind, Kind::unsatisfiable);
  EXPECT_EQ(parseRange("bytes=-0", 1000).kind, Kind::unsatisfiable);
  for (const char* whole : {"", "bytes=5-1", "bytes=0-1,5-6", "items=0-1", "bytes=a-", "bytes=-",
                            "bytes=99999999999999999999-"}) {
    EXPECT_EQ(parseRange(whole, 1000).kind, Kind::whole) << whole;
  }
}

TEST(Html, GroupsThousandsFromTheRight) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "0"},          {46, "46"},          {999, "999"},           {1000, "1,000"},
      {12345, "12,345"}, {123456, "123,456"}, {12345678, "12,345,678"}, {-1234, "-1,234"},
      {-12, "-12"},      {INT64_MAX, "9,223,372,036,854,775,807"},
  };
  for (const auto& [n, text] : cases) EXPECT_EQ(html::formatTokens(n), text) << n;
}

TEST(ServerConfig, StrangersCannotBeApprovedAndRemoteLinksNeedAPublicUrl) {
  ServerConfig config;
  config.autoApproveHandle = "alice";
  EXPECT_FALSE(configProblem(config)) << "loopback: only this computer reaches it";
  config.listenAddress = "::1";
  EXPECT_FALSE(configProblem(config));
  config.listenAddress = "0.0.0.0";
  config.publicUrl = "https://quorvin.example";
  EXPECT_TRUE(configProblem(config)) << "anyone could pair with alice's account";
  config.enrolSecret = "a-secret-of-enough-length";
  EXPECT_FALSE(configProblem(config));
  config.publicUrl.clear();
  EXPECT_TRUE(configProblem(config)) << "approval links would point at localhost";
  config.autoApproveHandle.reset();
  config.enrolSecret.reset();
  config.listenAddress = "192.0.2.1";
  EXPECT_TRUE(configProblem(config));
}

TEST(ServerConfig, DataFolderIsMadePrivateButAnExistingOneKeepsItsMode) {
  test::TempFolder base("quorvin-data");
  struct stat st {};
  EXPECT_FALSE(prepareDataFolder(base / "new" / "data"));
  ASSERT_EQ(::stat((base / "new" / "data").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  const fs::path shared = base / "shared";
  fs::create_directories(shared);
  ::chmod(shared.c_str(), 0755);
  EXPECT_FALSE(prepareDataFolder(shared));
  ASSERT_EQ(::stat(shared.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u) << "an existing folder's mode is left alone";

  ::chmod(shared.c_str(), 01777);
  EXPECT_TRUE(prepareDataFolder(shared)) << "a folder like /tmp is refused";
  ASSERT_EQ(::stat(shared.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 01777u);
}

}  // namespace
}  // namespace quorvin::server

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "platform/CurlHttpClient.h"
#include "platform/Runtime.h"
#include "sources/CursorExport.h"
#include "support/Coroutines.h"
#include "support/LoopbackHttpServer.h"
#include "support/TestCertificates.h"

namespace quorvin {
namespace {

class FixedClock final : public Clock {
 public:
  WallTime now() const override { return WallTime(std::chrono::seconds(1'767'225'600)); }
};

constexpr std::string_view kExport =
    "Date,Kind,Model,Max Mode,Input (w/ Cache Write),Input (w/o Cache Write),Cache Read,Output Tokens,Total "
    "Tokens,Cost\n\"2025-11-02T10:00:00.000Z\",Included,gpt-5,No,150,100,20,30,200,$0.10\n";

class CursorExportHttps : public ::testing::Test {
 protected:
  CursorExport::RefreshResult fetch() {
    boost::asio::io_context io;
    return test::runToEnd(io, CursorExport::fetchExport(http_, clock_, runtime_.pool(), server_.baseUrl(),
                                                        {"WorkosCursorSessionToken=user_1%3A%3Aa.b.c", "key-1"}));
  }

  static std::optional<CursorExport::Failure> failure(const CursorExport::RefreshResult& r) {
    if (const auto* f = std::get_if<CursorExport::Failure>(&r.outcome)) return *f;
    return std::nullopt;
  }

  void serve(test::TestHttpReply reply) {
    server_.route("GET", "/api/dashboard/export-usage-events-csv",
                  [reply](const test::TestHttpRequest&) { return reply; });
  }

  test::TestCertificates certificates_;
  test::LoopbackHttpServer server_{certificates_};
  CurlHttpClient http_{CurlHttpClient::Options{.caFile = certificates_.caFile()}};
  FixedClock clock_;
  Runtime runtime_{1};
};

TEST_F(CursorExportHttps, DownloadsAndParsesTheExport) {
  serve({200, {{"Content-Type", "text/csv"}}, std::string(kExport)});
  const auto result = fetch();
  EXPECT_EQ(result.accountKey, "key-1");
  const auto* exported = std::get_if<CursorExport::ParsedExport>(&result.outcome);
  ASSERT_TRUE(exported);
  EXPECT_EQ(exported->fetchedAt, clock_.now());
  ASSERT_EQ(exported->buckets.size(), 1u);
  EXPECT_EQ(exported->buckets.begin()->second.cacheWrite, 50);

  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, "/api/dashboard/export-usage-events-csv?strategy=tokens");
  EXPECT_EQ(requests[0].header("Cookie"), "WorkosCursorSessionToken=user_1%3A%3Aa.b.c");
  EXPECT_EQ(requests[0].header("Referer"), server_.baseUrl() + "/settings");
  EXPECT_EQ(requests[0].header("Accept"), "text/csv,*/*;q=0.8");
}

TEST_F(CursorExportHttps, StatusesAndRedirectsMapToFailures) {
  for (int status : {401, 403}) {
    serve({status, {}, "signed out"});
    EXPECT_EQ(failure(fetch()), CursorExport::Failure::authentication) << status;
  }
  for (int status : {204, 404, 500}) {
    serve({status, {}, std::string(kExport)});
    EXPECT_EQ(failure(fetch()), CursorExport::Failure::unavailable) << status;
  }
  serve({200, {}, "<html>not a CSV</html>"});
  EXPECT_EQ(failure(fetch()), CursorExport::Failure::unavailable);
  // A redirect (to a sign-in page that answers with an export) is never followed.
  server_.route("GET", "/login", [](const test::TestHttpRequest&) { return test::TestHttpReply{200, {}, std::string(kExport)}; });
  serve({302, {{"Location", server_.url("/login")}}, ""});
  EXPECT_EQ(failure(fetch()), CursorExport::Failure::unavailable);
  for (const auto& request : server_.requests()) EXPECT_NE(request.path, "/login");
}

TEST_F(CursorExportHttps, BodyOverTheBoundIsRefused) {
  std::string body(kExport);
  body.append(CursorExport::kMaxExportBytes - body.size() + 1, '\n');
  serve({200, {}, body});
  EXPECT_EQ(failure(fetch()), CursorExport::Failure::unavailable);
  body.pop_back();
  serve({200, {}, body});  // exactly at the bound is fine
  EXPECT_FALSE(failure(fetch()));
}

}  // namespace
}  // namespace quorvin

// What `quorvin status` shows: the running copy's report and its bar formats.
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <cmath>

#include "app/StatusFormat.h"
#include "shell/StatusReport.h"

namespace quorvin {
namespace {

const WallTime kNow = WallTime(std::chrono::seconds(1'800'000'000));

TEST(StatusReportTest, CostTextRoundsLikeTheTray) {
  EXPECT_EQ(exactCostText(1234.4), "$1,234");
  EXPECT_EQ(exactCostText(1234567.0), "$1,234,567");
  EXPECT_EQ(exactCostText(2.5), "$2");  // ties to even
  EXPECT_EQ(exactCostText(3.5), "$4");
  EXPECT_EQ(exactCostText(-3), "$0");
  EXPECT_EQ(exactCostText(std::nan("")), "$0");
  EXPECT_EQ(exactCostText(999.6), "$1,000");
}

TEST(StatusReportTest, ReportCarriesTheStateAndTheTrayTexts) {
  ConnectionState state;
  EXPECT_EQ(trayTooltip(state, kNow), "Quorvin \u00b7 pair this computer");
  state.isUnlockingCredential = true;
  EXPECT_EQ(trayTooltip(state, kNow), "Quorvin \u00b7 approve keyring access");
  state.isDisconnecting = true;  // comes first
  EXPECT_EQ(trayTooltip(state, kNow), "Quorvin \u00b7 stopping uploads");

  state = ConnectionState{};
  state.status = ConnectionStatus::pairing("ABCD-1234");
  auto report = statusReport(state, kNow);
  EXPECT_EQ(report.at("pairingCode").as_string(), "ABCD-1234");
  EXPECT_EQ(report.at("class").as_string(), "pairing");
  EXPECT_TRUE(report.at("handle").is_null());

  state = ConnectionState{};
  state.status = ConnectionStatus::connected();
  state.login = "ada";
  state.tokens = 1'234'567;
  state.cost = 42.2;
  state.lastSync = kNow;
  report = statusReport(state, kNow);
  EXPECT_EQ(report.at("handle").as_string(), "ada");
  EXPECT_EQ(report.at("publicTokens").as_int64(), state.publicTokens());
  EXPECT_EQ(report.at("lastSync").as_string(), "2027-01-15T08:00:00Z");
  EXPECT_EQ(report.at("text").as_string(), exactCostText(state.publicCost()));
  EXPECT_EQ(report.at("class").as_string(), "connected");
  EXPECT_NE(std::string(report.at("tooltip").as_string()).find("streaming"), std::string::npos);

  state.lastError = "Upload failed";
  report = statusReport(state, kNow);
  EXPECT_EQ(report.at("class").as_string(), "attention");
  EXPECT_EQ(report.at("lastError").as_string(), "Upload failed");
  EXPECT_NE(std::string(report.at("tooltip").as_string()).find("needs attention"), std::string::npos);
}

TEST(StatusReportTest, BarFormatsStayOneLineAndEscapeOutsideText) {
  boost::json::object report{{"status", "connected"}, {"text", "$5%\nx"}, {"tooltip", "a \"quoted\" tip"},
                             {"class", "connected"},  {"cost", 5.0},      {"lastError", nullptr}};
  EXPECT_EQ(app::formatStatus(report, app::StatusOutput::polybar), "$5%%x");
  const auto waybar = boost::json::parse(app::formatStatus(report, app::StatusOutput::waybar)).as_object();
  EXPECT_EQ(waybar.at("tooltip").as_string(), "a \"quoted\" tip");
  EXPECT_EQ(waybar.size(), 3u);
  const auto text = app::formatStatus(report, app::StatusOutput::text);
  EXPECT_EQ(text, "Status: connected\nCost: $5.00\n");  // null fields left out
}

}  // namespace
}  // namespace quorvin

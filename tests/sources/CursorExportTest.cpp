#include <gtest/gtest.h>

#include "sources/CsvReader.h"
#include "sources/CursorExport.h"

namespace quorvin {
namespace {

std::vector<std::vector<std::string>> rows(std::string_view csv, bool* ok = nullptr) {
  std::vector<std::vector<std::string>> out;
  const bool read = CsvReader::forEachRow(csv, [&](std::vector<std::string>& fields) {
    out.push_back(fields);
    return true;
  });
  if (ok) *ok = read;
  return out;
}

using Rows = std::vector<std::vector<std::string>>;

TEST(CsvReader, QuotingLineEndsAndEmptyRows) {
  EXPECT_EQ(rows("a,b\r\nc,d\re,f\n"), (Rows{{"a", "b"}, {"c", "d"}, {"e", "f"}}));
  // Quoted separators and line ends stay in the field; "" is one quote.
  EXPECT_EQ(rows("\"x,y\",\"line\nbreak\",\"say \"\"hi\"\"\"\n"), (Rows{{"x,y", "line\nbreak", "say \"hi\""}}));
  // Rows of empty fields are skipped; a last row without line end still counts.
  EXPECT_EQ(rows("a\n,,\n\n\"\"\nlast"), (Rows{{"a"}, {"last"}}));
  // A quote still open at the end drops that row only.
  EXPECT_EQ(rows("a,b\n\"cut,c"), (Rows{{"a", "b"}}));
  EXPECT_EQ(rows("\xFFok\n"), (Rows{{"\xEF\xBF\xBDok"}}));
  // The visitor stops the read.
  int seen = 0;
  EXPECT_FALSE(CsvReader::forEachRow("a\nb\nc\n", [&](auto&) { return ++seen < 2; }));
  EXPECT_EQ(seen, 2);
}

TEST(CursorExportCells, Days) {
  EXPECT_EQ(CursorExport::normalizedDay("2024-02-29"), "2024-02-29");
  EXPECT_EQ(CursorExport::normalizedDay(" 2025-03-04T23:59:59.000Z "), "2025-03-04");
  EXPECT_EQ(CursorExport::normalizedDay("2000-02-29"), "2000-02-29");
  EXPECT_FALSE(CursorExport::normalizedDay("2023-02-29"));
  EXPECT_FALSE(CursorExport::normalizedDay("1900-02-29"));
  EXPECT_FALSE(CursorExport::normalizedDay("2024-13-01"));
  EXPECT_FALSE(CursorExport::normalizedDay("2024-04-31"));
  EXPECT_FALSE(CursorExport::normalizedDay("2024-4-01"));
  EXPECT_FALSE(CursorExport::normalizedDay("2024-00-10"));
  EXPECT_FALSE(CursorExport::normalizedDay(""));
}

TEST(CursorExportCells, Numbers) {
  EXPECT_EQ(CursorExport::nonnegativeInt("12,345"), 12345);
  EXPECT_EQ(CursorExport::nonnegativeInt(" 17.9 "), 17);
  EXPECT_EQ(CursorExport::nonnegativeInt("1e3"), 1000);
  EXPECT_EQ(CursorExport::nonnegativeInt("-5"), 0);
  EXPECT_EQ(CursorExport::nonnegativeInt("9000000000000001"), 0);
  EXPECT_EQ(CursorExport::nonnegativeInt("nan"), 0);
  EXPECT_EQ(CursorExport::nonnegativeInt("12abc"), 0);
  EXPECT_EQ(CursorExport::nonnegativeInt(""), 0);
  EXPECT_DOUBLE_EQ(CursorExport::nonnegativeDouble("$1,234.50"), 1234.5);
  EXPECT_DOUBLE_EQ(CursorExport::nonnegativeDouble("0.004"), 0.004);
  EXPECT_EQ(CursorExport::nonnegativeDouble("-1"), 0);
  EXPECT_EQ(CursorExport::nonnegativeDouble("2000000000"), 0);
  EXPECT_EQ(CursorExport::nonnegativeDouble("inf"), 0);
  EXPECT_EQ(CursorExport::nonnegativeDouble("Included"), 0);
}

TEST(CursorExportCells, ModelNames) {
  EXPECT_EQ(CursorExport::sanitizedModel("  claude-4.5\t\x01\x02 sonnet \n"), "claude-4.5 sonnet");
  EXPECT_EQ(CursorExport::sanitizedModel(""), "cursor-auto");
  EXPECT_EQ(CursorExport::sanitizedModel("\x01\x7F \t"), "cursor-auto");
  EXPECT_EQ(CursorExport::sanitizedModel(std::string(300, 'm')), std::string(160, 'm'));
  // The cut keeps whole characters.
  std::string accents;
  for (int i = 0; i < 200; ++i) accents += "e\xCC\x81";
  EXPECT_EQ(CursorExport::sanitizedModel(accents).size(), 160u * 3);
}

constexpr std::string_view kHeader =
    "Date,Kind,Model,Max Mode,Input (w/ Cache Write),Input (w/o Cache Write),Cache Read,Output Tokens,Total "
    "Tokens,Cost\n";

TEST(CursorExportParse, BucketsPerDayAndModel) {
  const std::string csv = "\xEF\xBB\xBF" + std::string(kHeader) +
                          "2025-11-02T10:00:00.000Z,Included,claude-4.5-sonnet,No,\"1,500\",1000,200,300,\"2,000\",$0.50\n"
                          "2025-11-02T11:00:00.000Z,Included,Claude-4.5-Sonnet,No,100,100,0,50,150,$0.25\n"
                          "2025-11-03T09:00:00.000Z,Included,,No,10,10,0,5,15,0.01\n"
                          "2025-11-03T09:30:00.000Z,Errored,gpt-5,No,0,0,0,0,0,$0.00\n"
                          "not a date,Included,gpt-5,No,10,10,0,5,15,0.01\n";
  const WallTime at = WallTime(std::chrono::seconds(1'762'000'000));
  const auto parsed = CursorExport::parseExport(csv, at);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->fetchedAt, at);
  ASSERT_EQ(parsed->buckets.size(), 2u);
  const auto& sonnet = parsed->buckets.at(std::string("2025-11-02\x1F") + "claude-4.5-sonnet");
  EXPECT_EQ(sonnet.model, "claude-4.5-sonnet");  // first spelling seen
  EXPECT_EQ(sonnet.input, 1100);
  EXPECT_EQ(sonnet.cacheWrite, 500);
  EXPECT_EQ(sonnet.cacheRead, 200);
  EXPECT_EQ(sonnet.output, 350);
  EXPECT_DOUBLE_EQ(sonnet.cost, 0.75);
  const auto& unnamed = parsed->buckets.at(std::string("2025-11-03\x1F") + "cursor-auto");
  EXPECT_EQ(unnamed.input, 10);
  EXPECT_EQ(unnamed.output, 5);
}

TEST(CursorExportParse, RejectsBadHeadersAndOverflow) {
  const WallTime at{};
  const std::string row = "2025-11-02,x,m,No,1,1,0,1,2,$0.01\n";
  EXPECT_TRUE(CursorExport::parseExport(std::string(kHeader) + row, at));
  // A repeated or empty column name, or a missing required column, fails the export.
  EXPECT_FALSE(CursorExport::parseExport("Date,Date," + std::string(kHeader.substr(5)) + row, at));
  EXPECT_FALSE(CursorExport::parseExport(",Date,Model,Input (w/ Cache Write),Input (w/o Cache Write),Cache "
                                         "Read,Output Tokens,Total Tokens,Cost\n" + row, at));
  EXPECT_FALSE(CursorExport::parseExport("Date,Model,Cost\n2025-11-02,m,1\n", at));
  // Header alone, or only empty rows: no usage, no export.
  EXPECT_FALSE(CursorExport::parseExport(kHeader, at));
  EXPECT_FALSE(CursorExport::parseExport("", at));
  // Two rows of one bucket whose sum passes the bound fail the whole parse.
  const std::string big = "2025-11-02,x,m,No,0,0,0,5000000000000000,0,$0\n";
  EXPECT_FALSE(CursorExport::parseExport(std::string(kHeader) + big + big, at));
  const std::string pricey = "2025-11-02,x,m,No,1,1,0,1,2,$600000000\n";
  EXPECT_FALSE(CursorExport::parseExport(std::string(kHeader) + pricey + pricey, at));
}

}  // namespace
}  // namespace quorvin

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <limits>
#include <random>

#include "wire/Crypto.h"
#include "wire/OracleRecords.h"

namespace quorvin {
namespace {

TEST(OracleRecords, CanonicalBytesAreFixed) {
  oracle::Tick tick{"alice-1", 7, 1767225600123, "ab/cd\"", *oracle::canonicalCost(1.23456), 1200};
  EXPECT_EQ(oracle::canonicalBytes(tick),
            R"({"handle":"alice-1","metrics":{"costUsdTotal":1.2346,"tokensTotal":1200},"prev":"ab/cd\"","seq":7,)"
            R"("ts":1767225600123})");
  // The service reads the posted tick back to the same bytes.
  auto parsed = oracle::tickFromJson(boost::json::parse(oracle::canonicalBytes(tick)));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(*parsed, tick);
  EXPECT_FALSE(oracle::tickFromJson(boost::json::parse(
      R"({"handle":"a","metrics":{"costUsdTotal":1,"tokensTotal":1},"prev":"","seq":0,"ts":1,"extra":1})")));
  EXPECT_FALSE(oracle::tickFromJson(
      boost::json::parse(R"({"handle":"a","metrics":{"costUsdTotal":1,"tokensTotal":1.0},"prev":"","seq":0,"ts":1})")));
}

TEST(OracleRecords, CostIsRoundedToFourDecimals) {
  EXPECT_EQ(oracle::canonicalCost(5), "5");
  EXPECT_EQ(oracle::canonicalCost(0.00004), "0");
  EXPECT_EQ(oracle::canonicalCost(1.23456), "1.2346");
  EXPECT_EQ(oracle::canonicalCost(0.1), "0.1");
  EXPECT_EQ(oracle::canonicalCost(123456789.5), "123456789.5");
  EXPECT_FALSE(oracle::canonicalCost(-1));
  EXPECT_FALSE(oracle::canonicalCost(std::numeric_limits<double>::infinity()));
}

TEST(OracleRecords, EveryCanonicalCostReadsBackToItself) {
  // The service signs what it re-derives from the parsed number, so text -> number -> text
  // must be a fixed point for every cost that has a canonical text at all.
  std::mt19937_64 random(7);
  for (double low = 1; low < 1e12; low *= 10) {
    std::uniform_real_distribution<double> in(low, low * 10);
    for (int i = 0; i < 20'000; ++i) {
      const auto text = oracle::canonicalCost(in(random));
      if (!text) continue;
      const auto again = oracle::canonicalCost(boost::json::parse(*text).to_number<double>());
      ASSERT_EQ(again, text) << "from " << *text;
    }
  }
  EXPECT_TRUE(oracle::canonicalCost(9'999'999'999.9));
  EXPECT_FALSE(oracle::canonicalCost(999'999'929'239.945));
}

TEST(OracleRecords, HandlesAndHeads) {
  EXPECT_TRUE(oracle::isValidHandle("alice-1"));
  EXPECT_TRUE(oracle::isValidHandle(std::string(39, 'a')));
  for (const char* bad : {"", "Alice", "a_b", "a.b", "a b"}) EXPECT_FALSE(oracle::isValidHandle(bad)) << bad;
  EXPECT_FALSE(oracle::isValidHandle(std::string(40, 'a')));
  // sha256("abc"): the first head hashes the tick alone.
  EXPECT_EQ(oracle::chainHead("", "abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(oracle::chainHead("ab", "c"), oracle::chainHead("", "abc"));
}

TEST(OracleRecords, SignaturesVerifyOnlyForTheSignedBytes) {
  const auto seed = crypto::ed25519GenerateSeed();
  const auto pub = *crypto::ed25519PublicKey(seed);
  const auto sig = *crypto::ed25519Sign(seed, "tick");
  EXPECT_TRUE(crypto::ed25519Verify(pub, "tick", sig));
  EXPECT_FALSE(crypto::ed25519Verify(pub, "tock", sig));
  auto forged = sig;
  forged[0] ^= 1;
  EXPECT_FALSE(crypto::ed25519Verify(pub, "tick", forged));
  EXPECT_EQ(crypto::fromHex<32>(crypto::hex(pub)), pub);
  EXPECT_FALSE(crypto::fromHex<32>(crypto::hex(pub) + "0"));
  EXPECT_FALSE(crypto::fromHex<32>(std::string(64, 'g')));
}

}  // namespace
}  // namespace quorvin

// What an upload carries when the totals hold figures the service would refuse: one such
// figure must not make every upload fail.
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <cmath>
#include <limits>

#include "publishing/Api.h"

namespace quorvin::API {
namespace {

TEST(IngestUpload, FiguresAndNamesAreMadeAcceptable) {
  Totals totals;
  totals.total = -5;
  totals.cost = std::numeric_limits<double>::infinity();
  totals.input = -1;
  totals.liveCost = std::nan("");
  totals.liveTotal = std::numeric_limits<int64_t>::max();
  std::string longName;
  for (int i = 0; i < 200; ++i) longName += "\xC3\xA9";  // 200 characters, 400 bytes
  totals.models = {ModelRow{"claude\x1b[2J", -3, 4, 0, 0, -2.0}, ModelRow{longName, 1, 1, 1, 1, 1e300}};
  totals.agents = {AgentRow{"codex\n", -7, -1.0}};
  const IngestUpload upload = ingestUpload("ada", "pro", totals, Publisher{"id", "1.0"});
  const Totals& sent = upload.totals;
  EXPECT_EQ(sent.total, 0);
  EXPECT_EQ(sent.cost, 0);
  EXPECT_EQ(sent.input, 0);
  EXPECT_EQ(sent.output, std::nullopt);
  EXPECT_EQ(sent.liveCost, 0);
  EXPECT_EQ(sent.liveTotal, kMaxWireCount);
  EXPECT_EQ(sent.models[0], (ModelRow{"claude [2J", 0, 4, 0, 0, 0}));
  EXPECT_EQ(sent.models[1].name.size(), 2 * kMaxWireNameCharacters);
  EXPECT_EQ(sent.models[1].cost, kMaxWireCost);
  EXPECT_EQ(sent.agents[0], (AgentRow{"codex ", 0, 0}));
  // And the body is JSON every reader accepts.
  boost::system::error_code ec;
  boost::json::parse(encode(upload), ec);
  EXPECT_FALSE(ec);

  // Names made of long combining sequences stay within the byte bound, cut between characters.
  std::string combining = "a";
  for (int i = 0; i < 400; ++i) combining += "\xCC\x81";
  const std::string cut = wireName(combining);
  EXPECT_LE(cut.size(), kMaxWireNameBytes);
  EXPECT_EQ(cut.back(), '\x81');
  EXPECT_EQ(wireName("ok \xff"), "ok \xEF\xBF\xBD");

  // Nothing the service refuses in a name is sent: each such character becomes a space,
  // visible text around it stays.
  for (const char* name : {"gpt\u202Eexe", "a\u0085b", "claude\u200Bopus", "x\u2066y", "\uFEFFm", "a\u00ADb",
                           "a\u2028b", "a\u061Cb", "a\uFFF9b"}) {
    const std::string sent = wireName(name);
    SCOPED_TRACE(name);
    EXPECT_NE(sent.find(' '), std::string::npos);
    for (size_t i = 0; i < sent.size(); ++i) EXPECT_LT(static_cast<unsigned char>(sent[i]), 0x80);
  }
  EXPECT_EQ(wireName("claude \u00e9t\u00e9 \u6a21\u578b"), "claude \u00e9t\u00e9 \u6a21\u578b");
}

}  // namespace
}  // namespace quorvin::API

// The two writers every command's output goes through.
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <cmath>
#include <limits>

#include "app/PlainJson.h"
#include "app/TerminalText.h"

namespace quorvin::app {
namespace {

TEST(CommandOutput, NumbersArePlainDecimalsThatReadBackExactly) {
  for (double value : {0.0, 2.5, 0.1, 1e-7, 123456789.125, 1e300, -3.0}) {
    const std::string text = plainJson(boost::json::value(value));
    EXPECT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    EXPECT_EQ(boost::json::parse(text).as_double(), value) << text;
  }
  EXPECT_EQ(plainJson(boost::json::parse(R"({"a":[1,2.5E0,"x\u0001"],"b":null,"c":true})")),
            R"({"a":[1,2.5,"x\u0001"],"b":null,"c":true})");
  EXPECT_EQ(plainJson(boost::json::value(std::numeric_limits<double>::infinity())), "null");
}

TEST(CommandOutput, ControlCharactersAndBrokenBytesBecomeVisible) {
  EXPECT_EQ(printable("plain caf\xC3\xA9 \xE2\x9C\x93"), "plain caf\xC3\xA9 \xE2\x9C\x93");
  EXPECT_EQ(printable("a\x1b[2Jb\tc\nd\x7f"), "a\\x1b[2Jb\\x09c\\x0ad\\x7f");
  EXPECT_EQ(printable("c1 \xC2\x9B" "31m"), "c1 \\u009b31m");  // CSI in its one-character form
  EXPECT_EQ(printable("bad \xff\xC3"), "bad \\xff\\xc3");
}

}  // namespace
}  // namespace quorvin::app

#include "core/ModelLabel.h"

#include <gtest/gtest.h>

#include "core/TextCut.h"

namespace quorvin {
namespace {

TEST(ModelLabel, TrimsCutsAndTreatsBlankAsAbsent) {
  EXPECT_EQ(cleanModelLabel("  claude-sonnet-4-5\n"), "claude-sonnet-4-5");
  EXPECT_EQ(cleanModelLabel(std::string(60, 'x')), std::string(48, 'x'));
  EXPECT_EQ(cleanModelLabel(" \t\r\n "), std::nullopt);
  EXPECT_EQ(cleanModelLabel(""), std::nullopt);
  // Unicode white space (no-break space, ideographic space) is trimmed too.
  EXPECT_EQ(cleanModelLabel("\u00a0gpt-5\u3000"), "gpt-5");
}

TEST(TextCut, NeverSplitsACharacter) {
  // "é" written as e + combining acute: one character of three bytes.
  std::string combining;
  for (int i = 0; i < 50; ++i) combining += "e\u0301";
  std::string cut = prefixOfCharacters(combining, 48);
  EXPECT_EQ(cut.size(), 48u * 3);

  // A family emoji (ZWJ sequence) and a flag are one character each.
  std::string emoji = std::string("ab") + "\U0001F468\u200D\U0001F469\u200D\U0001F467" + "\U0001F1E9\U0001F1EA" + "z";
  EXPECT_EQ(prefixOfCharacters(emoji, 3), std::string("ab") + "\U0001F468\u200D\U0001F469\u200D\U0001F467");
  EXPECT_EQ(prefixOfCharacters(emoji, 4), std::string("ab") + "\U0001F468\u200D\U0001F469\u200D\U0001F467" +
                                              "\U0001F1E9\U0001F1EA");
  // CR LF counts as one character.
  EXPECT_EQ(prefixOfCharacters("a\r\nbcdefgh", 2), "a\r\n");
}

TEST(TextCut, InvalidUtf8IsCutWithoutCrashing) {
  std::string broken = "abc\xff\xfe\xc3";
  broken += std::string(100, '\x80');
  std::string cut = prefixOfCharacters(broken, 10);
  EXPECT_LE(cut.size(), broken.size());
  EXPECT_EQ(cut.substr(0, 3), "abc");
  EXPECT_EQ(trimWhitespace("\xff  "), "\xff");
}

}  // namespace
}  // namespace quorvin

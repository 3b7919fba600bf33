#include <gtest/gtest.h>

#include "platform/foundation/Strings.h"

namespace foundation {
namespace {

TEST(Strings, LengthsCountUnitsAndCodePointsNotBytes) {
  struct Case {
    std::string text;
    std::size_t utf16, codePoints;
  } cases[] = {
      {"", 0, 0},
      {"abc", 3, 3},
      {"h\xC3\xA9", 2, 2},               // é: 2 bytes, 1 unit
      {"\xE2\x82\xAC", 1, 1},            // €: 3 bytes
      {"\xF0\x9F\x98\x80", 2, 1},        // 😀: a surrogate pair
      {"a\xF0\x9F\x98\x80" "b", 4, 3},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf16Length(c.text), c.utf16) << c.text;
    EXPECT_EQ(codePointCount(c.text), c.codePoints) << c.text;
    EXPECT_TRUE(isValidUTF8(c.text));
  }
}

TEST(Strings, TruncationNeverSplitsACharacter) {
  const std::string text = "a\xF0\x9F\x98\x80" "b";
  EXPECT_EQ(truncatedToUTF16Units(text, 0), "");
  EXPECT_EQ(truncatedToUTF16Units(text, 2), "a");  // the pair does not fit
  EXPECT_EQ(truncatedToUTF16Units(text, 3), "a\xF0\x9F\x98\x80");
  EXPECT_EQ(truncatedToUTF16Units(text, 10), text);
  EXPECT_EQ(truncatedToCodePoints(text, 2), "a\xF0\x9F\x98\x80");
  EXPECT_EQ(truncatedToCodePoints("h\xC3\xA9llo", 2), "h\xC3\xA9");
}

TEST(Strings, InvalidUTF8IsDetectedAndNotConverted) {
  for (std::string bad : {std::string("\xC3\x28"), std::string("\xED\xA0\x80"), std::string("\xFF"),
                          std::string("\xF0\x9F\x98")}) {
    EXPECT_FALSE(isValidUTF8(bad));
    EXPECT_FALSE(toUTF16(bad).has_value());
  }
  EXPECT_FALSE(fromUTF16(std::u16string(1, u'\xD800')).has_value());
  EXPECT_EQ(*fromUTF16(*toUTF16("a\xF0\x9F\x98\x80")), "a\xF0\x9F\x98\x80");
}

TEST(Strings, CaseMappingIsFullUnicode) {
  EXPECT_EQ(uppercased("Stra\xC3\x9F" "e"), "STRASSE");
  EXPECT_EQ(lowercased("\xC3\x89T\xC3\x89"), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(lowercased("I", "tr"), "\xC4\xB1");  // dotless ı in Turkish
  EXPECT_EQ(lowercased("I"), "i");
  EXPECT_TRUE(equalsIgnoringCase("STRASSE", "stra\xC3\x9F" "e"));
  EXPECT_FALSE(equalsIgnoringCase("abc", "abd"));
  EXPECT_EQ(caseFolded("Stra\xC3\x9F" "E \xCE\xA3"), "strasse \xCF\x83");
  EXPECT_EQ(caseFolded("\xFF"), std::nullopt);
}

TEST(Strings, CharacterClassesFollowGeneralCategories) {
  struct Case {
    char32_t c;
    bool letter, nonBase, digit;
  } cases[] = {
      {U'a', true, false, false},
      {U'\u00E9', true, false, false},    // é, precomposed
      {U'\u0301', true, true, false},     // combining acute: a mark
      {U'\U0001D400', true, false, false},  // mathematical bold A, outside the basic plane
      {U'7', false, false, true},
      {U'\u0663', false, false, true},    // Arabic-Indic three
      {U'\u00B2', false, false, false},   // superscript two is No, not Nd
      {U'_', false, false, false},
      {U' ', false, false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isLetterCharacter(c.c), c.letter) << std::hex << static_cast<unsigned>(c.c);
    EXPECT_EQ(isNonBaseCharacter(c.c), c.nonBase) << std::hex << static_cast<unsigned>(c.c);
    EXPECT_EQ(isDecimalDigitCharacter(c.c), c.digit) << std::hex << static_cast<unsigned>(c.c);
  }
}

TEST(Strings, TextReadsAsABooleanByItsFirstSignificantCharacter) {
  struct Case {
    const char* text;
    bool value;
  } cases[] = {
      {"YES", true}, {"yes", true}, {"true", true}, {"T", true}, {"1", true}, {"9 lives", true},
      {"  +007", true}, {"-1", true}, {"NO", false}, {"false", false}, {"0", false}, {"000", false},
      {"", false}, {"   ", false}, {"x", false}, {"+", false}, {"-0", false},
  };
  for (const auto& c : cases) EXPECT_EQ(textBoolValue(c.text), c.value) << '"' << c.text << '"';
}

}  // namespace
}  // namespace foundation

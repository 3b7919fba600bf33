#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/foundation/Files.h"
#include "platform/foundation/PropertyList.h"
#include "testing/TemporaryHome.h"

namespace foundation {
namespace {

Data allBytes() {
  Data d;
  for (int i = 0; i < 256; ++i) d.push_back(static_cast<std::uint8_t>(i));
  return d;
}

struct RoundTrip {
  const char* name;
  Object value;
};

class PropertyListRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(PropertyListRoundTrip, DecodesToTheSameKindAndValue) {
  const Object& original = GetParam().value;
  auto text = encodePropertyList(original);
  ASSERT_TRUE(text.ok()) << text.error().description;
  auto decoded = decodePropertyList(*text);
  ASSERT_TRUE(decoded.ok()) << decoded.error().description << "\n" << *text;
  EXPECT_EQ(decoded->kind(), original.kind());
  EXPECT_TRUE(*decoded == original) << *text;
  if (original.isFloating()) {
    EXPECT_EQ(std::signbit(decoded->doubleValue()), std::signbit(original.doubleValue()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, PropertyListRoundTrip,
    ::testing::Values(
        RoundTrip{"True", true}, RoundTrip{"False", false}, RoundTrip{"Zero", 0},
        RoundTrip{"MinusOne", -1},
        RoundTrip{"Int64Min", std::numeric_limits<std::int64_t>::min()},
        RoundTrip{"Int64Max", std::numeric_limits<std::int64_t>::max()},
        RoundTrip{"PointOne", 0.1}, RoundTrip{"NegativeZero", -0.0}, RoundTrip{"WholeDouble", 3.0},
        RoundTrip{"Largest", std::numeric_limits<double>::max()},
        RoundTrip{"Denormal", std::numeric_limits<double>::denorm_min()},
        RoundTrip{"NaN", std::nan("")}, RoundTrip{"Infinity", HUGE_VAL}, RoundTrip{"MinusInfinity", -HUGE_VAL},
        RoundTrip{"FloatStoredAsDouble", Object(0.3f)},
        RoundTrip{"EmptyString", ""}, RoundTrip{"MarkupCharacters", "a&b<c>d \"q\" 'a' &amp;"},
        RoundTrip{"Unicode", "h\xC3\xA9llo \xF0\x9F\x98\x80"},
        RoundTrip{"ControlCharacters", std::string("\x01\r\n\t\x1f end", 9)},
        RoundTrip{"NulCharacter", std::string("a\0b", 3)}, RoundTrip{"SurroundingSpace", "  x  "},
        RoundTrip{"EmptyData", Data{}}, RoundTrip{"AllBytes", allBytes()},
        RoundTrip{"Epoch", Date{0}}, RoundTrip{"BeforeEpochWithFraction", Date{-1.5}},
        RoundTrip{"FractionalDate", Date{1700000000.123456}}, RoundTrip{"TinyFraction", Date{86400 + 1e-7}},
        RoundTrip{"YearOne", Date{-62135596800.0}},
        RoundTrip{"EmptyArray", Array{}}, RoundTrip{"EmptyDictionary", Dictionary{}},
        RoundTrip{"Nested", Dictionary{{"a<&>", Array{1, 2.5, "x", Dictionary{{"", true}}}},
                                        {"k\xC3\xA9y", Dictionary{{"d", Data{1, 2}}, {"t", Date{12.25}}}}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PropertyList, RefusesWhatHasNoPropertyListForm) {
  const Object cases[] = {Object(), Array{1, Object()}, Dictionary{{"k", Object()}},
                          std::string("\xC3\x28", 2), Date{1e13}, Date{std::nan("")}};
  for (const auto& value : cases) {
    auto text = encodePropertyList(value);
    ASSERT_FALSE(text.ok()) << value.description();
    EXPECT_EQ(text.error().domain, kPropertyListErrorDomain);
    EXPECT_EQ(text.error().code, kPropertyListInvalidObject);
  }
}

TEST(PropertyList, CorruptTextIsAnErrorNotACrash) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<array>";
  const std::string cases[] = {
      "",
      "<plist>",
      "<plist version=\"1.0\"><integer>12x</integer></plist>",
      "<integer>9223372036854775808</integer>",
      "<integer></integer>",
      "<dict><string>a</string></dict>",
      "<dict><key>a</key></dict>",
      "<plist><widget/></plist>",
      "<string>a &bogus; b</string>",
      "<string>&#xD800;</string>",
      "<data>!!!!</data>",
      "<date>2024-13-01T00:00:00Z</date>",
      "<real>1.5.2</real>",
      "<array><true/>",
      "<true/><true/>",
      std::string("<string>\xFF</string>"),
      deep,
  };
  for (const auto& text : cases) {
    auto decoded = decodePropertyList(text);
    ASSERT_FALSE(decoded.ok()) << text.substr(0, 80);
    EXPECT_EQ(decoded.error().code, kPropertyListCorrupt);
  }
}

TEST(PropertyList, ReadsTheCommonDialect) {
  auto decoded = decodePropertyList(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Example//DTD PLIST 1.0//EN\" \"plist.dtd\">\n"
      "<!-- written by hand -->\n"
      "<plist version=\"1.0\">\n<dict>\n"
      "  <key>Name</key> <string>tolv</string>\n"
      "  <key>Count</key> <integer> -42 </integer>\n"
      "  <key>Blob</key> <data>\n\tAAEC\n\tAw==\n</data>\n"
      "  <key>When</key> <date>2001-01-01T00:00:00Z</date>\n"
      "  <key>On</key> <true/>\n"
      "</dict>\n</plist>\n");
  ASSERT_TRUE(decoded.ok()) << decoded.error().description;
  EXPECT_EQ(*decoded->find("Name"), Object("tolv"));
  EXPECT_EQ(*decoded->find("Count"), Object(-42));
  EXPECT_EQ(*decoded->find("Blob"), Object(Data{0, 1, 2, 3}));
  EXPECT_EQ(*decoded->find("When"), Object(Date{978307200}));
  EXPECT_EQ(*decoded->find("On"), Object(true));
}

TEST(PropertyListFile, RefusedWriteLeavesTheOldFileAndCorruptReadIsAnError) {
  testkit::TemporaryHome home;
  std::string path = home.dataHome() + "/new/folder/settings.plist";
  ASSERT_TRUE(writePropertyListFile(path, Dictionary{{"a", 1}}).ok());  // creates the folders
  auto before = readFile(path);
  ASSERT_TRUE(before.ok());

  EXPECT_FALSE(writePropertyListFile(path, Dictionary{{"a", Object()}}).ok());
  EXPECT_EQ(*readFile(path), *before);
  auto folder = contentsOfDirectory(home.dataHome() + "/new/folder");
  EXPECT_EQ(folder->size(), 1u) << "no temporary file left behind";

  auto wrongRoot = home.dataHome() + "/array.plist";
  ASSERT_TRUE(writePropertyListFile(wrongRoot, Array{1}).ok());
  EXPECT_EQ(readPropertyListDictionary(wrongRoot).error().code, kPropertyListWrongRoot);
  EXPECT_EQ(readPropertyListFile(home.dataHome() + "/missing.plist").error().code, kPropertyListUnreadable);

  ASSERT_TRUE(writeFileAtomically(path, std::string_view("<plist><dict><key>a</key>")).ok());
  auto corrupt = readPropertyListFile(path);
  ASSERT_FALSE(corrupt.ok());
  EXPECT_EQ(corrupt.error().code, kPropertyListCorrupt);
  EXPECT_NE(corrupt.error().description.find(path), std::string::npos);
}

}  // namespace
}  // namespace foundation

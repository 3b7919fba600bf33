#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

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

TEST(PropertyList, DatesAreReadOnlyInTheFormAndRangeTheWriterWrites) {
  struct Case {
    const char* text;
    std::optional<double> seconds;  // nullopt: refused
  } cases[] = {
      {"2024-02-29T12:00:00Z", 1709208000.0},
      {"0001-01-01T00:00:00Z", -62135596800.0},
      {"9999-12-31T23:59:59.5Z", 253402300799.5},
      {"1970-01-02T00:00:00+1e-07Z", 86400 + 1e-7},
      {"1970-01-02T00:00:00+1.5e-07Z", 86400 + 1.5e-7},
      {" 2001-01-01T00:00:00Z\n", 978307200.0},
      // A sign where the writer puts digits.
      {"-191-12-31T23:59:59Z", std::nullopt},
      {"+2024-01-01T00:00:00Z", std::nullopt},
      {"2024-+1-01T00:00:00Z", std::nullopt},
      {"2024-01-01T00:00:-1Z", std::nullopt},
      // Instants the calendar or the writer does not have.
      {"2023-02-29T00:00:00Z", std::nullopt},
      {"2023-02-31T00:00:00Z", std::nullopt},
      {"2024-04-31T00:00:00Z", std::nullopt},
      {"1900-02-29T00:00:00Z", std::nullopt},
      {"0000-12-31T00:00:00Z", std::nullopt},
      {"9999-12-31T23:59:60Z", std::nullopt},
      {"2024-01-01T24:00:00Z", std::nullopt},
      // A fraction that rounds the instant into year 10000.
      {"9999-12-31T23:59:59.99999999999999999Z", std::nullopt},
      // Other spellings of a fraction or a time.
      {"2024-01-01T00:00:00.Z", std::nullopt},
      {"2024-01-01T00:00:00.5e-3Z", std::nullopt},
      {"2024-01-01T00:00:00+0.5Z", std::nullopt},
      {"2024-01-01T00:00:00+1e+02Z", std::nullopt},
      {"2024-01-01T00:00:00+-1e-07Z", std::nullopt},
      {"2024-01-01T00:00:00.99999999999999999999Z", std::nullopt},
      {"2024-01-01 00:00:00Z", std::nullopt},
      {"2024-1-01T00:00:00Z", std::nullopt},
      {"2024-01-01T00:00:00", std::nullopt},
      {"2024-01-01T00:00:00+01:00", std::nullopt},
  };
  for (const auto& c : cases) {
    auto decoded = decodePropertyList(std::string("<date>") + c.text + "</date>");
    if (!c.seconds) {
      ASSERT_FALSE(decoded.ok()) << c.text;
      EXPECT_EQ(decoded.error().code, kPropertyListCorrupt) << c.text;
      continue;
    }
    ASSERT_TRUE(decoded.ok()) << c.text << ": " << decoded.error().description;
    EXPECT_EQ(*decoded, Object(Date{*c.seconds})) << c.text;
    // What was read can be written again, and reads back the same.
    auto text = encodePropertyList(*decoded);
    ASSERT_TRUE(text.ok()) << c.text;
    EXPECT_EQ(*decodePropertyList(*text), *decoded) << *text;
  }
}

TEST(PropertyList, TextLongerThanTheLimitIsRefusedBothWays) {
  std::string longText = "<string>" + std::string(kPropertyListMaxLength, 'a') + "</string>";
  auto decoded = decodePropertyList(longText);
  ASSERT_FALSE(decoded.ok());
  EXPECT_EQ(decoded.error().code, kPropertyListTooLarge);

  // What could not be read back is not written either.
  // (Data is written as Base64, four characters for three bytes.)
  auto encoded = encodePropertyList(Data(kPropertyListMaxLength / 4 * 3 + 3));
  ASSERT_FALSE(encoded.ok());
  EXPECT_EQ(encoded.error().code, kPropertyListTooLarge);
  ASSERT_TRUE(encodePropertyList(Data(kPropertyListMaxLength / 4 * 3 - 300)).ok());

  // Short enough to read, but written with a line of 250 tabs for each of
  // its values: it could never be saved again.
  std::string deep;
  for (int i = 0; i < 250; ++i) deep += "<array>";
  for (int i = 0; i < 40000; ++i) deep += "<true/>";
  for (int i = 0; i < 250; ++i) deep += "</array>";
  ASSERT_LT(deep.size(), kPropertyListMaxLength / 20);
  auto unsavable = decodePropertyList(deep);
  ASSERT_FALSE(unsavable.ok());
  EXPECT_EQ(unsavable.error().code, kPropertyListTooLarge);

  testkit::TemporaryHome home;
  std::string path = home.dataHome() + "/large.plist";
  ASSERT_TRUE(writeFileAtomically(path, longText).ok());
  auto read = readPropertyListFile(path);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().code, kPropertyListTooLarge);
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

#include <gtest/gtest.h>

#include <limits>

#include "absl/strings/str_cat.h"
#include "measurement/foundation/QZMError.h"
#include "measurement/foundation/QZMNumericUtil.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"

namespace {

using testkit::FoundationTest;

TEST(SDKError, CarriesItsDomainCodeDescriptionAndMonitorContext) {
  foundation::Error plain = qzm_errorWithCode(3, "");
  EXPECT_EQ(plain.domain, "com.dralix.dxv.measurement.ErrorDomain");
  EXPECT_EQ(plain.code, 3);
  EXPECT_EQ(plain.description, "");
  EXPECT_FALSE(plain.monitorContext.has_value());
  EXPECT_EQ(QZMMonitorContextOfError(plain), "");

  foundation::Error withContext = qzm_errorWithCode(2, "Failed", "db");
  EXPECT_EQ(QZMMonitorContextOfError(withContext), "db");
  // Only the SDK's own errors lend their context to the monitor.
  foundation::Error foreign("other", 2, "Failed", foundation::Object("db"));
  EXPECT_EQ(QZMMonitorContextOfError(foreign), "");
}

TEST(SDKError, ChecksAnswerTheErrorOnlyWhenTheyFail) {
  std::shared_ptr<int> none;
  std::optional<int> some = 0;
  int value = 0;
  struct Case {
    const char* name;
    foundation::Status status;
    bool ok;
  } cases[] = {
      {"condition true", QZMCheckCondition(true, 1, "c"), true},
      {"condition false", QZMCheckCondition(false, 1, "c"), false},
      {"non-zero 5", QZMCheckNonZero(5, 1, "c"), true},
      {"non-zero 0", QZMCheckNonZero(0, 1, "c"), false},
      {"pointer set", QZMCheckPointer(&value, 1, "c"), true},
      {"pointer null", QZMCheckPointer(nullptr, 1, "c"), false},
      {"empty object", QZMCheckObject(none, 1, "c"), false},
      {"present object", QZMCheckObject(some, 1, "c"), true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.status.ok(), c.ok) << c.name;
    if (!c.status.ok()) {
      EXPECT_EQ(c.status.error().domain, kQZMErrorDomain) << c.name;
      EXPECT_EQ(c.status.error().code, 1) << c.name;
      EXPECT_EQ(c.status.error().description, "c") << c.name;
    }
  }
}

TEST(DecimalNumberString, AcceptsExactlySignedDecimalsWithoutExponent) {
  struct Case {
    const char* text;
    bool decimal;
  } cases[] = {
      {"12", true},    {"+12.", true}, {"-0.5", true}, {".5", true},  {"-.5", true}, {"007", true},
      {"", false},     {"1e5", false}, {"1,5", false}, {" 1", false}, {"1 ", false}, {".", false},
      {"+", false},    {"-.", false},  {"1.2.3", false}, {"12\n", false}, {"0x1A", false}, {"١٢", false},
  };
  for (const auto& c : cases) EXPECT_EQ(QZMIsDecimalNumberString(c.text), c.decimal) << '"' << c.text << '"';
}

class DecimalNumberFromString : public FoundationTest {};

TEST_F(DecimalNumberFromString, ConvertsExactlyOrRefusesWithACode) {
  struct Case {
    std::string text;
    std::optional<std::string> value;  // nullopt when refused
    std::int64_t code;                 // the refusal's code
  } cases[] = {
      {"+5", "5", 0},
      {"-.25", "-0.25", 0},
      {".5", "0.5", 0},
      {"1.50", "1.5", 0},
      {"007", "7", 0},
      {"12.", "12", 0},
      {"-0", "0", 0},
      {"0.000", "0", 0},
      {"1200", "1200", 0},
      {"0.001", "0.001", 0},
      // 38 significant digits are kept, whatever zeros surround them.
      {"12345678901234567890123456789012345678", "12345678901234567890123456789012345678", 0},
      {"0.0012345678901234567890123456789012345678000", "0.0012345678901234567890123456789012345678", 0},
      {absl::StrCat("1", std::string(60, '0')), absl::StrCat("1", std::string(60, '0')), 0},
      {"abc", std::nullopt, 26001},
      {"1e5", std::nullopt, 26001},
      // One digit more than the type keeps would come back truncated.
      {"123456789012345678901234567890123456789", std::nullopt, 26003},
      {"1.00000000000000000000000000000000000000001", std::nullopt, 26003},
      // Below the smallest step of the type.
      {absl::StrCat("0.", std::string(140, '0'), "1"), std::nullopt, 26003},
      // Beyond the largest value of the type.
      {absl::StrCat("9", std::string(170, '0')), std::nullopt, 26002},
  };
  for (const auto& c : cases) {
    clearMonitorLines();
    auto number = QZMDecimalNumberFromString(c.text);
    if (c.value) {
      ASSERT_TRUE(number.has_value()) << c.text;
      EXPECT_EQ(number->stringValue(), *c.value) << c.text;
      EXPECT_TRUE(monitorLines().empty()) << c.text;
    } else {
      EXPECT_FALSE(number.has_value()) << c.text;
      auto lines = monitorLines();
      ASSERT_EQ(lines.size(), 1u) << c.text;
      EXPECT_EQ(lines[0].messageCode, c.code) << c.text;
      EXPECT_EQ(lines[0].level, 2) << c.text;
    }
  }
  // The refused text is named as written, with ".5" spelt "0.5".
  clearMonitorLines();
  EXPECT_FALSE(QZMDecimalNumberFromString("-.1234567890123456789012345678901234567891"));
  ASSERT_EQ(linesWithCode(26003).size(), 1u);
  EXPECT_EQ(linesWithCode(26003)[0].contexts, std::vector<std::string>{"-0.1234567890123456789012345678901234567891"});
}

TEST_F(DecimalNumberFromString, ComparesExactly) {
  auto d = [](const char* text) { return *QZMDecimalNumberFromString(text); };
  EXPECT_LT(d("0.1"), d("0.10000000000000000000000000000000000001"));
  EXPECT_LT(d("-2"), d("-1.99"));
  EXPECT_LT(d("-0.001"), d("0"));
  EXPECT_LT(d("0"), d("0.001"));
  EXPECT_LT(d("0.15"), d("0.2"));
  EXPECT_LT(d("99"), d("100"));
  EXPECT_EQ(d("1.50"), d("+1.5"));
  EXPECT_EQ(d("-0"), d("0"));
  EXPECT_EQ(d("9223372036854775807"), QZMDecimalNumber(std::numeric_limits<std::int64_t>::max()));
  EXPECT_EQ(d("-9223372036854775808"), QZMDecimalNumber(std::numeric_limits<std::int64_t>::min()));
  EXPECT_EQ(QZMDecimalNumber(-4700).stringValue(), "-4700");
  EXPECT_GT(QZMDecimalNumber(1), d("0.99999999999999999999999999999999999999"));
}

TEST_F(DecimalNumberFromString, RandomInt64ComesFromTheSecureSourceOrIsZeroWithALine) {
  utilities->setSecureRandom(0xfedcba9876543210ULL);
  EXPECT_EQ(static_cast<std::uint64_t>(QZMNumericUtil::randomInt64()), 0xfedcba9876543210ULL);
  EXPECT_TRUE(monitorLines().empty());

  utilities->setSecureRandom(std::nullopt);
  EXPECT_EQ(QZMNumericUtil::randomInt64(), 0);
  auto lines = linesWithCode(26004);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 5);
  EXPECT_EQ(lines[0].message, "Unable to generate random integer");
}

}  // namespace

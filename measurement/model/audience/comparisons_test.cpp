#include <gtest/gtest.h>

#include <cmath>

#include "measurement/foundation/testkit/FoundationTestKit.h"
#include "measurement/model/audience/QZMFilterComparisons.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"

namespace {

using Opt = std::optional<std::string>;

std::unique_ptr<QZMPBNumberFilter> numberFilter(std::optional<std::int32_t> type, Opt value, Opt min = {},
                                                Opt max = {}) {
  auto filter = QZMPBNumberFilter::initWithBuffer({});
  if (type) NANOSetInt32(filter.get(), QZMPBNumberFilter::kComparisonType, *type);
  if (value) NANOSetString(filter.get(), QZMPBNumberFilter::kComparisonValue, *value);
  if (min) NANOSetString(filter.get(), QZMPBNumberFilter::kMinComparisonValue, *min);
  if (max) NANOSetString(filter.get(), QZMPBNumberFilter::kMaxComparisonValue, *max);
  return filter;
}

std::unique_ptr<QZMPBStringFilter> stringFilter(std::optional<std::int32_t> type, Opt expression,
                                                std::optional<bool> caseSensitive = {},
                                                std::vector<std::string> list = {}) {
  auto filter = QZMPBStringFilter::initWithBuffer({});
  if (type) NANOSetInt32(filter.get(), QZMPBStringFilter::kMatchType, *type);
  if (expression) NANOSetString(filter.get(), QZMPBStringFilter::kExpression, *expression);
  if (caseSensitive) NANOSetBool(filter.get(), QZMPBStringFilter::kCaseSensitive, *caseSensitive);
  NANOObjectArray items;
  for (const auto& entry : list) items.emplace_back(foundation::Object(entry));
  NANOSetArray(filter.get(), QZMPBStringFilter::kExpressionList, &items);
  return filter;
}

std::string describe(std::optional<bool> answer) { return answer ? (*answer ? "yes" : "no") : "none"; }

class Comparisons : public testkit::FoundationTest {
 protected:
  std::vector<std::int64_t> codes() {
    std::vector<std::int64_t> found;
    for (const auto& line : monitorLines()) found.push_back(line.messageCode);
    return found;
  }
};

TEST_F(Comparisons, NumberFilterValidity) {
  struct Case {
    std::unique_ptr<QZMPBNumberFilter> filter;
    bool valid;
    std::vector<std::int64_t> codes;
  } cases[] = {
      {numberFilter(std::nullopt, "1"), false, {8006}},
      {numberFilter(0, "1"), false, {8007}},
      {numberFilter(5, "1"), false, {8011}},
      {numberFilter(1, "-12.5"), true, {}},
      {numberFilter(3, "+.5"), true, {}},
      {numberFilter(2, std::nullopt), false, {8008}},
      {numberFilter(2, "1e3"), false, {8008}},
      {numberFilter(4, std::nullopt, "1", "2"), true, {}},
      {numberFilter(4, std::nullopt, "x", "2"), false, {8009}},
      {numberFilter(4, std::nullopt, std::nullopt, " 2"), false, {8009, 8010}},  // both are checked
  };
  for (auto& c : cases) {
    clearMonitorLines();
    EXPECT_EQ(QZMIsValidNumberFilter(c.filter.get()), c.valid) << ::testing::PrintToString(c.codes);
    EXPECT_EQ(codes(), c.codes);
  }
}

TEST_F(Comparisons, NumberFiltersCompareExactDecimalsAndIntegers) {
  struct Case {
    std::unique_ptr<QZMPBNumberFilter> filter;
    std::string value;
    std::optional<bool> expected;
  } cases[] = {
      {numberFilter(1, "10"), "9.99999999999999999999999", true},
      {numberFilter(1, "10"), "10", false},
      {numberFilter(2, "0.1"), "0.10000000000000000000001", true},
      {numberFilter(2, "0.1"), "0.1", false},
      {numberFilter(3, "12.50"), "12.5", true},
      {numberFilter(3, "0.3"), "0.30000000000000000000001", false},
      {numberFilter(4, std::nullopt, "-1", "1"), "-1", true},  // both ends included
      {numberFilter(4, std::nullopt, "-1", "1"), "1", true},
      {numberFilter(4, std::nullopt, "-1", "1"), "1.0000000000000000001", false},
      {numberFilter(4, std::nullopt, "-1", "1"), "-1.0000000000000000001", false},
      {numberFilter(6, "1"), "1", false},                 // unknown types compare false
      {numberFilter(0, "1"), "1", std::nullopt},          // no answer
      {numberFilter(2, "ten"), "1", std::nullopt},        // not a number: no answer, never a throw
      {numberFilter(4, std::nullopt, "1", std::nullopt), "1", std::nullopt},
      {numberFilter(4, std::nullopt, "a", "b"), "1", std::nullopt},
  };
  for (auto& c : cases) {
    auto value = QZMDecimalNumberFromString(c.value);
    ASSERT_TRUE(value) << c.value;
    EXPECT_EQ(describe(QZMEvaluateNumberFilterWithDecimal(c.filter.get(), *value)), describe(c.expected)) << c.value;
  }

  // Event counts: 5 is not greater than 5, but is greater than 4.5.
  EXPECT_EQ(QZMEvaluateNumberFilterWithInt64(numberFilter(2, "5").get(), 5), false);
  EXPECT_EQ(QZMEvaluateNumberFilterWithInt64(numberFilter(2, "4.5").get(), 5), true);
  EXPECT_EQ(QZMEvaluateNumberFilterWithInt64(numberFilter(3, "9223372036854775807").get(), INT64_MAX), true);

  clearMonitorLines();
  EXPECT_EQ(QZMEvaluateNumberFilterWithInt64(numberFilter(4, std::nullopt, "x", "2").get(), 1), std::nullopt);
  EXPECT_EQ(linesWithCode(8004).size(), 1u);
  EXPECT_EQ(linesWithCode(8005).size(), 0u);  // the maximum is not looked at
  EXPECT_EQ(linesWithCode(8015).size(), 1u);
}

TEST_F(Comparisons, NumberFiltersCompareDoublesWithinOneStepForEquality) {
  const double c = 0.1;
  struct Case {
    std::unique_ptr<QZMPBNumberFilter> filter;
    double value;
    std::optional<bool> expected;
  } cases[] = {
      {numberFilter(3, "0.1"), c, true},
      {numberFilter(3, "0.1"), std::nextafter(c, 1.0), true},
      {numberFilter(3, "0.1"), std::nextafter(c, 0.0), true},
      {numberFilter(3, "0.1"), std::nextafter(std::nextafter(c, 1.0), 1.0), false},
      {numberFilter(3, "0.1"), std::nextafter(std::nextafter(c, 0.0), 0.0), false},
      {numberFilter(1, "+2"), 1.5, true},
      {numberFilter(2, "-2."), -1.5, true},
      {numberFilter(4, std::nullopt, "0.5", "2.5"), 2.5, true},
      {numberFilter(4, std::nullopt, "0.5", "2.5"), 0.5, true},
      {numberFilter(4, std::nullopt, "0.5", "2.5"), std::nextafter(2.5, 3.0), false},
      {numberFilter(3, "1e2"), 100, std::nullopt},
      {numberFilter(3, std::nullopt), 1, std::nullopt},
      {numberFilter(0, "1"), 1, std::nullopt},
      {numberFilter(3, "1"), NAN, std::nullopt},
  };
  for (auto& c : cases) {
    EXPECT_EQ(describe(QZMEvaluateNumberFilterWithDouble(c.filter.get(), c.value)), describe(c.expected))
        << c.value;
  }
  EXPECT_EQ(linesWithCode(8012).size(), 2u);
  EXPECT_EQ(linesWithCode(8013).size(), 1u);
}

TEST_F(Comparisons, StringFilterValidity) {
  struct Case {
    std::unique_ptr<QZMPBStringFilter> filter;
    bool valid;
    std::int64_t code;  // 0: none
  } cases[] = {
      {stringFilter(std::nullopt, "a"), false, 9000},
      {stringFilter(0, "a"), false, 9001},
      {stringFilter(6, "a"), false, 9003},
      {stringFilter(6, std::nullopt, {}, {"a"}), true, 0},
      {stringFilter(2, std::nullopt), false, 9002},
      {stringFilter(1, "(unclosed"), false, 9004},
      {stringFilter(1, "^a.c$"), true, 0},
      {stringFilter(5, ""), true, 0},
      {stringFilter(9, "a"), true, 0},
  };
  for (auto& c : cases) {
    clearMonitorLines();
    EXPECT_EQ(QZMIsValidStringFilter(c.filter.get()), c.valid) << c.code;
    EXPECT_EQ(codes(), c.code ? std::vector<std::int64_t>{c.code} : std::vector<std::int64_t>{});
  }
  std::shared_ptr<foundation::RegularExpression> compiled;
  ASSERT_TRUE(QZMIsValidStringFilter(stringFilter(1, "b+").get(), &compiled));
  ASSERT_TRUE(compiled);
  EXPECT_EQ(compiled->isFound("aBBc").value(), true);  // case-insensitive by default
}

TEST_F(Comparisons, StringFiltersMatchByTypeAndCase) {
  struct Case {
    std::unique_ptr<QZMPBStringFilter> filter;
    std::optional<std::string> value;
    std::optional<bool> expected;
  } cases[] = {
      {stringFilter(1, "b.d"), "ABCDE", true},
      {stringFilter(1, "b.d", true), "ABCDE", false},
      {stringFilter(1, "^bc"), "abc", false},
      {stringFilter(2, "abc"), "ABCdef", true},
      {stringFilter(2, "abc", true), "ABCdef", false},
      {stringFilter(2, "abc", false), "xabc", false},
      {stringFilter(3, "abc"), "xxABC", true},
      {stringFilter(3, "abcdef"), "def", false},  // longer than the value
      {stringFilter(3, "abc", true), "xxABC", false},
      {stringFilter(4, "abc"), "xABCx", true},
      {stringFilter(4, "a%c"), "xa%cx", true},  // no pattern characters
      {stringFilter(4, "abc", true), "xABCx", false},
      {stringFilter(5, "abc"), "ABC", true},
      {stringFilter(5, "abc"), "ABCD", false},
      {stringFilter(5, "abc", true), "ABC", false},
      {stringFilter(5, "stra\xC3\x9F" "e"), "STRASSE", true},
      {stringFilter(6, std::nullopt, {}, {"x", "abc"}), "ABC", true},
      {stringFilter(6, std::nullopt, true, {"x", "abc"}), "ABC", false},
      {stringFilter(6, std::nullopt, {}, {"x", "y"}), "ABC", false},
      {stringFilter(9, "abc"), "abc", false},
      {stringFilter(2, "abc"), std::nullopt, std::nullopt},
      {stringFilter(0, "abc"), "abc", std::nullopt},
  };
  for (auto& c : cases) {
    EXPECT_EQ(describe(QZMEvaluateStringFilter(c.filter.get(), c.value)), describe(c.expected))
        << c.value.value_or("(none)");
  }
}

TEST_F(Comparisons, RegularExpressionThatRunsAwayIsANonMatchWithALine) {
  auto filter = stringFilter(1, "(a+)+$");
  EXPECT_EQ(QZMEvaluateStringFilter(filter.get(), std::string(40, 'a') + "!"), false);
  EXPECT_EQ(linesWithCode(9009).size(), 1u);
}

}  // namespace

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "measurement/config/runtime/QZMPNumberConversion.h"
#include "measurement/config/runtime/QZMPStringValue.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string show(double x) {
  char buffer[64];
  auto end = std::to_chars(buffer, buffer + sizeof buffer, x).ptr;
  return std::string(buffer, end);
}

TEST(NumberToString, FormatsLikeTheLanguage) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {kNaN, "NaN"},
      {kInf, "Infinity"},
      {-kInf, "-Infinity"},
      {0.0, "0"},
      {-0.0, "0"},
      {1e21, "1e+21"},
      {1e20, "100000000000000000000"},
      {123456789012345680000.0, "123456789012345680000"},
      {1e-6, "0.000001"},
      {1e-7, "1e-7"},
      {1.5e-7, "1.5e-7"},
      {0.00000123, "0.00000123"},
      {123456.5, "123456.5"},
      {1234567, "1234567"},
      {-2.5, "-2.5"},
      {0.1, "0.1"},
      {0.1 + 0.2, "0.30000000000000004"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {-1.2345e-30, "-1.2345e-30"},
      {4294967295.0, "4294967295"},
  };
  for (const auto& c : cases) EXPECT_EQ(QZMPNumberToString(c.value), c.text) << show(c.value);
}

double parse(std::u16string_view text) { return QZMPStringToNumber(text); }

TEST(StringToNumber, ConsumesTheWholeTrimmedText) {
  const struct {
    std::u16string text;
    double value;  // NaN where the text is no number
  } cases[] = {
      {u" 12 ", 12},
      {u"", 0},
      {u" \t\n", 0},
      {u"\u00A0\u2028 7\u3000", 7},
      {u"12px", kNaN},
      {u"Infinity", kInf},
      {u"-Infinity", -kInf},
      {u"+Infinity", kNaN},
      {u"infinity", kNaN},
      {u"NaN", kNaN},
      {u"-5.25", -5.25},
      {u"+3", 3},
      {u".5", 0.5},
      {u"5.", 5},
      {u".", kNaN},
      {u"-", kNaN},
      {u"1e3", 1000},
      {u"1E-2", 0.01},
      {u"1e", kNaN},
      {u"1e+", kNaN},
      {u"0x10", kNaN},
      {u"1,5", kNaN},
      {u"1 2", kNaN},
      {u"007", 7},
      {u"\u0661\u0662", kNaN},  // Arabic-Indic digits are not decimal digits here
      {u"1e400", kInf},
      {u"-1e400", -kInf},
      {u"0.000001e400", kInf},
      {u"1e-400", 0},
      {u"123e-330", 0},
      {u"1e99999999999999999999", kInf},
      {u"4.9406564584124654e-324", 5e-324},
      {u"2.2250738585072011e-308", 2.2250738585072011e-308},
  };
  for (const auto& c : cases) {
    const double value = parse(c.text);
    if (std::isnan(c.value)) {
      EXPECT_TRUE(std::isnan(value)) << show(value);
    } else {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(value), std::bit_cast<std::uint64_t>(c.value))
          << show(value) << " for " << QZMPUTF8FromUTF16(c.text);
    }
  }
  EXPECT_TRUE(std::signbit(parse(u"-0")));
  EXPECT_TRUE(std::signbit(parse(u"-1e-400")));
}

// Every double formats to the shortest digits that read back as itself.
TEST(NumberToString, RoundTripsEveryDouble) {
  std::mt19937_64 random(20240531);
  std::vector<double> values = {5e-324,  -5e-324, 2.2250738585072009e-308, 2.2250738585072014e-308,
                                1e21,    1e-7,    1e-6,  999999999999999900000.0, 0.1,
                                kInf,    -kInf,   std::numeric_limits<double>::max(), 1.0 / 3};
  for (int i = 0; i < 200000; ++i) values.push_back(std::bit_cast<double>(random()));
  for (double value : values) {
    if (std::isnan(value)) continue;
    const std::string text = QZMPNumberToString(value);
    const double back = parse(std::u16string(text.begin(), text.end()));
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(value)) << text;
    // As short as the shortest scientific form the library gives.
    if (std::isfinite(value)) {
      char buffer[64];
      const std::string_view shortest(buffer,
                                      std::to_chars(buffer, buffer + 64, value, std::chars_format::scientific).ptr -
                                          buffer);
      const auto significant = [](std::string_view s) {
        std::string digits;
        for (char c : s.substr(0, s.find('e'))) {
          if (c >= '0' && c <= '9') digits += c;
        }
        digits.erase(0, digits.find_first_not_of('0'));
        digits.erase(digits.find_last_not_of('0') + 1);
        return digits;
      };
      ASSERT_EQ(significant(text), significant(shortest)) << text;
    }
  }
  EXPECT_TRUE(std::isnan(parse(u"NaN")));
  EXPECT_EQ(QZMPNumberToString(kNaN), "NaN");
}

// ToUint32 by exact integer arithmetic on the double's bits: x = m * 2^e.
std::uint32_t exactUint32(double x) {
  if (!std::isfinite(x)) return 0;
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const bool negative = bits >> 63;
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
  if (biased == 0) return 0;  // subnormals truncate to 0
  mantissa |= std::uint64_t{1} << 52;
  const int exponent = biased - 1075;
  unsigned __int128 whole;
  if (exponent >= 0) {
    if (exponent >= 64) return 0;  // a multiple of 2^64, so of 2^32
    whole = static_cast<unsigned __int128>(mantissa) << exponent;
  } else {
    whole = exponent <= -64 ? 0 : mantissa >> -exponent;
  }
  std::uint32_t low = static_cast<std::uint32_t>(whole);
  return negative ? static_cast<std::uint32_t>(0u - low) : low;
}

TEST(ThirtyTwoBitConversions, AgreeWithExactArithmetic) {
  const struct {
    double value;
    std::uint32_t unsignedValue;
    std::int32_t signedValue;
  } cases[] = {
      {0, 0, 0},
      {-0.0, 0, 0},
      {kNaN, 0, 0},
      {kInf, 0, 0},
      {-kInf, 0, 0},
      {1.9, 1, 1},
      {-1.9, 4294967295u, -1},
      {-1, 4294967295u, -1},
      {2147483647, 2147483647, 2147483647},
      {2147483648.0, 2147483648u, INT32_MIN},
      {4294967295.0, 4294967295u, -1},
      {4294967296.0, 0, 0},
      {4294967297.5, 1, 1},
      {-4294967297.0, 4294967295u, -1},
      {1e20, 1661992960u, 1661992960},
      {-1e20, 2632974336u, -1661992960},
      {9007199254740993.0, 0, 0},
      {1.8446744073709552e19, 0, 0},
      {std::numeric_limits<double>::max(), 0, 0},
      {5e-324, 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QZMPToUint32(c.value), c.unsignedValue) << show(c.value);
    EXPECT_EQ(QZMPToInt32(c.value), c.signedValue) << show(c.value);
    EXPECT_EQ(exactUint32(c.value), c.unsignedValue) << "reference disagrees for " << show(c.value);
  }
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> exponent(-10, 80);
  for (int i = 0; i < 100000; ++i) {
    const double magnitude = std::ldexp(1.0 + static_cast<double>(random() >> 12) / 4503599627370496.0,
                                        static_cast<int>(exponent(random)));
    const double value = (random() & 1) ? -magnitude : magnitude;
    ASSERT_EQ(QZMPToUint32(value), exactUint32(value)) << show(value);
    ASSERT_EQ(QZMPToInt32(value), static_cast<std::int32_t>(exactUint32(value))) << show(value);
  }
}

TEST(IntegerPart, TruncatesTowardZero) {
  EXPECT_EQ(QZMPIntegerPart(kNaN), 0);
  EXPECT_EQ(QZMPIntegerPart(kInf), kInf);
  EXPECT_EQ(QZMPIntegerPart(-2.7), -2);
  EXPECT_EQ(QZMPIntegerPart(2.7), 2);
  EXPECT_TRUE(std::signbit(QZMPIntegerPart(-0.5)));
}

}  // namespace

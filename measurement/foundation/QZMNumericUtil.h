// Exact decimal numbers parsed strictly from text (audience comparisons use
// them), the secure random 64-bit integer behind identifiers, and the one
// conversion of a double to an integer.
#pragma once

#include <compare>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

// A decimal number held exactly: at most 38 significant digits times a power
// of ten from -128 to 127, as the platform's decimal type keeps it.
class QZMDecimalNumber {
 public:
  static constexpr int kMaxDigits = 38;
  static constexpr int kMinExponent = -128;
  static constexpr int kMaxExponent = 127;

  QZMDecimalNumber() = default;  // zero
  explicit QZMDecimalNumber(std::int64_t value);

  // Plain decimal notation without an exponent or superfluous zeros:
  // "0", "1.5", "-0.25", "1200".
  std::string stringValue() const;
  bool isZero() const { return digits_.empty(); }
  bool isNegative() const { return negative_; }

  std::strong_ordering operator<=>(const QZMDecimalNumber& other) const;
  bool operator==(const QZMDecimalNumber& other) const = default;

 private:
  friend std::optional<QZMDecimalNumber> QZMDecimalNumberFromString(std::string_view text);
  QZMDecimalNumber(bool negative, std::string digits, int exponent)
      : negative_(negative), digits_(std::move(digits)), exponent_(exponent) {}

  // The value is (-1 if negative) * digits * 10^exponent; digits carry no
  // leading or trailing zeros and are empty for zero.
  bool negative_ = false;
  std::string digits_;
  int exponent_ = 0;
};

// Whether the whole text reads as an optionally signed decimal without an
// exponent: "12", "+12.", "-0.5" and ".5" do; "", "1e5", "1,5", " 1" and "."
// do not.
bool QZMIsDecimalNumberString(std::string_view text);
// The exact number the text spells, or nullopt (logged) when the text is not
// a decimal (26001), lies beyond the decimal type's range (26002) or has more
// significant digits than it keeps (26003).
std::optional<QZMDecimalNumber> QZMDecimalNumberFromString(std::string_view text);

// A double as an integer of type Int, cut toward zero. Every double-to-integer
// conversion of the SDK goes through here: a plain cast of a value beyond
// the type's range is undefined, and times, amounts and counts come from
// hosts, servers and stored rows. Beyond the range gives the nearest end of
// it, NaN gives 0.
template <std::integral Int>
  requires(!std::same_as<Int, bool>)
constexpr Int QZMSaturatingCast(double value) {
  using Limits = std::numeric_limits<Int>;
  // 2^digits, the first whole number past the largest; exact as a double.
  constexpr double beyondMax = static_cast<double>(Limits::max() / 2 + 1) * 2.0;
  if (value != value) return 0;
  if (value >= beyondMax) return Limits::max();
  if constexpr (Limits::is_signed) {
    if (value <= static_cast<double>(Limits::min())) return Limits::min();
  } else {
    if (value <= -1.0) return 0;
  }
  return static_cast<Int>(value);
}

// Seconds as whole milliseconds, cut toward zero and saturating as above.
constexpr std::int64_t QZMMillisecondsFromSeconds(double seconds) {
  return QZMSaturatingCast<std::int64_t>(seconds * 1000.0);
}

class QZMNumericUtil {
 public:
  // Eight bytes of the system's secure random source; 0 (logged) when the
  // source fails.
  static std::int64_t randomInt64();
};

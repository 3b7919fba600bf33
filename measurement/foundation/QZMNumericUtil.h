// Exact decimal numbers parsed strictly from text (audience comparisons use
// them), and the secure random 64-bit integer behind identifiers.
#pragma once

#include <compare>
#include <cstdint>
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

class QZMNumericUtil {
 public:
  // Eight bytes of the system's secure random source; 0 (logged) when the
  // source fails.
  static std::int64_t randomInt64();
};

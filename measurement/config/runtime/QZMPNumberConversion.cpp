#include "measurement/config/runtime/QZMPNumberConversion.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <system_error>

#include "measurement/config/runtime/QZMPStringValue.h"

std::string QZMPNumberToString(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  if (value == 0) return "0";

  char buffer[64];
  // Below 2^53 the library's shortest fixed form is the text itself: those
  // digits, or "0." and zeros before them. (Above, it spells out the exact
  // integer where the text wants the digits and then zeros.)
  const double magnitude = std::fabs(value);
  if (magnitude >= 1e-6 && magnitude < 9007199254740992.0) {
    const std::to_chars_result fixed = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    return std::string(buffer, fixed.ptr);
  }

  // The shortest round-trip digits and their exponent, from the scientific
  // form "d.ddde±x".
  const std::to_chars_result scientific =
      std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::scientific);
  const std::string_view text(buffer, scientific.ptr - buffer);
  const std::size_t e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(), exponent);

  // The decimal point sits after `point` digits.
  const int count = static_cast<int>(digits.size());
  const int point = exponent + 1;
  std::string out = value < 0 ? "-" : "";
  if (point > -6 && point <= 21) {
    if (point >= count) {
      out += digits;
      out.append(point - count, '0');
    } else if (point > 0) {
      out.append(digits, 0, point);
      out += '.';
      out.append(digits, point);
    } else {
      out += "0.";
      out.append(-point, '0');
      out += digits;
    }
  } else {
    out += digits[0];
    if (count > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += exponent < 0 ? "e-" : "e+";
    out += std::to_string(std::abs(exponent));
  }
  return out;
}

namespace {

bool isDigit(char16_t unit) { return unit >= u'0' && unit <= u'9'; }

}  // namespace

double QZMPStringToNumber(std::u16string_view text) {
  text = QZMPTrimWhiteSpace(text);
  if (text.empty()) return 0;
  if (text == u"NaN") return std::numeric_limits<double>::quiet_NaN();
  if (text == u"Infinity") return std::numeric_limits<double>::infinity();
  if (text == u"-Infinity") return -std::numeric_limits<double>::infinity();

  // Check the grammar and copy the ASCII text without its sign, noting
  // where the value's magnitude lies in case the conversion overflows.
  std::size_t i = 0;
  bool negative = false;
  if (text[i] == u'+' || text[i] == u'-') {
    negative = text[i] == u'-';
    ++i;
  }
  std::string ascii;
  ascii.reserve(text.size());
  std::size_t integerDigits = 0;
  std::size_t leadingZeros = 0;  // of the whole digit string, across the point
  bool nonZeroSeen = false;
  std::size_t mantissaDigits = 0;
  for (; i < text.size() && isDigit(text[i]); ++i, ++integerDigits, ++mantissaDigits) {
    if (text[i] != u'0') nonZeroSeen = true;
    if (!nonZeroSeen) ++leadingZeros;
    ascii.push_back(static_cast<char>(text[i]));
  }
  std::size_t fractionDigits = 0;
  if (i < text.size() && text[i] == u'.') {
    ascii.push_back('.');
    for (++i; i < text.size() && isDigit(text[i]); ++i, ++fractionDigits, ++mantissaDigits) {
      if (text[i] != u'0') nonZeroSeen = true;
      if (!nonZeroSeen) ++leadingZeros;
      ascii.push_back(static_cast<char>(text[i]));
    }
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  if (mantissaDigits == 0) return nan;
  long long exponent = 0;
  if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
    ascii.push_back('e');
    ++i;
    bool negativeExponent = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
      negativeExponent = text[i] == u'-';
      ascii.push_back(static_cast<char>(text[i]));
      ++i;
    }
    if (i == text.size() || !isDigit(text[i])) return nan;
    for (; i < text.size() && isDigit(text[i]); ++i) {
      ascii.push_back(static_cast<char>(text[i]));
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (text[i] - u'0');
    }
    if (negativeExponent) exponent = -exponent;
  }
  if (i != text.size()) return nan;

  double value = 0;
  const std::from_chars_result parsed = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
  if (parsed.ec == std::errc::result_out_of_range) {
    // Beyond the double range: infinity when the first significant digit
    // stands at a positive power of ten, else zero.
    const long long magnitude = static_cast<long long>(integerDigits) - static_cast<long long>(leadingZeros) + exponent;
    value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (parsed.ec != std::errc() || parsed.ptr != ascii.data() + ascii.size()) {
    return nan;
  }
  return negative ? -value : value;
}

double QZMPIntegerPart(double value) {
  if (std::isnan(value)) return 0;
  return std::trunc(value);
}

std::uint32_t QZMPToUint32(double value) {
  if (!std::isfinite(value)) return 0;
  double r = std::fmod(std::trunc(value), 4294967296.0);
  if (r < 0) r += 4294967296.0;
  // r is a whole number in [0, 2^32) here, so the cast is exact.
  return static_cast<std::uint32_t>(r);
}

std::int32_t QZMPToInt32(double value) { return static_cast<std::int32_t>(QZMPToUint32(value)); }

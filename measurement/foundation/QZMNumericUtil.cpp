#include "measurement/foundation/QZMNumericUtil.h"

#include <algorithm>
#include <cstring>

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMUtilities.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

QZMDecimalNumber::QZMDecimalNumber(std::int64_t value) {
  negative_ = value < 0;
  std::uint64_t magnitude = negative_ ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
  std::string digits = std::to_string(magnitude);
  std::size_t last = digits.find_last_not_of('0');
  if (last == std::string::npos) {
    negative_ = false;
    return;
  }
  exponent_ = static_cast<int>(digits.size() - 1 - last);
  digits.resize(last + 1);
  digits_ = std::move(digits);
}

std::string QZMDecimalNumber::stringValue() const {
  if (digits_.empty()) return "0";
  std::string text = negative_ ? "-" : "";
  if (exponent_ >= 0) return text + digits_ + std::string(static_cast<std::size_t>(exponent_), '0');
  long point = static_cast<long>(digits_.size()) + exponent_;
  if (point > 0) return text + digits_.substr(0, static_cast<std::size_t>(point)) + "." + digits_.substr(static_cast<std::size_t>(point));
  return text + "0." + std::string(static_cast<std::size_t>(-point), '0') + digits_;
}

std::strong_ordering QZMDecimalNumber::operator<=>(const QZMDecimalNumber& other) const {
  auto sign = [](const QZMDecimalNumber& n) { return n.digits_.empty() ? 0 : (n.negative_ ? -1 : 1); };
  int a = sign(*this), b = sign(other);
  if (a != b || a == 0) return a <=> b;
  // Same sign, both non-zero: compare magnitudes, then flip for negatives.
  long magnitudeA = static_cast<long>(digits_.size()) + exponent_;
  long magnitudeB = static_cast<long>(other.digits_.size()) + other.exponent_;
  std::strong_ordering order = magnitudeA <=> magnitudeB;
  if (order == 0) {
    int compared = digits_.compare(other.digits_);  // same leading place: digit by digit
    order = compared <=> 0;
  }
  return a > 0 ? order : 0 <=> order;
}

bool QZMIsDecimalNumberString(std::string_view text) {
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t integerDigits = 0, fractionDigits = 0;
  while (i < text.size() && isDigit(text[i])) ++i, ++integerDigits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && isDigit(text[i])) ++i, ++fractionDigits;
  }
  return i == text.size() && (integerDigits > 0 || fractionDigits > 0);
}

std::optional<QZMDecimalNumber> QZMDecimalNumberFromString(std::string_view text) {
  auto monitor = QZMMeasurementBase::monitor();
  if (!QZMIsDecimalNumberString(text)) {
    monitor->logWithLevel(2, 26001, "String value does not represent a numeric value. Value", text);
    return std::nullopt;
  }
  // ".5" and "-.5" are written "0.5" and "-0.5" in the log lines below.
  std::string adjusted(text);
  if (text.starts_with(".") || text.starts_with("+.") || text.starts_with("-.")) {
    adjusted.insert(adjusted.find('.'), 1, '0');
  }

  bool negative = text.starts_with("-");
  std::string_view unsigned_ = text.substr(text.starts_with("-") || text.starts_with("+") ? 1 : 0);
  std::size_t point = unsigned_.find('.');
  std::string digits(unsigned_.substr(0, point));
  long exponent = 0;
  if (point != std::string_view::npos) {
    std::string_view fraction = unsigned_.substr(point + 1);
    digits.append(fraction);
    exponent = -static_cast<long>(fraction.size());
  }
  std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return QZMDecimalNumber();
  std::size_t last = digits.find_last_not_of('0');
  long trailing = static_cast<long>(digits.size() - 1 - last);
  digits = digits.substr(first, last + 1 - first);
  long scale = exponent + trailing;

  // More significant digits than the type keeps, or a value below its
  // smallest step, would come back changed.
  if (digits.size() > static_cast<std::size_t>(QZMDecimalNumber::kMaxDigits) || scale < QZMDecimalNumber::kMinExponent) {
    monitor->logWithLevel(2, 26003, "Unable to create a NSDecimalNumber from string value: loss of precision. Value",
                          adjusted);
    return std::nullopt;
  }
  // A large exponent can lend zeros to the digits, up to the digit limit.
  if (scale > QZMDecimalNumber::kMaxExponent &&
      static_cast<long>(digits.size()) + scale - QZMDecimalNumber::kMaxExponent > QZMDecimalNumber::kMaxDigits) {
    monitor->logWithLevel(2, 26002, "Unable to create a NSDecimalNumber from string value. Value", text);
    return std::nullopt;
  }
  return QZMDecimalNumber(negative, std::move(digits), static_cast<int>(scale));
}

std::int64_t QZMNumericUtil::randomInt64() {
  auto random = QZMUtilities::shared()->secureRandomUInt64();
  if (!random) {
    QZMMeasurementBase::monitor()->logWithLevel(5, 26004, "Unable to generate random integer", random.error().description);
    return 0;
  }
  std::int64_t value;
  std::memcpy(&value, &*random, sizeof value);
  return value;
}

#include "measurement/model/audience/QZMFilterComparisons.h"

#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#include "absl/strings/match.h"
#include "absl/strings/str_cat.h"
#include "measurement/foundation/QZMAbslView.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Strings.h"

namespace {

using Number = QZMPBNumberFilter;
using Text = QZMPBStringFilter;

void log(std::int64_t code, std::string_view message, const QZMLogContext& context = {}) {
  QZMMeasurementBase::monitor()->logWithLevel(1, code, message, context);
}

// Messages have no text of their own; a log line names the filter's kind.
QZMLogContext describe(const NANOMessageBase* filter) {
  return filter ? QZMLogContext::describing(absl::StrCat("<", filter->objectClass().name, ">")) : QZMLogContext();
}

std::optional<std::string> stringField(const NANOMessageBase* message, std::int32_t field) {
  if (!message || !NANOHasField(message, field)) return std::nullopt;
  return NANOGetString(message, field);
}

bool isDecimalField(const Number* filter, std::int32_t field) {
  auto text = stringField(filter, field);
  return text && QZMIsDecimalNumberString(*text);
}

// The same texts the decimal check accepts, read as the nearest double.
std::optional<double> doubleFromDecimalText(const std::optional<std::string>& text) {
  if (!text || !QZMIsDecimalNumberString(*text)) return std::nullopt;
  std::string_view digits = *text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  double value = 0;
  auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), value, std::chars_format::fixed);
  if (parsed.ec != std::errc() || parsed.ptr != digits.data() + digits.size() || !std::isfinite(value))
    return std::nullopt;
  return value;
}

double stepped(double value, double towards, int steps) {
  for (int i = 0; i < steps; ++i) value = std::nextafter(value, towards);
  return value;
}

bool isCaseSensitive(const Text* filter) {
  return NANOHasField(filter, Text::kCaseSensitive) && NANOGetBool(filter, Text::kCaseSensitive);
}

// How a value and an expression compare once case is folded away (or not).
bool matches(QZMStringMatchType type, std::string_view value, std::string_view expression) {
  switch (type) {
    case kQZMStringMatchBeginsWith: return absl::StartsWith(QZMAbslView(value), QZMAbslView(expression));
    case kQZMStringMatchEndsWith: return absl::EndsWith(QZMAbslView(value), QZMAbslView(expression));
    case kQZMStringMatchContains: return absl::StrContains(QZMAbslView(value), QZMAbslView(expression));
    case kQZMStringMatchExactly:
    case kQZMStringMatchInList: return value == expression;
    default: return false;
  }
}

bool matches(QZMStringMatchType type, std::string_view value, std::string_view expression, bool caseSensitive) {
  if (caseSensitive) return matches(type, value, expression);
  auto foldedValue = foundation::caseFolded(value);
  auto foldedExpression = foundation::caseFolded(expression);
  return foldedValue && foldedExpression && matches(type, *foldedValue, *foldedExpression);
}

}  // namespace

bool QZMIsValidNumberFilter(const QZMPBNumberFilter* filter) {
  if (!filter || !NANOHasField(filter, Number::kComparisonType)) {
    log(8006, "Number filter has no comparison type", describe(filter));
    return false;
  }
  switch (NANOGetInt32(filter, Number::kComparisonType)) {
    case kQZMNumberComparisonLessThan:
    case kQZMNumberComparisonGreaterThan:
    case kQZMNumberComparisonEqual:
      if (isDecimalField(filter, Number::kComparisonValue)) return true;
      log(8008, "Numeric filter does not have a valid comparison value. Filter", describe(filter));
      return false;
    case kQZMNumberComparisonBetween: {
      bool valid = true;
      if (!isDecimalField(filter, Number::kMinComparisonValue)) {
        log(8009, "Numeric filter does not have a valid min comparison value. Filter", describe(filter));
        valid = false;
      }
      if (!isDecimalField(filter, Number::kMaxComparisonValue)) {
        log(8010, "Numeric filter does not have a valid max comparison value. Filter", describe(filter));
        valid = false;
      }
      return valid;
    }
    case kQZMNumberComparisonUnknown:
      log(8007, "Number filter has unknown comparison type", describe(filter));
      return false;
    default:
      log(8011, "Number filter has a real unknown comparison type", describe(filter));
      return false;
  }
}

std::optional<bool> QZMEvaluateNumberFilterWithDecimal(const QZMPBNumberFilter* filter,
                                                       const QZMDecimalNumber& value) {
  const std::int32_t type = NANOGetInt32(filter, Number::kComparisonType);
  QZMAudienceComparisonValues values;
  values.setValid(true);
  auto invalid = [&](std::int64_t code, std::string_view message) {
    log(code, message, describe(filter));
    values.setValid(false);
  };
  switch (type) {
    case kQZMNumberComparisonLessThan:
    case kQZMNumberComparisonGreaterThan:
    case kQZMNumberComparisonEqual: {
      auto text = stringField(filter, Number::kComparisonValue);
      if (!text) {
        invalid(8001, "Number filter has no comparison value");
      } else if (auto parsed = QZMDecimalNumberFromString(*text); !parsed) {
        invalid(8002, "Number filter comparison value is not a number");
      } else {
        values.setComparisonValue(parsed);
      }
      break;
    }
    case kQZMNumberComparisonBetween: {
      auto minText = stringField(filter, Number::kMinComparisonValue);
      auto maxText = stringField(filter, Number::kMaxComparisonValue);
      if (!minText || !maxText) {
        invalid(8003, "Number filter does not have both min and max comparison values");
        break;
      }
      auto min = QZMDecimalNumberFromString(*minText);
      if (!min) {
        invalid(8004, "Number filter min comparison value is not a number");
        break;
      }
      auto max = QZMDecimalNumberFromString(*maxText);
      if (!max) {
        invalid(8005, "Number filter max comparison value is not a number");
        break;
      }
      values.setMinComparisonValue(min);
      values.setMaxComparisonValue(max);
      break;
    }
    case kQZMNumberComparisonUnknown: invalid(8000, "Number filter has unknown comparison type"); break;
    default: break;
  }
  if (!values.valid()) {
    log(8015, "Parsed decimal number comparison values are not valid. Audience filter will not be evaluated. Filter",
        describe(filter));
    return std::nullopt;
  }
  switch (type) {
    case kQZMNumberComparisonLessThan: return value < *values.comparisonValue();
    case kQZMNumberComparisonGreaterThan: return value > *values.comparisonValue();
    case kQZMNumberComparisonEqual: return value == *values.comparisonValue();
    case kQZMNumberComparisonBetween:
      return *values.minComparisonValue() <= value && value <= *values.maxComparisonValue();
    default: return false;
  }
}

std::optional<bool> QZMEvaluateNumberFilterWithInt64(const QZMPBNumberFilter* filter, std::int64_t value) {
  return QZMEvaluateNumberFilterWithDecimal(filter, QZMDecimalNumber(value));
}

std::optional<bool> QZMEvaluateNumberFilterWithDouble(const QZMPBNumberFilter* filter, double value) {
  if (!std::isfinite(value)) return std::nullopt;
  const std::int32_t type = NANOGetInt32(filter, Number::kComparisonType);
  std::vector<double> bounds;
  for (std::int32_t field : type == kQZMNumberComparisonBetween
                                ? std::vector<std::int32_t>{Number::kMinComparisonValue, Number::kMaxComparisonValue}
                                : std::vector<std::int32_t>{Number::kComparisonValue}) {
    auto parsed = doubleFromDecimalText(stringField(filter, field));
    if (!parsed) {
      log(8012,
          "Number filter is invalid, the comparison filter is not valid. Audience filter will not be evaluated");
      return std::nullopt;
    }
    bounds.push_back(*parsed);
  }
  const double c = bounds.front();
  switch (type) {
    case kQZMNumberComparisonUnknown:
      log(8013, "Validated double number filter has unknown comparison type. Audience filter will not be evaluated");
      return std::nullopt;
    case kQZMNumberComparisonLessThan: return value < c;
    case kQZMNumberComparisonGreaterThan: return value > c;
    case kQZMNumberComparisonEqual:
      return stepped(c, -INFINITY, 2) < value && value < stepped(c, INFINITY, 2);
    case kQZMNumberComparisonBetween: return bounds[0] <= value && value <= bounds[1];
    default: return false;
  }
}

bool QZMIsValidStringFilter(const QZMPBStringFilter* filter,
                            std::shared_ptr<foundation::RegularExpression>* compiled) {
  if (!filter || !NANOHasField(filter, Text::kMatchType)) {
    log(9000, "String filter has no match type", describe(filter));
    return false;
  }
  const std::int32_t type = NANOGetInt32(filter, Text::kMatchType);
  if (type == kQZMStringMatchUnknown) {
    log(9001, "String filter has unknown match type", describe(filter));
    return false;
  }
  if (type == kQZMStringMatchInList) {
    auto list = NANOGetArray(filter, Text::kExpressionList);
    if (!list || list->empty()) {
      log(9003, "String filter has no expression list", describe(filter));
      return false;
    }
    return true;
  }
  auto expression = stringField(filter, Text::kExpression);
  if (!expression) {
    log(9002, "String filter has no expression", describe(filter));
    return false;
  }
  if (type == kQZMStringMatchRegularExpression) {
    foundation::RegularExpression::Options options;
    options.caseInsensitive = !isCaseSensitive(filter);
    auto regex = foundation::RegularExpression::make(*expression, options);
    if (!regex) {
      QZMMeasurementBase::monitor()->logWithLevel(1, 9004, "Unable to parse regular expression", describe(filter),
                                                  regex.error());
      return false;
    }
    if (compiled) *compiled = *regex;
  }
  return true;
}

std::optional<bool> QZMEvaluateStringFilter(const QZMPBStringFilter* filter, std::optional<std::string_view> value) {
  if (!value) {
    log(9005, "Evaluation string is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  std::shared_ptr<foundation::RegularExpression> regex;
  if (!QZMIsValidStringFilter(filter, &regex)) {
    log(9006, "String filter is invalid. Audience filter will not be evaluated", describe(filter));
    return std::nullopt;
  }
  const auto type = static_cast<QZMStringMatchType>(NANOGetInt32(filter, Text::kMatchType));
  const bool caseSensitive = isCaseSensitive(filter);
  switch (type) {
    case kQZMStringMatchUnknown:
      log(9007, "Validated string filter has unknown comparison type. Audience filter will not be evaluated");
      return std::nullopt;
    case kQZMStringMatchRegularExpression: {
      if (!regex) {
        log(9008, "Parsed regex is nil. Audience filter will not be evaluated");
        return std::nullopt;
      }
      auto found = regex->isFound(*value);
      if (!found) {
        // A server's pattern that runs out of time or stack matches nothing.
        log(9009, "Regular expression could not be evaluated. Audience filter does not match", found.error());
        return false;
      }
      return *found;
    }
    case kQZMStringMatchBeginsWith:
    case kQZMStringMatchEndsWith:
    case kQZMStringMatchContains:
    case kQZMStringMatchExactly:
      return matches(type, *value, *stringField(filter, Text::kExpression), caseSensitive);
    case kQZMStringMatchInList: {
      auto list = NANOGetArray(filter, Text::kExpressionList);
      for (const NANOObject& item : list.value_or(NANOObjectArray{})) {
        const auto* object = std::get_if<foundation::Object>(&item);
        if (object && object->string() && matches(type, *value, *object->string(), caseSensitive)) return true;
      }
      return false;
    }
    default: return false;
  }
}

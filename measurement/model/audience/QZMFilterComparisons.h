// The leaf comparisons of audience filters: number filters against exact
// decimals, 64-bit integers and doubles, and string filters by match type.
// An evaluation answers true, false or nullopt ("no answer": the filter or
// the value cannot be evaluated); every no-answer is logged.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "measurement/foundation/QZMNumericUtil.h"
#include "platform/foundation/RegularExpression.h"

class QZMPBNumberFilter;
class QZMPBStringFilter;

// Comparison types of a number filter.
enum QZMNumberComparisonType : std::int32_t {
  kQZMNumberComparisonUnknown = 0,
  kQZMNumberComparisonLessThan = 1,
  kQZMNumberComparisonGreaterThan = 2,
  kQZMNumberComparisonEqual = 3,
  kQZMNumberComparisonBetween = 4,  // both ends included
};

// Match types of a string filter.
enum QZMStringMatchType : std::int32_t {
  kQZMStringMatchUnknown = 0,
  kQZMStringMatchRegularExpression = 1,  // found anywhere in the value
  kQZMStringMatchBeginsWith = 2,
  kQZMStringMatchEndsWith = 3,
  kQZMStringMatchContains = 4,
  kQZMStringMatchExactly = 5,
  kQZMStringMatchInList = 6,
};

// The parsed comparison values of one number filter.
class QZMAudienceComparisonValues {
 public:
  const std::optional<QZMDecimalNumber>& comparisonValue() const { return comparisonValue_; }
  void setComparisonValue(std::optional<QZMDecimalNumber> value) { comparisonValue_ = std::move(value); }
  const std::optional<QZMDecimalNumber>& minComparisonValue() const { return minComparisonValue_; }
  void setMinComparisonValue(std::optional<QZMDecimalNumber> value) { minComparisonValue_ = std::move(value); }
  const std::optional<QZMDecimalNumber>& maxComparisonValue() const { return maxComparisonValue_; }
  void setMaxComparisonValue(std::optional<QZMDecimalNumber> value) { maxComparisonValue_ = std::move(value); }
  bool valid() const { return valid_; }
  void setValid(bool valid) { valid_ = valid; }

 private:
  std::optional<QZMDecimalNumber> comparisonValue_;
  std::optional<QZMDecimalNumber> minComparisonValue_;
  std::optional<QZMDecimalNumber> maxComparisonValue_;
  bool valid_ = false;
};

// Whether the filter has a known comparison type and decimal comparison
// texts for it.
bool QZMIsValidNumberFilter(const QZMPBNumberFilter* filter);
std::optional<bool> QZMEvaluateNumberFilterWithDecimal(const QZMPBNumberFilter* filter, const QZMDecimalNumber& value);
std::optional<bool> QZMEvaluateNumberFilterWithInt64(const QZMPBNumberFilter* filter, std::int64_t value);
// "Equal" allows one representable step either way. A value that is not
// finite has no answer.
std::optional<bool> QZMEvaluateNumberFilterWithDouble(const QZMPBNumberFilter* filter, double value);

// Whether the filter has a known match type and what that type needs; a
// regular expression is compiled (case-insensitive unless the filter is case
// sensitive) and handed back through compiled.
bool QZMIsValidStringFilter(const QZMPBStringFilter* filter,
                            std::shared_ptr<foundation::RegularExpression>* compiled = nullptr);
// nullopt for an absent value or an invalid filter. A regular expression
// that runs out of time or stack is no match.
std::optional<bool> QZMEvaluateStringFilter(const QZMPBStringFilter* filter, std::optional<std::string_view> value);

#include "measurement/model/audience/QZMAudienceFilterEvaluation.h"

#include <cmath>

#include "absl/strings/str_cat.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMNumericUtil.h"
#include "measurement/model/QZMEventNames.h"
#include "measurement/model/audience/QZMFilterComparisons.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"

namespace {

void log(std::int64_t level, std::int64_t code, std::string_view message,
         const std::vector<QZMLogContext>& contexts = {}) {
  QZMMeasurementBase::monitor()->logWithLevel(level, code, message, contexts);
}

// Messages have no text of their own; a log line names the filter's kind.
QZMLogContext describe(const NANOMessageBase* message) {
  return message ? QZMLogContext::describing(absl::StrCat("<", message->objectClass().name, ">")) : QZMLogContext();
}

// A decoded filter message; nothing for data that is empty or corrupt.
template <class M>
std::unique_ptr<M> decoded(const foundation::Data& data) {
  if (data.empty()) return nullptr;
  return M::initWithBuffer(data);
}

std::optional<bool> inverted(std::optional<bool> result, bool complement) {
  if (result && complement) return !*result;
  return result;
}

}  // namespace

std::optional<bool> QZMEvaluateFilter(const QZMPBFilter* filter, const QZMValue& value) {
  auto numberFilter = NANOGetMessage<QZMPBNumberFilter>(filter, QZMPBFilter::kNumberFilter);
  auto stringFilter = NANOGetMessage<QZMPBStringFilter>(filter, QZMPBFilter::kStringFilter);
  if (!numberFilter && !stringFilter) {
    log(1, 7000, "Filter has neither a number nor string filter. Audience filter will not be evaluated",
        {value.description(), describe(filter)});
    return std::nullopt;
  }
  std::optional<bool> result;
  if (numberFilter) {
    if (const std::string* text = value.stringValue()) {
      if (!QZMIsDecimalNumberString(*text)) {
        log(3, 7001, "String value is not a numeric value. Audience filter will not be evaluated. Value, filter",
            {*text, describe(filter)});
        return std::nullopt;
      }
      auto decimal = QZMDecimalNumberFromString(*text);
      if (!decimal) return std::nullopt;
      result = QZMEvaluateNumberFilterWithDecimal(numberFilter.get(), *decimal);
    } else if (value.isDouble()) {
      if (!std::isfinite(value.doubleValue())) {
        log(3, 7002, "Value is not within double range. Audience filter will not be evaluated",
            {value.description()});
        return std::nullopt;
      }
      result = QZMEvaluateNumberFilterWithDouble(numberFilter.get(), value.doubleValue());
    } else if (value.isInt64()) {
      result = QZMEvaluateNumberFilterWithInt64(numberFilter.get(), value.int64Value());
    } else {
      return std::nullopt;
    }
  } else {
    const std::string* text = value.stringValue();
    if (!text) {
      log(3, 7003, "Value is not a string. Audience filter will not be evaluated", {value.description()});
      return std::nullopt;
    }
    result = QZMEvaluateStringFilter(stringFilter.get(), *text);
  }
  return inverted(result, NANOGetBool(filter, QZMPBFilter::kComplement));
}

std::optional<bool> QZMEvaluateEventFilter(const QZMPBEventFilter* filter, std::string_view eventName,
                                           const QZMParameters& parameters, const QZMEventAggregates& aggregates) {
  if (!filter) {
    log(1, 7004, "Event filter is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  if (eventName.empty()) {
    log(1, 7005, "Event name is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  auto filterName = NANOGetString(filter, QZMPBEventFilter::kEventName);
  if (!filterName || *filterName != eventName) {
    log(1, 7006, "Event filter name does not match event name. Audience filter will not be evaluated",
        {filterName.value_or(""), QZMEventNameForLogging(eventName)});
    return std::nullopt;
  }
  auto countFilter = NANOGetMessage<QZMPBNumberFilter>(filter, QZMPBEventFilter::kEventCountFilter);
  auto parameterFilters =
      NANOGetArray<QZMPBFilter>(filter, QZMPBEventFilter::kFilters).value_or(std::vector<std::shared_ptr<QZMPBFilter>>{});
  if (!countFilter && parameterFilters.empty()) return true;

  if (countFilter) {
    if (aggregates.name() != eventName) {
      log(1, 7007, "Event aggregates name does not match event name. Audience filter will not be evaluated",
          {QZMEventNameForLogging(aggregates.name()), QZMEventNameForLogging(eventName), describe(filter)});
      return std::nullopt;
    }
    const bool sessionScoped = NANOGetBool(filter, QZMPBEventFilter::kSessionScoped);
    const std::int64_t count = sessionScoped ? aggregates.currentSessionCount() : aggregates.lifetimeCount();
    auto counted = QZMEvaluateNumberFilterWithInt64(countFilter.get(), count);
    if (counted != std::optional<bool>(true)) return counted;
  }

  for (const auto& parameterFilter : parameterFilters) {
    auto name = NANOGetString(parameterFilter.get(), QZMPBFilter::kParamName);
    if (!name || name->empty()) {
      log(1, 7008, "Event filter does not have parameter name. Audience filter will not be evaluated");
      return std::nullopt;
    }
    auto parameter = parameters.find(*name);
    if (parameter == parameters.end()) {
      log(3, 7009, "Event does not have parameter required by filter. Audience filter will not be evaluated",
          {QZMEventNameForLogging(eventName), QZMParametersForLogging(parameters), describe(parameterFilter.get())});
      return std::nullopt;
    }
    if (parameter->second.isString() && !NANOHasField(parameterFilter.get(), QZMPBFilter::kStringFilter)) {
      log(3, 7010,
          "Event param is a string and the filter does not have a string filter. Audience filter will not be "
          "evaluated. Event name, event params, filter",
          {QZMEventNameForLogging(eventName), QZMParametersForLogging(parameters), describe(parameterFilter.get())});
      return std::nullopt;
    }
    auto matched = QZMEvaluateFilter(parameterFilter.get(), parameter->second);
    if (matched != std::optional<bool>(true)) return matched;
  }
  return true;
}

std::optional<bool> QZMEvaluatePropertyFilter(const QZMPBPropertyFilter* filter, const QZMUserAttribute* attribute) {
  if (!filter) {
    log(1, 7011, "Property filter is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  if (!attribute) {
    log(1, 7012, "User property is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  auto propertyName = NANOGetString(filter, QZMPBPropertyFilter::kPropertyName);
  if (!propertyName || *propertyName != attribute->name()) {
    log(1, 7013, "User property name does not match property filter name. Audience filter will not be evaluated",
        {propertyName.value_or(""), QZMUserPropertyNameForLogging(attribute->name())});
    return std::nullopt;
  }
  auto inner = NANOGetMessage<QZMPBFilter>(filter, QZMPBPropertyFilter::kFilter);
  if (!inner) {
    log(1, 7014, "Property filter does not have filter. Audience filter will not be evaluated");
    return std::nullopt;
  }
  const QZMValue& value = attribute->value();
  if (!(value.isString() || value.isInt64() || value.isDouble())) {
    log(1, 7015, "Unknown user property type. Audience filter will not be evaluated. Property Name",
        {QZMUserPropertyNameForLogging(attribute->name())});
    return std::nullopt;
  }
  return QZMEvaluateFilter(inner.get(), value);
}

std::optional<bool> QZMEvaluateStoredEventFilter(const QZMEventFilter& filter, const QZMParameters& parameters,
                                                 const QZMEventAggregates& aggregates) {
  auto message = decoded<QZMPBEventFilter>(filter.data());
  if (!message) {
    log(1, 6035,
        "Event filter contains no data or corrupt data. Event will not be evaluated. Event name, filter ID, audience "
        "ID, dynamic",
        {QZMEventNameForLogging(filter.eventName()), filter.filterID(), filter.audienceID(), filter.isDynamic()});
    return std::nullopt;
  }
  return QZMEvaluateEventFilter(message.get(), filter.eventName(), parameters, aggregates);
}

std::optional<bool> QZMEvaluateStoredPropertyFilter(bool wasTrue, const QZMPropertyFilter& filter,
                                                    const QZMUserAttribute& attribute) {
  auto message = decoded<QZMPBPropertyFilter>(filter.data());
  if (!message) {
    log(1, 6036,
        "User property filter contains no data or corrupt data. User property will not be evaluated. User property "
        "name, filter ID, audience ID, dynamic",
        {QZMUserPropertyNameForLogging(filter.propertyName()), filter.filterID(), filter.audienceID(),
         filter.isDynamic()});
    return std::nullopt;
  }
  auto result = QZMEvaluatePropertyFilter(message.get(), &attribute);
  if (result != std::optional<bool>(true) && wasTrue && !filter.isDynamic() && !filter.isSequence()) {
    return filter.isSessionScoped() ? result : std::nullopt;
  }
  return result;
}

bool QZMShouldEvaluateFilter(const QZMAudienceFilter& filter, bool wasTrue) {
  return !wasTrue || filter.isDynamic() || filter.isSequence() || filter.isSessionScoped();
}

bool QZMShouldTakePropertyResult(const QZMPropertyFilter& filter, bool result) {
  return result || (filter.isDynamic() && !filter.isSessionScoped());
}

std::optional<QZMUserAttribute> QZMUserAttributeFromNanoUserProperty(const QZMPBUserAttribute& property) {
  std::optional<QZMValue> value;
  if (NANOHasField(&property, QZMPBUserAttribute::kStringValue)) {
    if (auto text = NANOGetString(&property, QZMPBUserAttribute::kStringValue)) value = QZMValue::initWithString(*text);
  } else if (NANOHasField(&property, QZMPBUserAttribute::kDoubleValue)) {
    value = QZMValue::initWithDouble(NANOGetDouble(&property, QZMPBUserAttribute::kDoubleValue));
  } else if (NANOHasField(&property, QZMPBUserAttribute::kIntValue)) {
    value = QZMValue::initWithInt64(NANOGetInt64(&property, QZMPBUserAttribute::kIntValue));
  }
  if (!value) return std::nullopt;
  const double setTimestamp =
      static_cast<double>(NANOGetInt64(&property, QZMPBUserAttribute::kSetTimestampMillis)) / 1000.0;
  return QZMUserAttribute::initWithOrigin("", NANOGetString(&property, QZMPBUserAttribute::kName).value_or(""),
                                          std::move(*value), setTimestamp);
}

#include "measurement/model/QZMEvent.h"

#include <cfloat>
#include <limits>

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/model/QZMDataTypeValidator.h"
#include "measurement/model/QZMEventFunctions.h"
#include "measurement/model/QZMEventNames.h"
#include "measurement/model/QZMEventParameters.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "platform/foundation/Strings.h"

namespace {

using FailureCode = QZMValidationFailureCode;

constexpr const char* kOrigin = "_o";
constexpr const char* kConversion = "_c";
constexpr const char* kRealtime = "_r";
constexpr const char* kDebug = "_dbg";
constexpr const char* kErrorCode = "_err";

void log(std::int64_t level, std::int64_t code, std::string_view message) {
  QZMMeasurementBase::monitor()->logWithLevel(level, code, message);
}

void log(std::int64_t level, std::int64_t code, std::string_view message, const QZMLogContext& context) {
  QZMMeasurementBase::monitor()->logWithLevel(level, code, message, context);
}

bool isInt64One(const QZMParameters& parameters, std::string_view name) {
  auto it = parameters.find(name);
  return it != parameters.end() && it->second.isInt64() && it->second.int64Value() == 1;
}

// Text of a screen parameter: plain text or a string value.
const std::string* screenText(const QZMObject& object) {
  if (const std::string* text = object.validString()) return text;
  if (const QZMValue* value = object.value()) {
    const std::string* text = value->stringValue();
    if (text && foundation::isValidUTF8(*text)) return text;
  }
  return nullptr;
}

// nullopt when the parameter is given but unusable.
std::optional<const std::string*> checkedScreenText(const QZMDictionary& parameters, std::string_view key,
                                                    std::int64_t code, std::string_view message) {
  auto it = parameters.find(key);
  if (it == parameters.end()) return static_cast<const std::string*>(nullptr);
  const std::string* text = screenText(it->second);
  if (text == nullptr) return std::nullopt;
  if (!QZMDataTypeValidator::isValidScreenParameterValue(*text)) {
    log(3, code, message, *text);
    return std::nullopt;
  }
  return text;
}

QZMDictionary dictionaryFromPlain(const foundation::Dictionary& parameters) {
  QZMDictionary out;
  for (const auto& [name, value] : parameters) out.emplace(name, QZMObject(value));
  return out;
}

}  // namespace

// ---- Making events ----

std::unique_ptr<QZMEvent> QZMEvent::initWithOrigin(std::string_view origin, bool isPublic, std::string_view name,
                                                   double timestamp, double previousTimestamp,
                                                   const QZMDictionary& parameters) {
  FailureCode failure = FailureCode::kNone;
  if (!QZMDataTypeValidator::isValidForwardedEventOrigin(origin, &failure)) {
    if (failure != FailureCode::kNotForwardedOrigin) return nullptr;
    if (!QZMDataTypeValidator::isValidInternalEventOrigin(origin)) return nullptr;
  }
  if (isPublic && !QZMDataTypeValidator::isValidPublicEventName(name)) return nullptr;
  if (!QZMDataTypeValidator::isValidInternalEventName(name)) return nullptr;
  if (previousTimestamp > timestamp) {
    log(5, 16002, "Event created with previous timestamp after current timestamp");
  }

  std::unique_ptr<QZMEvent> event(new QZMEvent());
  event->origin_ = std::string(origin);
  event->name_ = std::string(name);
  event->timestamp_ = timestamp;
  event->previousTimestamp_ = previousTimestamp;
  event->parameters_ =
      QZMSanitizedEventParameters(parameters, event->name_, isPublic, false).value_or(QZMParameters{});
  event->parameters_.insert_or_assign(kOrigin, *QZMValue::initWithString(event->origin_));
  if (event->shouldValidateParams() && !QZMValidateValueAndCurrency(event->parameters_)) {
    event->parameters_.erase(kConversion);
  }
  return event;
}

std::unique_ptr<QZMEvent> QZMEvent::initWithOrigin(std::string_view origin, bool isPublic, std::string_view name,
                                                   double timestamp, double previousTimestamp,
                                                   const QZMParameters& parameters) {
  return initWithOrigin(origin, isPublic, name, timestamp, previousTimestamp,
                        QZMDictionaryFromParameters(parameters));
}

std::unique_ptr<QZMEvent> QZMEvent::initWithEventProto(const QZMPBEvent* proto) {
  if (proto == nullptr) return nullptr;
  const std::optional<std::string> name = NANOGetString(proto, QZMPBEvent::kName);
  const std::string eventName = name.value_or("");
  const double timestamp = static_cast<double>(NANOGetInt64(proto, QZMPBEvent::kTimestampMillis)) / 1000.0;
  const double previousTimestamp =
      static_cast<double>(NANOGetInt64(proto, QZMPBEvent::kPreviousTimestampMillis)) / 1000.0;

  std::optional<std::string> origin;
  QZMParameters parameters;
  auto messages = NANOGetArray<QZMPBEventParam>(proto, QZMPBEvent::kParams);
  for (const auto& message : messages.value_or(std::vector<std::shared_ptr<QZMPBEventParam>>{})) {
    const std::optional<std::string> paramName = NANOGetString(message.get(), QZMPBEventParam::kName);
    if (!paramName) {
      log(2, 15000, "Ignoring parameter. Parameter name is nil. Event name", eventName);
      continue;
    }
    const bool hasString = NANOHasField(message.get(), QZMPBEventParam::kStringValue);
    if (*paramName == kOrigin) {
      if (!hasString) {
        log(2, 15001, "Cannot create an event from event proto. Origin parameter is not a string. Event name",
            eventName);
        return nullptr;
      }
      origin = NANOGetString(message.get(), QZMPBEventParam::kStringValue);
      continue;
    }
    if (hasString) {
      std::optional<std::string> text = NANOGetString(message.get(), QZMPBEventParam::kStringValue);
      if (std::optional<QZMValue> value = QZMValue::initWithString(text.value_or(""))) {
        parameters.insert_or_assign(*paramName, std::move(*value));
      }
    } else if (NANOHasField(message.get(), QZMPBEventParam::kIntValue)) {
      parameters.insert_or_assign(
          *paramName, QZMValue::initWithInt64(NANOGetInt64(message.get(), QZMPBEventParam::kIntValue)));
    } else if (NANOHasField(message.get(), QZMPBEventParam::kDoubleValue)) {
      parameters.insert_or_assign(
          *paramName, QZMValue::initWithDouble(NANOGetDouble(message.get(), QZMPBEventParam::kDoubleValue)));
    } else {
      log(5, 15002,
          "Unknown event parameter type from converting an event proto into QZMEvent instance. Event param name",
          QZMParameterNameForLogging(*paramName));
    }
  }
  // Without an origin or a name the initialiser would refuse the event.
  if (!origin) return nullptr;
  if (!name) {
    QZMDataTypeValidator::isValidInternalEventName(nullptr);
    return nullptr;
  }
  return initWithOrigin(*origin, false, *name, timestamp, previousTimestamp, parameters);
}

std::unique_ptr<QZMEvent> QZMEvent::eventFromEditEvent(const QZMEditEvent& editEvent) {
  const QZMNameMap& internalNames = QZMPublicToInternalEventNameMap();
  auto mapped = internalNames.find(editEvent.name);
  const std::string& name = mapped != internalNames.end() ? mapped->second : editEvent.name;
  std::string origin = "app";
  if (auto it = editEvent.parameters.find(kOrigin); it != editEvent.parameters.end()) {
    if (const std::string* text = it->second.string(); text && foundation::isValidUTF8(*text)) origin = *text;
  }
  return initWithOrigin(origin, false, name, editEvent.timestamp, 0, dictionaryFromPlain(editEvent.parameters));
}

// ---- Flags ----

bool QZMEvent::shouldValidateParams() const {
  return isConversion() || name_ == "ad_impression" || name_ == "_ai";
}

bool QZMEvent::isConversion() const { return isInt64One(parameters_, kConversion); }

bool QZMEvent::isDebug() const { return isInt64One(parameters_, kDebug); }

bool QZMEvent::isRealtime() const {
  auto it = parameters_.find(kRealtime);
  if (it == parameters_.end()) return false;
  if (it->second.isInt64()) return it->second.int64Value() == 1;
  log(2, 16006, "Realtime parameter must be an int64. Event name", name_);
  return false;
}

void QZMEvent::setRealtime(bool realtime) {
  if (realtime) {
    parameters_.insert_or_assign(kRealtime, QZMValue::initWithInt64(1));
  } else {
    parameters_.erase(kRealtime);
  }
}

void QZMEvent::setDebug(bool debug) {
  if (debug) {
    parameters_.insert_or_assign(kDebug, QZMValue::initWithInt64(1));
  } else {
    parameters_.erase(kDebug);
  }
}

void QZMEvent::setConversion(bool conversion) {
  if (conversion) {
    if (!QZMValidateValueAndCurrency(parameters_)) return;
    parameters_.insert_or_assign(kConversion, QZMValue::initWithInt64(1));
    auto error = parameters_.find(kErrorCode);
    if (error != parameters_.end() && error->second.isInt64() && error->second.int64Value() == 10) {
      parameters_.erase(error);
    }
    return;
  }
  if (!parameters_.contains(kConversion)) return;
  parameters_.erase(kConversion);
  QZMSetErrorCodeIfAbsent(parameters_, 10);
}

// ---- Parameters ----

void QZMEvent::applyParameters(const QZMDictionary& parameters, bool isPublic) {
  if (parameters.empty()) return;
  std::optional<QZMParameters> cleaned = QZMSanitizedEventParameters(parameters, std::nullopt, isPublic, false);
  if (!cleaned || cleaned->empty()) return;
  for (auto& [name, value] : parameters_) cleaned->insert_or_assign(name, std::move(value));
  parameters_ = std::move(*cleaned);
}

bool QZMEvent::addScreenParameters(const QZMDictionary& parameters) {
  if (parameters.empty() || QZMHasScreenParameters(parameters_)) return false;
  auto screenID = parameters.find("_si");
  if (screenID == parameters.end()) return false;
  std::optional<const std::string*> screenClass =
      checkedScreenText(parameters, "_sc", 16003, "Received invalid screen class");
  if (!screenClass) return false;
  const QZMObject& idObject = screenID->second;
  const bool idIsInt64 = idObject.value() != nullptr && idObject.value()->isInt64();
  if (!idIsInt64 && !idObject.isNumber()) return false;
  std::optional<const std::string*> screenName =
      checkedScreenText(parameters, "_sn", 16004, "Received invalid screen name");
  if (!screenName) return false;
  std::optional<QZMValue> idValue = QZMValue::valueFromObject(&idObject);
  if (!idValue) return false;
  parameters_.insert_or_assign("_si", std::move(*idValue));
  if (*screenClass) parameters_.insert_or_assign("_sc", *QZMValue::initWithString(**screenClass));
  if (*screenName) parameters_.insert_or_assign("_sn", *QZMValue::initWithString(**screenName));
  return true;
}

// ---- Copies and conversions ----

std::unique_ptr<QZMEvent> QZMEvent::copy() const { return copyWithParameters(parameters_); }

std::unique_ptr<QZMEvent> QZMEvent::copyWithPreviousTimestamp(double previousTimestamp) const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp, parameters_);
}

std::unique_ptr<QZMEvent> QZMEvent::copyWithParameters(const QZMDictionary& parameters) const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_, parameters);
}

std::unique_ptr<QZMEvent> QZMEvent::copyWithParameters(const QZMParameters& parameters) const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_, parameters);
}

std::unique_ptr<QZMPBEvent> QZMEvent::protoEvent() const {
  std::unique_ptr<QZMPBEvent> message = QZMPBEvent::initWithMessageInfo(nullptr);
  if (!message) return nullptr;
  NANOObjectArray params;
  for (auto& param : QZMEventParamMessagesFromParameters(parameters_, name_, false)) params.emplace_back(param);
  NANOSetArray(message.get(), QZMPBEvent::kParams, &params);
  NANOSetString(message.get(), QZMPBEvent::kName, name_);
  NANOSetInt64(message.get(), QZMPBEvent::kTimestampMillis, QZMMillisecondsFromSeconds(timestamp_));
  if (previousTimestamp_ > DBL_EPSILON) {
    NANOSetInt64(message.get(), QZMPBEvent::kPreviousTimestampMillis, QZMMillisecondsFromSeconds(previousTimestamp_));
  }
  return message;
}

QZMEditEvent QZMEvent::editEvent() const {
  const QZMNameMap& publicNames = QZMInternalToPublicEventNameMap();
  auto mapped = publicNames.find(name_);
  return QZMEditEvent{mapped != publicNames.end() ? mapped->second : name_, timestamp_,
                      QZMEventParametersForEditing(parameters_, false)};
}

// ---- Aggregates ----

std::optional<QZMEventAggregates> QZMEventAggregates::initWithName(std::string name, std::int32_t lifetimeCount,
                                                                   std::int32_t currentBundleCount,
                                                                   std::int32_t currentSessionCount,
                                                                   double lastFireTimestamp) {
  if (!QZMDataTypeValidator::isValidInternalEventName(name)) return std::nullopt;
  if (lifetimeCount < 0 || currentBundleCount < 0 || currentSessionCount < 0) {
    log(5, 17000, "Failed to create event aggregates object. Received negative count.");
    return std::nullopt;
  }
  QZMEventAggregates aggregates;
  aggregates.name_ = std::move(name);
  aggregates.lifetimeCount_ = lifetimeCount;
  aggregates.currentBundleCount_ = currentBundleCount;
  aggregates.currentSessionCount_ = currentSessionCount;
  aggregates.lastFireTimestamp_ = lastFireTimestamp;
  return aggregates;
}

namespace {

void increment(std::int32_t& count, std::int64_t code, std::string_view message) {
  if (count == std::numeric_limits<std::int32_t>::max()) {
    count = 0;
    log(5, code, message);
  } else {
    ++count;
  }
}

}  // namespace

void QZMEventAggregates::incrementLifetimeCount() {
  increment(lifetimeCount_, 17001, "Lifetime count overflow. Lifetime count reset to 0.");
}

void QZMEventAggregates::incrementCurrentBundleCount() {
  increment(currentBundleCount_, 17002, "Bundle count overflow. Bundle count reset to 0.");
}

void QZMEventAggregates::incrementCurrentSessionCount() {
  increment(currentSessionCount_, 17003, "Session count overflow. Session count reset to 0.");
}

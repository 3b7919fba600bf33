#include "measurement/model/QZMEventParameters.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <vector>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "platform/foundation/Strings.h"

namespace {

using FailureCode = QZMValidationFailureCode;

constexpr const char* kErrorCode = "_err";
constexpr const char* kErrorValue = "_ev";
constexpr const char* kErrorLength = "_el";
constexpr std::int64_t kMaxErrorNameLength = 40;

struct LoggerSlot {
  std::mutex mutex;
  QZMInternalEventLogger logger;
};

LoggerSlot& loggerSlot() {
  static auto* slot = new LoggerSlot;
  return *slot;
}

void logInternalEvent(const std::string& name, const QZMDictionary& parameters) {
  QZMInternalEventLogger logger;
  {
    LoggerSlot& slot = loggerSlot();
    std::lock_guard lock(slot.mutex);
    logger = slot.logger;
  }
  if (logger) logger("auto", name, parameters);
}

// Characters of text, typed or plain; 0 for anything else.
std::int64_t stringLength(const QZMObject* object) {
  if (object == nullptr) return 0;
  const std::string* text = object->validString();
  if (text == nullptr && object->value() != nullptr) text = object->value()->stringValue();
  if (text == nullptr || !foundation::isValidUTF8(*text)) return 0;
  return static_cast<std::int64_t>(foundation::codePointCount(*text));
}

// What "_el" records: a string's characters or an array's elements.
std::int64_t valueLength(const QZMObject& object) {
  if (const QZMArray* items = object.array()) return static_cast<std::int64_t>(items->size());
  if (const QZMValue* value = object.value(); value && value->arrayValue()) {
    return static_cast<std::int64_t>(value->arrayValue()->size());
  }
  return stringLength(&object);
}

bool hasErrorInformation(const QZMParameters& parameters) {
  return parameters.contains(kErrorCode) || parameters.contains(kErrorValue) || parameters.contains(kErrorLength);
}

}  // namespace

// ---- The internal error event ----

QZMInternalEventLogger QZMSetInternalEventLogger(QZMInternalEventLogger logger) {
  LoggerSlot& slot = loggerSlot();
  std::lock_guard lock(slot.mutex);
  std::swap(slot.logger, logger);
  return logger;
}

void QZMLogErrorEvent(std::int64_t code) {
  if (code == 0) return;
  logInternalEvent(kErrorCode, QZMDictionary{{kErrorCode, code}});
}

void QZMLogErrorEventWithName(std::int64_t code, std::optional<std::string_view> name, std::int64_t maxLength,
                              const QZMObject* value) {
  if (code == 0) return;
  QZMParameters parameters{{kErrorCode, QZMValue::initWithInt64(code)}};
  const bool showLength = value != nullptr && (stringLength(value) > maxLength || code == 4 || code == 7);
  QZMAddErrorNameAndLength(parameters, name, maxLength, showLength ? value : nullptr);
  logInternalEvent(kErrorCode, QZMDictionaryFromParameters(parameters));
}

// ---- Error information ----

void QZMAddErrorNameAndLength(QZMParameters& parameters, std::optional<std::string_view> name,
                              std::int64_t maxLength, const QZMObject* value) {
  if (parameters.contains(kErrorValue) || parameters.contains(kErrorLength)) return;
  std::string text;
  if (!name) {
    text = "(nil)";
  } else if (!foundation::isValidUTF8(*name)) {
    text = QZMObject(*name).className();
  } else {
    text = std::string(*name);
  }
  const auto limit = static_cast<std::size_t>(std::max<std::int64_t>(maxLength, 0));
  if (foundation::codePointCount(text) > limit) text = foundation::truncatedToCodePoints(text, limit) + "...";
  parameters.insert_or_assign(kErrorValue, *QZMValue::initWithString(text));
  if (value != nullptr) parameters.insert_or_assign(kErrorLength, QZMValue::initWithInt64(valueLength(*value)));
}

void QZMSetErrorCodeIfAbsent(QZMParameters& parameters, std::int64_t code) {
  parameters.try_emplace(kErrorCode, QZMValue::initWithInt64(code));
}

void QZMRecordParameterError(QZMParameters& parameters, std::int64_t code, std::optional<std::string_view> name,
                             std::int64_t maxLength, const QZMObject* value) {
  if (hasErrorInformation(parameters)) return;
  parameters.insert_or_assign(kErrorCode, QZMValue::initWithInt64(code));
  QZMAddErrorNameAndLength(parameters, name, maxLength, value);
}

void QZMRecordArrayParameterError(QZMParameters& parameters, QZMValidationFailureCode failureCode,
                                  std::string_view paramName, const std::optional<std::string>& eventName) {
  switch (failureCode) {
    case FailureCode::kArrayOnNonEcommerceEvent: {
      std::optional<std::string_view> name;
      if (eventName) name = *eventName;
      QZMRecordParameterError(parameters, 21, name, kMaxErrorNameLength, nullptr);
      break;
    }
    case FailureCode::kArrayNotNamedItems:
      QZMRecordParameterError(parameters, 20, paramName, kMaxErrorNameLength, nullptr);
      break;
    case FailureCode::kTooManyItems:
      QZMRecordParameterError(parameters, 17, paramName, kMaxErrorNameLength, nullptr);
      break;
    case FailureCode::kNestedArray:
      QZMRecordParameterError(parameters, 22, paramName, kMaxErrorNameLength, nullptr);
      break;
    default:
      break;
  }
}

// ---- Cleaning ----

bool QZMCheckEventParameterName(std::string_view name, bool isPublic, QZMParameters& errors) {
  FailureCode failure = FailureCode::kNone;
  const bool valid = (!isPublic || QZMDataTypeValidator::isValidPublicEventParameterName(name, &failure)) &&
                     QZMDataTypeValidator::isValidInternalEventParameterName(name, &failure);
  if (valid) return true;
  if (failure != FailureCode::kNone && !errors.contains(kErrorCode)) {
    const std::int64_t code = failure == FailureCode::kReserved ? 14 : 3;
    const QZMObject nameObject(name);
    const bool showLength = foundation::isValidUTF8(name) &&
                            static_cast<std::int64_t>(foundation::codePointCount(name)) > kMaxErrorNameLength;
    QZMRecordParameterError(errors, code, name, kMaxErrorNameLength, showLength ? &nameObject : nullptr);
  }
  return false;
}

std::optional<QZMValue> QZMSanitizedArrayParameter(const QZMArray& array, std::string_view paramName,
                                                   const std::optional<std::string>& eventName, QZMParameters& errors,
                                                   bool isNested, bool isPublic,
                                                   QZMValidationFailureCode* failureCode) {
  FailureCode failure = FailureCode::kNone;
  const bool valid = QZMDataTypeValidator::isValidArrayParamForEvent(
      eventName, paramName, static_cast<std::int64_t>(array.size()), isNested, &failure);
  if (failureCode) *failureCode = failure;
  if (!valid && failure != FailureCode::kTooManyItems) return std::nullopt;
  const std::size_t count = std::min(array.size(), static_cast<std::size_t>(kQZMMaxArrayItems));
  QZMArray items;
  for (std::size_t index = 0; index < count; ++index) {
    const QZMObject& element = array[index];
    if (QZMDataTypeValidator::isValidArrayParamItem(element)) {
      std::optional<QZMParameters> item = QZMSanitizedEventParameters(*element.dictionary(), eventName, isPublic, true);
      if (item) items.emplace_back(QZMDictionaryFromParameters(*item));
    } else {
      const std::string name = std::string(paramName) + "[" + std::to_string(index) + "]";
      QZMRecordParameterError(errors, 4, name, kMaxErrorNameLength, nullptr);
    }
  }
  return QZMValue::initWithArray(std::move(items));
}

std::optional<QZMParameters> QZMSanitizedEventParameters(const QZMDictionary& parameters,
                                                         const std::optional<std::string>& eventName, bool isPublic,
                                                         bool isItem) {
  if (parameters.empty()) return std::nullopt;
  const bool internalValueRules =
      eventName && (QZMPublicToInternalEventNameMap().contains(*eventName) || eventName->starts_with("_"));
  const std::int64_t maxInternalLength = QZMRemoteConfig::current()->maxInternalEventParameterValueLength();

  std::set<std::string, std::less<>> removals;
  QZMParameters replacements;
  for (const auto& [name, input] : parameters) {
    if (!QZMCheckEventParameterName(name, isPublic, replacements)) {
      removals.insert(name);
      continue;
    }
    std::optional<QZMValue> value = QZMValue::valueFromObject(&input, true);
    if (!value) {
      removals.insert(name);
      QZMMeasurementBase::monitor()->logWithLevel(
          3, 18015, "Event parameter value must be of type NSString, NSNumber or NSArray. Type", input.className());
      continue;
    }
    const bool wasTyped = input.value() != nullptr;
    FailureCode failure = FailureCode::kNone;
    bool accepted = true;
    if (isPublic && !QZMDataTypeValidator::isValidPublicEventParameterValue(*value, &failure)) {
      accepted = false;
    } else if (name == kErrorValue) {
      // Error text from elsewhere is kept, cut to the internal limit unless
      // it was cut to that limit before.
      const std::string* text = value->stringValue();
      if (text && foundation::isValidUTF8(*text)) {
        const auto length = static_cast<std::int64_t>(foundation::codePointCount(*text));
        const bool alreadyCut = length == maxInternalLength + 3 && text->ends_with("...");
        if (length > maxInternalLength && !alreadyCut) {
          const QZMObject textObject(*text);
          QZMAddErrorNameAndLength(replacements, *text, maxInternalLength, &textObject);
        }
      }
    } else if (internalValueRules &&
               !QZMDataTypeValidator::isValidInternalEventParameterValue(*value, &failure)) {
      accepted = false;
    } else if (value->isArray() && !wasTyped && value->arrayValue()) {
      std::optional<QZMValue> cleaned = QZMSanitizedArrayParameter(*value->arrayValue(), name, eventName,
                                                                   replacements, isItem, isPublic, &failure);
      if (cleaned) {
        value = std::move(cleaned);
      } else {
        accepted = false;
      }
    }
    if (!accepted) {
      removals.insert(name);
      if (failure == FailureCode::kTooLong && !replacements.contains(kErrorCode)) {
        const std::string* text = value->stringValue();
        const std::optional<QZMObject> textObject = text ? std::optional<QZMObject>(*text) : std::nullopt;
        QZMRecordParameterError(replacements, 4, name, kMaxErrorNameLength, textObject ? &*textObject : nullptr);
      }
    }
    if (value->isArray() && failure != FailureCode::kNone) {
      QZMRecordArrayParameterError(replacements, failure, name, eventName);
    }
    // A problem already recorded under this name is never overwritten.
    if (accepted && !wasTyped) replacements.try_emplace(name, std::move(*value));
  }

  QZMParameters result;
  if (removals.size() == parameters.size()) {
    result = std::move(replacements);
  } else {
    for (const auto& [name, input] : parameters) {
      if (removals.contains(name) || input.value() == nullptr) continue;
      result.emplace(name, *input.value());
    }
    for (auto& [name, value] : replacements) result.insert_or_assign(name, std::move(value));
  }

  std::shared_ptr<QZMRemoteConfig> config = QZMRemoteConfig::current();
  if (isItem) {
    const std::int64_t limit = config->maxItemScopedCustomParameters();
    if (QZMCountPublicParameters(result, true) > limit) {
      QZMTrimPublicParameters(result, limit, true);
      QZMSetErrorCodeIfAbsent(result, limit == 0 ? 23 : 28);
      QZMMeasurementBase::monitor()->logWithLevel(0, 18016, "Item cannot contain custom parameters");
    }
  } else {
    const std::int64_t limit = config->maxPublicEventParams();
    if (QZMCountPublicParameters(result, false) > limit) {
      QZMTrimPublicParameters(result, limit, false);
      QZMSetErrorCodeIfAbsent(result, 5);
      QZMMeasurementBase::monitor()->logWithLevel(
          1, 18017, "Event cannot contain more than " + std::to_string(limit) + " parameters");
    }
  }
  return result;
}

namespace {

bool isCounted(std::string_view name, bool isItem) {
  return QZMIsPublicName(name) && !(isItem && QZMIsStandardItemParameterName(name));
}

}  // namespace

std::int64_t QZMCountPublicParameters(const QZMParameters& parameters, bool isItem) {
  std::int64_t count = 0;
  for (const auto& entry : parameters) count += isCounted(entry.first, isItem) ? 1 : 0;
  return count;
}

void QZMTrimPublicParameters(QZMParameters& parameters, std::int64_t limit, bool isItem) {
  std::int64_t count = QZMCountPublicParameters(parameters, isItem);
  auto it = parameters.end();
  while (count > limit && it != parameters.begin()) {
    --it;
    if (isCounted(it->first, isItem)) {
      it = parameters.erase(it);
      --count;
    }
  }
}

void QZMTrimEventParameters(QZMParameters& parameters, std::int64_t limit) {
  QZMTrimPublicParameters(parameters, limit, false);
}

bool QZMValidateValueAndCurrency(QZMParameters& parameters) {
  auto value = parameters.find("value");
  if (value == parameters.end()) return true;
  const std::int64_t maxLength = QZMRemoteConfig::current()->maxInternalEventParameterValueLength();
  if (!QZMDataTypeValidator::isValidNumericValue(value->second)) {
    parameters.erase(value);
    QZMRecordParameterError(parameters, 18, "value", maxLength, nullptr);
    return false;
  }
  auto currency = parameters.find("currency");
  const bool validCurrency = currency != parameters.end()
                                 ? QZMDataTypeValidator::isValidCurrencyCode(currency->second)
                                 : QZMDataTypeValidator::isValidCurrencyCode(nullptr);
  if (!validCurrency) {
    QZMMeasurementBase::monitor()->logWithLevel(3, 18014,
                                                "Value parameter discarded. You must also supply a 3-letter ISO_4217 "
                                                "currency code in the currency parameter.");
    parameters.erase("value");
    QZMRecordParameterError(parameters, 19, "currency", maxLength, nullptr);
    return false;
  }
  return true;
}

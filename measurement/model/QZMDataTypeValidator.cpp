#include "measurement/model/QZMDataTypeValidator.h"

#include <array>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/model/QZMEventNames.h"
#include "measurement/model/QZMUserAttribute.h"
#include "platform/foundation/Strings.h"

namespace {

using FailureCode = QZMValidationFailureCode;

void fail(FailureCode* out, FailureCode code) {
  if (out) *out = code;
}

bool pass(FailureCode* out) {
  fail(out, FailureCode::kNone);
  return true;
}

void log(std::int64_t level, std::int64_t code, std::string_view message) {
  QZMMeasurementBase::monitor()->logWithLevel(level, code, message);
}

void log(std::int64_t level, std::int64_t code, std::string_view message, const QZMLogContext& context) {
  QZMMeasurementBase::monitor()->logWithLevel(level, code, message, context);
}

// Value types warn; everything else is an error.
std::int64_t levelFor(QZMValidationType type) {
  return type == QZMValidationType::kEventParameterValue || type == QZMValidationType::kUserPropertyValue ? 3 : 0;
}

// Letters exclude marks, so a name cannot start with a combining character.
bool isLetter(char32_t c) { return foundation::isLetterCharacter(c) && !foundation::isNonBaseCharacter(c); }

bool isNameCharacter(char32_t c) { return isLetter(c) || foundation::isDecimalDigitCharacter(c) || c == U'_'; }

std::int64_t maxPublicParameterValueLength() {
  return QZMRemoteConfig::current()->maxPublicEventParameterValueLength();
}

std::int64_t maxInternalParameterValueLength() {
  return QZMRemoteConfig::current()->maxInternalEventParameterValueLength();
}

}  // namespace

std::string QZMDataTypeDescription(QZMValidationType type, std::string_view suffix) {
  static constexpr std::array<const char*, 10> kSubjects = {
      "Event name",
      "Event origin",
      "Event parameter name",
      "Event parameter value",
      "User property name",
      "User property value",
      "Screen parameter value",
      "Conditional user property origin",
      "Conditional user property name",
      "Conditional user property value",
  };
  auto index = static_cast<std::int64_t>(type);
  std::string text = index >= 0 && index < static_cast<std::int64_t>(kSubjects.size()) ? kSubjects[index] : "Object";
  text += suffix;
  return text;
}

// ---- QZMValidatorInput ----

QZMValidatorInput::QZMValidatorInput(const char* text) {
  if (text == nullptr) {
    nil_ = true;
  } else {
    *this = QZMValidatorInput(std::string_view(text));
  }
}

QZMValidatorInput::QZMValidatorInput(std::string_view text) : text_(text) {
  isText_ = foundation::isValidUTF8(text);
  invalidText_ = !isText_;
}

QZMValidatorInput::QZMValidatorInput(const std::optional<std::string>& text) {
  if (text) {
    *this = QZMValidatorInput(std::string_view(*text));
  } else {
    nil_ = true;
  }
}

QZMValidatorInput::QZMValidatorInput(const QZMObject& object) : object_(&object) {
  if (const QZMValue* value = object.value()) {
    value_ = value;
  } else if (const std::string* text = object.string()) {
    *this = QZMValidatorInput(std::string_view(*text));
    object_ = &object;
  }
}

QZMValidatorInput::QZMValidatorInput(const QZMObject* object) {
  if (object == nullptr) {
    nil_ = true;
  } else {
    *this = QZMValidatorInput(*object);
  }
}

std::string QZMValidatorInput::className() const {
  if (nil_) return "nil";
  if (value_) return "QZMValue";
  if (isText_) return "NSString";
  if (invalidText_) return "InvalidUTF8String";
  return object_ ? object_->className() : "NSObject";
}

std::string QZMValidatorInput::description() const {
  if (nil_) return "(nil)";
  if (isText_) return std::string(text_);
  if (value_) return value_->description();
  if (invalidText_) return "<invalid UTF-8, " + std::to_string(text_.size()) + " bytes>";
  return object_ ? object_->description() : "";
}

QZMLogContext QZMValidatorInput::logContext() const {
  if (nil_) return {};
  if (isText_) return std::string(text_);
  if (value_) {
    QZMObject object(*value_);
    return QZMLogContextForObject(&object);
  }
  if (invalidText_) return QZMLogContext::describing("<invalid UTF-8, " + std::to_string(text_.size()) + " bytes>");
  return QZMLogContextForObject(object_);
}

// ---- Base checks ----

bool QZMDataTypeValidator::hasReservedPrefixes(std::string_view name) {
  for (std::string_view prefix : {"zarnholt_", "dralix_", "qvz_"}) {
    if (name.starts_with(prefix)) return true;
  }
  return false;
}

bool QZMDataTypeValidator::isValidString(const QZMValidatorInput& object, std::int64_t minLength,
                                         std::int64_t maxLength, QZMValidationType type, FailureCode* failureCode) {
  const std::int64_t level = levelFor(type);
  if (object.isNil()) {
    fail(failureCode, FailureCode::kNilOrEmpty);
    log(level, 13001, QZMDataTypeDescription(type, " is required and can't be nil"));
    return false;
  }
  const std::string_view* text = object.text();
  if (text == nullptr) {
    fail(failureCode, FailureCode::kWrongType);
    log(level, 13000, QZMDataTypeDescription(type, " must be of type NSString"), object.logContext());
    return false;
  }
  if (text->empty() && minLength >= 1) {
    fail(failureCode, FailureCode::kNilOrEmpty);
    if (level != 3) log(level, 13001, QZMDataTypeDescription(type, " is required and can't be empty"));
    return false;
  }
  const auto length = static_cast<std::int64_t>(foundation::codePointCount(*text));
  if (length > maxLength) {
    fail(failureCode, FailureCode::kTooLong);
    log(level, 13000,
        QZMDataTypeDescription(type, " is too long. The maximum supported length is " + std::to_string(maxLength)),
        std::string(*text));
    return false;
  }
  if (length < minLength) {
    fail(failureCode, FailureCode::kTooShort);
    log(level, 13000,
        QZMDataTypeDescription(type, " is too short. The minimum supported length is " + std::to_string(minLength)),
        std::string(*text));
    return false;
  }
  return pass(failureCode);
}

bool QZMDataTypeValidator::isValidInternalName(const QZMValidatorInput& name, std::int64_t maxLength,
                                               QZMValidationType type, FailureCode* failureCode) {
  if (!isValidString(name, 1, maxLength, type, failureCode)) return false;
  std::optional<std::u32string> characters = foundation::toUTF32(*name.text());
  for (char32_t c : characters.value_or(U"")) {
    if (!isNameCharacter(c)) {
      fail(failureCode, FailureCode::kInvalidCharacter);
      log(0, 13002, QZMDataTypeDescription(type, " must contain only letters, numbers, or underscores"),
          std::string(*name.text()));
      return false;
    }
  }
  return pass(failureCode);
}

bool QZMDataTypeValidator::isValidPublicName(const QZMValidatorInput& name, std::int64_t maxLength,
                                             QZMValidationType type, FailureCode* failureCode) {
  if (!isValidInternalName(name, maxLength, type, failureCode)) return false;
  std::optional<std::u32string> characters = foundation::toUTF32(*name.text());
  if (!characters || characters->empty() || !isLetter(characters->front())) {
    fail(failureCode, FailureCode::kInvalidCharacter);
    log(0, 13003, QZMDataTypeDescription(type, " must start with a letter"), std::string(*name.text()));
    return false;
  }
  return pass(failureCode);
}

bool QZMIsValueObject(const QZMValidatorInput& object, QZMValidationType type, FailureCode* failureCode) {
  if (object.isNil()) {
    fail(failureCode, FailureCode::kNilOrEmpty);
    log(3, 13004, QZMDataTypeDescription(type, " cannot be nil"));
    return false;
  }
  if (object.value() == nullptr) {
    fail(failureCode, FailureCode::kWrongType);
    log(3, 13005, QZMDataTypeDescription(type, " must be a QZMValue instance. value"), object.className());
    return false;
  }
  return pass(failureCode);
}

bool QZMDataTypeValidator::isValidValue(const QZMValidatorInput& value, std::int64_t minLength,
                                        std::int64_t maxLength, QZMValidationType type, FailureCode* failureCode) {
  if (!QZMIsValueObject(value, type, failureCode)) return false;
  const QZMValue& typed = *value.value();
  if (!typed.isString()) return pass(failureCode);
  if (const std::string* text = typed.stringValue()) {
    return isValidString(std::string_view(*text), minLength, maxLength, type, failureCode);
  }
  // A string value whose storage is no text fails as the wrong type.
  return isValidString(value, minLength, maxLength, type, failureCode);
}

// ---- Public rules ----

bool QZMDataTypeValidator::isValidPublicEventName(const QZMValidatorInput& name, FailureCode* failureCode) {
  if (!isValidPublicName(name, kQZMMaxEventNameLength, QZMValidationType::kEventName, failureCode)) return false;
  const std::string_view text = *name.text();
  if (text == "screen_view") return pass(failureCode);
  const auto& reserved = QZMPublicToInternalEventNameMap();
  const auto& allowed = QZMAllowedReservedEventNameMap();
  if (reserved.contains(text) && !allowed.contains(text)) {
    fail(failureCode, FailureCode::kReserved);
    log(0, 13006, "Event name is reserved. Ignoring event", std::string(text));
    return false;
  }
  if (hasReservedPrefixes(text)) {
    fail(failureCode, FailureCode::kReserved);
    log(0, 13007, "Event name uses reserved prefix. Ignoring event", std::string(text));
    return false;
  }
  return pass(failureCode);
}

bool QZMDataTypeValidator::isValidPublicEventParameterName(const QZMValidatorInput& name, FailureCode* failureCode) {
  if (!isValidPublicName(name, kQZMMaxEventParameterNameLength, QZMValidationType::kEventParameterName,
                         failureCode)) {
    return false;
  }
  if (hasReservedPrefixes(*name.text())) {
    fail(failureCode, FailureCode::kReserved);
    log(0, 13008, "Parameter name uses reserved prefix. Ignoring parameter", std::string(*name.text()));
    return false;
  }
  return pass(failureCode);
}

bool QZMDataTypeValidator::isValidPublicEventParameterValue(const QZMValidatorInput& value, FailureCode* failureCode) {
  return isValidValue(value, 0, maxPublicParameterValueLength(), QZMValidationType::kEventParameterValue,
                      failureCode);
}

bool QZMDataTypeValidator::isValidPublicUserAttributeName(const QZMValidatorInput& name, FailureCode* failureCode) {
  if (!isValidPublicName(name, kQZMMaxUserPropertyNameLength, QZMValidationType::kUserPropertyName, failureCode)) {
    return false;
  }
  const std::string_view text = *name.text();
  if (QZMInternalUserPropertyNameMap().contains(text)) {
    fail(failureCode, FailureCode::kReserved);
    log(0, 13009, "User property name is reserved. Ignoring user property", std::string(text));
    return false;
  }
  if (hasReservedPrefixes(text)) {
    fail(failureCode, FailureCode::kReserved);
    log(0, 13010, "User property name uses reserved prefix. Ignoring user property", std::string(text));
    return false;
  }
  return pass(failureCode);
}

bool QZMDataTypeValidator::isValidPublicUserAttributeValue(const QZMValidatorInput& value, FailureCode* failureCode) {
  return isValidValue(value, 1, kQZMMaxUserPropertyValueLength, QZMValidationType::kUserPropertyValue, failureCode);
}

// ---- Internal rules ----

bool QZMDataTypeValidator::isValidInternalEventName(const QZMValidatorInput& name, FailureCode* failureCode) {
  return isValidInternalName(name, kQZMMaxEventNameLength, QZMValidationType::kEventName, failureCode);
}

bool QZMDataTypeValidator::isValidInternalEventParameterName(const QZMValidatorInput& name,
                                                             FailureCode* failureCode) {
  return isValidInternalName(name, kQZMMaxEventParameterNameLength, QZMValidationType::kEventParameterName,
                             failureCode);
}

bool QZMDataTypeValidator::isValidInternalEventParameterValue(const QZMValidatorInput& value,
                                                              FailureCode* failureCode) {
  return isValidValue(value, 0, maxInternalParameterValueLength(), QZMValidationType::kEventParameterValue,
                      failureCode);
}

bool QZMDataTypeValidator::isValidInternalEventOrigin(const QZMValidatorInput& origin, FailureCode* failureCode) {
  return isValidInternalName(origin, kQZMMaxEventOriginLength, QZMValidationType::kEventOrigin, failureCode);
}

bool QZMDataTypeValidator::isValidForwardedEventOrigin(const QZMValidatorInput& origin, FailureCode* failureCode) {
  static constexpr std::string_view kSuffix = "+qrl";
  if (origin.isNil() || (origin.text() && origin.text()->empty())) {
    fail(failureCode, FailureCode::kNilOrEmpty);
    return false;
  }
  if (origin.text() == nullptr) {
    // Not text at all: the string check says so and logs it.
    return isValidString(origin, 1, kQZMMaxEventOriginLength, QZMValidationType::kEventOrigin, failureCode);
  }
  const std::string_view text = *origin.text();
  if (text.ends_with(kSuffix)) {
    return isValidInternalName(text.substr(0, text.size() - kSuffix.size()), kQZMMaxEventOriginLength,
                               QZMValidationType::kEventOrigin, failureCode);
  }
  fail(failureCode, FailureCode::kNotForwardedOrigin);
  return false;
}

bool QZMDataTypeValidator::isValidInternalUserAttributeName(const QZMValidatorInput& name,
                                                            FailureCode* failureCode) {
  return isValidInternalName(name, kQZMMaxUserPropertyNameLength, QZMValidationType::kUserPropertyName, failureCode);
}

std::int64_t QZMDataTypeValidator::maxInternalUserAttributeValueLength(std::string_view name) {
  if (name == "_id" || name == "_gbraid") return 256;
  if (name == "_psmvalue" || name == "_psmvalue_gads") return 512;
  return kQZMMaxUserPropertyValueLength;
}

bool QZMDataTypeValidator::isValidInternalUserAttributeValue(const QZMValidatorInput& value, std::string_view name,
                                                             FailureCode* failureCode) {
  return isValidValue(value, 1, maxInternalUserAttributeValueLength(name), QZMValidationType::kUserPropertyValue,
                      failureCode);
}

bool QZMDataTypeValidator::isValidScreenParameterValue(const QZMValidatorInput& value, FailureCode* failureCode) {
  return isValidString(value, 1, maxPublicParameterValueLength(), QZMValidationType::kScreenParameterValue,
                       failureCode);
}

bool QZMDataTypeValidator::isValidConditionalUserPropertyOrigin(const QZMValidatorInput& origin,
                                                                FailureCode* failureCode) {
  return isValidInternalName(origin, kQZMMaxEventOriginLength, QZMValidationType::kConditionalUserPropertyOrigin,
                             failureCode);
}

bool QZMDataTypeValidator::isValidConditionalUserPropertyName(const QZMValidatorInput& name,
                                                              FailureCode* failureCode) {
  return isValidInternalName(name, kQZMMaxUserPropertyNameLength, QZMValidationType::kConditionalUserPropertyName,
                             failureCode);
}

bool QZMDataTypeValidator::isValidConditionalUserPropertyValue(const QZMValidatorInput& value,
                                                               FailureCode* failureCode) {
  return isValidValue(value, 1, kQZMMaxUserPropertyValueLength, QZMValidationType::kConditionalUserPropertyValue,
                      failureCode);
}

bool QZMDataTypeValidator::isValidNumericValue(const QZMValidatorInput& value, FailureCode* failureCode) {
  if (!QZMIsValueObject(value, QZMValidationType::kEventParameterValue, failureCode)) return false;
  const QZMValue& typed = *value.value();
  if (typed.isInt64() || typed.isDouble()) return pass(failureCode);
  fail(failureCode, FailureCode::kNotNumeric);
  const std::string* text = typed.stringValue();
  log(3, 13011,
      QZMDataTypeDescription(QZMValidationType::kEventParameterValue,
                             " must be specified with a numeric type. value"),
      text ? QZMLogContext(*text) : QZMLogContext());
  return false;
}

bool QZMDataTypeValidator::isValidCurrencyCode(const QZMValidatorInput& value, FailureCode* failureCode) {
  if (!QZMIsValueObject(value, QZMValidationType::kEventParameterValue, failureCode)) return false;
  const QZMValue& typed = *value.value();
  bool valid = false;
  if (const std::string* text = typed.stringValue(); text && foundation::isValidUTF8(*text)) {
    // Three UTF-16 units, each a letter: a character outside the basic plane
    // takes two units, neither of them a letter.
    std::optional<std::u32string> characters = foundation::toUTF32(*text);
    valid = foundation::utf16Length(*text) == static_cast<std::size_t>(kQZMCurrencyCodeLength);
    for (char32_t c : characters.value_or(U"")) valid = valid && c <= 0xFFFF && isLetter(c);
  }
  if (valid) return pass(failureCode);
  fail(failureCode, FailureCode::kInvalidCurrency);
  QZMObject wrapped(typed);
  log(3, 13012,
      QZMDataTypeDescription(QZMValidationType::kEventParameterValue,
                             " must contain a " + std::to_string(kQZMCurrencyCodeLength) +
                                 "-letter ISO_4217 currency code. value"),
      QZMLogContextForObject(&wrapped));
  return false;
}

bool QZMDataTypeValidator::isValidArrayParamForEvent(const std::optional<std::string>& eventName,
                                                     std::string_view paramName, std::int64_t arrayCount,
                                                     bool isNestedArrayParam, FailureCode* failureCode) {
  if (isNestedArrayParam) {
    fail(failureCode, FailureCode::kNestedArray);
    log(0, 13013, "Nested array parameters are not allowed. Name", std::string(paramName));
    return false;
  }
  if (!eventName || !QZMIsEcommerceEventName(*eventName)) {
    fail(failureCode, FailureCode::kArrayOnNonEcommerceEvent);
    log(0, 13013, "Only ecommerce events are allowed to contain array parameters. Invalid ecommerce name",
        eventName ? QZMLogContext(*eventName) : QZMLogContext());
    return false;
  }
  if (paramName != "items") {
    fail(failureCode, FailureCode::kArrayNotNamedItems);
    log(0, 13013,
        QZMDataTypeDescription(QZMValidationType::kEventParameterName,
                               " is an invalid ecommerce items. The name of array parameters for ecommerce should be "
                               "\"items\". Invalid parameter name"),
        std::string(paramName));
    return false;
  }
  if (arrayCount > kQZMMaxArrayItems) {
    fail(failureCode, FailureCode::kTooManyItems);
    log(0, 13013,
        "Array parameter has too many items. The maximum number of supported items is " +
            std::to_string(kQZMMaxArrayItems) + ". Invalid array size",
        arrayCount);
    return false;
  }
  return pass(failureCode);
}

bool QZMDataTypeValidator::isValidArrayParamItem(const QZMObject& item, FailureCode* failureCode) {
  if (item.dictionary() != nullptr) return true;
  fail(failureCode, FailureCode::kItemNotDictionary);
  log(0, 13014, "Array param must be a dictionary. Parameters", QZMLogContextForObject(&item));
  return false;
}

bool QZMIsEcommerceEventName(std::string_view name) {
  static constexpr std::array<std::string_view, 20> kNames = {
      "add_payment_info", "add_shipping_info", "add_to_cart",       "add_to_wishlist",     "begin_checkout",
      "purchase",         "refund",            "remove_from_cart",  "select_item",         "select_promotion",
      "view_cart",        "view_item",         "view_item_list",    "view_promotion",      "ecommerce_purchase",
      "checkout_progress", "purchase_refund",  "select_content",    "set_checkout_option", "view_search_results",
  };
  for (std::string_view candidate : kNames) {
    if (candidate == name) return true;
  }
  return false;
}

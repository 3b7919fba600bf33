// Whether a name, origin or value may be used in an event, a user property,
// a screen parameter or a conditional user property. Each check answers a
// Boolean, writes a failure code through an optional pointer (0 when it
// passes) and logs one line through the monitor when it fails; the text of
// the line names what was examined. Public rules, for names an app passes in,
// are stricter than the internal rules for names the library makes.
//
// Lengths count characters (code points) except where a check says UTF-16
// units. Text that is not valid UTF-8 is not a string: it fails with the
// wrong-type code, never by its length.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/model/QZMValue.h"

// Chooses the subject word of the log texts.
enum class QZMValidationType : std::int64_t {
  kEventName = 0,
  kEventOrigin = 1,
  kEventParameterName = 2,
  kEventParameterValue = 3,
  kUserPropertyName = 4,
  kUserPropertyValue = 5,
  kScreenParameterValue = 6,
  kConditionalUserPropertyOrigin = 7,
  kConditionalUserPropertyName = 8,
  kConditionalUserPropertyValue = 9,
};

enum class QZMValidationFailureCode : std::int64_t {
  kNone = 0,
  kNilOrEmpty = 1,
  kTooLong = 2,
  kInvalidCharacter = 3,  // also a public name that does not start with a letter
  kReserved = 4,          // reserved name or reserved prefix
  kWrongType = 5,
  kNotForwardedOrigin = 6,
  kTooShort = 7,
  kNotNumeric = 8,
  kInvalidCurrency = 9,
  kArrayOnNonEcommerceEvent = 10,
  kArrayNotNamedItems = 11,
  kTooManyItems = 12,
  kNestedArray = 13,
  kItemNotDictionary = 14,
};

inline constexpr std::int64_t kQZMMaxEventNameLength = 40;
inline constexpr std::int64_t kQZMMaxEventParameterNameLength = 40;
inline constexpr std::int64_t kQZMMaxEventOriginLength = 32;
inline constexpr std::int64_t kQZMMaxUserPropertyNameLength = 24;
inline constexpr std::int64_t kQZMMaxUserPropertyValueLength = 36;
inline constexpr std::int64_t kQZMMaxArrayItems = 200;
inline constexpr std::int64_t kQZMCurrencyCodeLength = 3;

// The subject of the type followed directly by the suffix ("Object" for a
// type outside the table).
std::string QZMDataTypeDescription(QZMValidationType type, std::string_view suffix);

// What a check examines, borrowed for the call: nil, text, a typed value or
// another object.
class QZMValidatorInput {
 public:
  QZMValidatorInput(std::nullptr_t) : nil_(true) {}
  QZMValidatorInput(const char* text);  // nullptr is nil
  QZMValidatorInput(std::string_view text);
  QZMValidatorInput(const std::string& text) : QZMValidatorInput(std::string_view(text)) {}
  QZMValidatorInput(const std::optional<std::string>& text);
  QZMValidatorInput(const QZMValue& value) : value_(&value) {}
  QZMValidatorInput(const QZMObject& object);
  QZMValidatorInput(const QZMObject* object);  // nullptr is nil

  bool isNil() const { return nil_; }
  // Valid UTF-8 text, not wrapped in a value.
  const std::string_view* text() const { return isText_ ? &text_ : nullptr; }
  const QZMValue* value() const { return value_; }
  std::string className() const;
  // Text as it is, anything else by its description.
  std::string description() const;
  QZMLogContext logContext() const;

 private:
  bool nil_ = false;
  bool isText_ = false;
  std::string_view text_;
  const QZMValue* value_ = nullptr;
  const QZMObject* object_ = nullptr;
  bool invalidText_ = false;
};

class QZMDataTypeValidator {
 public:
  using FailureCode = QZMValidationFailureCode;

  // Whether the name begins with "zarnholt_", "dralix_" or "qvz_".
  static bool hasReservedPrefixes(std::string_view name);

  // ---- Base checks ----
  static bool isValidString(const QZMValidatorInput& object, std::int64_t minLength, std::int64_t maxLength,
                            QZMValidationType type, FailureCode* failureCode);
  // A string of 1 to maxLength letters, decimal digits and "_".
  static bool isValidInternalName(const QZMValidatorInput& name, std::int64_t maxLength, QZMValidationType type,
                                  FailureCode* failureCode);
  // An internal name that starts with a letter.
  static bool isValidPublicName(const QZMValidatorInput& name, std::int64_t maxLength, QZMValidationType type,
                                FailureCode* failureCode);
  // A typed value whose string, when it holds one, has the length allowed.
  static bool isValidValue(const QZMValidatorInput& value, std::int64_t minLength, std::int64_t maxLength,
                           QZMValidationType type, FailureCode* failureCode);

  // ---- Public rules ----
  static bool isValidPublicEventName(const QZMValidatorInput& name, FailureCode* failureCode = nullptr);
  static bool isValidPublicEventParameterName(const QZMValidatorInput& name, FailureCode* failureCode = nullptr);
  static bool isValidPublicEventParameterValue(const QZMValidatorInput& value, FailureCode* failureCode = nullptr);
  static bool isValidPublicUserAttributeName(const QZMValidatorInput& name, FailureCode* failureCode = nullptr);
  static bool isValidPublicUserAttributeValue(const QZMValidatorInput& value, FailureCode* failureCode = nullptr);

  // ---- Internal rules ----
  static bool isValidInternalEventName(const QZMValidatorInput& name, FailureCode* failureCode = nullptr);
  static bool isValidInternalEventParameterName(const QZMValidatorInput& name, FailureCode* failureCode = nullptr);
  static bool isValidInternalEventParameterValue(const QZMValidatorInput& value, FailureCode* failureCode = nullptr);
  static bool isValidInternalEventOrigin(const QZMValidatorInput& origin, FailureCode* failureCode = nullptr);
  // A valid internal name of at most 32 characters followed by "+qrl". An
  // empty origin gives code 1 and any other origin code 6, both unlogged.
  static bool isValidForwardedEventOrigin(const QZMValidatorInput& origin, FailureCode* failureCode = nullptr);
  static bool isValidInternalUserAttributeName(const QZMValidatorInput& name, FailureCode* failureCode = nullptr);
  // The longest string depends on the property (see
  // maxInternalUserAttributeValueLength).
  static bool isValidInternalUserAttributeValue(const QZMValidatorInput& value, std::string_view name,
                                                FailureCode* failureCode = nullptr);
  // Plain text only: a typed value is the wrong type here.
  static bool isValidScreenParameterValue(const QZMValidatorInput& value, FailureCode* failureCode = nullptr);
  static bool isValidConditionalUserPropertyOrigin(const QZMValidatorInput& origin,
                                                   FailureCode* failureCode = nullptr);
  static bool isValidConditionalUserPropertyName(const QZMValidatorInput& name, FailureCode* failureCode = nullptr);
  static bool isValidConditionalUserPropertyValue(const QZMValidatorInput& value,
                                                  FailureCode* failureCode = nullptr);
  // An int64 or double value.
  static bool isValidNumericValue(const QZMValidatorInput& value, FailureCode* failureCode = nullptr);
  // A string value of exactly three UTF-16 units, each a letter (any case).
  static bool isValidCurrencyCode(const QZMValidatorInput& value, FailureCode* failureCode = nullptr);
  // Only "items" on an ecommerce event, not nested, at most 200 items;
  // checked in that order.
  static bool isValidArrayParamForEvent(const std::optional<std::string>& eventName, std::string_view paramName,
                                        std::int64_t arrayCount, bool isNestedArrayParam,
                                        FailureCode* failureCode = nullptr);
  // The item must be a dictionary; writes no code when it is.
  static bool isValidArrayParamItem(const QZMObject& item, FailureCode* failureCode = nullptr);

  // 256 for "_id" and "_gbraid", 512 for "_psmvalue" and "_psmvalue_gads",
  // 36 for any other property.
  static std::int64_t maxInternalUserAttributeValueLength(std::string_view name);
};

// Nil gives code 1, an object other than a typed value code 5; both logged.
bool QZMIsValueObject(const QZMValidatorInput& object, QZMValidationType type,
                      QZMValidationFailureCode* failureCode);

// The 20 event names that may carry an "items" array.
bool QZMIsEcommerceEventName(std::string_view name);

// The interpreter's values: a 16-byte tagged value holding undefined, null,
// Booleans, numbers, the hole marker and the break and continue controls in
// itself, and a counted reference for strings, arrays, maps, functions,
// return controls and statements. This file also holds the operations every
// value has: the conversions to string, number and Boolean, equality, the
// typeof name and method dispatch.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "measurement/config/runtime/QZMPError.h"
#include "measurement/config/runtime/QZMPObject.h"
#include "measurement/config/runtime/QZMPStringValue.h"
#include "measurement/config/runtime/QZMPValueList.h"

class QZMPArrayValue;
class QZMPControlValue;
class QZMPFunctionValue;
class QZMPMapValue;
class QZMPScope;
class QZMPStatementValue;

class QZMPRuntimeValue {
 public:
  QZMPRuntimeValue() noexcept { number_ = 0; }

  static QZMPRuntimeValue undefined() { return QZMPRuntimeValue(); }
  static QZMPRuntimeValue null() { return immediate(QZMPValueKind::null); }
  static QZMPRuntimeValue boolean(bool value) {
    QZMPRuntimeValue v = immediate(QZMPValueKind::boolean);
    v.boolean_ = value;
    return v;
  }
  static QZMPRuntimeValue number(double value) {
    QZMPRuntimeValue v = immediate(QZMPValueKind::number);
    v.number_ = value;
    return v;
  }
  static QZMPRuntimeValue hole() { return immediate(QZMPValueKind::hole); }
  static QZMPRuntimeValue breakValue() { return immediate(QZMPValueKind::breakControl); }
  static QZMPRuntimeValue continueValue() { return immediate(QZMPValueKind::continueControl); }
  static QZMPRuntimeValue string(std::u16string_view text) { return QZMPStringValue::withUTF16(text); }
  static QZMPRuntimeValue stringFromUTF8(std::string_view text) { return QZMPStringValue::withUTF8(text); }

  // A heap object as a value (nullptr gives undefined).
  template <class T>
  QZMPRuntimeValue(const QZMPRef<T>& object) : QZMPRuntimeValue(object.get()) {}
  template <class T>
  QZMPRuntimeValue(QZMPRef<T>&& object) noexcept {
    if (T* raw = object.leak()) {
      kind_ = T::kValueKind;
      object_ = raw;
    } else {
      number_ = 0;
    }
  }
  template <class T>
  explicit QZMPRuntimeValue(T* object) {
    if (object) {
      object->retain();
      kind_ = T::kValueKind;
      object_ = object;
    } else {
      number_ = 0;
    }
  }

  QZMPRuntimeValue(const QZMPRuntimeValue& other) noexcept : kind_(other.kind_) {
    std::memcpy(&number_, &other.number_, sizeof number_);
    if (isHeapObject()) object_->retain();
  }
  QZMPRuntimeValue(QZMPRuntimeValue&& other) noexcept : kind_(other.kind_) {
    std::memcpy(&number_, &other.number_, sizeof number_);
    other.kind_ = QZMPValueKind::undefined;
  }
  QZMPRuntimeValue& operator=(const QZMPRuntimeValue& other) noexcept {
    QZMPRuntimeValue copy(other);
    swap(copy);
    return *this;
  }
  QZMP_HOT_INLINE QZMPRuntimeValue& operator=(QZMPRuntimeValue&& other) noexcept {
    if (this == &other) return *this;
    // Taken before the old object goes: releasing it may free what held
    // `other`.
    QZMPObject* previous = isHeapObject() ? object_ : nullptr;
    kind_ = other.kind_;
    std::memcpy(&number_, &other.number_, sizeof number_);
    other.kind_ = QZMPValueKind::undefined;
    if (previous) previous->release();
    return *this;
  }
  ~QZMPRuntimeValue() {
    if (isHeapObject()) object_->release();
  }
  void swap(QZMPRuntimeValue& other) noexcept {
    std::swap(kind_, other.kind_);
    double bits;
    std::memcpy(&bits, &number_, sizeof bits);
    std::memcpy(&number_, &other.number_, sizeof bits);
    std::memcpy(&other.number_, &bits, sizeof bits);
  }

  QZMPValueKind kind() const { return kind_; }
  bool isUndefined() const { return kind_ == QZMPValueKind::undefined; }
  bool isNull() const { return kind_ == QZMPValueKind::null; }
  bool isBoolean() const { return kind_ == QZMPValueKind::boolean; }
  bool isNumber() const { return kind_ == QZMPValueKind::number; }
  bool isHole() const { return kind_ == QZMPValueKind::hole; }
  bool isString() const { return kind_ == QZMPValueKind::string; }
  bool isArray() const { return kind_ == QZMPValueKind::array; }
  bool isMap() const { return kind_ == QZMPValueKind::map; }
  bool isFunction() const { return kind_ == QZMPValueKind::function; }
  bool isStatement() const { return kind_ == QZMPValueKind::statement; }
  bool isBreak() const { return kind_ == QZMPValueKind::breakControl; }
  bool isContinue() const { return kind_ == QZMPValueKind::continueControl; }
  bool isReturn() const { return kind_ == QZMPValueKind::returnControl; }
  bool isControl() const { return isBreak() || isContinue() || isReturn(); }
  bool isUndefinedOrNull() const { return isUndefined() || isNull(); }
  // What addition and the ordering comparisons treat as text.
  bool isObjectLike() const { return kind_ >= QZMPValueKind::string && kind_ <= QZMPValueKind::function; }
  bool isHeapObject() const { return kind_ >= kQZMPFirstHeapKind; }

  // The payload of a value known to be of that kind.
  double asNumber() const { return number_; }
  bool asBoolean() const { return boolean_; }
  // The object, or nullptr for a value of another kind.
  QZMPObject* object() const { return isHeapObject() ? object_ : nullptr; }
  QZMPStringValue* asString() const;
  QZMPArrayValue* asArray() const;
  QZMPMapValue* asMap() const;
  QZMPFunctionValue* asFunction() const;
  QZMPStatementValue* asStatement() const;
  QZMPControlValue* asReturn() const;

  // The conversions. A value without one (a control or a statement) sets
  // code 3, 4 or 5 and gives false, NaN or the empty string.
  QZMPRef<QZMPStringValue> stringValueOrError(QZMPError& error) const;
  double doubleValueOrError(QZMPError& error) const;
  bool booleanValueOrError(QZMPError& error) const;

  // Structural equality: arrays slot by slot, maps name by name. Too deep a
  // comparison (or one that runs round a cycle) sets code 19 and gives false.
  bool isEqualToRuntimeValue(const QZMPRuntimeValue& other, QZMPError& error) const;

  // "undefined", "object", "boolean", "number", "string" or "function".
  std::string_view typeName() const;

  // Calls the method of that name on the value with the arguments as given
  // (statements are evaluated by the method, in the caller's scope). The
  // arguments must stay valid for the call: pass a pinned copy, never an
  // array's live elements.
  QZMPRuntimeValue applyWithName(std::u16string_view name, std::span<const QZMPRuntimeValue> arguments,
                                 QZMPScope& scope, QZMPError& error) const;

 private:
  static QZMPRuntimeValue immediate(QZMPValueKind kind) {
    QZMPRuntimeValue v;
    v.kind_ = kind;
    return v;
  }

  union {
    double number_;
    bool boolean_;
    QZMPObject* object_;
  };
  QZMPValueKind kind_ = QZMPValueKind::undefined;
};

static_assert(sizeof(QZMPRuntimeValue) == 16);

// The other kinds' accessors are defined in their own headers.
inline QZMPStringValue* QZMPRuntimeValue::asString() const {
  return isString() ? static_cast<QZMPStringValue*>(object_) : nullptr;
}

using QZMPArguments = std::span<const QZMPRuntimeValue>;
// Argument lists live on the stack up to eight values.
using QZMPValueList = QZMPSmallList<QZMPRuntimeValue, 8>;

// Strict equality: same kind, numbers and Booleans by value (NaN equals
// nothing), strings by their code units, anything else by identity.
bool QZMPStrictEquals(const QZMPRuntimeValue& a, const QZMPRuntimeValue& b);

// A number, or a string whose text is not blank and converts, that is finite,
// not negative and whole: the array index it names. Other values name no
// index.
bool QZMPIsValidArrayIndex(const QZMPRuntimeValue& value, double* index);

// Arrays: a list of slots, some of which may be holes, and named properties.
// Property access takes runtime values as keys ("length", indexes as numbers
// or as text, other names); the list primitives below serve the array
// methods. A hole reads as undefined everywhere a program can look.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "measurement/config/runtime/QZMPObjectManager.h"
#include "measurement/config/runtime/QZMPPropertyMap.h"
#include "measurement/config/runtime/QZMPRuntimeValue.h"

class QZMPFunctionValue;
class QZMPScope;

// The most slots an array may have.
inline constexpr std::size_t kQZMPMaxArrayLength = std::size_t{1} << 20;

class QZMPArrayValue final : public QZMPContainer {
 public:
  static constexpr QZMPValueKind kValueKind = QZMPValueKind::array;

  QZMPArrayValue() = default;
  explicit QZMPArrayValue(std::vector<QZMPRuntimeValue> slots) : elements_(std::move(slots)) {}

  std::size_t count() const { return elements_.size(); }
  // The slot as stored (perhaps a hole), for code that copies slots.
  const QZMPRuntimeValue& slotAt(std::size_t index) const { return elements_[index]; }
  // The element, undefined for a hole or beyond the end.
  QZMPRuntimeValue elementAt(std::size_t index) const;
  bool isPresent(std::size_t index) const { return index < elements_.size() && !elements_[index].isHole(); }
  // A copy of the elements with holes read as undefined.
  QZMPValueList allElements() const;

  // Property access by key: "length", an index, or a name.
  QZMPRuntimeValue valueForProperty(const QZMPRuntimeValue& key, QZMPError& error) const;
  void setValue(QZMPRuntimeValue value, const QZMPRuntimeValue& forProperty, QZMPError& error);
  void removeValueForProperty(const QZMPRuntimeValue& key, QZMPError& error);
  bool hasProperty(const QZMPRuntimeValue& key, QZMPError& error) const;
  // Named properties first, then the index of every slot that is not a hole.
  std::vector<QZMPRuntimeValue> allPropertyNames() const;
  // The named properties (nullptr when there are none).
  QZMPPropertyMap* propertyMap() const { return properties_.get(); }
  QZMPPropertyMap& ensurePropertyMap();

  // Grows with holes or truncates; beyond the cap sets code 20.
  bool setLength(std::size_t length, QZMPError& error);

  // The slots from start, clamped to the array, holes included.
  std::vector<QZMPRuntimeValue> slotsInRange(std::int64_t start, std::int64_t length) const;
  // Removes the clamped range and inserts the values there; the removed
  // slots, or nothing with code 20 when the result would outgrow the cap.
  std::vector<QZMPRuntimeValue> spliceFrom(std::int64_t start, std::int64_t deleteCount, QZMPArguments addValues,
                                           QZMPError& error);
  // Appends every slot of an array, or any other value as one element; a
  // control value sets code 10.
  bool concat(const QZMPRuntimeValue& value, QZMPError& error);
  void reverse();
  // The removed element, undefined when empty.
  QZMPRuntimeValue removeFirstElement();
  QZMPRuntimeValue removeLastElement();
  // The new count (the old one with code 20 when the values do not fit).
  std::size_t appendElements(QZMPArguments values, QZMPError& error);
  std::size_t prependElements(QZMPArguments values, QZMPError& error);

  // Strict-equality searches from fromIndex forward, or backward from it;
  // -1 when nothing matches.
  std::int64_t indexOfValue(const QZMPRuntimeValue& value, std::int64_t fromIndex, QZMPError& error) const;
  std::int64_t lastIndexOfValue(const QZMPRuntimeValue& value, std::int64_t fromIndex, QZMPError& error) const;

  // Sorts in place with the comparison function (none: by string value).
  // Holes go last, undefined just before them; the first error stops further
  // comparisons and is reported at the end.
  void sortUsingFunctionValue(QZMPFunctionValue* function, QZMPScope& scope, QZMPError& error);

  // The elements' string values joined by the separator; holes, undefined
  // and null contribute nothing.
  QZMPRef<QZMPStringValue> stringValueWithSeparator(std::u16string_view separator, QZMPError& error) const;
  QZMPRef<QZMPStringValue> stringValueOrError(QZMPError& error) const { return stringValueWithSeparator(u",", error); }

  void traceReferences(QZMPMarker& marker) override;
  void clearForCollection() override;

 private:
  bool growTo(std::size_t length, QZMPError& error);

  std::vector<QZMPRuntimeValue> elements_;
  std::unique_ptr<QZMPPropertyMap> properties_;
};

inline QZMPArrayValue* QZMPRuntimeValue::asArray() const {
  return isArray() ? static_cast<QZMPArrayValue*>(object_) : nullptr;
}

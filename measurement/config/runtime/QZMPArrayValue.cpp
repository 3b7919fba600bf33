#include "measurement/config/runtime/QZMPArrayValue.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "measurement/config/runtime/QZMPCommandSupport.h"
#include "measurement/config/runtime/QZMPFunctionValue.h"
#include "measurement/config/runtime/QZMPNumberConversion.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/QZMPValueInternals.h"

namespace {

// The index a key names, or false.
bool indexOfKey(const QZMPRuntimeValue& key, std::size_t* index) {
  double number;
  if (!QZMPIsValidArrayIndex(key, &number)) return false;
  // Indexes past any array's reach all behave alike; keep them in range.
  *index = number >= static_cast<double>(kQZMPMaxArrayLength) ? kQZMPMaxArrayLength : static_cast<std::size_t>(number);
  return true;
}

// Clamps start to 0...count and length to 0...count - start.
void clampRange(std::int64_t start, std::int64_t length, std::size_t count, std::size_t* first, std::size_t* size) {
  const auto total = static_cast<std::int64_t>(count);
  start = std::clamp<std::int64_t>(start, 0, total);
  length = std::clamp<std::int64_t>(length, 0, total - start);
  *first = static_cast<std::size_t>(start);
  *size = static_cast<std::size_t>(length);
}

}  // namespace

QZMPRuntimeValue QZMPArrayValue::elementAt(std::size_t index) const {
  if (index >= elements_.size() || elements_[index].isHole()) return QZMPRuntimeValue();
  return elements_[index];
}

QZMPValueList QZMPArrayValue::allElements() const {
  QZMPValueList values;
  values.reserve(elements_.size());
  for (const QZMPRuntimeValue& slot : elements_) values.push_back(slot.isHole() ? QZMPRuntimeValue() : slot);
  return values;
}

QZMPPropertyMap& QZMPArrayValue::ensurePropertyMap() {
  if (!properties_) properties_ = std::make_unique<QZMPPropertyMap>();
  return *properties_;
}

QZMPRuntimeValue QZMPArrayValue::valueForProperty(const QZMPRuntimeValue& key, QZMPError& error) const {
  std::size_t index;
  if (indexOfKey(key, &index)) return elementAt(index);
  const QZMPRef<QZMPStringValue> name = key.stringValueOrError(error);
  if (error) return QZMPRuntimeValue();
  if (name->equals(u"length")) return QZMPRuntimeValue::number(static_cast<double>(elements_.size()));
  if (!properties_) return QZMPRuntimeValue();
  chargeName(*name);
  return properties_->valueForName(*name);
}

void QZMPArrayValue::setValue(QZMPRuntimeValue value, const QZMPRuntimeValue& forProperty, QZMPError& error) {
  if (value.isHole()) value = QZMPRuntimeValue();
  std::size_t index;
  if (!indexOfKey(forProperty, &index)) {
    const QZMPRef<QZMPStringValue> name = forProperty.stringValueOrError(error);
    if (error) return;
    if (!name->equals(u"length")) {
      chargeName(*name);
      ensurePropertyMap().setValue(std::move(value), *name);
      return;
    }
    double length;
    if (!QZMPIsValidArrayIndex(value, &length)) {
      error.set(QZMPGlintErrorInvalidLength);
      return;
    }
    setLength(length > static_cast<double>(kQZMPMaxArrayLength) ? kQZMPMaxArrayLength + 1
                                                                 : static_cast<std::size_t>(length),
              error);
    return;
  }
  if (index >= elements_.size() && !growTo(index + 1, error)) return;
  elements_[index] = std::move(value);
}

void QZMPArrayValue::removeValueForProperty(const QZMPRuntimeValue& key, QZMPError& error) {
  std::size_t index;
  if (indexOfKey(key, &index)) {
    if (index < elements_.size()) elements_[index] = QZMPRuntimeValue::hole();
    return;
  }
  const QZMPRef<QZMPStringValue> name = key.stringValueOrError(error);
  if (error || !properties_) return;
  chargeName(*name);
  properties_->removeValueForName(*name);
}

bool QZMPArrayValue::hasProperty(const QZMPRuntimeValue& key, QZMPError& error) const {
  std::size_t index;
  if (indexOfKey(key, &index)) return isPresent(index);
  const QZMPRef<QZMPStringValue> name = key.stringValueOrError(error);
  if (error || !properties_) return false;
  chargeName(*name);
  return properties_->hasName(*name);
}

std::vector<QZMPRuntimeValue> QZMPArrayValue::allPropertyNames() const {
  std::vector<QZMPRuntimeValue> names;
  if (properties_) {
    for (QZMPRef<QZMPStringValue>& name : properties_->allNames()) names.emplace_back(std::move(name));
  }
  for (std::size_t i = 0; i < elements_.size(); ++i) {
    if (!elements_[i].isHole()) names.push_back(QZMPStringValue::withASCII(std::to_string(i)));
  }
  chargeWork(elements_.size());
  return names;
}

bool QZMPArrayValue::growTo(std::size_t length, QZMPError& error) {
  if (length > kQZMPMaxArrayLength) {
    error.set(QZMPGlintErrorTooLarge);
    return false;
  }
  if (length > elements_.size()) {
    chargeWork(length - elements_.size());
    elements_.resize(length, QZMPRuntimeValue::hole());
  }
  return true;
}

bool QZMPArrayValue::setLength(std::size_t length, QZMPError& error) {
  if (length >= elements_.size()) return growTo(length, error);
  // Moved out first: freeing the dropped values must not meet a half-resized list.
  std::vector<QZMPRuntimeValue> dropped(std::make_move_iterator(elements_.begin() + length),
                                        std::make_move_iterator(elements_.end()));
  elements_.resize(length);
  return true;
}

std::vector<QZMPRuntimeValue> QZMPArrayValue::slotsInRange(std::int64_t start, std::int64_t length) const {
  std::size_t first, size;
  clampRange(start, length, elements_.size(), &first, &size);
  chargeWork(size);
  return std::vector<QZMPRuntimeValue>(elements_.begin() + first, elements_.begin() + first + size);
}

std::vector<QZMPRuntimeValue> QZMPArrayValue::spliceFrom(std::int64_t start, std::int64_t deleteCount,
                                                         QZMPArguments addValues, QZMPError& error) {
  std::size_t first, size;
  clampRange(start, deleteCount, elements_.size(), &first, &size);
  if (elements_.size() - size + addValues.size() > kQZMPMaxArrayLength) {
    error.set(QZMPGlintErrorTooLarge);
    return {};
  }
  // Copied before the list changes, in case they came from it.
  std::vector<QZMPRuntimeValue> added(addValues.begin(), addValues.end());
  std::vector<QZMPRuntimeValue> removed(std::make_move_iterator(elements_.begin() + first),
                                        std::make_move_iterator(elements_.begin() + first + size));
  elements_.erase(elements_.begin() + first, elements_.begin() + first + size);
  elements_.insert(elements_.begin() + first, std::make_move_iterator(added.begin()),
                   std::make_move_iterator(added.end()));
  chargeWork(elements_.size());
  return removed;
}

bool QZMPArrayValue::concat(const QZMPRuntimeValue& value, QZMPError& error) {
  if (value.isControl()) {
    error.set(QZMPGlintErrorArgumentKind);
    return false;
  }
  if (const QZMPArrayValue* other = value.asArray()) {
    if (elements_.size() + other->elements_.size() > kQZMPMaxArrayLength) {
      error.set(QZMPGlintErrorTooLarge);
      return false;
    }
    const std::vector<QZMPRuntimeValue> slots = other->elements_;  // other may be this array
    elements_.insert(elements_.end(), slots.begin(), slots.end());
    chargeWork(slots.size());
    return true;
  }
  if (elements_.size() + 1 > kQZMPMaxArrayLength) {
    error.set(QZMPGlintErrorTooLarge);
    return false;
  }
  elements_.push_back(value.isHole() ? QZMPRuntimeValue() : value);
  return true;
}

void QZMPArrayValue::reverse() {
  std::reverse(elements_.begin(), elements_.end());
  chargeWork(elements_.size());
}

QZMPRuntimeValue QZMPArrayValue::removeFirstElement() {
  if (elements_.empty()) return QZMPRuntimeValue();
  QZMPRuntimeValue first = std::move(elements_.front());
  elements_.erase(elements_.begin());
  chargeWork(elements_.size());
  return first.isHole() ? QZMPRuntimeValue() : first;
}

QZMPRuntimeValue QZMPArrayValue::removeLastElement() {
  if (elements_.empty()) return QZMPRuntimeValue();
  QZMPRuntimeValue last = std::move(elements_.back());
  elements_.pop_back();
  return last.isHole() ? QZMPRuntimeValue() : last;
}

std::size_t QZMPArrayValue::appendElements(QZMPArguments values, QZMPError& error) {
  if (elements_.size() + values.size() > kQZMPMaxArrayLength) {
    error.set(QZMPGlintErrorTooLarge);
    return elements_.size();
  }
  std::vector<QZMPRuntimeValue> added(values.begin(), values.end());
  for (QZMPRuntimeValue& value : added) elements_.push_back(value.isHole() ? QZMPRuntimeValue() : std::move(value));
  chargeWork(added.size());
  return elements_.size();
}

std::size_t QZMPArrayValue::prependElements(QZMPArguments values, QZMPError& error) {
  if (elements_.size() + values.size() > kQZMPMaxArrayLength) {
    error.set(QZMPGlintErrorTooLarge);
    return elements_.size();
  }
  std::vector<QZMPRuntimeValue> added(values.begin(), values.end());
  for (QZMPRuntimeValue& value : added) {
    if (value.isHole()) value = QZMPRuntimeValue();
  }
  elements_.insert(elements_.begin(), std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
  chargeWork(elements_.size());
  return elements_.size();
}

namespace {

// Units two texts share from their start: whole blocks by memcmp, which
// keeps long equal prefixes cheap, then unit by unit.
std::size_t commonPrefixLength(std::u16string_view a, std::u16string_view b) {
  constexpr std::size_t kBlock = 64;
  const std::size_t common = std::min(a.size(), b.size());
  std::size_t same = 0;
  while (same + kBlock <= common && std::memcmp(a.data() + same, b.data() + same, kBlock * sizeof(char16_t)) == 0) {
    same += kBlock;
  }
  while (same < common && a[same] == b[same]) ++same;
  return same;
}

QZMPRuntime* runtimeOf(const QZMPContainer& container) {
  return container.objectManager() ? container.objectManager()->runtime() : nullptr;
}

// A search for a long text is charged before it starts (by the array
// methods); one that its charge takes past the budget does not run.
bool mayCompareAsText(const QZMPArrayValue& array, const QZMPRuntimeValue& value, QZMPError& error) {
  QZMPRuntime* runtime = runtimeOf(array);
  const QZMPStringValue* text = value.asString();
  if (runtime == nullptr || text == nullptr || text->length() < kQZMPCodeUnitsPerInstruction) return true;
  return runtime->chargeInstructions(0, error);
}

}  // namespace

std::int64_t QZMPArrayValue::indexOfValue(const QZMPRuntimeValue& value, std::int64_t fromIndex,
                                          QZMPError& error) const {
  const auto count = static_cast<std::int64_t>(elements_.size());
  if (!mayCompareAsText(*this, value, error)) return -1;
  for (std::int64_t i = std::max<std::int64_t>(fromIndex, 0); i < count; ++i) {
    if (QZMPStrictEquals(elements_[i], value)) {
      chargeWork(static_cast<std::size_t>(i));
      return i;
    }
  }
  chargeWork(elements_.size());
  return -1;
}

std::int64_t QZMPArrayValue::lastIndexOfValue(const QZMPRuntimeValue& value, std::int64_t fromIndex,
                                              QZMPError& error) const {
  const auto count = static_cast<std::int64_t>(elements_.size());
  if (!mayCompareAsText(*this, value, error)) return -1;
  for (std::int64_t i = std::min(fromIndex, count - 1); i >= 0; --i) {
    if (QZMPStrictEquals(elements_[i], value)) {
      chargeWork(static_cast<std::size_t>(count - i));
      return i;
    }
  }
  chargeWork(elements_.size());
  return -1;
}

void QZMPArrayValue::sortUsingFunctionValue(QZMPFunctionValue* function, QZMPScope& scope, QZMPError& error) {
  // Sorted on a pinned copy: the comparison may be inconsistent or change
  // the array, and neither can break the sort.
  const std::vector<QZMPRuntimeValue> items = elements_;
  const QZMPRef<QZMPFunctionValue> comparator(function);
  const std::size_t n = items.size();
  QZMPError sortError;
  QZMPRuntime* runtime = scope.runtime();
  std::vector<QZMPRef<QZMPStringValue>> keys;
  if (!comparator) {
    // Keys that are not strings are made as text, an allocation apiece:
    // paid for before they are made.
    std::size_t made = 0;
    for (const QZMPRuntimeValue& item : items) made += !item.isString() && !item.isHole() && !item.isUndefined();
    if (runtime && made >= kQZMPElementsPerInstruction && !runtime->chargeInstructions(made, error)) return;
    keys.resize(n);
    for (std::size_t i = 0; i < n && !sortError; ++i) {
      if (!items[i].isHole() && !items[i].isUndefined()) keys[i] = items[i].stringValueOrError(sortError);
    }
  }
  std::size_t comparisons = 0;
  std::size_t unitsUncharged = 0;
  auto compare = [&](std::uint32_t x, std::uint32_t y) -> int {
    if (sortError) return 0;
    // Comparisons are paid for as they are made, so that a sort its budget
    // cannot cover stops.
    if (++comparisons % kQZMPElementsPerInstruction == 0 && runtime && !runtime->chargeInstructions(1, sortError)) {
      return 0;
    }
    const QZMPRuntimeValue& a = items[x];
    const QZMPRuntimeValue& b = items[y];
    if (a.isHole() || b.isHole()) return a.isHole() == b.isHole() ? 0 : (a.isHole() ? 1 : -1);
    if (a.isUndefined() || b.isUndefined()) return a.isUndefined() == b.isUndefined() ? 0 : (a.isUndefined() ? 1 : -1);
    if (!comparator) {
      const std::u16string_view first = keys[x]->view();
      const std::u16string_view second = keys[y]->view();
      if (keys[x] == keys[y]) return 0;
      const std::size_t common = std::min(first.size(), second.size());
      const std::size_t same = commonPrefixLength(first, second);
      // Long keys that share long prefixes are charged by the units read,
      // and the sort stops once that spends the budget.
      unitsUncharged += same;
      if (runtime && unitsUncharged >= kQZMPCodeUnitsPerInstruction) {
        const std::size_t instructions = unitsUncharged / kQZMPCodeUnitsPerInstruction;
        unitsUncharged %= kQZMPCodeUnitsPerInstruction;
        if (!runtime->chargeInstructions(instructions, sortError)) return 0;
      }
      if (same == common) return first.size() == second.size() ? 0 : (first.size() < second.size() ? -1 : 1);
      return first[same] < second[same] ? -1 : 1;
    }
    const QZMPRuntimeValue arguments[] = {a, b};
    const QZMPRuntimeValue result = comparator->invokeWithArguments(arguments, scope, sortError);
    if (sortError) return 0;
    const double order = result.doubleValueOrError(sortError);
    if (sortError) return 0;
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
  };

  // Bottom-up merge sort of positions: stable, no recursion, and it ends
  // whatever the comparison answers.
  std::vector<std::uint32_t> order(n), scratch(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
  for (std::size_t width = 1; width < n; width *= 2) {
    for (std::size_t low = 0; low < n; low += 2 * width) {
      const std::size_t middle = std::min(low + width, n);
      const std::size_t high = std::min(low + 2 * width, n);
      std::size_t i = low, j = middle, k = low;
      while (i < middle && j < high) scratch[k++] = compare(order[j], order[i]) < 0 ? order[j++] : order[i++];
      while (i < middle) scratch[k++] = order[i++];
      while (j < high) scratch[k++] = order[j++];
    }
    order.swap(scratch);
  }
  // What is left of the charge: an instruction per eight comparisons begun.
  if (comparisons % kQZMPElementsPerInstruction != 0 && runtime) runtime->chargeInstructions(1);

  if (elements_.size() < n) elements_.resize(n);
  for (std::size_t i = 0; i < n; ++i) elements_[i] = items[order[i]];
  if (sortError) error.set(sortError.error());
}

QZMPRef<QZMPStringValue> QZMPArrayValue::stringValueWithSeparator(std::u16string_view separator,
                                                                  QZMPError& error) const {
  return QZMPJoinArray(*this, separator, 0, error);
}

QZMPRef<QZMPStringValue> QZMPJoinArray(const QZMPArrayValue& array, std::u16string_view separator, int depth,
                                       QZMPError& error) {
  if (depth >= kQZMPMaxConversionDepth || !array.beginVisit()) {
    error.set(QZMPGlintErrorTooDeep);
    return QZMPStringValue::empty();
  }
  std::u16string text;
  const std::size_t count = array.count();
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) text += separator;
    const QZMPRuntimeValue& slot = array.slotAt(i);
    if (slot.isNumber()) {
      // Numbers, the commonest element, go in without a string of their own.
      const std::string digits = QZMPNumberToString(slot.asNumber());
      text.append(digits.begin(), digits.end());
    } else if (!slot.isHole() && !slot.isUndefinedOrNull()) {
      const QZMPRef<QZMPStringValue> part = QZMPStringValueAtDepth(slot, depth + 1, error);
      if (error) break;
      text += part->view();
    }
    if (text.size() > kQZMPMaxStringLength) {
      error.set(QZMPGlintErrorTooLarge);
      break;
    }
  }
  array.endVisit();
  array.chargeWork(count);
  if (error) return QZMPStringValue::empty();
  return QZMPStringValue::withUTF16(text, error);
}

void QZMPArrayValue::traceReferences(QZMPMarker& marker) {
  marker.countObject(sizeof(QZMPArrayValue));
  marker.countBytes(elements_.capacity() * sizeof(QZMPRuntimeValue));
  if (properties_) {
    marker.countObject(sizeof(QZMPPropertyMap));
    properties_->traceReferences(marker);
  }
  for (const QZMPRuntimeValue& slot : elements_) marker.mark(slot);
}

void QZMPArrayValue::clearForCollection() {
  std::vector<QZMPRuntimeValue> elements;
  elements.swap(elements_);
  std::unique_ptr<QZMPPropertyMap> properties = std::move(properties_);
}

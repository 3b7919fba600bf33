#include "measurement/config/runtime/QZMPPropertyMap.h"

#include <algorithm>
#include <bit>

#include "measurement/config/runtime/QZMPObjectManager.h"

namespace {

// Up to this many entries a line search beats hashing.
constexpr std::size_t kLinearSearchLimit = 8;

}  // namespace

std::ptrdiff_t QZMPPropertyMap::indexOf(std::u16string_view name, std::uint32_t hash,
                                        const QZMPStringValue* same) const {
  if ((filter_ & filterBit(hash)) == 0) return -1;
  auto matches = [&](const Entry& entry) {
    return entry.name && entry.hash == hash && (entry.name.get() == same || entry.name->equals(name));
  };
  if (index_.empty()) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (matches(entries_[i])) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
  }
  const std::size_t mask = index_.size() - 1;
  for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const std::uint32_t position = index_[slot];
    if (position == 0) return -1;
    if (matches(entries_[position - 1])) return position - 1;
  }
}

const QZMPRuntimeValue* QZMPPropertyMap::findIndexed(const QZMPStringValue& name) const {
  const std::ptrdiff_t i = indexOf(name.view(), name.hash(), &name);
  return i < 0 ? nullptr : &entries_[i].value;
}

const QZMPRuntimeValue* QZMPPropertyMap::find(std::u16string_view name) const {
  const std::ptrdiff_t i = indexOf(name, QZMPHashUTF16(name), nullptr);
  return i < 0 ? nullptr : &entries_[i].value;
}

QZMPRuntimeValue QZMPPropertyMap::valueForName(const QZMPStringValue& name) const {
  const QZMPRuntimeValue* value = find(name);
  return value ? *value : QZMPRuntimeValue();
}

QZMPRuntimeValue QZMPPropertyMap::valueForName(std::u16string_view name) const {
  const QZMPRuntimeValue* value = find(name);
  return value ? *value : QZMPRuntimeValue();
}

bool QZMPPropertyMap::isConstant(const QZMPStringValue& name) const {
  const std::ptrdiff_t i = indexOf(name.view(), name.hash(), &name);
  return i >= 0 && entries_[i].constant;
}

QZMPPropertyMap::Entry* QZMPPropertyMap::store(QZMPRuntimeValue value, const QZMPStringValue& name) {
  if (immutable_) return nullptr;
  // A hole means "no value" only inside arrays.
  if (value.isHole()) value = QZMPRuntimeValue();
  const std::uint32_t hash = name.hash();
  const std::ptrdiff_t i = indexOf(name.view(), hash, &name);
  if (i >= 0) {
    Entry& entry = entries_[i];
    if (entry.constant) return nullptr;
    entry.value = std::move(value);
    return &entry;
  }
  entries_.emplace_back(Entry{QZMPRef<QZMPStringValue>(const_cast<QZMPStringValue*>(&name)), std::move(value), hash});
  ++live_;
  filter_ |= filterBit(hash);
  const auto position = static_cast<std::uint32_t>(entries_.size());
  if (entries_.size() > kLinearSearchLimit || !index_.empty()) {
    if (entries_.size() * 2 > index_.size()) {
      rebuild();
      return &entries_[live_ - 1];  // the rebuild keeps the order; the new entry is last
    }
    insertIntoIndex(hash, position);
  }
  return &entries_[position - 1];
}

void QZMPPropertyMap::setValue(QZMPRuntimeValue value, const QZMPStringValue& name) { store(std::move(value), name); }

void QZMPPropertyMap::setValue(QZMPRuntimeValue value, std::u16string_view name) {
  if (immutable_) return;
  setValue(std::move(value), *QZMPStringValue::withUTF16(name));
}

void QZMPPropertyMap::setImmutableValue(QZMPRuntimeValue value, const QZMPStringValue& name) {
  Entry* entry = store(std::move(value), name);
  if (entry != nullptr && !entry->constant) {
    entry->constant = true;
    ++constants_;
  }
}

bool QZMPPropertyMap::assign(QZMPRuntimeValue&& value, const QZMPStringValue& name) {
  std::uint32_t slot = UINT32_MAX;
  return assign(std::move(value), name, slot);
}

bool QZMPPropertyMap::assign(QZMPRuntimeValue&& value, const QZMPStringValue& name, std::uint32_t& slot) {
  const QZMPRuntimeValue* found = find(name, slot);
  if (found == nullptr) return false;
  Entry& entry = entries_[slot];
  if (!immutable_ && !entry.constant) entry.value = value.isHole() ? QZMPRuntimeValue() : std::move(value);
  return true;
}

void QZMPPropertyMap::removeValueForName(const QZMPStringValue& name) {
  if (immutable_) return;
  const std::ptrdiff_t i = indexOf(name.view(), name.hash(), &name);
  if (i < 0 || entries_[i].constant) return;
  // The entry stays as a tombstone so the index's probe chains hold.
  entries_[i].name = nullptr;
  entries_[i].value = QZMPRuntimeValue();
  --live_;
  if (entries_.size() - live_ > live_ || live_ == 0) rebuild();
}

std::vector<QZMPRef<QZMPStringValue>> QZMPPropertyMap::allNames() const {
  std::vector<QZMPRef<QZMPStringValue>> names;
  names.reserve(live_);
  for (const Entry& entry : entries_) {
    if (entry.name) names.push_back(entry.name);
  }
  return names;
}

void QZMPPropertyMap::insertIntoIndex(std::uint32_t hash, std::uint32_t position) {
  const std::size_t mask = index_.size() - 1;
  std::size_t slot = hash & mask;
  while (index_[slot] != 0) slot = (slot + 1) & mask;
  index_[slot] = position;
}

void QZMPPropertyMap::reserve(std::size_t count) {
  if (count <= kLinearSearchLimit || count <= entries_.size()) return;
  entries_.reserve(count);
  if (index_.size() < count * 2) rebuild(std::bit_ceil(count * 2));
}

void QZMPPropertyMap::rebuild(std::size_t slots) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (!entries_[i].name) continue;
    if (kept != i) entries_[kept] = std::move(entries_[i]);
    ++kept;
  }
  entries_.truncate(kept);
  index_.clear();
  filter_ = 0;
  for (const Entry& entry : entries_) filter_ |= filterBit(entry.hash);
  if (entries_.size() <= kLinearSearchLimit && slots == 0) {
    index_.shrink_to_fit();
    return;
  }
  index_.assign(std::max(std::bit_ceil(entries_.size() * 4), slots), 0);
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    insertIntoIndex(entries_[i].hash, static_cast<std::uint32_t>(i + 1));
  }
}

void QZMPPropertyMap::traceReferences(QZMPMarker& marker) const {
  marker.countBytes(entries_.heapBytes() + index_.capacity() * sizeof(std::uint32_t));
  for (const Entry& entry : entries_) {
    if (!entry.name) continue;
    marker.countString(*entry.name);
    marker.mark(entry.value);
  }
}

void QZMPPropertyMap::clear() {
  // Moved out first: releasing a value may free objects that look at this map.
  QZMPSmallList<Entry, 2> dropped(std::move(entries_));
  index_.clear();
  live_ = 0;
  filter_ = 0;
  constants_ = 0;
}

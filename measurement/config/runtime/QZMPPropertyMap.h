// Named slots of arrays, maps, functions and scopes: names in the order they
// were first set, constants that keep their value, and a freeze for the
// whole map. Small maps are searched in a line; larger ones through an
// open-addressing index of entry positions. A one-word filter of the names'
// hashes answers most misses at once, so a lookup passing through the scopes
// of a chain that lack the name costs a test each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "measurement/config/runtime/QZMPRuntimeValue.h"

class QZMPMarker;

class QZMPPropertyMap {
 public:
  QZMPPropertyMap() = default;
  QZMPPropertyMap(const QZMPPropertyMap&) = delete;
  QZMPPropertyMap& operator=(const QZMPPropertyMap&) = delete;

  bool hasName(const QZMPStringValue& name) const { return find(name) != nullptr; }
  bool hasName(std::u16string_view name) const { return find(name) != nullptr; }
  // Undefined when absent.
  QZMPRuntimeValue valueForName(const QZMPStringValue& name) const;
  QZMPRuntimeValue valueForName(std::u16string_view name) const;
  // The stored value, or nullptr; valid until the map changes. Small maps,
  // the usual scope, are searched right here: variable reads land here.
  const QZMPRuntimeValue* find(const QZMPStringValue& name) const {
    const std::uint32_t hash = name.hash();
    if ((filter_ & filterBit(hash)) == 0) return nullptr;
    if (!index_.empty()) return findIndexed(name);
    for (const Entry& entry : entries_) {
      if (matches(entry, name, hash)) return &entry.value;
    }
    return nullptr;
  }
  // The same, trying first the position `slot` held the name at when last
  // found, and leaving there where it is now.
  const QZMPRuntimeValue* find(const QZMPStringValue& name, std::uint32_t& slot) const {
    const std::uint32_t hash = name.hash();
    if ((filter_ & filterBit(hash)) == 0) return nullptr;
    if (slot < entries_.size() && matches(entries_[slot], name, hash)) return &entries_[slot].value;
    const std::ptrdiff_t i = indexOf(name.view(), hash, &name);
    if (i < 0) return nullptr;
    slot = static_cast<std::uint32_t>(i);
    return &entries_[i].value;
  }
  const QZMPRuntimeValue* find(std::u16string_view name) const;

  // These three do nothing when the map is frozen or the name is a constant.
  void setValue(QZMPRuntimeValue value, const QZMPStringValue& name);
  void setValue(QZMPRuntimeValue value, std::u16string_view name);
  void setImmutableValue(QZMPRuntimeValue value, const QZMPStringValue& name);
  void removeValueForName(const QZMPStringValue& name);
  // Replaces the value of a name the map holds (not when frozen or a
  // constant); false, with the value untouched, when it holds no such name.
  bool assign(QZMPRuntimeValue&& value, const QZMPStringValue& name);
  // The same with a remembered position, as find.
  bool assign(QZMPRuntimeValue&& value, const QZMPStringValue& name, std::uint32_t& slot);
  // Whether the name may be here: false only when it is not.
  bool mayHold(const QZMPStringValue& name) const { return (filter_ & filterBit(name.hash())) != 0; }

  // Room for this many names, so that setting them one by one moves and
  // rehashes nothing.
  void reserve(std::size_t count);

  void makeImmutable() { immutable_ = true; }
  bool isImmutable() const { return immutable_; }
  bool isConstant(const QZMPStringValue& name) const;
  bool hasConstants() const { return constants_ != 0; }

  std::size_t count() const { return live_; }
  // In the order the names were first set.
  std::vector<QZMPRef<QZMPStringValue>> allNames() const;
  template <class F>
  void forEach(F&& visit) const {
    for (const Entry& entry : entries_) {
      if (entry.name) visit(*entry.name, entry.value);
    }
  }

  void traceReferences(QZMPMarker& marker) const;
  // Drops every entry (the collector's sweep); a frozen map stays frozen.
  void clear();

 private:
  struct Entry {
    QZMPRef<QZMPStringValue> name;  // null once removed
    QZMPRuntimeValue value;
    std::uint32_t hash = 0;
    bool constant = false;
  };

  static std::uint64_t filterBit(std::uint32_t hash) { return std::uint64_t{1} << (hash >> 26); }
  static bool matches(const Entry& entry, const QZMPStringValue& name, std::uint32_t hash) {
    return entry.name && entry.hash == hash && (entry.name.get() == &name || entry.name->equals(name));
  }
  const QZMPRuntimeValue* findIndexed(const QZMPStringValue& name) const;
  // Position of the live entry with that name, or -1.
  std::ptrdiff_t indexOf(std::u16string_view name, std::uint32_t hash, const QZMPStringValue* same) const;
  Entry* store(QZMPRuntimeValue value, const QZMPStringValue& name);
  void insertIntoIndex(std::uint32_t hash, std::uint32_t position);
  // Drops removed entries and indexes the rest in at least `slots` slots.
  void rebuild(std::size_t slots = 0);

  // Removed entries stay until the next rebuild. Two live in the map itself:
  // most scopes (a call's parameters, a loop's names) need no allocation.
  QZMPSmallList<Entry, 2> entries_;
  std::vector<std::uint32_t> index_;  // position + 1 per slot; 0 is empty
  std::size_t live_ = 0;
  // One bit per name held (its hash's top six bits); bits of removed names
  // stay until the next rebuild.
  std::uint64_t filter_ = 0;
  std::size_t constants_ = 0;
  bool immutable_ = false;
};

// A list kept in place up to a few entries: evaluated arguments live on the
// stack, and small scopes keep their variables without an allocation.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

template <class Value, std::size_t kInline>
class QZMPSmallList {
 public:
  QZMPSmallList() = default;
  QZMPSmallList(const QZMPSmallList&) = delete;
  QZMPSmallList& operator=(const QZMPSmallList&) = delete;
  QZMPSmallList(QZMPSmallList&& other) noexcept {
    if (other.data_ != other.inlineData()) {
      data_ = std::exchange(other.data_, other.inlineData());
      capacity_ = std::exchange(other.capacity_, kInline);
      size_ = std::exchange(other.size_, 0);
      return;
    }
    for (std::size_t i = 0; i < other.size_; ++i) new (data_ + i) Value(std::move(other.data_[i]));
    size_ = other.size_;
    other.clear();
  }
  ~QZMPSmallList() {
    clear();
    if (data_ != inlineData()) ::operator delete(data_);
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  Value* data() { return data_; }
  const Value* data() const { return data_; }
  Value* begin() { return data_; }
  Value* end() { return data_ + size_; }
  const Value* begin() const { return data_; }
  const Value* end() const { return data_ + size_; }
  Value& operator[](std::size_t i) { return data_[i]; }
  const Value& operator[](std::size_t i) const { return data_[i]; }
  Value& back() { return data_[size_ - 1]; }
  // What the list took from the heap beyond itself.
  std::size_t heapBytes() const { return data_ == inlineStart() ? 0 : capacity_ * sizeof(Value); }

  void reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    auto* grown = static_cast<Value*>(::operator new(capacity * sizeof(Value)));
    for (std::size_t i = 0; i < size_; ++i) {
      new (grown + i) Value(std::move(data_[i]));
      data_[i].~Value();
    }
    if (data_ != inlineData()) ::operator delete(data_);
    data_ = grown;
    capacity_ = capacity;
  }
  template <class... Args>
  Value& emplace_back(Args&&... args) {
    if (size_ == capacity_) reserve(capacity_ * 2);
    return *new (data_ + size_++) Value(std::forward<Args>(args)...);
  }
  void push_back(const Value& value) { emplace_back(value); }
  void push_back(Value&& value) { emplace_back(std::move(value)); }
  void clear() { truncate(0); }
  // Drops the entries from `size` on.
  void truncate(std::size_t size) {
    for (std::size_t i = size; i < size_; ++i) data_[i].~Value();
    if (size < size_) size_ = size;
  }

 private:
  Value* inlineData() { return std::launder(reinterpret_cast<Value*>(inline_)); }
  const void* inlineStart() const { return inline_; }

  alignas(Value) unsigned char inline_[kInline * sizeof(Value)];
  Value* data_ = inlineData();
  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
};

// A GPU buffer with CPU-visible contents. The CPU copy is authoritative for
// what the CPU writes: writers mark the bytes they changed, and the backend
// uploads only those before the next GPU use, so bytes the GPU wrote itself
// are never overwritten by a blind re-upload.
#pragma once

#include <cstddef>
#include <vector>

namespace gpu {

class Buffer {
 public:
  struct Range {
    std::size_t offset = 0;
    std::size_t length = 0;
    bool empty() const { return length == 0; }
  };

  // Zero-filled unless bytes are given.
  explicit Buffer(std::size_t length, const void* bytes = nullptr);
  virtual ~Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  void* contents() { return bytes_.data(); }
  const void* contents() const { return bytes_.data(); }
  template <class T>
  T* as() { return static_cast<T*>(contents()); }
  std::size_t length() const { return bytes_.size(); }

  // Grows the pending upload range to cover [offset, offset + length).
  void didModifyRange(std::size_t offset, std::size_t length);
  // The range modified since the last call; clears it.
  Range takeModifiedRange();

 private:
  std::vector<std::byte> bytes_;
  std::size_t dirtyBegin_ = 0;
  std::size_t dirtyEnd_ = 0;
};

}  // namespace gpu

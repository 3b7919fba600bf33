#include "platform/gpu/buffer.h"

#include <algorithm>
#include <cstring>

namespace gpu {

Buffer::Buffer(std::size_t length, const void* bytes) : bytes_(length) {
  if (bytes != nullptr && length > 0) std::memcpy(bytes_.data(), bytes, length);
  didModifyRange(0, length);
}

void Buffer::didModifyRange(std::size_t offset, std::size_t length) {
  if (offset >= bytes_.size() || length == 0) return;
  std::size_t end = std::min(bytes_.size(), offset + std::min(length, bytes_.size()));
  if (dirtyBegin_ == dirtyEnd_) {
    dirtyBegin_ = offset;
    dirtyEnd_ = end;
  } else {
    dirtyBegin_ = std::min(dirtyBegin_, offset);
    dirtyEnd_ = std::max(dirtyEnd_, end);
  }
}

Buffer::Range Buffer::takeModifiedRange() {
  Range r{dirtyBegin_, dirtyEnd_ - dirtyBegin_};
  dirtyBegin_ = dirtyEnd_ = 0;
  return r;
}

}  // namespace gpu

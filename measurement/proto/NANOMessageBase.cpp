#include "measurement/proto/NANOMessageBase.h"

#include <cstdlib>
#include <cstring>

#include "measurement/proto/NANOFieldHelpers.h"

NANOMessageBase::~NANOMessageBase() {
  if (messageInfo_ != nullptr) schema().deallocMessageInfo(messageInfo_);
  messageInfo_ = nullptr;
}

const char* NANOMessageBase::messageID() const { return schema().name; }
NANOInitMessageInfoFn NANOMessageBase::initMessageInfoFn() const { return schema().initMessageInfo; }
NANODeallocMessageFieldFn NANOMessageBase::deallocMessageFieldFn() const { return schema().deallocMessageField; }
NANOCopyMessageInfoFn NANOMessageBase::copyMessageInfoFn() const { return schema().copyMessageInfo; }

bool NANOMessageBase::initFromMessageInfo(const NANOMessageInfo* record) {
  const NANOMessageSchema& s = schema();
  if (record == nullptr) {
    auto* empty = static_cast<NANOMessageInfo*>(NANOAllocZeroed(sizeof(NANOMessageInfo)));
    if (empty == nullptr) return false;
    if (!s.initMessageInfo(empty)) {
      s.deallocMessageInfo(empty);
      return false;
    }
    messageInfo_ = empty;
    return true;
  }
  if (record->name == nullptr || std::strcmp(record->name, s.name) != 0) return false;
  NANOMessageInfo* copy = nullptr;
  if (!s.copyMessageInfo(&copy, record)) {
    // A failed copy may leave a partly filled record behind.
    if (copy != nullptr) s.deallocMessageInfo(copy);
    return false;
  }
  messageInfo_ = copy;
  return true;
}

bool NANOMessageBase::initFromBuffer(std::span<const std::uint8_t> data) {
  const NANOMessageSchema& s = schema();
  auto* decoded = static_cast<NANOMessageInfo*>(NANOAllocZeroed(sizeof(NANOMessageInfo)));
  if (decoded == nullptr) return false;
  if (!s.initMessageInfo(decoded) || !s.decode(data.data(), data.size(), decoded)) {
    s.deallocMessageInfo(decoded);
    return false;
  }
  // The decoded record is the object's own: nobody else holds it, so it is
  // taken over instead of copied.
  messageInfo_ = decoded;
  return true;
}

std::optional<foundation::Data> NANOMessageBase::protoBuffer() const {
  if (messageInfo_ == nullptr) return std::nullopt;
  uint8_t* buffer = nullptr;
  int32_t count = schema().encode(messageInfo_, &buffer);
  if (count < 0 || buffer == nullptr) {
    std::free(buffer);
    return std::nullopt;
  }
  foundation::Data bytes(buffer, buffer + count);
  std::free(buffer);
  return bytes;
}

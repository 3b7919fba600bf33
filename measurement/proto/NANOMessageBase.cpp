#include "measurement/proto/NANOMessageBase.h"

#include <cstdlib>
#include <cstring>

#include "measurement/proto/NANOMessageFunctions.h"

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
    messageInfo_ = NANONewMessageInfo(&s);
    return messageInfo_ != nullptr;
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
  NANOMessageInfo* decoded = NANONewMessageInfo(&s);
  if (decoded == nullptr) return false;
  if (!s.decode(data.data(), data.size(), decoded)) {
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
  return NANOEncodeMessageData(&schema(), messageInfo_);
}

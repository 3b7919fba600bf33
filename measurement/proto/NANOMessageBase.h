// The object side of the message runtime: a message object owns one record
// and binds its message's functions to the operations callers use (create
// empty, decode, encode, copy, destroy). Fields are read and written with the
// accessors of NANOFieldAccess.h.
//
// A message object and the records below it are used by one thread at a
// time; what the accessors hand out is independent of the record.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "measurement/proto/NANOMessageInfo.h"
#include "platform/foundation/Object.h"

class NANOMessageBase;

// A message class as a value, for code that is handed a class and makes
// objects of it (the items of a list, a sub-message).
struct NANOMessageClass {
  const char* name;                 // the class name, e.g. "QZMPBEvent"
  const NANOMessageSchema* schema;  // the message it binds
  // The class's initWithMessageInfo (see NANOMessage below).
  std::unique_ptr<NANOMessageBase> (*initWithMessageInfo)(const NANOMessageInfo* record);
};

// Every message object. It holds its record from a successful initialiser
// until it is destroyed, and frees it then.
class NANOMessageBase {
 public:
  virtual ~NANOMessageBase();
  NANOMessageBase(const NANOMessageBase&) = delete;
  NANOMessageBase& operator=(const NANOMessageBase&) = delete;

  // The message name, e.g. "Flag" (the record's name, the same pointer).
  const char* messageID() const;
  // The object's own record, borrowed.
  NANOMessageInfo* messageInfo() const { return messageInfo_; }
  NANOInitMessageInfoFn initMessageInfoFn() const;
  NANODeallocMessageFieldFn deallocMessageFieldFn() const;
  NANOCopyMessageInfoFn copyMessageInfoFn() const;
  // The encoded bytes (none for an empty message), or nullopt when encoding fails.
  std::optional<foundation::Data> protoBuffer() const;

  // The class the object was made as.
  const NANOMessageClass& objectClass() const { return class_; }
  const NANOMessageSchema& schema() const { return *class_.schema; }

 protected:
  explicit NANOMessageBase(const NANOMessageClass& cls) : class_(cls) {}
  // The initialisers' work; false leaves the object without a record.
  bool initFromMessageInfo(const NANOMessageInfo* record);
  bool initFromBuffer(std::span<const std::uint8_t> data);

 private:
  const NANOMessageClass& class_;
  NANOMessageInfo* messageInfo_ = nullptr;
};

// The initialisers of a generated class M, which defines
// `static const NANOMessageClass messageClass`.
template <class M>
class NANOMessage : public NANOMessageBase {
 public:
  // Without a record: a new empty message. With one: a deep copy of it (the
  // caller keeps its record), or nullptr when it is a record of another
  // message or the copy fails.
  static std::unique_ptr<M> initWithMessageInfo(const NANOMessageInfo* record) {
    std::unique_ptr<M> message(new M());
    if (!message->initFromMessageInfo(record)) return nullptr;
    return message;
  }
  // Decodes protocol-buffer bytes; no bytes give an empty message. nullptr
  // when the bytes are not an encoding of the message.
  static std::unique_ptr<M> initWithBuffer(std::span<const std::uint8_t> data) {
    std::unique_ptr<M> message(new M());
    if (!message->initFromBuffer(data)) return nullptr;
    return message;
  }
  static std::unique_ptr<NANOMessageBase> makeWithMessageInfo(const NANOMessageInfo* record) {
    return initWithMessageInfo(record);
  }

 protected:
  NANOMessage() : NANOMessageBase(M::messageClass) {}
};

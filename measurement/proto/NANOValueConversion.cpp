#include "measurement/proto/NANOValueConversion.h"

#include <cstring>
#include <string_view>

#include "measurement/proto/NANODiagnostics.h"
#include "measurement/proto/NANOFieldHelpers.h"
#include "platform/foundation/Strings.h"

namespace {

using foundation::Object;

const char* kindName(Object::Kind kind) {
  switch (kind) {
    case Object::Kind::null: return "null";
    case Object::Kind::boolean: return "boolean";
    case Object::Kind::integer: return "integer";
    case Object::Kind::floating: return "floating";
    case Object::Kind::string: return "string";
    case Object::Kind::data: return "data";
    case Object::Kind::date: return "date";
    case Object::Kind::array: return "array";
    case Object::Kind::dictionary: return "dictionary";
  }
  return "unknown";
}

const Object* platformObject(const NANOObject& object) { return std::get_if<Object>(&object); }

const NANOMessageBase* messageObject(const NANOObject& object) {
  auto* message = std::get_if<std::shared_ptr<NANOMessageBase>>(&object);
  return message != nullptr ? message->get() : nullptr;
}

// A number for a field of this kind, or a log line naming what the field expects.
const Object* numberFor(const NANOObject& object, const char* expected) {
  const Object* value = platformObject(object);
  if (value != nullptr && value->isNumber()) return value;
  NANOLog("<ERROR> Invalid object type. %s fields expect NSNumber. Type: %s", expected,
          NANOObjectTypeName(object).c_str());
  return nullptr;
}

bool storeString(const NANOObject& object, void** slot) {
  const Object* value = platformObject(object);
  if (value == nullptr || !value->isString()) {
    NANOLog("<ERROR> Invalid object type. String fields expect NSString. Type: %s",
            NANOObjectTypeName(object).c_str());
    return false;
  }
  const std::string& text = *value->string();
  return NANOStorableString(text, "set string") && NANOSetStringValue(slot, text.data(), text.size());
}

bool storeBytes(const NANOObject& object, void** slot) {
  const Object* value = platformObject(object);
  if (value == nullptr || !value->isData()) {
    NANOLog("<ERROR> Invalid object type. Bytes fields expect NSData. Type: %s", NANOObjectTypeName(object).c_str());
    return false;
  }
  const foundation::Data& bytes = *value->data();
  return NANOStorableBytes(bytes.size(), "set bytes") && NANOSetBytesValue(slot, bytes.data(), bytes.size());
}

}  // namespace

std::string NANOObjectTypeName(const NANOObject& object) {
  if (const Object* value = platformObject(object)) return kindName(value->kind());
  const NANOMessageBase* message = messageObject(object);
  return message != nullptr ? message->objectClass().name : "(null)";
}

bool NANOStorableString(std::string_view text, const char* operation) {
  if (!foundation::isValidUTF8(text)) {
    NANOLog("<ERROR> Unable to %s. Value isn't valid UTF-8", operation);
    return false;
  }
  return NANOStorableBytes(text.size(), operation);
}

bool NANOStorableBytes(size_t length, const char* operation) {
  if (length <= NANOMaxStringLength) return true;
  NANOLog("<ERROR> Unable to %s. Value is too long to be decoded again. %zu > %d", operation, length,
          static_cast<int>(NANOMaxStringLength));
  return false;
}

std::unique_ptr<NANOMessageBase> NANOMessageFromRecord(const NANOMessageInfo* record, const NANOMessageClass* cls) {
  if (cls == nullptr || cls->initWithMessageInfo == nullptr) {
    NANOLog("<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: %s",
            cls != nullptr ? cls->name : "(null)");
    return nullptr;
  }
  if (record == nullptr) return nullptr;
  if (record->name == nullptr || std::strcmp(record->name, cls->schema->name) != 0) {
    NANOLog("<ERROR> Provided class doesn't hold the message. Class: %s, message: %s", cls->name,
            record->name != nullptr ? record->name : "(null)");
    return nullptr;
  }
  return cls->initWithMessageInfo(record);
}

std::optional<NANOObject> NANOObjectFromValue(const void* cell, NANOFieldFlags flags, const NANOMessageClass* cls) {
  if (cell == nullptr) {
    NANOLog("<ERROR> Unable to convert NULL data to an ObjC object");
    return std::nullopt;
  }
  if (flags & NANOFieldBool) return Object(NANOCellBool(cell));
  if (flags & NANOFieldInt32) return Object(static_cast<int32_t>(NANOCellUInt32(cell)));
  if (flags & NANOFieldUInt32) return Object(static_cast<int64_t>(NANOCellUInt32(cell)));
  if (flags & (NANOFieldInt64 | NANOFieldUInt64)) return Object(static_cast<int64_t>(NANOCellUInt64(cell)));
  if (flags & NANOFieldFloat) return Object(NANOCellFloat(cell));
  if (flags & NANOFieldDouble) return Object(NANOCellDouble(cell));
  if (flags & NANOFieldEnum) return Object(static_cast<int32_t>(NANOCellUInt32(cell)));
  if (flags & (NANOFieldString | NANOFieldBytes)) {
    auto* string = static_cast<const NANOString*>(cell);
    if (string->data == nullptr) return std::nullopt;
    if (flags & NANOFieldBytes) return Object(foundation::Data(string->data, string->data + string->length));
    std::string_view text(reinterpret_cast<const char*>(string->data), string->length);
    if (!foundation::isValidUTF8(text)) return std::nullopt;
    return Object(text);
  }
  if (flags & NANOFieldMessage) {
    std::shared_ptr<NANOMessageBase> message = NANOMessageFromRecord(static_cast<const NANOMessageInfo*>(cell), cls);
    if (message == nullptr) return std::nullopt;
    return NANOObject(std::move(message));
  }
  NANOLog("<ERROR> Unable to convert byte data to an ObjC object. Unknown type. %d", flags);
  return std::nullopt;
}

bool NANOValueFromObject(const NANOObject& object, NANOFieldFlags flags, void** slot,
                         const NANOMessageSchema* message) {
  if (slot == nullptr) {
    NANOLog("<ERROR> Unable to set NULL data to an ObjC object");
    return false;
  }
  if (flags & NANOFieldBool) {
    const Object* value = numberFor(object, "Boolean");
    return value != nullptr && NANOSetBoolValue(slot, value->boolValue());
  }
  if (flags & (NANOFieldInt32 | NANOFieldUInt32)) {
    const Object* value = numberFor(object, "Int32");
    return value != nullptr && NANOSetUInt32Value(slot, static_cast<uint32_t>(value->int64Value()));
  }
  if (flags & (NANOFieldInt64 | NANOFieldUInt64)) {
    const Object* value = numberFor(object, "Int64");
    return value != nullptr && NANOSetUInt64Value(slot, static_cast<uint64_t>(value->int64Value()));
  }
  if (flags & NANOFieldFloat) {
    const Object* value = numberFor(object, "Float");
    return value != nullptr && NANOSetFloatValue(slot, value->floatValue());
  }
  if (flags & NANOFieldDouble) {
    const Object* value = numberFor(object, "Double");
    return value != nullptr && NANOSetDoubleValue(slot, value->doubleValue());
  }
  if (flags & NANOFieldEnum) {
    const Object* value = numberFor(object, "Enum");
    return value != nullptr && NANOSetUInt32Value(slot, static_cast<uint32_t>(value->int64Value()));
  }
  if (flags & NANOFieldString) return storeString(object, slot);
  if (flags & NANOFieldBytes) return storeBytes(object, slot);
  if (flags & NANOFieldMessage) {
    const NANOMessageBase* value = messageObject(object);
    if (value == nullptr) {
      NANOLog("<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: %s",
              NANOObjectTypeName(object).c_str());
      return false;
    }
    return NANOStoreMessage(value, slot, message);
  }
  NANOLog("<ERROR> Unable to convert ObjC object to byte data. Unknown type. %d", flags);
  return false;
}

bool NANOStoreMessage(const NANOMessageBase* value, void** slot, const NANOMessageSchema* message) {
  if (value == nullptr || value->messageInfo() == nullptr) {
    NANOLog("<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: %s",
            value != nullptr ? value->objectClass().name : "(null)");
    return false;
  }
  if (message == nullptr || &value->schema() != message) {
    NANOLog("<ERROR> Invalid object type. Message fields expect %s. Type: %s",
            message != nullptr ? message->name : "(null)", value->objectClass().name);
    return false;
  }
  if (slot == nullptr) {
    NANOLog("<ERROR> Unable to set NULL data to an ObjC object");
    return false;
  }
  NANOMessageInfo* copy = nullptr;
  if (!message->copyMessageInfo(&copy, value->messageInfo())) {
    if (copy != nullptr) message->deallocMessageInfo(copy);
    NANOLog("<ERROR> Unable to copy message %s", message->name);
    return false;
  }
  if (*slot != nullptr) message->deallocMessageInfo(static_cast<NANOMessageInfo*>(*slot));
  *slot = copy;
  return true;
}

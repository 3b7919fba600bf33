// Conversion between value cells and objects: the platform's objects for
// numbers, strings and data, message objects for messages. The list accessors
// convert every item through these two. Failures are logged to the system log.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "measurement/proto/NANOMessageBase.h"
#include "platform/foundation/Object.h"

// A value as the object side hands it out and takes it.
using NANOObject = std::variant<foundation::Object, std::shared_ptr<NANOMessageBase>>;
using NANOObjectArray = std::vector<NANOObject>;

// The type of an object for log lines: the platform kind ("string",
// "integer", ...), a message's class name, or "(null)" for no message.
std::string NANOObjectTypeName(const NANOObject& object);

// A new object of the class holding a deep copy of the record; nullptr (with a
// log line) for no class or a class of another message.
std::unique_ptr<NANOMessageBase> NANOMessageFromRecord(const NANOMessageInfo* record, const NANOMessageClass* cls);

// The value of one cell of a field with these flags as a new object; message
// cells become objects of the class. nullopt for a NULL cell, a string that is
// not UTF-8, a class that cannot hold the message, or flags of no kind.
//
// Numbers keep their kind: bool as a Boolean, the integer kinds as integers,
// float and double as floating values. A uint64 above the int64 range travels
// bit for bit as a negative integer, as through the signed accessors.
std::optional<NANOObject> NANOObjectFromValue(const void* cell, NANOFieldFlags flags, const NANOMessageClass* cls);

// Stores the object in the slot's cell as a value of the field's kind,
// replacing what the slot held. A message field takes only messages of
// `message` (the field's sub-message), stored as a deep copy. False with a log
// line, and the slot as it was, when the object does not fit the field.
bool NANOValueFromObject(const NANOObject& object, NANOFieldFlags flags, void** slot,
                         const NANOMessageSchema* message);

// Stores a deep copy of the message in the slot, replacing the record there.
// The message must be of `message` (the field's sub-message); false with a
// log line, and the slot as it was, otherwise.
bool NANOStoreMessage(const NANOMessageBase* value, void** slot, const NANOMessageSchema* message);

// Whether the text may be stored in a string field: UTF-8, and short enough to
// be decoded again. Logs why not, naming the operation.
bool NANOStorableString(std::string_view text, const char* operation);
bool NANOStorableBytes(size_t length, const char* operation);

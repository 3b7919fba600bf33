// Field access by field ID: the position of the field in its message's flag
// array (not the tag). Every accessor takes a message object, or nullptr for
// none, which it treats as a message that was never initialised.
//
// Reads hand out new values that share nothing with the record; writes copy
// what they are given (a sub-message is stored as a deep copy). A refused call
// (no record, a field ID outside the message, a field of another kind, a value
// that does not fit) writes one line to the system log, returns the neutral
// value (false, 0, 0.0, nullopt or nullptr) and leaves the message unchanged.
// Setters return whether they stored the value.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/proto/NANOMessageBase.h"
#include "measurement/proto/NANOValueConversion.h"

// A repeated field always has a value (its list, perhaps empty); a singular
// field has one once set.
bool NANOHasField(const NANOMessageBase* message, int32_t field);
// Makes the field absent; a repeated field is left with no items.
bool NANOClearField(NANOMessageBase* message, int32_t field);

bool NANOGetBool(const NANOMessageBase* message, int32_t field);
bool NANOSetBool(NANOMessageBase* message, int32_t field, bool value);

// Enum, int32 and uint32 fields; unsigned values pass bit for bit.
int32_t NANOGetInt32(const NANOMessageBase* message, int32_t field);
bool NANOSetInt32(NANOMessageBase* message, int32_t field, int32_t value);

// Int64 and uint64 fields; unsigned values pass bit for bit.
int64_t NANOGetInt64(const NANOMessageBase* message, int32_t field);
bool NANOSetInt64(NANOMessageBase* message, int32_t field, int64_t value);

double NANOGetDouble(const NANOMessageBase* message, int32_t field);
bool NANOSetDouble(NANOMessageBase* message, int32_t field, double value);

// nullopt when unset or when the stored bytes are not UTF-8. Setting nullopt
// clears the field; a value that is not UTF-8 is refused.
std::optional<std::string> NANOGetString(const NANOMessageBase* message, int32_t field);
bool NANOSetString(NANOMessageBase* message, int32_t field, std::optional<std::string_view> value);

std::optional<foundation::Data> NANOGetBytes(const NANOMessageBase* message, int32_t field);
bool NANOSetBytes(NANOMessageBase* message, int32_t field, std::optional<std::span<const uint8_t>> value);

// The sub-message as a new object of the class (a deep copy); nullptr when
// unset or when the class is not the field's message.
std::unique_ptr<NANOMessageBase> NANOGetMessage(const NANOMessageBase* message, int32_t field,
                                                const NANOMessageClass* cls);
template <class M>
std::unique_ptr<M> NANOGetMessage(const NANOMessageBase* message, int32_t field) {
  return std::unique_ptr<M>(static_cast<M*>(NANOGetMessage(message, field, &M::messageClass).release()));
}
// Stores a deep copy of the value, which must be of the field's message;
// nullptr clears the field.
bool NANOSetMessage(NANOMessageBase* message, int32_t field, const NANOMessageBase* value);

// The items of a repeated field as new objects (messages as objects of the
// class, which only message lists need); an empty array when there are none.
std::optional<NANOObjectArray> NANOGetArray(const NANOMessageBase* message, int32_t field,
                                            const NANOMessageClass* cls = nullptr);
// How many items a repeated field holds, without making them; nullopt when
// the field is no list.
std::optional<size_t> NANOGetArrayCount(const NANOMessageBase* message, int32_t field);
// Logs that the field is not a list of messages; nullopt.
std::nullopt_t NANOMessageListMismatch(const NANOMessageBase* message, int32_t field);
template <class M>
std::optional<std::vector<std::shared_ptr<M>>> NANOGetArray(const NANOMessageBase* message, int32_t field) {
  std::optional<NANOObjectArray> items = NANOGetArray(message, field, &M::messageClass);
  if (!items) return std::nullopt;
  if (NANOFieldKind(message->schema().fields[field].flags) != NANOFieldMessage) {
    return NANOMessageListMismatch(message, field);
  }
  // Every item was made with M's class.
  std::vector<std::shared_ptr<M>> typed;
  typed.reserve(items->size());
  for (NANOObject& item : *items) {
    typed.push_back(std::static_pointer_cast<M>(std::get<std::shared_ptr<NANOMessageBase>>(std::move(item))));
  }
  return typed;
}
// Replaces the items with copies of the array's elements; nullptr leaves the
// field with no items. When an element does not fit the field, nothing is
// stored and the field keeps its items.
bool NANOSetArray(NANOMessageBase* message, int32_t field, const NANOObjectArray* array);

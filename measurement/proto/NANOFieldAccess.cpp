#include "measurement/proto/NANOFieldAccess.h"

#include <cstdlib>
#include <limits>

#include "measurement/proto/NANODecodeArena.h"
#include "measurement/proto/NANODiagnostics.h"
#include "measurement/proto/NANOFieldHelpers.h"
#include "measurement/proto/NANOMessageFunctions.h"
#include "platform/foundation/Strings.h"

namespace {

// The field a call may read or write, once the prologue let it through.
struct Field {
  NANOMessageInfo* record;
  const NANOFieldSchema* schema;
  int32_t id;
  void*& slot() const { return record->fields[id]; }
  NANOFieldFlags flags() const { return schema->flags; }
};

// Which fields an accessor takes, and how it names itself in refusals.
struct Access {
  const char* operation;  // "GetBool"
  const char* kind;       // the kind message's wording, e.g. "a scalar BOOL"; nullptr: any kind
  bool (*accepts)(NANOFieldFlags flags);
};

bool anyKind(NANOFieldFlags) { return true; }
bool isBool(NANOFieldFlags f) { return (f & (NANOFieldBool | NANOFieldRepeated)) == NANOFieldBool; }
bool isInt32(NANOFieldFlags f) {
  return (f & (NANOFieldEnum | NANOFieldInt32 | NANOFieldUInt32)) != 0 && (f & NANOFieldRepeated) == 0;
}
bool isInt64(NANOFieldFlags f) { return (f & (NANOFieldInt64 | NANOFieldUInt64)) != 0 && (f & NANOFieldRepeated) == 0; }
bool isDouble(NANOFieldFlags f) { return (f & (NANOFieldDouble | NANOFieldRepeated)) == NANOFieldDouble; }
bool isString(NANOFieldFlags f) { return (f & (NANOFieldString | NANOFieldRepeated)) == NANOFieldString; }
bool isBytes(NANOFieldFlags f) { return (f & (NANOFieldBytes | NANOFieldRepeated)) == NANOFieldBytes; }
bool isMessage(NANOFieldFlags f) { return (f & (NANOFieldMessage | NANOFieldRepeated)) == NANOFieldMessage; }
bool isRepeated(NANOFieldFlags f) { return (f & NANOFieldRepeated) != 0; }

constexpr Access kHasField{"HasField", nullptr, anyKind};
constexpr Access kClearField{"ClearField", nullptr, anyKind};
constexpr Access kGetBool{"GetBool", "a scalar BOOL", isBool};
constexpr Access kSetBool{"SetBool", "a scalar BOOL", isBool};
constexpr Access kGetInt32{"GetInt32", "a scalar INT32", isInt32};
constexpr Access kSetInt32{"SetInt32", "a scalar INT32", isInt32};
constexpr Access kGetInt64{"GetInt64", "a scalar INT64", isInt64};
constexpr Access kSetInt64{"SetInt64", "a scalar INT64", isInt64};
constexpr Access kGetDouble{"GetDouble", "a scalar DOUBLE", isDouble};
constexpr Access kSetDouble{"SetDouble", "a scalar DOUBLE", isDouble};
constexpr Access kGetString{"GetString", "a scalar STRING", isString};
constexpr Access kSetString{"SetString", "a scalar STRING", isString};
constexpr Access kGetBytes{"GetBytes", "a scalar BYTES", isBytes};
constexpr Access kSetBytes{"SetBytes", "a scalar BYTES", isBytes};
constexpr Access kGetMessage{"GetMessage", "a scalar MESSAGE", isMessage};
constexpr Access kSetMessage{"SetMessage", "a scalar MESSAGE", isMessage};
constexpr Access kGetArray{"GetArray", "REPEATED", isRepeated};
constexpr Access kSetArray{"SetArray", "REPEATED", isRepeated};

// The common prologue: a record with its slots, a field ID inside the
// message, a field of the accessor's kind. Logs the first that fails.
std::optional<Field> prologue(const NANOMessageBase* message, int32_t id, const Access& access) {
  NANOMessageInfo* record = message != nullptr ? message->messageInfo() : nullptr;
  if (record == nullptr || record->fields == nullptr) {
    if (&access == &kHasField) {
      NANOLog("ProtocolBuffer message hasn't been initialized. HasField operation can't be performed. Message name %s",
              message != nullptr ? message->messageID() : "(null)");
    } else {
      NANOLog("ProtocolBuffer message hasn't been initialized. %s can't be performed", access.operation);
    }
    return std::nullopt;
  }
  const NANOMessageSchema& schema = message->schema();
  if (id < 0 || id >= schema.fieldCount) {
    NANOLog("<Nano/Failure> Field ID is out of range. Message: %s, field ID: %d, field count: %d", schema.name, id,
            schema.fieldCount);
    return std::nullopt;
  }
  Field field{record, &schema.fields[id], id};
  if (!access.accepts(field.flags())) {
    NANOLog("<Nano/Failure> Field type isn't %s. Message: %s, field ID: %d", access.kind, record->name, id);
    return std::nullopt;
  }
  return field;
}

const void* cellOf(const NANOMessageBase* message, int32_t id, const Access& access) {
  std::optional<Field> field = prologue(message, id, access);
  return field ? field->slot() : nullptr;
}

const NANOArray* listOf(const Field& field) {
  auto* list = static_cast<NANOArray*>(field.slot());
  if (list == nullptr) NANOLog("<ERROR> Repeated field should have been allocated");
  return list;
}

// The string or bytes value of a field, as stored; nullptr when absent.
const NANOString* stringOf(const NANOMessageBase* message, int32_t id, const Access& access) {
  auto* string = static_cast<const NANOString*>(cellOf(message, id, access));
  return string != nullptr && string->data != nullptr ? string : nullptr;
}

bool clear(NANOMessageBase* message, const Field& field) {
  return message->deallocMessageFieldFn()(field.record, field.id);
}

template <class Store>
bool setScalar(NANOMessageBase* message, int32_t id, const Access& access, Store store) {
  std::optional<Field> field = prologue(message, id, access);
  return field && store(&field->slot());
}

// Frees items that never reached a record.
void freeItems(const NANOFieldSchema& field, void** items, size_t count) {
  for (size_t i = 0; i < count; ++i) NANODeallocFieldValue(field, items[i]);
  NANOFree(items);
}

}  // namespace

bool NANOHasField(const NANOMessageBase* message, int32_t id) {
  std::optional<Field> field = prologue(message, id, kHasField);
  if (!field) return false;
  return isRepeated(field->flags()) || field->slot() != nullptr;
}

bool NANOClearField(NANOMessageBase* message, int32_t id) {
  std::optional<Field> field = prologue(message, id, kClearField);
  return field && clear(message, *field);
}

bool NANOGetBool(const NANOMessageBase* message, int32_t id) {
  const void* cell = cellOf(message, id, kGetBool);
  return cell != nullptr && NANOCellBool(cell);
}

bool NANOSetBool(NANOMessageBase* message, int32_t id, bool value) {
  return setScalar(message, id, kSetBool, [&](void** slot) { return NANOSetBoolValue(slot, value); });
}

int32_t NANOGetInt32(const NANOMessageBase* message, int32_t id) {
  const void* cell = cellOf(message, id, kGetInt32);
  return cell != nullptr ? static_cast<int32_t>(NANOCellUInt32(cell)) : 0;
}

bool NANOSetInt32(NANOMessageBase* message, int32_t id, int32_t value) {
  return setScalar(message, id, kSetInt32,
                   [&](void** slot) { return NANOSetUInt32Value(slot, static_cast<uint32_t>(value)); });
}

int64_t NANOGetInt64(const NANOMessageBase* message, int32_t id) {
  const void* cell = cellOf(message, id, kGetInt64);
  return cell != nullptr ? static_cast<int64_t>(NANOCellUInt64(cell)) : 0;
}

bool NANOSetInt64(NANOMessageBase* message, int32_t id, int64_t value) {
  return setScalar(message, id, kSetInt64,
                   [&](void** slot) { return NANOSetUInt64Value(slot, static_cast<uint64_t>(value)); });
}

double NANOGetDouble(const NANOMessageBase* message, int32_t id) {
  const void* cell = cellOf(message, id, kGetDouble);
  return cell != nullptr ? NANOCellDouble(cell) : 0.0;
}

bool NANOSetDouble(NANOMessageBase* message, int32_t id, double value) {
  return setScalar(message, id, kSetDouble, [&](void** slot) { return NANOSetDoubleValue(slot, value); });
}

std::optional<std::string> NANOGetString(const NANOMessageBase* message, int32_t id) {
  const NANOString* string = stringOf(message, id, kGetString);
  if (string == nullptr) return std::nullopt;
  std::string text(reinterpret_cast<const char*>(string->data), string->length);
  if (!foundation::isValidUTF8(text)) return std::nullopt;
  return text;
}

bool NANOSetString(NANOMessageBase* message, int32_t id, std::optional<std::string_view> value) {
  std::optional<Field> field = prologue(message, id, kSetString);
  if (!field) return false;
  if (!value) return clear(message, *field);
  return NANOStorableString(*value, "set string") && NANOSetStringValue(&field->slot(), value->data(), value->size());
}

std::optional<foundation::Data> NANOGetBytes(const NANOMessageBase* message, int32_t id) {
  const NANOString* bytes = stringOf(message, id, kGetBytes);
  if (bytes == nullptr) return std::nullopt;
  return foundation::Data(bytes->data, bytes->data + bytes->length);
}

bool NANOSetBytes(NANOMessageBase* message, int32_t id, std::optional<std::span<const uint8_t>> value) {
  std::optional<Field> field = prologue(message, id, kSetBytes);
  if (!field) return false;
  if (!value) return clear(message, *field);
  return NANOStorableBytes(value->size(), "set bytes") &&
         NANOSetBytesValue(&field->slot(), value->data(), value->size());
}

std::unique_ptr<NANOMessageBase> NANOGetMessage(const NANOMessageBase* message, int32_t id,
                                                const NANOMessageClass* cls) {
  auto* record = static_cast<const NANOMessageInfo*>(cellOf(message, id, kGetMessage));
  if (record == nullptr) return nullptr;
  return NANOMessageFromRecord(record, cls);
}

bool NANOSetMessage(NANOMessageBase* message, int32_t id, const NANOMessageBase* value) {
  std::optional<Field> field = prologue(message, id, kSetMessage);
  if (!field) return false;
  if (value == nullptr) return clear(message, *field);
  // The old value goes only once the new one is copied whole.
  void* copy = nullptr;
  if (!NANOStoreMessage(value, &copy, field->schema->message)) return false;
  clear(message, *field);
  field->slot() = copy;
  return true;
}

std::optional<NANOObjectArray> NANOGetArray(const NANOMessageBase* message, int32_t id, const NANOMessageClass* cls) {
  std::optional<Field> field = prologue(message, id, kGetArray);
  if (!field) return std::nullopt;
  const NANOArray* list = listOf(*field);
  if (list == nullptr) return std::nullopt;
  NANOObjectArray items;
  if (list->items == nullptr) return items;
  items.reserve(list->count);
  for (uint32_t i = 0; i < list->count; ++i) {
    // A cell that does not convert is logged by the converter and skipped.
    std::optional<NANOObject> item = NANOObjectFromValue(list->items[i], field->flags(), cls);
    if (item) items.push_back(std::move(*item));
  }
  return items;
}

std::optional<size_t> NANOGetArrayCount(const NANOMessageBase* message, int32_t id) {
  std::optional<Field> field = prologue(message, id, kGetArray);
  if (!field) return std::nullopt;
  const NANOArray* list = listOf(*field);
  if (list == nullptr) return std::nullopt;
  return list->items == nullptr ? 0 : list->count;
}

std::nullopt_t NANOMessageListMismatch(const NANOMessageBase* message, int32_t id) {
  NANOLog("<Nano/Failure> Field type isn't REPEATED MESSAGE. Message: %s, field ID: %d", message->messageID(), id);
  return std::nullopt;
}

bool NANOSetArray(NANOMessageBase* message, int32_t id, const NANOObjectArray* array) {
  std::optional<Field> field = prologue(message, id, kSetArray);
  if (!field) return false;
  if (listOf(*field) == nullptr) return false;
  if (array == nullptr || array->empty()) return clear(message, *field);
  if (array->size() >= std::numeric_limits<uint32_t>::max()) {
    NANOLog("<ERROR> Unable to set %zu items. Message: %s, field ID: %d", array->size(), field->record->name, id);
    return false;
  }
  // Every element is converted before the old items go, so a list with one
  // element that does not fit leaves the field as it was.
  auto** items = static_cast<void**>(NANOAllocZeroed(sizeof(void*) * array->size()));
  if (items == nullptr) return false;
  for (size_t i = 0; i < array->size(); ++i) {
    if (!NANOValueFromObject((*array)[i], field->flags(), &items[i], field->schema->message)) {
      freeItems(*field->schema, items, i + 1);
      return false;
    }
  }
  clear(message, *field);
  auto* list = static_cast<NANOArray*>(field->slot());
  list->items = items;
  list->count = static_cast<uint32_t>(array->size());
  list->cursor = 0;
  return true;
}

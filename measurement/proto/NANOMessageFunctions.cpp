// The life of a record: making it, freeing it or one of its fields, copying
// it, and giving its lists their item storage between the decode passes. The
// wire side (decode, encode) is in NANOMessageCoding.cpp.
#include "measurement/proto/NANOMessageFunctions.h"

#include <cstdlib>
#include <cstring>

#include "measurement/proto/NANODecodeArena.h"
#include "measurement/proto/NANODiagnostics.h"
#include "measurement/proto/NANOFieldHelpers.h"

namespace {

// The slot array, the list headers and a cell for every singular scalar, in
// one block (NANORecordCell).
size_t headersOffset(const NANOMessageSchema* schema) { return sizeof(void*) * schema->fieldCount; }
size_t cellsOffset(const NANOMessageSchema* schema) { return NANORecordCellsOffset(schema); }
size_t fieldsBlockSize(const NANOMessageSchema* schema) { return cellsOffset(schema) + 8 * schema->cellCount; }

// Where a record's block keeps its list headers and its cells.
struct BlockParts {
  const char* headers;
  const char* cells;
  const char* end;

  BlockParts(const NANOMessageSchema* schema, const NANOMessageInfo* record)
      : headers(reinterpret_cast<const char*>(record->fields) + headersOffset(schema)),
        cells(reinterpret_cast<const char*>(record->fields) + cellsOffset(schema)),
        end(cells + 8 * schema->cellCount) {}
  bool isCell(const void* at) const { return at >= cells && at < end; }
  bool isHeader(const void* at) const { return at >= headers && at < cells; }
};

// A list item or a slot's value that is a block of its own.
void freeValue(NANOFieldFlags flags, const NANOMessageSchema* message, void* value) {
  if (NANOFieldIsMessage(flags)) {
    NANODeallocMessageInfo(message, static_cast<NANOMessageInfo*>(value));
  } else if (NANOFieldIsString(flags)) {
    NANOFreeString(static_cast<NANOString*>(value));
  } else {
    NANOFree(value);
  }
}

// NANODeallocMessageField's work on a record and index known to be valid.
[[gnu::always_inline]] inline void freeField(const NANOMessageSchema* schema, NANOMessageInfo* record, int32_t index,
                                             const BlockParts& parts) {
  void*& slot = record->fields[index];
  if (slot == nullptr) return;
  const NANOFieldSchema& field = schema->fields[index];
  if (NANOFieldIsRepeated(field.flags)) {
    auto* array = static_cast<NANOArray*>(slot);
    // Between the decode passes a list is counted but has no item storage yet.
    if (array->items != nullptr) {
      for (uint32_t i = 0; i < array->count; ++i) {
        if (array->items[i] != nullptr) freeValue(field.flags, field.message, array->items[i]);
      }
      NANOFree(array->items);
    }
    *array = NANOArray{};
    return;
  }
  if (!parts.isCell(slot)) freeValue(field.flags, field.message, slot);
  slot = nullptr;
}

// A record made by NANONewMessageInfo keeps its slot array right behind it.
// That address (8 past a 16-byte boundary) is never the start of an
// allocation of its own, so a separately allocated slot array is never
// mistaken for one.
static_assert(sizeof(NANOMessageInfo) % 16 == 8);
void** inlineFields(NANOMessageInfo* record) { return reinterpret_cast<void**>(record + 1); }

// Lays out a zeroed block of fieldsBlockSize bytes as the record's slots, a
// list header in the slot of every list.
void layOutFields(const NANOMessageSchema* schema, NANOMessageInfo* record, void* block) {
  auto** fields = static_cast<void**>(block);
  auto* headers = reinterpret_cast<NANOArray*>(static_cast<char*>(block) + headersOffset(schema));
  for (int32_t i = 0; i < schema->fieldCount; ++i) {
    if (NANOFieldIsRepeated(schema->flags[i])) fields[i] = headers++;
  }
  record->fields = fields;
  record->flags = schema->flags;
  record->name = schema->name;
}

bool belongsTo(const NANOMessageSchema* schema, const NANOMessageInfo* record) {
  return record->name == schema->name ||
         (record->name != nullptr && std::strcmp(record->name, schema->name) == 0);
}

bool copyScalar(NANOFieldFlags flags, void** slot, const void* cell) {
  switch (NANOFieldKind(flags)) {
    case NANOFieldBool: return NANOSetBoolValue(slot, NANOCellBool(cell));
    case NANOFieldEnum:
    case NANOFieldInt32:
    case NANOFieldUInt32: return NANOSetUInt32Value(slot, NANOCellUInt32(cell));
    case NANOFieldInt64:
    case NANOFieldUInt64: return NANOSetUInt64Value(slot, NANOCellUInt64(cell));
    case NANOFieldFloat: return NANOSetFloatValue(slot, NANOCellFloat(cell));
    case NANOFieldDouble: return NANOSetDoubleValue(slot, NANOCellDouble(cell));
    default: return false;
  }
}

// A string without bytes stays one (the encoder refuses it either way).
bool copyString(void** slot, const NANOString* string) {
  if (string->data != nullptr) return NANOSetStringValue(slot, string->data, string->length);
  *slot = NANOAllocZeroed(sizeof(NANOString));
  return *slot != nullptr;
}

bool copyList(const NANOFieldSchema& field, NANOArray* to, const NANOArray* from) {
  if (from == nullptr || from->count == 0) return true;
  if (from->items == nullptr || to == nullptr) return false;
  to->items = static_cast<void**>(NANOAllocZeroed(sizeof(void*) * from->count));
  if (to->items == nullptr) return false;
  to->count = from->count;
  for (uint32_t i = 0; i < from->count; ++i) {
    const void* item = from->items[i];
    if (item == nullptr) return false;
    bool copied;
    if (NANOFieldIsMessage(field.flags)) {
      copied = NANOCopyMessageInfo(field.message, reinterpret_cast<NANOMessageInfo**>(&to->items[i]),
                                   static_cast<const NANOMessageInfo*>(item));
    } else if (NANOFieldIsString(field.flags)) {
      copied = copyString(&to->items[i], static_cast<const NANOString*>(item));
    } else {
      copied = NANOSetUInt64Value(&to->items[i], NANOCellUInt64(item));
    }
    if (!copied) return false;
  }
  return true;
}

}  // namespace

void NANODeallocFieldValue(const NANOFieldSchema& field, void* value) {
  if (value != nullptr) freeValue(field.flags, field.message, value);
}

bool NANOInitMessageInfo(const NANOMessageSchema* schema, NANOMessageInfo* record) {
  if (record == nullptr) return false;
  void* block = NANOAllocZeroed(fieldsBlockSize(schema));
  if (block == nullptr) return false;
  layOutFields(schema, record, block);
  return true;
}

NANOMessageInfo* NANONewMessageInfo(const NANOMessageSchema* schema) {
  auto* record = static_cast<NANOMessageInfo*>(NANOAllocZeroed(sizeof(NANOMessageInfo) + fieldsBlockSize(schema)));
  if (record != nullptr) layOutFields(schema, record, inlineFields(record));
  return record;
}

bool NANODeallocMessageField(const NANOMessageSchema* schema, NANOMessageInfo* record, int32_t index) {
  if (record == nullptr) return false;
  if (index < 0 || index >= schema->fieldCount) {
    NANOPrint("<ERROR> %s: Cannot deallocate field %d: Unknown field\n", schema->name, index);
    return false;
  }
  if (record->fields == nullptr) return false;
  freeField(schema, record, index, BlockParts(schema, record));
  return true;
}

bool NANODeallocMessageInfo(const NANOMessageSchema* schema, NANOMessageInfo* record) {
  if (record == nullptr) return false;
  if (record->fields != nullptr) {
    BlockParts parts(schema, record);
    for (int32_t i = 0; i < schema->fieldCount; ++i) {
      void* header = record->fields[i];
      freeField(schema, record, i, parts);
      // A header placed in a slot by hand is a block of its own.
      if (header != nullptr && NANOFieldIsRepeated(schema->flags[i]) && !parts.isHeader(header)) NANOFree(header);
    }
    if (record->fields != inlineFields(record)) NANOFree(record->fields);
  }
  NANOFree(record);
  return true;
}

bool NANOCopyMessageInfo(const NANOMessageSchema* schema, NANOMessageInfo** destination,
                         const NANOMessageInfo* source) {
  if (destination == nullptr || source == nullptr) return false;
  // Reading another message's slots with this schema would misread them.
  if (!belongsTo(schema, source) || source->fields == nullptr) return false;
  if (*destination == source) return true;
  if (*destination != nullptr) {
    if (!belongsTo(schema, *destination)) return false;
    NANODeallocMessageInfo(schema, *destination);
    *destination = nullptr;
  }
  NANOMessageInfo* copy = NANONewMessageInfo(schema);
  if (copy == nullptr) return false;
  *destination = copy;
  for (int32_t i = 0; i < schema->fieldCount; ++i) {
    const NANOFieldSchema& field = schema->fields[i];
    const void* from = source->fields[i];
    void** to = &copy->fields[i];
    bool copied;
    if (NANOFieldIsRepeated(field.flags)) {
      copied = copyList(field, static_cast<NANOArray*>(*to), static_cast<const NANOArray*>(from));
    } else if (from == nullptr) {
      copied = true;
    } else if (NANOFieldIsMessage(field.flags)) {
      copied = NANOCopyMessageInfo(field.message, reinterpret_cast<NANOMessageInfo**>(to),
                                   static_cast<const NANOMessageInfo*>(from));
    } else if (NANOFieldIsString(field.flags)) {
      copied = copyString(to, static_cast<const NANOString*>(from));
    } else {
      *to = NANORecordCell(schema, copy, i);
      copied = copyScalar(field.flags, to, from);
    }
    if (!copied) return false;
  }
  return true;
}

bool NANOAllocateArrays(const NANOMessageSchema* schema, NANOMessageInfo* record) {
  if (record == nullptr || record->fields == nullptr) return false;
  for (int32_t i = 0; i < schema->fieldCount; ++i) {
    const NANOFieldSchema& field = schema->fields[i];
    if (!NANOFieldIsRepeated(field.flags)) continue;
    auto* array = static_cast<NANOArray*>(record->fields[i]);
    if (array == nullptr) {
      NANOPrint("<ERROR> Cannot allocate %s arrays. Missing params field (%s)\n", schema->name, field.name);
      return false;
    }
    if (array->count != 0 && array->items == nullptr) {
      array->items = static_cast<void**>(NANOAllocZeroed(sizeof(void*) * array->count));
      if (array->items == nullptr) {
        array->count = 0;
        return false;
      }
    }
    array->cursor = 0;
  }
  for (int32_t i = 0; i < schema->fieldCount; ++i) {
    const NANOFieldSchema& field = schema->fields[i];
    if (NANOFieldIsRepeated(field.flags) || !NANOFieldIsMessage(field.flags) || !field.message->hasArrays) continue;
    auto* nested = static_cast<NANOMessageInfo*>(record->fields[i]);
    if (nested != nullptr && !NANOAllocateArrays(field.message, nested)) return false;
  }
  return true;
}

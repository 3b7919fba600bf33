#include "measurement/proto/NANOMessageFunctions.h"

#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "measurement/proto/NANODiagnostics.h"
#include "measurement/proto/NANOFieldHelpers.h"

namespace {

struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};
using Block = std::unique_ptr<void, FreeDeleter>;

// Levels of list items being decoded on this thread.
thread_local int nestingDepth = 0;

struct NestingLevel {
  NestingLevel() { ++nestingDepth; }
  ~NestingLevel() { --nestingDepth; }
  NestingLevel(const NestingLevel&) = delete;
  NestingLevel& operator=(const NestingLevel&) = delete;
};

bool isStringKind(NANOFieldFlags flags) {
  NANOFieldFlags kind = NANOFieldKind(flags);
  return kind == NANOFieldString || kind == NANOFieldBytes;
}

bool isMessageKind(NANOFieldFlags flags) { return NANOFieldKind(flags) == NANOFieldMessage; }

// The nanopb type byte the codec struct must have for a field of these flags.
pb_type_t codecType(NANOFieldFlags flags) {
  pb_type_t ltype;
  switch (NANOFieldKind(flags)) {
    case NANOFieldBool: ltype = PB_LTYPE_BOOL; break;
    case NANOFieldInt32:
    case NANOFieldInt64: ltype = PB_LTYPE_VARINT; break;
    case NANOFieldEnum:
    case NANOFieldUInt32:
    case NANOFieldUInt64: ltype = PB_LTYPE_UVARINT; break;
    case NANOFieldFloat: ltype = PB_LTYPE_FIXED32; break;
    case NANOFieldDouble: ltype = PB_LTYPE_FIXED64; break;
    case NANOFieldString: ltype = PB_LTYPE_STRING; break;
    case NANOFieldBytes: ltype = PB_LTYPE_BYTES; break;
    case NANOFieldMessage: ltype = PB_LTYPE_SUBMESSAGE; break;
    default: return 0xFF;
  }
  if (NANOFieldIsRepeated(flags)) return PB_ATYPE_CALLBACK | PB_HTYPE_REPEATED | ltype;
  if (isStringKind(flags)) return PB_ATYPE_CALLBACK | PB_HTYPE_OPTIONAL | ltype;
  return PB_ATYPE_STATIC | PB_HTYPE_OPTIONAL | ltype;
}

size_t memberSize(const NANOFieldSchema& field) {
  if (NANOFieldIsRepeated(field.flags) || isStringKind(field.flags)) return sizeof(pb_callback_t);
  switch (NANOFieldKind(field.flags)) {
    case NANOFieldBool: return sizeof(bool);
    case NANOFieldInt64:
    case NANOFieldUInt64:
    case NANOFieldDouble: return 8;
    case NANOFieldMessage: return field.message->codecSize;
    default: return 4;
  }
}

// Moves the iterator to the field's member of the codec struct, refusing a
// member whose form disagrees with the field's flags.
bool findMember(pb_field_iter_t* iter, const NANOFieldSchema& field) {
  return pb_field_iter_find(iter, field.tag) && iter->type == codecType(field.flags) &&
         iter->data_size == memberSize(field);
}

bool belongsTo(const NANOMessageSchema* schema, const NANOMessageInfo* record) {
  return record->name == schema->name ||
         (record->name != nullptr && std::strcmp(record->name, schema->name) == 0);
}

NANODecodeCallback listDecoder(const NANOFieldSchema& field) {
  switch (NANOFieldKind(field.flags)) {
    case NANOFieldMessage: return field.message->decodeRepeated;
    case NANOFieldString: return NANODecodeRepeatedString;
    case NANOFieldBytes: return NANODecodeRepeatedBytes;
    default: return NANODecodeRepeatedVarint;
  }
}

NANOEncodeCallback listEncoder(const NANOFieldSchema& field) {
  switch (NANOFieldKind(field.flags)) {
    case NANOFieldMessage: return field.message->encodeRepeated;
    case NANOFieldString: return NANOEncodeRepeatedString;
    case NANOFieldBytes: return NANOEncodeRepeatedBytes;
    default: return NANOEncodeRepeatedVarint;
  }
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
    if (isMessageKind(field.flags)) {
      copied = NANOCopyMessageInfo(field.message, reinterpret_cast<NANOMessageInfo**>(&to->items[i]),
                                   static_cast<const NANOMessageInfo*>(item));
    } else if (isStringKind(field.flags)) {
      copied = copyString(&to->items[i], static_cast<const NANOString*>(item));
    } else {
      copied = NANOSetUInt64Value(&to->items[i], NANOCellUInt64(item));
    }
    if (!copied) return false;
  }
  return true;
}

// Codec member (as nanopb decoded it) into a cell.
bool storeDecoded(NANOFieldFlags flags, const void* member, void** slot) {
  switch (NANOFieldKind(flags)) {
    case NANOFieldBool: return NANOSetBoolValue(slot, *static_cast<const uint8_t*>(member) != 0);
    case NANOFieldEnum:
    case NANOFieldInt32:
    case NANOFieldUInt32: {
      uint32_t value;
      std::memcpy(&value, member, sizeof value);
      return NANOSetUInt32Value(slot, value);
    }
    case NANOFieldInt64:
    case NANOFieldUInt64: {
      uint64_t value;
      std::memcpy(&value, member, sizeof value);
      return NANOSetUInt64Value(slot, value);
    }
    case NANOFieldFloat: {
      float value;
      std::memcpy(&value, member, sizeof value);
      return NANOSetFloatValue(slot, value);
    }
    case NANOFieldDouble: {
      double value;
      std::memcpy(&value, member, sizeof value);
      return NANOSetDoubleValue(slot, value);
    }
    default: return false;
  }
}

// A cell into its codec member, for nanopb to encode.
void loadForEncoding(NANOFieldFlags flags, const void* cell, void* member) {
  switch (NANOFieldKind(flags)) {
    case NANOFieldBool: *static_cast<bool*>(member) = NANOCellBool(cell); break;
    case NANOFieldEnum:
    case NANOFieldInt32:
    case NANOFieldUInt32: {
      uint32_t value = NANOCellUInt32(cell);
      std::memcpy(member, &value, sizeof value);
      break;
    }
    case NANOFieldFloat: std::memcpy(member, cell, sizeof(float)); break;
    default: std::memcpy(member, cell, sizeof(uint64_t)); break;
  }
}

void clearFields(const NANOMessageSchema* schema, NANOMessageInfo* record) {
  for (int32_t i = 0; i < schema->fieldCount; ++i) NANODeallocMessageField(schema, record, i);
}

bool decodePasses(const NANOMessageSchema* schema, const uint8_t* buffer, size_t length, NANOMessageInfo* record) {
  Block codec(NANOAllocZeroed(schema->codecSize));
  if (codec == nullptr || !NANOSetDecoders(schema, record, codec.get())) {
    NANOPrint("<ERROR> %s decoder failed: Unable to set decoders\n", schema->name);
    return false;
  }
  // The first pass fills singular values and counts list items; the second,
  // after each list got storage for exactly its count, fills the items.
  for (int pass = 0; pass < (schema->hasArrays ? 2 : 1); ++pass) {
    if (pass == 1 && !NANOAllocateArrays(schema, record)) {
      NANOPrint("<ERROR> %s decoder failed: Unable to allocate arrays\n", schema->name);
      return false;
    }
    pb_istream_t stream = NANOIStreamFromBuffer(buffer, length);
    if (!pb_decode(&stream, schema->codecFields, codec.get())) {
      NANOPrint("<ERROR> %s decoder failed: %s\n", schema->name, PB_GET_ERROR(&stream));
      return false;
    }
  }
  return NANOCopyDecodedValues(schema, codec.get(), record);
}

}  // namespace

void NANODeallocFieldValue(const NANOFieldSchema& field, void* value) {
  if (value == nullptr) return;
  if (isMessageKind(field.flags)) {
    NANODeallocMessageInfo(field.message, static_cast<NANOMessageInfo*>(value));
    return;
  }
  if (isStringKind(field.flags)) NANODeallocString(static_cast<NANOString*>(value));
  std::free(value);
}

bool NANOInitMessageInfo(const NANOMessageSchema* schema, NANOMessageInfo* record) {
  if (record == nullptr) return false;
  auto** fields = static_cast<void**>(NANOAllocZeroed(sizeof(void*) * schema->fieldCount));
  if (fields == nullptr) return false;
  for (int32_t i = 0; i < schema->fieldCount; ++i) {
    if (!NANOFieldIsRepeated(schema->flags[i])) continue;
    fields[i] = NANOAllocZeroed(sizeof(NANOArray));
    if (fields[i] == nullptr) {
      for (int32_t j = 0; j < i; ++j) std::free(fields[j]);
      std::free(fields);
      return false;
    }
  }
  record->fields = fields;
  record->flags = schema->flags;
  record->name = schema->name;
  return true;
}

bool NANODeallocMessageField(const NANOMessageSchema* schema, NANOMessageInfo* record, int32_t index) {
  if (record == nullptr) return false;
  if (index < 0 || index >= schema->fieldCount) {
    NANOPrint("<ERROR> %s: Cannot deallocate field %d: Unknown field\n", schema->name, index);
    return false;
  }
  if (record->fields == nullptr) return false;
  const NANOFieldSchema& field = schema->fields[index];
  void*& slot = record->fields[index];
  if (NANOFieldIsRepeated(field.flags)) {
    auto* array = static_cast<NANOArray*>(slot);
    if (array == nullptr) return true;
    // Between the decode passes a list is counted but has no item storage yet.
    if (array->items != nullptr) {
      for (uint32_t i = 0; i < array->count; ++i) {
        if (array->items[i] != nullptr) NANODeallocFieldValue(field, array->items[i]);
      }
    }
    return NANOInitArray(array);
  }
  if (slot == nullptr) return true;
  NANODeallocFieldValue(field, slot);
  slot = nullptr;
  return true;
}

bool NANODeallocMessageInfo(const NANOMessageSchema* schema, NANOMessageInfo* record) {
  if (record == nullptr) return false;
  if (record->fields != nullptr) {
    for (int32_t i = 0; i < schema->fieldCount; ++i) {
      if (!NANODeallocMessageField(schema, record, i)) return false;
    }
    for (int32_t i = 0; i < schema->fieldCount; ++i) {
      if (NANOFieldIsRepeated(schema->flags[i])) std::free(record->fields[i]);
    }
    std::free(record->fields);
  }
  std::free(record);
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
  auto* copy = static_cast<NANOMessageInfo*>(NANOAllocZeroed(sizeof(NANOMessageInfo)));
  if (copy == nullptr) return false;
  *destination = copy;
  if (!NANOInitMessageInfo(schema, copy)) return false;
  for (int32_t i = 0; i < schema->fieldCount; ++i) {
    const NANOFieldSchema& field = schema->fields[i];
    const void* from = source->fields[i];
    void** to = &copy->fields[i];
    bool copied;
    if (NANOFieldIsRepeated(field.flags)) {
      copied = copyList(field, static_cast<NANOArray*>(*to), static_cast<const NANOArray*>(from));
    } else if (from == nullptr) {
      copied = true;
    } else if (isMessageKind(field.flags)) {
      copied = NANOCopyMessageInfo(field.message, reinterpret_cast<NANOMessageInfo**>(to),
                                   static_cast<const NANOMessageInfo*>(from));
    } else if (isStringKind(field.flags)) {
      copied = copyString(to, static_cast<const NANOString*>(from));
    } else {
      copied = copyScalar(field.flags, to, from);
    }
    if (!copied) return false;
  }
  return true;
}

bool NANOSetDecoders(const NANOMessageSchema* schema, NANOMessageInfo* record, void* codec) {
  if (record == nullptr || codec == nullptr || record->fields == nullptr) return false;
  pb_field_iter_t iter;
  if (!pb_field_iter_begin(&iter, schema->codecFields, codec)) return false;
  for (int32_t i = 0; i < schema->fieldCount; ++i) {
    const NANOFieldSchema& field = schema->fields[i];
    // Nothing of an earlier content survives: a record decoded twice holds
    // only what the second decode read.
    NANODeallocMessageField(schema, record, i);
    if (!findMember(&iter, field)) return false;
    if (NANOFieldIsRepeated(field.flags)) {
      auto* callback = static_cast<pb_callback_t*>(iter.pData);
      callback->funcs.decode = listDecoder(field);
      callback->arg = record->fields[i];
      if (callback->funcs.decode == nullptr) return false;
    } else if (isStringKind(field.flags)) {
      auto* callback = static_cast<pb_callback_t*>(iter.pData);
      callback->funcs.decode = NANOFieldKind(field.flags) == NANOFieldBytes ? NANODecodeBytes : NANODecodeString;
      callback->arg = &record->fields[i];
    } else if (isMessageKind(field.flags)) {
      // The nested record receives the nested strings and lists directly; it
      // is dropped again after the passes if the input did not carry it.
      auto* nested = static_cast<NANOMessageInfo*>(NANOAllocZeroed(sizeof(NANOMessageInfo)));
      if (nested == nullptr) return false;
      record->fields[i] = nested;
      if (!NANOInitMessageInfo(field.message, nested) || !NANOSetDecoders(field.message, nested, iter.pData)) {
        return false;
      }
    }
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
    if (NANOFieldIsRepeated(field.flags) || !isMessageKind(field.flags) || !field.message->hasArrays) continue;
    auto* nested = static_cast<NANOMessageInfo*>(record->fields[i]);
    if (nested != nullptr && !NANOAllocateArrays(field.message, nested)) return false;
  }
  return true;
}

bool NANOCopyDecodedValues(const NANOMessageSchema* schema, const void* codec, NANOMessageInfo* record) {
  if (codec == nullptr || record == nullptr || record->fields == nullptr) return false;
  pb_field_iter_t iter;
  if (!pb_field_iter_begin_const(&iter, schema->codecFields, codec)) return false;
  for (int32_t i = 0; i < schema->fieldCount; ++i) {
    const NANOFieldSchema& field = schema->fields[i];
    if (NANOFieldIsRepeated(field.flags) || isStringKind(field.flags)) continue;
    if (!findMember(&iter, field)) return false;
    bool present = *static_cast<const bool*>(iter.pSize);
    if (isMessageKind(field.flags)) {
      auto* nested = static_cast<NANOMessageInfo*>(record->fields[i]);
      if (!present) {
        NANODeallocMessageField(schema, record, i);
      } else if (nested == nullptr || !NANOCopyDecodedValues(field.message, iter.pData, nested)) {
        return false;
      }
    } else if (present && !storeDecoded(field.flags, iter.pData, &record->fields[i])) {
      return false;
    }
  }
  return true;
}

bool NANODecodeMessage(const NANOMessageSchema* schema, const uint8_t* buffer, size_t length,
                       NANOMessageInfo* record) {
  if (record == nullptr) {
    NANOPrint("<ERROR> %s decoder failed: message_info is NULL\n", schema->name);
    return false;
  }
  if (buffer == nullptr && length != 0) {
    NANOPrint("<ERROR> %s decoder failed: %s\n", schema->name, "buffer is NULL");
    return false;
  }
  if (nestingDepth >= NANOMaxNestingDepth) {
    NANOPrint("<ERROR> %s decoder failed: %s\n", schema->name, "nesting too deep");
    return false;
  }
  NestingLevel level;
  if (decodePasses(schema, buffer, length, record)) return true;
  clearFields(schema, record);
  return false;
}

bool NANODecodeRepeatedMessage(const NANOMessageSchema* schema, pb_istream_t* stream, const pb_field_t*,
                               void** arg) {
  auto* array = arg != nullptr ? static_cast<NANOArray*>(*arg) : nullptr;
  if (array == nullptr) {
    NANOPrint("<ERROR> %s decoder failed: Invalid arg parameter\n", schema->name);
    return false;
  }
  size_t length = stream->bytes_left;
  if (array->items == nullptr) {
    if (!NANOSkipBytes(stream, length)) {
      NANOPrint("<ERROR> %s decoder failed: %s\n", schema->name, PB_GET_ERROR(stream));
      return false;
    }
    return NANOCountItem(array);
  }
  void** slot = NANONextItemSlot(array);
  if (slot == nullptr) {
    NANOPrint("<ERROR> %s decoder failed: Invalid arg parameter\n", schema->name);
    return false;
  }
  // Items of a memory stream are decoded where they lie; others are copied out.
  Block copy;
  const uint8_t* bytes = NANOIStreamPosition(stream);
  bool extracted;
  if (bytes != nullptr) {
    extracted = NANOSkipBytes(stream, length);
  } else {
    copy.reset(NANOAllocZeroed(length));
    bytes = static_cast<const uint8_t*>(copy.get());
    extracted = copy != nullptr && pb_read(stream, static_cast<pb_byte_t*>(copy.get()), length);
  }
  if (!extracted) {
    NANOPrint("<ERROR> %s decoder failed: Unable to extract buffer from stream\n", schema->name);
    return false;
  }
  auto* item = static_cast<NANOMessageInfo*>(NANOAllocZeroed(sizeof(NANOMessageInfo)));
  if (item == nullptr || !NANOInitMessageInfo(schema, item)) {
    NANOPrint("<ERROR> %s decoder failed: Unable to initialize MessageInfo\n", schema->name);
    if (item != nullptr) NANODeallocMessageInfo(schema, item);
    return false;
  }
  *slot = item;
  if (!NANODecodeMessage(schema, bytes, length, item)) {
    NANOPrint("<ERROR> %s decoder failed: Unable to decode repeated %s\n", schema->name, schema->name);
    return false;
  }
  return true;
}

bool NANOSetEncoders(const NANOMessageSchema* schema, const NANOMessageInfo* record, void* codec) {
  if (record == nullptr || codec == nullptr || record->fields == nullptr) return false;
  pb_field_iter_t iter;
  if (!pb_field_iter_begin(&iter, schema->codecFields, codec)) return false;
  for (int32_t i = 0; i < schema->fieldCount; ++i) {
    const NANOFieldSchema& field = schema->fields[i];
    void* slot = record->fields[i];
    if (NANOFieldIsRepeated(field.flags)) {
      auto* array = static_cast<NANOArray*>(slot);
      if (array == nullptr) {
        NANOPrint("<ERROR> %s Encoder: '%s' should have been allocated\n", schema->name, field.name);
        return false;
      }
      if (array->count == 0) continue;  // an empty list is not written
      if (!findMember(&iter, field)) return false;
      auto* callback = static_cast<pb_callback_t*>(iter.pData);
      callback->funcs.encode = listEncoder(field);
      callback->arg = array;
      if (callback->funcs.encode == nullptr) return false;
      continue;
    }
    if (slot == nullptr) continue;  // absent: not written
    if (!findMember(&iter, field)) return false;
    if (isStringKind(field.flags)) {
      auto* callback = static_cast<pb_callback_t*>(iter.pData);
      callback->funcs.encode = NANOFieldKind(field.flags) == NANOFieldBytes ? NANOEncodeBytes : NANOEncodeString;
      callback->arg = slot;
      continue;
    }
    *static_cast<bool*>(iter.pSize) = true;
    if (isMessageKind(field.flags)) {
      if (!NANOSetEncoders(field.message, static_cast<const NANOMessageInfo*>(slot), iter.pData)) return false;
    } else {
      loadForEncoding(field.flags, slot, iter.pData);
    }
  }
  return true;
}

int32_t NANOEncodeMessage(const NANOMessageSchema* schema, const NANOMessageInfo* record, uint8_t** output) {
  if (output == nullptr) return -1;
  *output = nullptr;
  Block codec(NANOAllocZeroed(schema->codecSize));
  if (codec == nullptr || !NANOSetEncoders(schema, record, codec.get())) return -1;
  return NANOEncodeToBuffer(schema->codecFields, codec.get(), output);
}

bool NANOEncodeRepeatedMessage(const NANOMessageSchema* schema, pb_ostream_t* stream, const pb_field_t* field,
                               void* const* arg) {
  const NANOArray* array = NANOListToEncode(arg);
  if (array == nullptr) return false;
  if (array->count == 0) return true;
  Block codec(NANOAllocZeroed(schema->codecSize));
  if (codec == nullptr) return false;
  for (uint32_t i = 0; i < array->count; ++i) {
    const auto* item = static_cast<const NANOMessageInfo*>(array->items[i]);
    if (item == nullptr) return false;
    std::memset(codec.get(), 0, schema->codecSize);
    if (!NANOSetEncoders(schema, item, codec.get()) || !pb_encode_tag_for_field(stream, field) ||
        !pb_encode_submessage(stream, schema->codecFields, codec.get())) {
      return false;
    }
  }
  return true;
}

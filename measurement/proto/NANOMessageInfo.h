// The data model of the message runtime: the record behind every message, the
// value cells its slots point at, and the static schema that describes one
// message to the generic functions.
//
// Ownership: a record owns its slot array and everything reachable from it
// (cells, strings, array headers, item arrays, nested records). Blocks are
// allocated with NANOAllocZeroed (std::malloc, or a decode's chunks) and
// released with NANOFree, except that some share a block with their owner:
// the list headers and the cells of singular scalars (NANORecordCell) share
// the slot array's block, a record made by NANONewMessageInfo holds its slot
// array, and a NANOString made by NANONewString holds its bytes. The freeing
// functions know these and free each block once.
#pragma once

#include <pb.h>

#include <cstdint>
#include <cstring>

static_assert(sizeof(pb_size_t) == 2, "the installed nanopb was built without PB_FIELD_32BIT");

// One word per field: exactly one label bit and one kind bit.
using NANOFieldFlags = int32_t;
enum : NANOFieldFlags {
  NANOFieldSingular = 0x2,
  NANOFieldRepeated = 0x8,
  NANOFieldBool = 0x20,
  NANOFieldEnum = 0x40,
  NANOFieldInt32 = 0x80,
  NANOFieldUInt32 = 0x100,
  NANOFieldInt64 = 0x200,
  NANOFieldUInt64 = 0x400,
  NANOFieldFloat = 0x800,
  NANOFieldDouble = 0x1000,
  NANOFieldString = 0x2000,
  NANOFieldMessage = 0x4000,
  NANOFieldBytes = 0x8000,
};
inline constexpr NANOFieldFlags NANOFieldKindMask = 0xFFE0;

inline NANOFieldFlags NANOFieldKind(NANOFieldFlags flags) { return flags & NANOFieldKindMask; }
inline bool NANOFieldIsRepeated(NANOFieldFlags flags) { return (flags & NANOFieldRepeated) != 0; }
// String and bytes fields share the NANOString form.
inline bool NANOFieldIsString(NANOFieldFlags flags) {
  return NANOFieldKind(flags) == NANOFieldString || NANOFieldKind(flags) == NANOFieldBytes;
}
inline bool NANOFieldIsMessage(NANOFieldFlags flags) { return NANOFieldKind(flags) == NANOFieldMessage; }

// The record of one message. Slot i belongs to the field whose ID is i; a NULL
// slot is an absent field. A repeated field's slot always holds a NANOArray.
struct NANOMessageInfo {
  void** fields;
  const NANOFieldFlags* flags;  // static, one word per field
  const char* name;             // static, the message name
};

// A string or bytes value. data always holds length + 1 bytes, the last zero,
// so that an empty value never rests on a zero-byte allocation.
struct NANOString {
  uint32_t reserved;
  uint32_t length;
  uint8_t* data;
};

// A repeated field: count item pointers, each to a cell of the element kind.
// cursor counts the items filled during the second pass of a decode driven
// through nanopb's callbacks; the runtime's own decode keeps there how many
// items its storage has room for.
struct NANOArray {
  uint32_t cursor;
  uint32_t count;
  void** items;
};

static_assert(sizeof(NANOString) == 16 && sizeof(NANOArray) == 16);

// Scalar cells: 8 bytes holding the value zero-extended (bool, enum, int32,
// uint32 in the low half); a float takes the first 4.
inline uint64_t NANOCellUInt64(const void* cell) {
  uint64_t value;
  std::memcpy(&value, cell, sizeof value);
  return value;
}
inline uint32_t NANOCellUInt32(const void* cell) { return static_cast<uint32_t>(NANOCellUInt64(cell)); }
inline bool NANOCellBool(const void* cell) { return *static_cast<const uint8_t*>(cell) != 0; }
inline float NANOCellFloat(const void* cell) {
  float value;
  std::memcpy(&value, cell, sizeof value);
  return value;
}
inline double NANOCellDouble(const void* cell) {
  double value;
  std::memcpy(&value, cell, sizeof value);
  return value;
}

using NANOInitMessageInfoFn = bool (*)(NANOMessageInfo* record);
using NANODeallocMessageFieldFn = bool (*)(NANOMessageInfo* record, int32_t index);
using NANOCopyMessageInfoFn = bool (*)(NANOMessageInfo** destination, const NANOMessageInfo* source);
using NANODeallocMessageInfoFn = bool (*)(NANOMessageInfo* record);
using NANODecodeMessageFn = bool (*)(const uint8_t* buffer, size_t length, NANOMessageInfo* record);
using NANOEncodeMessageFn = int32_t (*)(const NANOMessageInfo* record, uint8_t** output);
using NANODecodeCallback = bool (*)(pb_istream_t* stream, const pb_field_t* field, void** arg);
using NANOEncodeCallback = bool (*)(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);

struct NANOMessageSchema;

struct NANOFieldSchema {
  const char* name;
  uint32_t tag;
  NANOFieldFlags flags;
  const NANOMessageSchema* message;  // the sub-message or item message, else null
  int32_t cell = -1;                 // a singular scalar's cell in the record's own block, else -1
};

// Everything the generic functions need to know about one message. The
// generator emits one per message, with the message's named functions.
struct NANOMessageSchema {
  const char* name;
  int32_t fieldCount;
  const NANOFieldFlags* flags;     // fieldCount words, by field ID
  const NANOFieldSchema* fields;   // fieldCount entries, by field ID
  const pb_msgdesc_t* codecFields; // nanopb's descriptor of the codec struct
  size_t codecSize;
  bool hasArrays;  // a list here or inside a singular sub-message: decode takes two passes
  int32_t listCount;             // how many of the fields are lists
  int32_t cellCount;             // how many are singular scalars
  const int32_t* tagOrder;       // fieldCount field IDs by ascending tag: the order fields are written in
  const int16_t* idByTag;        // the field ID of each tag below idByTagCount, -1 for none
  uint32_t idByTagCount;
  NANOInitMessageInfoFn initMessageInfo;
  NANODeallocMessageFieldFn deallocMessageField;
  NANOCopyMessageInfoFn copyMessageInfo;
  NANODeallocMessageInfoFn deallocMessageInfo;
  NANODecodeMessageFn decode;
  NANOEncodeMessageFn encode;
  NANODecodeCallback decodeRepeated;  // only for messages that are list items
  NANOEncodeCallback encodeRepeated;
};

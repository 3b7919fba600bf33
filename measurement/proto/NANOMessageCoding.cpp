// How records meet nanopb. Decoding and encoding walk a record by its schema
// and leave the wire work to nanopb's stream functions (tags, varints, fixed
// values, strings, sub-streams). Going through pb_decode / pb_encode message
// by message would look up every field in nanopb's packed descriptors again
// for each message, and pb_encode_submessage would measure every sub-message
// once more at each level above it. Instead a decode reads each record once,
// its lists growing as items come, and an encode writes each record once,
// putting a sub-message's length in front of it when its end is reached. The
// codec-struct functions (set decoders and encoders, copy decoded values)
// serve callers that drive pb_decode / pb_encode themselves.
#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "measurement/proto/NANODecodeArena.h"
#include "measurement/proto/NANODiagnostics.h"
#include "measurement/proto/NANOFieldHelpers.h"
#include "measurement/proto/NANOMessageFunctions.h"

namespace {

// Levels of list items being decoded on this thread.
thread_local int nestingDepth = 0;
// Whether the outermost decode on this thread met bytes its message's own
// encoding would not have (unknown fields, a field given twice, a number or
// length written longer than it needs): then, and only then, the encoding
// may be shorter than the input.
thread_local bool inputPadded = false;

struct NestingLevel {
  NestingLevel() { ++nestingDepth; }
  ~NestingLevel() { --nestingDepth; }
  NestingLevel(const NestingLevel&) = delete;
  NestingLevel& operator=(const NestingLevel&) = delete;
};

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
  if (NANOFieldIsString(flags)) return PB_ATYPE_CALLBACK | PB_HTYPE_OPTIONAL | ltype;
  return PB_ATYPE_STATIC | PB_HTYPE_OPTIONAL | ltype;
}

size_t memberSize(const NANOFieldSchema& field) {
  if (NANOFieldIsRepeated(field.flags) || NANOFieldIsString(field.flags)) return sizeof(pb_callback_t);
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

// ceil(bits / 7) without a division.
size_t varintSize(uint64_t value) { return (std::bit_width(value | 1) * 9 + 64) / 64; }

// Notes a varint the stream spent more bytes on than the value needs.
void notePadding(size_t consumed, uint64_t value) {
  if (consumed != varintSize(value)) inputPadded = true;
}

// What a singular varint field carries: an int32 sign-extended to 64 bits, as
// nanopb writes it.
uint64_t varintValue(NANOFieldFlags flags, const void* cell) {
  switch (NANOFieldKind(flags)) {
    case NANOFieldBool: return NANOCellBool(cell) ? 1 : 0;
    case NANOFieldInt32: return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(NANOCellUInt32(cell))));
    case NANOFieldEnum:
    case NANOFieldUInt32: return NANOCellUInt32(cell);
    default: return NANOCellUInt64(cell);
  }
}

const char* allocationFailure() {
  return NANODecodeBudget::exceeded() ? "memory budget exceeded" : "out of memory";
}

int32_t fieldForTag(const NANOMessageSchema* schema, uint32_t tag) {
  if (tag < schema->idByTagCount) return schema->idByTag[tag];
  int32_t low = 0;
  int32_t high = schema->fieldCount;
  while (low < high) {
    int32_t middle = low + (high - low) / 2;
    if (schema->fields[schema->tagOrder[middle]].tag < tag) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  if (low < schema->fieldCount && schema->fields[schema->tagOrder[low]].tag == tag) return schema->tagOrder[low];
  return -1;
}

// The wire type of a singular field, as nanopb requires it.
pb_wire_type_t wireTypeOf(NANOFieldFlags flags) {
  switch (NANOFieldKind(flags)) {
    case NANOFieldFloat: return PB_WT_32BIT;
    case NANOFieldDouble: return PB_WT_64BIT;
    case NANOFieldString:
    case NANOFieldBytes:
    case NANOFieldMessage: return PB_WT_STRING;
    default: return PB_WT_VARINT;
  }
}

// Skips a field; a length-delimited one without copying its bytes anywhere.
bool skipField(pb_istream_t* stream, pb_wire_type_t wireType) {
  if (wireType != PB_WT_STRING) return pb_skip_field(stream, wireType);
  uint32_t length;
  return pb_decode_varint32(stream, &length) && NANOSkipBytes(stream, length);
}

// A singular scalar into its cell (as the cell writers store it), with
// nanopb's rules: an int32 keeps the low 32 bits of the varint, an unsigned
// 32-bit value must fit.
bool decodeScalar(NANOFieldFlags flags, pb_istream_t* stream, void* cell) {
  switch (NANOFieldKind(flags)) {
    case NANOFieldFloat: {
      float decoded;
      if (!pb_decode_fixed32(stream, &decoded)) return false;
      std::memcpy(cell, &decoded, sizeof decoded);
      return true;
    }
    case NANOFieldDouble: return pb_decode_fixed64(stream, cell);
    default: break;
  }
  size_t before = stream->bytes_left;
  uint64_t value;
  NANOFieldFlags kind = NANOFieldKind(flags);
  if (kind == NANOFieldBool) {
    bool decoded;
    if (!pb_decode_bool(stream, &decoded)) return false;
    value = decoded ? 1 : 0;
  } else if (!pb_decode_varint(stream, &value)) {
    return false;
  } else if (kind == NANOFieldInt32) {
    value = static_cast<uint32_t>(value);
  } else if ((kind == NANOFieldEnum || kind == NANOFieldUInt32) && value > std::numeric_limits<uint32_t>::max()) {
    PB_RETURN_ERROR(stream, "integer too large");
  }
  std::memcpy(cell, &value, sizeof value);
  notePadding(before - stream->bytes_left, varintValue(flags, cell));
  return true;
}

// The length of a length-delimited value that follows, checked against what
// the stream holds.
bool decodeLength(pb_istream_t* stream, uint32_t* length) {
  size_t before = stream->bytes_left;
  if (!pb_decode_varint32(stream, length)) return false;
  notePadding(before - stream->bytes_left, *length);
  if (stream->bytes_left < *length) PB_RETURN_ERROR(stream, "parent stream too short");
  return true;
}

bool decodeString(pb_istream_t* stream, void** slot) {
  uint32_t length;
  if (!decodeLength(stream, &length)) return false;
  if (NANOReadString(stream, length, slot)) return true;
  PB_RETURN_ERROR(stream, "callback failed");
}

bool decodeMessage(const NANOMessageSchema* schema, const uint8_t* buffer, size_t length, NANOMessageInfo* record,
                   bool fresh);

// The next list item of a message list, decoded where it lies into a new
// record in the slot.
bool decodeItem(const NANOMessageSchema* schema, const uint8_t* bytes, size_t length, void** slot) {
  if (slot == nullptr) {
    NANOPrint("<ERROR> %s decoder failed: Invalid arg parameter\n", schema->name);
    return false;
  }
  NANOMessageInfo* item = NANONewMessageInfo(schema);
  if (item == nullptr) {
    NANOPrint("<ERROR> %s decoder failed: Unable to initialize MessageInfo\n", schema->name);
    return false;
  }
  *slot = item;
  if (!decodeMessage(schema, bytes, length, item, true)) {
    NANOPrint("<ERROR> %s decoder failed: Unable to decode repeated %s\n", schema->name, schema->name);
    return false;
  }
  return true;
}

// Item storage of a list read in one pass: its first block has room for as
// many items as the rest of the record would hold if they were all like the
// first (within these bounds), and it doubles from there.
constexpr size_t kFewestItems = 4;
constexpr size_t kMostFirstItems = 64;

// The next slot of a list read in one pass, holding NULL; NULL when memory or
// the budget runs out. While the record is read, the list's cursor is the
// room its storage has. The budget is charged for exactly the items held, as
// for an item array of that many, so that it does not depend on how the
// storage grew.
void** appendSlot(NANOArray* array, size_t itemBytes, size_t bytesLeft) {
  uint32_t count = array->count;
  if (count == std::numeric_limits<uint32_t>::max()) return nullptr;
  if (!NANODecodeBudget::chargeGrowth(sizeof(void*) * count, sizeof(void*) * (size_t{count} + 1))) return nullptr;
  if (count == array->cursor) {
    size_t room = count == 0 ? std::clamp(bytesLeft / (itemBytes + 2) + 1, kFewestItems, kMostFirstItems)
                             : std::min<size_t>(size_t{count} * 2, std::numeric_limits<uint32_t>::max());
    void* grown = NANODecodeArena::grow(array->items, count * sizeof(void*), room * sizeof(void*));
    if (grown == nullptr) return nullptr;
    array->items = static_cast<void**>(grown);
    array->cursor = static_cast<uint32_t>(room);
  }
  array->items[count] = nullptr;
  array->count = count + 1;
  return &array->items[count];
}

bool decodeVarintItem(pb_istream_t* stream, NANOArray* array) {
  size_t before = stream->bytes_left;
  uint64_t value;
  if (!pb_decode_varint(stream, &value)) return false;
  notePadding(before - stream->bytes_left, value);
  void** slot = appendSlot(array, before - stream->bytes_left, stream->bytes_left);
  if (slot == nullptr || !NANOSetUInt64Value(slot, value)) PB_RETURN_ERROR(stream, allocationFailure());
  return true;
}

// One occurrence of a list field, its items appended. Integers come one per
// key or packed.
bool decodeListItems(const NANOFieldSchema& field, pb_istream_t* stream, pb_wire_type_t wireType, NANOArray* array) {
  bool varints = !NANOFieldIsString(field.flags) && !NANOFieldIsMessage(field.flags);
  if (varints && wireType == PB_WT_VARINT) return decodeVarintItem(stream, array);
  if (wireType != PB_WT_STRING) PB_RETURN_ERROR(stream, "wrong wire type");
  uint32_t length;
  if (!decodeLength(stream, &length)) return false;
  if (varints) {
    // The message's own encoding has a key for each item, and none for a
    // packed block without items.
    if (length == 0) inputPadded = true;
    pb_istream_t packed = *stream;
    packed.bytes_left = length;
    while (packed.bytes_left > 0) {
      if (!decodeVarintItem(&packed, array)) {
        PB_SET_ERROR(stream, packed.errmsg != nullptr ? packed.errmsg : "callback failed");
        return false;
      }
    }
    return NANOSkipBytes(stream, length);
  }
  void** slot = appendSlot(array, length, stream->bytes_left - length);
  if (slot == nullptr) PB_RETURN_ERROR(stream, allocationFailure());
  bool decoded;
  if (NANOFieldIsMessage(field.flags)) {
    decoded = decodeItem(field.message, NANOIStreamPosition(stream), length, slot) && NANOSkipBytes(stream, length);
  } else {
    decoded = NANOReadString(stream, length, slot);
  }
  if (decoded) return true;
  PB_RETURN_ERROR(stream, "callback failed");
}

bool decodeFields(const NANOMessageSchema* schema, pb_istream_t* stream, NANOMessageInfo* record);

// A singular sub-message is decoded into its nested record; a second
// occurrence merges into the first, as nanopb merges it.
bool decodeSubMessage(const NANOFieldSchema& field, pb_istream_t* stream, void** slot) {
  size_t before = stream->bytes_left;
  pb_istream_t sub;
  if (!pb_make_string_substream(stream, &sub)) return false;
  notePadding(before - stream->bytes_left - sub.bytes_left, sub.bytes_left);
  auto* nested = static_cast<NANOMessageInfo*>(*slot);
  if (nested == nullptr) {
    nested = NANONewMessageInfo(field.message);
    if (nested == nullptr) PB_RETURN_ERROR(stream, allocationFailure());
    *slot = nested;
  }
  bool decoded = decodeFields(field.message, &sub, nested);
  return pb_close_string_substream(stream, &sub) && decoded;
}

bool decodeFields(const NANOMessageSchema* schema, pb_istream_t* stream, NANOMessageInfo* record) {
  while (stream->bytes_left > 0) {
    pb_wire_type_t wireType;
    uint32_t tag;
    bool eof;
    size_t before = stream->bytes_left;
    if (!pb_decode_tag(stream, &wireType, &tag, &eof)) return false;
    if (tag == 0) PB_RETURN_ERROR(stream, "zero tag");
    notePadding(before - stream->bytes_left, (uint64_t{tag} << 3) | wireType);
    int32_t id = fieldForTag(schema, tag);
    if (id < 0) {
      inputPadded = true;
      if (!skipField(stream, wireType)) return false;
      continue;
    }
    const NANOFieldSchema& field = schema->fields[id];
    void** slot = &record->fields[id];
    bool decoded;
    if (NANOFieldIsRepeated(field.flags)) {
      decoded = decodeListItems(field, stream, wireType, static_cast<NANOArray*>(*slot));
    } else if (wireType != wireTypeOf(field.flags)) {
      PB_RETURN_ERROR(stream, "wrong wire type");
    } else {
      // A singular field met again: the encoding has it once.
      if (*slot != nullptr) inputPadded = true;
      if (NANOFieldIsMessage(field.flags)) {
        decoded = decodeSubMessage(field, stream, slot);
      } else if (NANOFieldIsString(field.flags)) {
        decoded = decodeString(stream, slot);
      } else {
        if (*slot == nullptr) *slot = NANORecordCell(schema, record, id);
        decoded = decodeScalar(field.flags, stream, *slot);
      }
    }
    if (!decoded) return false;
  }
  return true;
}

void clearFields(const NANOMessageSchema* schema, NANOMessageInfo* record) {
  for (int32_t i = 0; i < schema->fieldCount; ++i) NANODeallocMessageField(schema, record, i);
}

// A fresh record is one NANONewMessageInfo just made: complete and empty.
bool decodeRecord(const NANOMessageSchema* schema, const uint8_t* buffer, size_t length, NANOMessageInfo* record,
                  bool fresh) {
  if (!fresh) {
    if (record->fields == nullptr) {
      NANOPrint("<ERROR> %s decoder failed: Unable to set decoders\n", schema->name);
      return false;
    }
    for (int32_t i = 0; i < schema->fieldCount; ++i) {
      if (NANOFieldIsRepeated(schema->flags[i]) && record->fields[i] == nullptr) {
        NANOPrint("<ERROR> Cannot allocate %s arrays. Missing params field (%s)\n", schema->name,
                  schema->fields[i].name);
        NANOPrint("<ERROR> %s decoder failed: Unable to allocate arrays\n", schema->name);
        return false;
      }
    }
    // Nothing of an earlier content survives: a record decoded twice holds
    // only what the second decode read.
    clearFields(schema, record);
  }
  pb_istream_t stream = NANOIStreamFromBuffer(buffer, length);
  if (!decodeFields(schema, &stream, record)) {
    NANOPrint("<ERROR> %s decoder failed: %s\n", schema->name, PB_GET_ERROR(&stream));
    return false;
  }
  return true;
}

// What encodedSize gives for a record that cannot be written: a list without
// header, a NULL item, a string without bytes, or more than INT32_MAX bytes
// in all.
constexpr uint64_t kUnwritable = ~uint64_t{0};

uint64_t encodedSize(const NANOMessageSchema* schema, const NANOMessageInfo* record);

// The size of one value after its key; a list item of integers is its whole
// 64-bit cell.
uint64_t valueSize(const NANOFieldSchema& field, const void* value, bool listItem) {
  if (value == nullptr) return kUnwritable;
  switch (NANOFieldKind(field.flags)) {
    case NANOFieldFloat: return 4;
    case NANOFieldDouble: return 8;
    case NANOFieldString:
    case NANOFieldBytes: {
      auto* string = static_cast<const NANOString*>(value);
      if (string->data == nullptr) return kUnwritable;
      return varintSize(string->length) + string->length;
    }
    case NANOFieldMessage: {
      uint64_t nested = encodedSize(field.message, static_cast<const NANOMessageInfo*>(value));
      return nested == kUnwritable ? kUnwritable : varintSize(nested) + nested;
    }
    default: return varintSize(listItem ? NANOCellUInt64(value) : varintValue(field.flags, value));
  }
}

// The length of the record's encoding, without writing it.
uint64_t encodedSize(const NANOMessageSchema* schema, const NANOMessageInfo* record) {
  if (record == nullptr || record->fields == nullptr) return kUnwritable;
  uint64_t total = 0;
  for (int32_t id = 0; id < schema->fieldCount; ++id) {
    const void* slot = record->fields[id];
    const NANOFieldSchema& field = schema->fields[id];
    uint64_t keySize = varintSize(uint64_t{field.tag} << 3);
    if (!NANOFieldIsRepeated(field.flags)) {
      if (slot == nullptr) continue;
      uint64_t size = valueSize(field, slot, false);
      if (size == kUnwritable) return kUnwritable;
      total += keySize + size;
    } else {
      auto* array = static_cast<const NANOArray*>(slot);
      if (array == nullptr || (array->count != 0 && array->items == nullptr)) return kUnwritable;
      for (uint32_t i = 0; i < array->count; ++i) {
        uint64_t size = valueSize(field, array->items[i], true);
        if (size == kUnwritable) return kUnwritable;
        total += keySize + size;
      }
    }
    if (total > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return kUnwritable;
  }
  return total;
}

bool decodeMessage(const NANOMessageSchema* schema, const uint8_t* buffer, size_t length, NANOMessageInfo* record,
                   bool fresh) {
  if (nestingDepth >= NANOMaxNestingDepth) {
    NANOPrint("<ERROR> %s decoder failed: %s\n", schema->name, "nesting too deep");
    return false;
  }
  const bool outermost = nestingDepth == 0;
  if (outermost) inputPadded = false;
  NestingLevel level;
  // List items share the budget and the arena of the decode they are in.
  std::optional<NANODecodeBudget> budget;
  std::optional<NANODecodeArena> arena;
  if (outermost) {
    budget.emplace(length);
    arena.emplace(length);
  }
  bool decoded = decodeRecord(schema, buffer, length, record, fresh);
  if (decoded && !outermost) return true;
  size_t limit = NANODecodeBudget::activeLimit();
  if (decoded && inputPadded && NANODecodeBudget::used() > NANODecodeMemoryBase) {
    // The budget belongs to the message, not to the bytes it came in: an
    // input longer than the message's own encoding gets no more than that
    // encoding would, so that whatever decodes also decodes from its
    // encoding.
    uint64_t size = encodedSize(schema, record);
    limit = NANODecodeMemoryLimit(size == kUnwritable ? length : static_cast<size_t>(size));
    decoded = NANODecodeBudget::used() <= limit;
    if (!decoded) NANODecodeBudget::refuse();
  }
  if (decoded) return true;
  if (outermost && NANODecodeBudget::exceeded()) {
    NANOPrint("<ERROR> %s decoder failed: %zu bytes of input would take more than their memory budget of %zu bytes\n",
              schema->name, length, limit);
  }
  clearFields(schema, record);
  return false;
}

// A growing output buffer for an encode: nanopb's stream writes through
// writeSink, and a sub-message's length is put in front of it once written.
struct Sink {
  uint8_t* data = nullptr;
  size_t capacity = 0;
  // Makes room for at least that many bytes in all, keeping those written.
  bool (*reserve)(Sink* sink, size_t size) = nullptr;
  void* owner = nullptr;
};

bool writeSink(pb_ostream_t* stream, const pb_byte_t* bytes, size_t count) {
  auto* sink = static_cast<Sink*>(stream->state);
  size_t at = stream->bytes_written;
  if (at + count > sink->capacity && !sink->reserve(sink, at + count)) return false;
  uint8_t* to = sink->data + at;
  // Most writes are a key, a length or a short value.
  if (count == 1) {
    *to = *bytes;
  } else if (count >= 8 && count <= 16) {
    std::memcpy(to, bytes, 8);
    std::memcpy(to + count - 8, bytes + count - 8, 8);
  } else if (count >= 4 && count < 8) {
    std::memcpy(to, bytes, 4);
    std::memcpy(to + count - 4, bytes + count - 4, 4);
  } else {
    std::memcpy(to, bytes, count);
  }
  return true;
}

size_t grownCapacity(size_t capacity, size_t size) { return std::max({size, capacity * 2, size_t{64}}); }

bool reserveMalloc(Sink* sink, size_t size) {
  size_t capacity = grownCapacity(sink->capacity, size);
  void* grown = std::realloc(sink->data, capacity);
  if (grown == nullptr) return false;
  sink->data = static_cast<uint8_t*>(grown);
  sink->capacity = capacity;
  return true;
}

bool reserveData(Sink* sink, size_t size) {
  auto* data = static_cast<std::vector<uint8_t>*>(sink->owner);
  data->resize(grownCapacity(sink->capacity, size));
  sink->data = data->data();
  sink->capacity = data->size();
  return true;
}

pb_ostream_t sinkStream(Sink* sink) {
  pb_ostream_t stream{};
  stream.callback = &writeSink;
  stream.state = sink;
  stream.max_size = static_cast<size_t>(std::numeric_limits<int32_t>::max());
  return stream;
}

bool writeRecord(const NANOMessageSchema* schema, const NANOMessageInfo* record, pb_ostream_t* stream);

// A sub-message after its key: room for the length is left as guessed, the
// record is written, and its length goes in front, the record moved when the
// guess was wrong. The guess becomes the length's own size.
bool writeSubMessage(pb_ostream_t* stream, const NANOMessageSchema* schema, const NANOMessageInfo* record,
                     size_t& lengthSize) {
  static constexpr pb_byte_t kRoom[5] = {};
  size_t lengthAt = stream->bytes_written;
  if (!pb_write(stream, kRoom, lengthSize)) return false;
  size_t start = stream->bytes_written;
  if (!writeRecord(schema, record, stream)) return false;
  size_t size = stream->bytes_written - start;
  size_t needed = varintSize(size);
  auto* sink = static_cast<Sink*>(stream->state);
  if (needed != lengthSize) {
    size_t end = stream->bytes_written - lengthSize + needed;
    if (end > stream->max_size) PB_RETURN_ERROR(stream, "stream full");
    if (end > sink->capacity && !sink->reserve(sink, end)) PB_RETURN_ERROR(stream, "io error");
    std::memmove(sink->data + lengthAt + needed, sink->data + start, size);
    stream->bytes_written = end;
    lengthSize = needed;
  }
  pb_ostream_t length = pb_ostream_from_buffer(sink->data + lengthAt, needed);
  return pb_encode_varint(&length, size);
}

// One key and value, with nanopb's stream functions.
[[gnu::always_inline]] inline bool writeValue(pb_ostream_t* stream, const NANOFieldSchema& field, const void* value,
                                             bool listItem, size_t& lengthSize) {
  switch (NANOFieldKind(field.flags)) {
    case NANOFieldFloat: return pb_encode_tag(stream, PB_WT_32BIT, field.tag) && pb_encode_fixed32(stream, value);
    case NANOFieldDouble: return pb_encode_tag(stream, PB_WT_64BIT, field.tag) && pb_encode_fixed64(stream, value);
    case NANOFieldString:
    case NANOFieldBytes: {
      auto* string = static_cast<const NANOString*>(value);
      if (string->data == nullptr) PB_RETURN_ERROR(stream, "string without bytes");
      return pb_encode_tag(stream, PB_WT_STRING, field.tag) && pb_encode_string(stream, string->data, string->length);
    }
    case NANOFieldMessage: {
      auto* nested = static_cast<const NANOMessageInfo*>(value);
      if (nested->fields == nullptr) PB_RETURN_ERROR(stream, "record without fields");
      return pb_encode_tag(stream, PB_WT_STRING, field.tag) &&
             writeSubMessage(stream, field.message, nested, lengthSize);
    }
    default:
      return pb_encode_tag(stream, PB_WT_VARINT, field.tag) &&
             pb_encode_varint(stream, listItem ? NANOCellUInt64(value) : varintValue(field.flags, value));
  }
}

// Writes a record, fields in ascending tag order; a list without header, a
// NULL item or a string without bytes fails it.
bool writeRecord(const NANOMessageSchema* schema, const NANOMessageInfo* record, pb_ostream_t* stream) {
  for (int32_t k = 0; k < schema->fieldCount; ++k) {
    int32_t id = schema->tagOrder[k];
    const void* slot = record->fields[id];
    const NANOFieldSchema& field = schema->fields[id];
    // Most sub-messages are shorter than 128 bytes; items of one list are
    // alike, so each takes the length size of the one before.
    size_t lengthSize = 1;
    if (!NANOFieldIsRepeated(field.flags)) {
      if (slot == nullptr) continue;  // absent: not written
      if (!writeValue(stream, field, slot, false, lengthSize)) return false;
      continue;
    }
    if (slot == nullptr) {
      NANOPrint("<ERROR> %s Encoder: '%s' should have been allocated\n", schema->name, field.name);
      PB_RETURN_ERROR(stream, "list without header");
    }
    auto* array = static_cast<const NANOArray*>(slot);
    if (array->count != 0 && array->items == nullptr) PB_RETURN_ERROR(stream, "list without items");
    for (uint32_t i = 0; i < array->count; ++i) {
      const void* item = array->items[i];
      if (item == nullptr) PB_RETURN_ERROR(stream, "NULL list item");
      if (!writeValue(stream, field, item, true, lengthSize)) return false;
    }
  }
  return true;
}

// Encodes the record through the sink; the byte count, or -1.
int32_t encodeInto(const NANOMessageSchema* schema, const NANOMessageInfo* record, Sink* sink) {
  if (record == nullptr || record->fields == nullptr) return -1;
  pb_ostream_t stream = sinkStream(sink);
  if (!writeRecord(schema, record, &stream)) return -1;
  return static_cast<int32_t>(stream.bytes_written);
}

// The length of the last encoding of the message on this thread. Encodings
// of one message tend to be alike, so the next starts with room for a little
// more, which saves growing the buffer (a copy each time) on the way.
size_t& lastEncodedSize(const NANOMessageSchema* schema) {
  struct Entry {
    const NANOMessageSchema* schema;
    size_t size;
  };
  thread_local Entry entries[64];
  Entry& entry = entries[(reinterpret_cast<uintptr_t>(schema) / alignof(NANOMessageSchema)) % 64];
  if (entry.schema != schema) entry = {schema, 0};
  return entry.size;
}

size_t firstCapacity(const NANOMessageSchema* schema) {
  size_t last = lastEncodedSize(schema);
  return last == 0 ? 0 : last + last / 16 + 16;
}

}  // namespace

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
    } else if (NANOFieldIsString(field.flags)) {
      auto* callback = static_cast<pb_callback_t*>(iter.pData);
      callback->funcs.decode = NANOFieldKind(field.flags) == NANOFieldBytes ? NANODecodeBytes : NANODecodeString;
      callback->arg = &record->fields[i];
    } else if (NANOFieldIsMessage(field.flags)) {
      // The nested record receives the nested strings and lists directly; it
      // is dropped again after the passes if the input did not carry it.
      NANOMessageInfo* nested = NANONewMessageInfo(field.message);
      if (nested == nullptr) return false;
      record->fields[i] = nested;
      if (!NANOSetDecoders(field.message, nested, iter.pData)) return false;
    }
  }
  return true;
}

bool NANOCopyDecodedValues(const NANOMessageSchema* schema, const void* codec, NANOMessageInfo* record) {
  if (codec == nullptr || record == nullptr || record->fields == nullptr) return false;
  pb_field_iter_t iter;
  if (!pb_field_iter_begin_const(&iter, schema->codecFields, codec)) return false;
  for (int32_t i = 0; i < schema->fieldCount; ++i) {
    const NANOFieldSchema& field = schema->fields[i];
    if (NANOFieldIsRepeated(field.flags) || NANOFieldIsString(field.flags)) continue;
    if (!findMember(&iter, field)) return false;
    bool present = *static_cast<const bool*>(iter.pSize);
    if (NANOFieldIsMessage(field.flags)) {
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
    if (NANOFieldIsString(field.flags)) {
      auto* callback = static_cast<pb_callback_t*>(iter.pData);
      callback->funcs.encode = NANOFieldKind(field.flags) == NANOFieldBytes ? NANOEncodeBytes : NANOEncodeString;
      callback->arg = slot;
      continue;
    }
    *static_cast<bool*>(iter.pSize) = true;
    if (NANOFieldIsMessage(field.flags)) {
      if (!NANOSetEncoders(field.message, static_cast<const NANOMessageInfo*>(slot), iter.pData)) return false;
    } else {
      loadForEncoding(field.flags, slot, iter.pData);
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
  return decodeMessage(schema, buffer, length, record, false);
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
  // Items of a memory stream are decoded where they lie; others are copied out.
  std::unique_ptr<uint8_t, decltype(&std::free)> copy(nullptr, &std::free);
  const uint8_t* bytes = NANOIStreamPosition(stream);
  bool extracted;
  if (bytes != nullptr) {
    extracted = NANOSkipBytes(stream, length);
  } else {
    copy.reset(static_cast<uint8_t*>(std::malloc(length == 0 ? 1 : length)));
    bytes = copy.get();
    extracted = copy != nullptr && pb_read(stream, copy.get(), length);
  }
  if (!extracted) {
    NANOPrint("<ERROR> %s decoder failed: Unable to extract buffer from stream\n", schema->name);
    return false;
  }
  return decodeItem(schema, bytes, length, NANONextItemSlot(array));
}

int32_t NANOEncodeMessage(const NANOMessageSchema* schema, const NANOMessageInfo* record, uint8_t** output) {
  if (output == nullptr) return -1;
  *output = nullptr;
  Sink sink;
  sink.reserve = &reserveMalloc;
  if (size_t capacity = firstCapacity(schema); capacity != 0 && !reserveMalloc(&sink, capacity)) return -1;
  int32_t size = encodeInto(schema, record, &sink);
  if (size >= 0) lastEncodedSize(schema) = static_cast<size_t>(size);
  if (size < 0 || (sink.data == nullptr && !reserveMalloc(&sink, 1))) {
    std::free(sink.data);
    return -1;
  }
  // Giving back the spare room keeps the block where it is.
  if (size > 0 && static_cast<size_t>(size) < sink.capacity) {
    if (void* fitted = std::realloc(sink.data, static_cast<size_t>(size))) sink.data = static_cast<uint8_t*>(fitted);
  }
  *output = sink.data;
  return size;
}

std::optional<std::vector<uint8_t>> NANOEncodeMessageData(const NANOMessageSchema* schema, const NANOMessageInfo* record) {
  std::vector<uint8_t> bytes;
  Sink sink;
  sink.reserve = &reserveData;
  sink.owner = &bytes;
  if (size_t capacity = firstCapacity(schema); capacity != 0) reserveData(&sink, capacity);
  int32_t size = encodeInto(schema, record, &sink);
  if (size < 0) return std::nullopt;
  lastEncodedSize(schema) = static_cast<size_t>(size);
  bytes.resize(static_cast<size_t>(size));
  return bytes;
}

bool NANOEncodeRepeatedMessage(const NANOMessageSchema* schema, pb_ostream_t* stream, const pb_field_t* field,
                               void* const* arg) {
  const NANOArray* array = NANOListToEncode(arg);
  if (array == nullptr) return false;
  // The caller's stream may be any stream: each item is encoded apart and
  // handed over as one string.
  std::vector<uint8_t> bytes;
  Sink sink;
  sink.reserve = &reserveData;
  sink.owner = &bytes;
  for (uint32_t i = 0; i < array->count; ++i) {
    const auto* item = static_cast<const NANOMessageInfo*>(array->items[i]);
    int32_t size = encodeInto(schema, item, &sink);
    if (size < 0) return false;
    if (!pb_encode_tag_for_field(stream, field) || !pb_encode_string(stream, sink.data, static_cast<size_t>(size)))
      return false;
  }
  return true;
}

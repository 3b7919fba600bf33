// The per-message functions, written once and driven by a message's schema.
// Each generated message binds its schema to these in one-line wrappers
// (AdCampaignInfo_decode and so on); parents call their children through the
// children's schemas.
//
// The life of a record: allocate it zero-filled and initialise it, fill it by
// a decode, a copy or the field setters, encode it any number of times, free
// it once with NANODeallocMessageInfo.
#pragma once

#include <pb.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "measurement/proto/NANOMessageInfo.h"

// Deepest nesting of list items a decode accepts (the top message is level
// 1). Deeper input fails cleanly instead of exhausting the stack. Programs
// nest their statements as deep as the interpreter evaluates them (1000
// levels), a few levels down inside a configuration.
inline constexpr int NANOMaxNestingDepth = 1024;

// Fills a zero-filled record: name, flags, the slot array and an empty
// NANOArray in the slot of every list.
bool NANOInitMessageInfo(const NANOMessageSchema* schema, NANOMessageInfo* record);
// A new initialised record, its slot array and list headers in the record's
// own block (one allocation); freed as any record. NULL when out of memory.
NANOMessageInfo* NANONewMessageInfo(const NANOMessageSchema* schema);
// Where the record's own cells start in its slot array's block: after the
// slots and the list headers.
inline size_t NANORecordCellsOffset(const NANOMessageSchema* schema) {
  return sizeof(void*) * schema->fieldCount + sizeof(NANOArray) * schema->listCount;
}
// The record's own 8-byte cell for the singular scalar field `index` (NULL
// for another kind): a value placed there needs no allocation of its own and
// is not freed on its own.
inline void* NANORecordCell(const NANOMessageSchema* schema, NANOMessageInfo* record, int32_t index) {
  int32_t cell = schema->fields[index].cell;
  return cell < 0 ? nullptr : reinterpret_cast<char*>(record->fields) + NANORecordCellsOffset(schema) + 8 * cell;
}
// Frees one field's value; a list keeps its (now empty) NANOArray.
bool NANODeallocMessageField(const NANOMessageSchema* schema, NANOMessageInfo* record, int32_t index);
// Frees one value of the field's kind as it sits in a slot or a list item: a
// cell, a string or a nested record.
void NANODeallocFieldValue(const NANOFieldSchema& field, void* value);
// Frees every field, the slot array and the record itself.
bool NANODeallocMessageInfo(const NANOMessageSchema* schema, NANOMessageInfo* record);
// Frees *destination (NULL or a record of this message), then makes it a deep
// copy of source. A source of another message is refused.
bool NANOCopyMessageInfo(const NANOMessageSchema* schema, NANOMessageInfo** destination,
                         const NANOMessageInfo* source);

// The decode steps, in the order NANODecodeMessage runs them.
bool NANOSetDecoders(const NANOMessageSchema* schema, NANOMessageInfo* record, void* codec);
bool NANOAllocateArrays(const NANOMessageSchema* schema, NANOMessageInfo* record);
bool NANOCopyDecodedValues(const NANOMessageSchema* schema, const void* codec, NANOMessageInfo* record);
// Replaces the record's content by the decoded bytes. On failure the record is
// left initialised and empty. The decode and the list items in it together may
// allocate no more than NANODecodeMemoryLimit of the input's length.
bool NANODecodeMessage(const NANOMessageSchema* schema, const uint8_t* buffer, size_t length,
                       NANOMessageInfo* record);
// The decode callback of a list whose items are this message.
bool NANODecodeRepeatedMessage(const NANOMessageSchema* schema, pb_istream_t* stream, const pb_field_t* field,
                               void** arg);

bool NANOSetEncoders(const NANOMessageSchema* schema, const NANOMessageInfo* record, void* codec);
// The byte count with a buffer the caller frees in *output, or -1.
int32_t NANOEncodeMessage(const NANOMessageSchema* schema, const NANOMessageInfo* record, uint8_t** output);
// The encoding written straight into the bytes returned; nullopt when the
// record cannot be encoded.
std::optional<std::vector<uint8_t>> NANOEncodeMessageData(const NANOMessageSchema* schema,
                                                          const NANOMessageInfo* record);
// The encode callback of a list whose items are this message.
bool NANOEncodeRepeatedMessage(const NANOMessageSchema* schema, pb_ostream_t* stream, const pb_field_t* field,
                               void* const* arg);

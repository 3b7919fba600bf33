// The helpers below every message's functions: writers that create or refill
// one value cell, string and array helpers, the nanopb callbacks that move
// strings and lists between the wire and the cells, and encoding to a buffer.
// Failures return false (or -1) after a line on the diagnostics output.
#pragma once

#include <pb.h>
#include <pb_decode.h>

#include <cstddef>
#include <cstdint>

#include "measurement/proto/NANODecodeArena.h"
#include "measurement/proto/NANOMessageInfo.h"

// Longest string or bytes value a decode accepts; one byte more fails it.
inline constexpr size_t NANOMaxStringLength = 0x100000;

// A zero-filled block of at least one byte (never a zero-byte allocation),
// released with NANOFree. While a NANODecodeBudget is active on the thread,
// the block is charged to it and refused (NULL) once the budget is spent;
// while a NANODecodeArena is, it is cut from the arena's chunks.
void* NANOAllocZeroed(size_t size);

// What one decode may allocate: a base allowance plus a fixed amount per input
// byte, never more than the cap. Without it a few input bytes (an empty list
// item) become a record of hundreds of bytes, without bound.
inline constexpr size_t NANODecodeMemoryBase = size_t{64} << 10;
inline constexpr size_t NANODecodeMemoryPerInputByte = 64;
inline constexpr size_t NANODecodeMemoryCap = size_t{256} << 20;
size_t NANODecodeMemoryLimit(size_t inputLength);

// The memory budget of the outermost decode on a thread. Decodes nested in it
// (list items) share it; a budget made while another is active stays inactive.
class NANODecodeBudget {
 public:
  explicit NANODecodeBudget(size_t inputLength);
  // A budget of that many bytes, whatever the input's length.
  struct Bytes {
    size_t limit;
  };
  explicit NANODecodeBudget(Bytes bytes);
  ~NANODecodeBudget();
  NANODecodeBudget(const NANODecodeBudget&) = delete;
  NANODecodeBudget& operator=(const NANODecodeBudget&) = delete;

  bool active() const { return active_; }
  size_t limit() const { return limit_; }
  // Whether the budget active on this thread refused a block.
  static bool exceeded();
  // Charges a block of that size; false when it does not fit.
  static bool charge(size_t size);
  // Charges a block growing from one size to another (from 0: a new block)
  // with what the larger block costs beyond the smaller; false when that
  // does not fit.
  static bool chargeGrowth(size_t fromSize, size_t toSize);
  // What the active budget has charged so far and its limit (0 without one).
  static size_t used();
  static size_t activeLimit();
  // Marks the active budget exceeded: the decode under it failed for memory.
  static void refuse();
  // What the last outermost budget to end on this thread had charged: the
  // memory its decode took.
  static size_t lastSpent();

 private:
  bool active_ = false;
  bool exceeded_ = false;
  size_t limit_ = 0;
  size_t used_ = 0;
};

// Cell writers: allocate the slot's cell when the slot holds NULL, then store.
// A NULL slot address prints "<ERROR> Unable to set <kind>. Destination
// pointer is NULL" and changes nothing.
bool NANOSetBoolValue(void** slot, bool value);
bool NANOSetUInt32Value(void** slot, uint32_t value);
bool NANOSetUInt64Value(void** slot, uint64_t value);
bool NANOSetFloatValue(void** slot, float value);
bool NANOSetDoubleValue(void** slot, double value);

// Frees the item array (not the items) and zeroes the header.
bool NANOInitArray(NANOArray* array);
// Frees the string's bytes; the NANOString itself stays.
bool NANODeallocString(NANOString* string);
// Frees the string's bytes and the NANOString itself.
void NANOFreeString(NANOString* string);
// A new NANOString with room for `length` bytes and a terminating zero in its
// own block (one allocation instead of two); the bytes are not initialised.
// Freeing the string's bytes later leaves that room unused until the
// NANOString itself is freed.
NANOString* NANONewString(size_t length);
// Replaces the slot's value with a copy of the bytes (allocating the
// NANOString when the slot holds NULL). On failure the old value is kept.
bool NANOSetStringValue(void** slot, const void* bytes, size_t length);
bool NANOSetBytesValue(void** slot, const void* bytes, size_t length);

// Decode callbacks. A singular field's argument is the address of its slot;
// a list's argument is its NANOArray. A list callback counts items while the
// array has no item storage (first pass) and fills them after (second pass).
bool NANODecodeString(pb_istream_t* stream, const pb_field_t* field, void** arg);
// NANODecodeString's work on the next `length` bytes of a stream that holds
// at least that many.
bool NANOReadString(pb_istream_t* stream, size_t length, void** slot);
bool NANODecodeBytes(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool NANODecodeRepeatedString(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool NANODecodeRepeatedBytes(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool NANODecodeRepeatedVarint(pb_istream_t* stream, const pb_field_t* field, void** arg);

// Encode callbacks. A singular field's argument is its NANOString, a list's
// its NANOArray. Lists are written one key per item (never packed); a NULL
// item or a string without bytes fails the encoding.
bool NANOEncodeString(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool NANOEncodeBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool NANOEncodeRepeatedString(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool NANOEncodeRepeatedBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool NANOEncodeRepeatedVarint(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);

// Measures the encoding, allocates exactly that size (zero-filled) and encodes
// into it. Returns the byte count with the buffer in *output (the caller frees
// it), or -1 with *output NULL.
int32_t NANOEncodeToBuffer(const pb_msgdesc_t* fields, const void* source, uint8_t** output);

// An input stream over memory whose position stays known to the runtime, so
// that list items are decoded where they lie instead of being copied.
pb_istream_t NANOIStreamFromBuffer(const uint8_t* buffer, size_t length);
// The current read position of a stream made by NANOIStreamFromBuffer (or a
// nanopb sub-stream of one), else NULL.
const uint8_t* NANOIStreamPosition(const pb_istream_t* stream);
// Skips input bytes; on a memory stream without reading them.
bool NANOSkipBytes(pb_istream_t* stream, size_t count);

// The list an encode callback was given, or NULL when it cannot be written
// (no header, or items counted without storage).
const NANOArray* NANOListToEncode(void* const* arg);

// A list callback's first pass: one more item (false when the count would overflow).
bool NANOCountItem(NANOArray* array);
// A list callback's second pass: the slot to fill next, or NULL when the first
// pass counted fewer items.
void** NANONextItemSlot(NANOArray* array);

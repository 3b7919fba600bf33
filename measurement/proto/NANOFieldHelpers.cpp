#include "measurement/proto/NANOFieldHelpers.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "measurement/proto/NANODecodeArena.h"
#include "measurement/proto/NANODiagnostics.h"

namespace {

thread_local NANODecodeBudget* activeBudget = nullptr;
thread_local size_t lastBudgetSpent = 0;

// What the heap takes for a block: the size rounded up to its 16-byte
// granule, plus the block's header.
size_t heapCost(size_t size) { return ((size + 15) & ~size_t{15}) + 16; }

// Bytes kept in a NANOString's own block start one word past the header: an
// address no allocation starts at (allocations are 16-byte aligned and the
// header is 16 bytes), so freeing can tell them from separately allocated bytes.
static_assert(alignof(std::max_align_t) == 16 && sizeof(NANOString) == 16);
constexpr size_t kInlineBytesOffset = sizeof(NANOString) + 8;

uint8_t* inlineBytes(NANOString* string) { return reinterpret_cast<uint8_t*>(string) + kInlineBytesOffset; }

void freeBytes(NANOString* string) {
  if (string->data != inlineBytes(string)) NANOFree(string->data);
}

}  // namespace

void* NANOAllocZeroed(size_t size) {
  if (size == 0) size = 1;
  if (!NANODecodeBudget::charge(size)) return nullptr;
  void* block = NANODecodeArena::allocate(size);
  if (block == nullptr) return nullptr;
  std::memset(block, 0, size);
  return block;
}

size_t NANODecodeMemoryLimit(size_t inputLength) {
  if (inputLength >= (NANODecodeMemoryCap - NANODecodeMemoryBase) / NANODecodeMemoryPerInputByte) {
    return NANODecodeMemoryCap;
  }
  return NANODecodeMemoryBase + inputLength * NANODecodeMemoryPerInputByte;
}

NANODecodeBudget::NANODecodeBudget(size_t inputLength) : NANODecodeBudget(Bytes{NANODecodeMemoryLimit(inputLength)}) {}

NANODecodeBudget::NANODecodeBudget(Bytes bytes) {
  if (activeBudget != nullptr) return;
  active_ = true;
  limit_ = bytes.limit;
  activeBudget = this;
}

NANODecodeBudget::~NANODecodeBudget() {
  if (!active_) return;
  activeBudget = nullptr;
  lastBudgetSpent = used_;
}

bool NANODecodeBudget::exceeded() { return activeBudget != nullptr && activeBudget->exceeded_; }

bool NANODecodeBudget::charge(size_t size) { return chargeGrowth(0, size); }

bool NANODecodeBudget::chargeGrowth(size_t fromSize, size_t toSize) {
  NANODecodeBudget* budget = activeBudget;
  if (budget == nullptr) return true;
  size_t cost = heapCost(toSize) - (fromSize == 0 ? 0 : heapCost(fromSize));
  if (budget->exceeded_ || toSize > budget->limit_ || cost > budget->limit_ - budget->used_) {
    budget->exceeded_ = true;
    return false;
  }
  budget->used_ += cost;
  return true;
}

size_t NANODecodeBudget::used() { return activeBudget != nullptr ? activeBudget->used_ : 0; }

size_t NANODecodeBudget::activeLimit() { return activeBudget != nullptr ? activeBudget->limit_ : 0; }

size_t NANODecodeBudget::lastSpent() { return lastBudgetSpent; }

void NANODecodeBudget::refuse() {
  if (activeBudget != nullptr) activeBudget->exceeded_ = true;
}

void NANOFreeString(NANOString* string) {
  if (string == nullptr) return;
  freeBytes(string);
  NANOFree(string);
}

NANOString* NANONewString(size_t length) {
  if (length >= std::numeric_limits<uint32_t>::max() - kInlineBytesOffset) return nullptr;
  size_t size = kInlineBytesOffset + length + 1;
  if (!NANODecodeBudget::charge(size)) return nullptr;
  auto* string = static_cast<NANOString*>(NANODecodeArena::allocate(size));
  if (string == nullptr) return nullptr;
  string->reserved = 0;
  string->length = static_cast<uint32_t>(length);
  string->data = inlineBytes(string);
  string->data[length] = 0;
  return string;
}

namespace {

// Every scalar cell has 8 bytes, a float's value in the first 4, so that no
// writer can run past a cell another kind allocated.
template <class T>
bool setCell(void** slot, T value, const char* kind) {
  static_assert(sizeof(T) <= sizeof(uint64_t));
  if (slot == nullptr) {
    NANOPrint("<ERROR> Unable to set %s. Destination pointer is NULL\n", kind);
    return false;
  }
  if (*slot == nullptr) {
    *slot = NANOAllocZeroed(sizeof(uint64_t));
    if (*slot == nullptr) return false;
  }
  std::memcpy(*slot, &value, sizeof value);
  return true;
}

bool readMemory(pb_istream_t* stream, pb_byte_t* buffer, size_t count) {
  auto* at = static_cast<const pb_byte_t*>(stream->state);
  // Varints are read a byte at a time.
  if (count == 1 && buffer != nullptr) {
    *buffer = *at;
  } else if (buffer != nullptr) {
    std::memcpy(buffer, at, count);
  }
  stream->state = const_cast<pb_byte_t*>(at + count);
  return true;
}

}  // namespace

bool NANOCountItem(NANOArray* array) {
  if (array->count == std::numeric_limits<uint32_t>::max()) return false;
  ++array->count;
  return true;
}

// Both passes read the same bytes, so only a broken caller runs out of slots.
void** NANONextItemSlot(NANOArray* array) {
  if (array->items == nullptr || array->cursor >= array->count) return nullptr;
  return &array->items[array->cursor++];
}

const NANOArray* NANOListToEncode(void* const* arg) {
  auto* array = arg != nullptr ? static_cast<const NANOArray*>(*arg) : nullptr;
  if (array == nullptr || (array->count != 0 && array->items == nullptr)) return nullptr;
  return array;
}

bool NANOSetBoolValue(void** slot, bool value) { return setCell<uint64_t>(slot, value ? 1 : 0, "bool"); }
bool NANOSetUInt32Value(void** slot, uint32_t value) { return setCell<uint64_t>(slot, value, "uint32"); }
bool NANOSetUInt64Value(void** slot, uint64_t value) { return setCell<uint64_t>(slot, value, "uint64"); }
bool NANOSetFloatValue(void** slot, float value) { return setCell<float>(slot, value, "float"); }
bool NANOSetDoubleValue(void** slot, double value) { return setCell<double>(slot, value, "double"); }

bool NANOInitArray(NANOArray* array) {
  if (array == nullptr) {
    NANOPrint("<ERROR> Unable to initialize the array. Array pointer is NULL\n");
    return false;
  }
  NANOFree(array->items);
  *array = NANOArray{};
  return true;
}

bool NANODeallocString(NANOString* string) {
  if (string == nullptr) {
    NANOPrint("<ERROR> Unable to dealloc string field. String struct is NULL\n");
    return false;
  }
  freeBytes(string);
  *string = NANOString{};
  return true;
}

bool NANOSetStringValue(void** slot, const void* bytes, size_t length) {
  if (slot == nullptr) {
    NANOPrint("<ERROR> Unable to set string. Destination array is NULL\n");
    return false;
  }
  if ((bytes == nullptr && length != 0) || length >= std::numeric_limits<uint32_t>::max()) return false;
  auto* string = static_cast<NANOString*>(*slot);
  if (string == nullptr) {
    string = NANONewString(length);
    if (string == nullptr) return false;
    if (length != 0) std::memcpy(string->data, bytes, length);
    *slot = string;
    return true;
  }
  auto* data = static_cast<uint8_t*>(NANODecodeArena::allocate(length + 1));
  if (data == nullptr) return false;
  if (length != 0) std::memcpy(data, bytes, length);
  data[length] = 0;
  freeBytes(string);
  string->data = data;
  string->length = static_cast<uint32_t>(length);
  return true;
}

bool NANOSetBytesValue(void** slot, const void* bytes, size_t length) {
  return NANOSetStringValue(slot, bytes, length);
}

bool NANODecodeString(pb_istream_t* stream, const pb_field_t*, void** arg) {
  if (arg == nullptr || *arg == nullptr) return false;
  return NANOReadString(stream, stream->bytes_left, static_cast<void**>(*arg));
}

bool NANOReadString(pb_istream_t* stream, size_t length, void** slot) {
  if (*slot != nullptr) {
    // Filled by an earlier occurrence or by the first pass: the first value wins.
    if (static_cast<NANOString*>(*slot)->data == nullptr) {
      NANOPrint("<ERROR> String decoder failed: string data is NULL\n");
      return false;
    }
    return NANOSkipBytes(stream, length);
  }
  if (length > NANOMaxStringLength) {
    // The field is left present and empty, as a failed read leaves it.
    *slot = NANOAllocZeroed(sizeof(NANOString));
    NANOPrint("Unable to process proto stream. Buffer is too big. %zu > %d", length,
              static_cast<int>(NANOMaxStringLength));
    return false;
  }
  NANOString* string = NANONewString(length);
  if (string == nullptr) {
    PB_RETURN_ERROR(stream, NANODecodeBudget::exceeded() ? "memory budget exceeded" : "out of memory");
  }
  *slot = string;
  if (!pb_read(stream, string->data, length)) {
    *string = NANOString{};
    return false;
  }
  return true;
}

bool NANODecodeBytes(pb_istream_t* stream, const pb_field_t* field, void** arg) {
  return NANODecodeString(stream, field, arg);
}

bool NANODecodeRepeatedString(pb_istream_t* stream, const pb_field_t* field, void** arg) {
  auto* array = arg != nullptr ? static_cast<NANOArray*>(*arg) : nullptr;
  if (array == nullptr) return false;
  if (array->items == nullptr) return NANOSkipBytes(stream, stream->bytes_left) && NANOCountItem(array);
  void** slot = NANONextItemSlot(array);
  if (slot == nullptr) return false;
  void* slotArg = slot;
  return NANODecodeString(stream, field, &slotArg);
}

bool NANODecodeRepeatedBytes(pb_istream_t* stream, const pb_field_t* field, void** arg) {
  return NANODecodeRepeatedString(stream, field, arg);
}

bool NANODecodeRepeatedVarint(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto* array = arg != nullptr ? static_cast<NANOArray*>(*arg) : nullptr;
  if (array == nullptr) return false;
  // A packed block of no elements is a valid empty list.
  if (stream->bytes_left == 0) return true;
  uint64_t value;
  if (!pb_decode_varint(stream, &value)) return false;
  if (array->items == nullptr) return NANOCountItem(array);
  void** slot = NANONextItemSlot(array);
  return slot != nullptr && NANOSetUInt64Value(slot, value);
}

bool NANOEncodeString(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  auto* string = arg != nullptr ? static_cast<const NANOString*>(*arg) : nullptr;
  if (string == nullptr || string->data == nullptr) return false;
  return pb_encode_tag_for_field(stream, field) && pb_encode_string(stream, string->data, string->length);
}

bool NANOEncodeBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  return NANOEncodeString(stream, field, arg);
}

bool NANOEncodeRepeatedString(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const NANOArray* array = NANOListToEncode(arg);
  if (array == nullptr) return false;
  for (uint32_t i = 0; i < array->count; ++i) {
    if (!NANOEncodeString(stream, field, &array->items[i])) return false;
  }
  return true;
}

bool NANOEncodeRepeatedBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  return NANOEncodeRepeatedString(stream, field, arg);
}

bool NANOEncodeRepeatedVarint(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const NANOArray* array = NANOListToEncode(arg);
  if (array == nullptr) return false;
  for (uint32_t i = 0; i < array->count; ++i) {
    const void* item = array->items[i];
    if (item == nullptr) return false;
    if (!pb_encode_tag_for_field(stream, field) || !pb_encode_varint(stream, NANOCellUInt64(item))) return false;
  }
  return true;
}

int32_t NANOEncodeToBuffer(const pb_msgdesc_t* fields, const void* source, uint8_t** output) {
  if (output == nullptr) return -1;
  *output = nullptr;
  pb_ostream_t sizing = PB_OSTREAM_SIZING;
  if (!pb_encode(&sizing, fields, source)) return -1;
  size_t size = sizing.bytes_written;
  if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return -1;
  auto* buffer = static_cast<uint8_t*>(NANOAllocZeroed(size));
  if (buffer == nullptr) return -1;
  pb_ostream_t stream = pb_ostream_from_buffer(buffer, size);
  if (!pb_encode(&stream, fields, source)) {
    std::free(buffer);
    return -1;
  }
  *output = buffer;
  return static_cast<int32_t>(stream.bytes_written);
}

pb_istream_t NANOIStreamFromBuffer(const uint8_t* buffer, size_t length) {
  pb_istream_t stream{};
  stream.callback = &readMemory;
  stream.state = const_cast<uint8_t*>(buffer);
  stream.bytes_left = buffer != nullptr ? length : 0;
  return stream;
}

const uint8_t* NANOIStreamPosition(const pb_istream_t* stream) {
  return stream->callback == &readMemory ? static_cast<const uint8_t*>(stream->state) : nullptr;
}

bool NANOSkipBytes(pb_istream_t* stream, size_t count) {
  if (stream->callback != &readMemory) return pb_read(stream, nullptr, count);
  if (stream->bytes_left < count) PB_RETURN_ERROR(stream, "end-of-stream");
  readMemory(stream, nullptr, count);
  stream->bytes_left -= count;
  return true;
}

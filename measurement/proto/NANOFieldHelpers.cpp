#include "measurement/proto/NANOFieldHelpers.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <cstdlib>
#include <cstring>
#include <limits>

#include "measurement/proto/NANODiagnostics.h"

void* NANOAllocZeroed(size_t size) { return std::calloc(1, size == 0 ? 1 : size); }

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
  if (buffer != nullptr) std::memcpy(buffer, at, count);
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
  std::free(array->items);
  *array = NANOArray{};
  return true;
}

bool NANODeallocString(NANOString* string) {
  if (string == nullptr) {
    NANOPrint("<ERROR> Unable to dealloc string field. String struct is NULL\n");
    return false;
  }
  std::free(string->data);
  *string = NANOString{};
  return true;
}

bool NANOSetStringValue(void** slot, const void* bytes, size_t length) {
  if (slot == nullptr) {
    NANOPrint("<ERROR> Unable to set string. Destination array is NULL\n");
    return false;
  }
  if ((bytes == nullptr && length != 0) || length >= std::numeric_limits<uint32_t>::max()) return false;
  auto* data = static_cast<uint8_t*>(NANOAllocZeroed(length + 1));
  if (data == nullptr) return false;
  if (length != 0) std::memcpy(data, bytes, length);
  auto* string = static_cast<NANOString*>(*slot);
  if (string == nullptr) {
    string = static_cast<NANOString*>(NANOAllocZeroed(sizeof(NANOString)));
    if (string == nullptr) {
      std::free(data);
      return false;
    }
    *slot = string;
  }
  std::free(string->data);
  string->data = data;
  string->length = static_cast<uint32_t>(length);
  return true;
}

bool NANOSetBytesValue(void** slot, const void* bytes, size_t length) {
  return NANOSetStringValue(slot, bytes, length);
}

bool NANODecodeString(pb_istream_t* stream, const pb_field_t*, void** arg) {
  if (arg == nullptr || *arg == nullptr) return false;
  auto** slot = static_cast<void**>(*arg);
  if (*slot != nullptr) {
    // Filled by an earlier occurrence or by the first pass: the first value wins.
    if (static_cast<NANOString*>(*slot)->data == nullptr) {
      NANOPrint("<ERROR> String decoder failed: string data is NULL\n");
      return false;
    }
    return NANOSkipBytes(stream, stream->bytes_left);
  }
  auto* string = static_cast<NANOString*>(NANOAllocZeroed(sizeof(NANOString)));
  if (string == nullptr) return false;
  *slot = string;
  size_t length = stream->bytes_left;
  if (length > NANOMaxStringLength) {
    NANOPrint("Unable to process proto stream. Buffer is too big. %zu > %d", length,
              static_cast<int>(NANOMaxStringLength));
    return false;
  }
  auto* data = static_cast<uint8_t*>(NANOAllocZeroed(length + 1));
  if (data == nullptr) return false;
  if (!pb_read(stream, data, length)) {
    std::free(data);
    return false;
  }
  string->data = data;
  string->length = static_cast<uint32_t>(length);
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

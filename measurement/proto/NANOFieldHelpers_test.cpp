#include "measurement/proto/NANOFieldHelpers.h"

#include <gtest/gtest.h>
#include <pb_encode.h>

#include <cstdlib>
#include <functional>

#include "measurement/proto/NANOTestRecords.h"
#include "measurement/proto/generated/MeasurementMessages.h"

namespace {

struct CellWriter {
  const char* kind;
  std::function<bool(void**)> write;
  uint64_t stored;  // the cell's first 8 bytes (4 for a float) after the write
  size_t size;
};

TEST(NANOFieldHelpers, CellWritersAllocateOnceAndRefuseANullSlot) {
  const CellWriter writers[] = {
      {"bool", [](void** s) { return NANOSetBoolValue(s, true); }, 1, 8},
      {"uint32", [](void** s) { return NANOSetUInt32Value(s, 0xFFFFFFFFu); }, 0xFFFFFFFFu, 8},
      {"uint64", [](void** s) { return NANOSetUInt64Value(s, ~uint64_t{0}); }, ~uint64_t{0}, 8},
      {"float", [](void** s) { return NANOSetFloatValue(s, 1.0f); }, 0x3F800000u, 4},
      {"double", [](void** s) { return NANOSetDoubleValue(s, 1.0); }, 0x3FF0000000000000u, 8},
  };
  for (const CellWriter& writer : writers) {
    SCOPED_TRACE(writer.kind);
    {
      CapturedOutput output;
      EXPECT_FALSE(writer.write(nullptr));
      EXPECT_EQ(output.text(), std::string("<ERROR> Unable to set ") + writer.kind + ". Destination pointer is NULL\n");
    }
    void* cell = nullptr;
    ASSERT_TRUE(writer.write(&cell));
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(std::memcmp(cell, &writer.stored, writer.size), 0);
    void* first = cell;
    ASSERT_TRUE(writer.write(&cell));
    EXPECT_EQ(cell, first) << "a later write reuses the cell";
    std::free(cell);
  }

  // A 32-bit value leaves the high half of its 8-byte cell zero.
  void* cell = nullptr;
  NANOSetUInt64Value(&cell, ~uint64_t{0});
  NANOSetUInt32Value(&cell, 7);
  EXPECT_EQ(NANOCellUInt64(cell), 7u);
  std::free(cell);
}

TEST(NANOFieldHelpers, StringsAreCopiedWithATerminatingZero) {
  void* slot = nullptr;
  ASSERT_TRUE(NANOSetStringValue(&slot, "abc", 3));
  auto* string = static_cast<NANOString*>(slot);
  EXPECT_EQ(string->length, 3u);
  EXPECT_EQ(std::memcmp(string->data, "abc", 4), 0);

  // An empty value still has bytes, so it is told from an absent one and encodes.
  ASSERT_TRUE(NANOSetStringValue(&slot, "", 0));
  EXPECT_EQ(static_cast<NANOString*>(slot), string) << "the NANOString is reused";
  EXPECT_EQ(string->length, 0u);
  ASSERT_NE(string->data, nullptr);
  EXPECT_EQ(string->data[0], 0);

  EXPECT_FALSE(NANOSetStringValue(&slot, nullptr, 4));
  EXPECT_EQ(string->length, 0u) << "a refused write keeps the old value";

  ASSERT_TRUE(NANODeallocString(string));
  EXPECT_EQ(string->data, nullptr);
  std::free(string);
}

TEST(NANOFieldHelpers, NullArgumentsAreRefusedWithTheirMessages) {
  CapturedOutput output;
  EXPECT_FALSE(NANOSetStringValue(nullptr, "a", 1));
  EXPECT_FALSE(NANOInitArray(nullptr));
  EXPECT_FALSE(NANODeallocString(nullptr));
  EXPECT_EQ(output.text(),
            "<ERROR> Unable to set string. Destination array is NULL\n"
            "<ERROR> Unable to initialize the array. Array pointer is NULL\n"
            "<ERROR> Unable to dealloc string field. String struct is NULL\n");
}

TEST(NANOFieldHelpers, EncodingAnEmptyStructGivesABufferOfNoBytes) {
  measurement_Flag codec{};
  uint8_t* output = reinterpret_cast<uint8_t*>(1);
  EXPECT_EQ(NANOEncodeToBuffer(&measurement_Flag_msg, &codec, &output), 0);
  EXPECT_NE(output, nullptr);
  std::free(output);
}

TEST(NANOFieldHelpers, AFailedEncodingLeavesNoBuffer) {
  // A string callback without a value fails both passes.
  NANOString empty{};
  measurement_Flag codec{};
  codec.name.funcs.encode = NANOEncodeString;
  codec.name.arg = &empty;
  uint8_t* output = reinterpret_cast<uint8_t*>(1);
  EXPECT_EQ(NANOEncodeToBuffer(&measurement_Flag_msg, &codec, &output), -1);
  EXPECT_EQ(output, nullptr);
}

TEST(NANOFieldHelpers, ListsAreWrittenOneKeyPerItem) {
  Record entry = NewRecord(&SequenceFilterResultTimestamp_schema);
  AppendVarint(List(entry.get(), 1), 1);
  AppendVarint(List(entry.get(), 1), 300);
  EXPECT_EQ(Hex(Encoded(&SequenceFilterResultTimestamp_schema, entry.get())), "10 01 10 ac 02");

  Record filter = NewRecord(&StringFilter_schema);
  AppendString(List(filter.get(), 3), "a");
  AppendString(List(filter.get(), 3), "");
  EXPECT_EQ(Hex(Encoded(&StringFilter_schema, filter.get())), "22 01 61 22 00");
}

TEST(NANOFieldHelpers, MemoryStreamsKnowTheirPosition) {
  const uint8_t bytes[] = {1, 2, 3, 4};
  pb_istream_t stream = NANOIStreamFromBuffer(bytes, sizeof bytes);
  EXPECT_EQ(NANOIStreamPosition(&stream), bytes);
  ASSERT_TRUE(NANOSkipBytes(&stream, 3));
  EXPECT_EQ(NANOIStreamPosition(&stream), bytes + 3);
  EXPECT_EQ(stream.bytes_left, 1u);
  EXPECT_FALSE(NANOSkipBytes(&stream, 2));

  pb_istream_t foreign = pb_istream_from_buffer(bytes, sizeof bytes);
  EXPECT_EQ(NANOIStreamPosition(&foreign), nullptr);
  EXPECT_TRUE(NANOSkipBytes(&foreign, 4));
}

}  // namespace

// The per-message functions on real messages of the catalogue: decode rules,
// encode rules, copies, frees and their failure texts.
#include "measurement/proto/NANOMessageFunctions.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>

#include "measurement/proto/NANOFieldHelpers.h"
#include "measurement/proto/NANOTestRecords.h"
#include "measurement/proto/generated/MeasurementMessages.h"

namespace {

Bytes hexBytes(const char* hex) {
  Bytes bytes;
  for (const char* p = hex; *p != '\0';) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    bytes.push_back(static_cast<uint8_t>(std::strtoul(std::string(p, 2).c_str(), nullptr, 16)));
    p += 2;
  }
  return bytes;
}

void appendVarint(Bytes& bytes, uint64_t value) {
  do {
    uint8_t byte = value & 0x7F;
    value >>= 7;
    bytes.push_back(value != 0 ? (byte | 0x80) : byte);
  } while (value != 0);
}

// A length-delimited field: key, length, content.
Bytes delimited(uint32_t tag, const Bytes& content) {
  Bytes bytes;
  appendVarint(bytes, (tag << 3) | 2);
  appendVarint(bytes, content.size());
  bytes.insert(bytes.end(), content.begin(), content.end());
  return bytes;
}

// RuntimeEntity nested `levels` deep through its `value` list (tag 2), built
// back to front so that deep inputs take linear time.
Bytes nestedEntities(int levels) {
  Bytes reversed;
  for (int i = 1; i < levels; ++i) {
    Bytes header{0x12};
    appendVarint(header, reversed.size());
    reversed.insert(reversed.end(), header.rbegin(), header.rend());
  }
  return Bytes(reversed.rbegin(), reversed.rend());
}

bool allFieldsAbsent(const NANOMessageSchema* schema, const NANOMessageInfo* record) {
  for (int32_t i = 0; i < schema->fieldCount; ++i) {
    if (NANOFieldIsRepeated(schema->flags[i]) ? List(record, i)->count != 0 : Slot(record, i) != nullptr) return false;
  }
  return true;
}

struct SubMessageCase {
  const NANOMessageSchema* schema;
  const char* bytes;
  std::initializer_list<int> present;
  std::initializer_list<int> absent;
};

// A sub-message exists exactly when the input carried it, empty or not.
TEST(NANODecode, SubMessagesArePresentExactlyWhenSent) {
  const SubMessageCase cases[] = {
      {&MeasurementBundle_schema, "08 01", {}, {52, 53, 54}},
      {&MeasurementBundle_schema, "a2 05 00", {53}, {52, 54}},
      {&OnDeviceMeasurementInfo_schema, "12 00", {1}, {0, 2, 3}},
      {&AudienceLeafFilterResult_schema, "12 00", {1}, {2}},
      {&Filter_schema, "0a 00 12 00", {0, 1}, {}},
      {&MeasurementConfig_schema, "92 01 00", {15}, {12, 13, 14}},
  };
  for (const SubMessageCase& c : cases) {
    SCOPED_TRACE(std::string(c.schema->name) + " " + c.bytes);
    Record record = Decoded(c.schema, hexBytes(c.bytes));
    ASSERT_TRUE(record);
    for (int id : c.present) {
      auto* nested = Slot<NANOMessageInfo>(record.get(), id);
      ASSERT_NE(nested, nullptr) << id;
      EXPECT_TRUE(allFieldsAbsent(c.schema->fields[id].message, nested)) << id;
    }
    for (int id : c.absent) EXPECT_EQ(Slot(record.get(), id), nullptr) << id;
  }
}

TEST(NANODecode, FirstStringWinsAndLastScalarWins) {
  // Flag: name "a", name "b", int_value 1, int_value 2.
  Record flag = Decoded(&Flag_schema, hexBytes("0a 01 61 10 01 0a 01 62 10 02"));
  ASSERT_TRUE(flag);
  EXPECT_EQ(StringAt(flag.get(), 0), "a");
  EXPECT_EQ(NANOCellUInt64(Slot(flag.get(), 1)), 2u);

  // A list keeps every occurrence, in order.
  Record filter = Decoded(&StringFilter_schema, hexBytes("22 01 61 22 00 22 01 62"));
  ASSERT_TRUE(filter);
  ASSERT_EQ(List(filter.get(), 3)->count, 3u);
  EXPECT_EQ(Hex(Encoded(&StringFilter_schema, filter.get())), "22 01 61 22 00 22 01 62");
}

TEST(NANODecode, UnknownTagsAreSkippedAndNotWrittenAgain) {
  // version 5, tag 12 varint, tag 13 string, app_id "x", tag 99 fixed32, tag 100 fixed64.
  Record config = Decoded(&MeasurementConfig_schema,
                          hexBytes("08 05 60 07 6a 02 68 69 12 01 78 9d 06 01 02 03 04 a1 06 01 02 03 04 05 06 07 08"));
  ASSERT_TRUE(config);
  EXPECT_EQ(NANOCellUInt64(Slot(config.get(), 0)), 5u);
  EXPECT_EQ(StringAt(config.get(), 1), "x");
  EXPECT_EQ(Hex(Encoded(&MeasurementConfig_schema, config.get())), "08 05 12 01 78");
}

TEST(NANODecode, PackedListsAreAcceptedAndWrittenUnpacked) {
  struct Case {
    const char* bytes;
    std::vector<uint64_t> status, results;
  } cases[] = {
      // status packed {1, 300, max}; results one unpacked then a packed pair.
      {"0a 0d 01 ac 02 ff ff ff ff ff ff ff ff ff 01 10 07 12 02 08 09", {1, 300, ~uint64_t{0}}, {7, 8, 9}},
      // an empty packed block is an empty list
      {"0a 00 10 05", {}, {5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    Record record = Decoded(&ResultData_schema, hexBytes(c.bytes));
    ASSERT_TRUE(record);
    for (auto [id, expected] : {std::pair{0, &c.status}, std::pair{1, &c.results}}) {
      NANOArray* list = List(record.get(), id);
      ASSERT_EQ(list->count, expected->size());
      for (uint32_t i = 0; i < list->count; ++i) EXPECT_EQ(NANOCellUInt64(list->items[i]), (*expected)[i]);
    }
  }
  Record record = Decoded(&ResultData_schema, hexBytes(cases[0].bytes));
  EXPECT_EQ(Hex(Encoded(&ResultData_schema, record.get())),
            "08 01 08 ac 02 08 ff ff ff ff ff ff ff ff ff 01 10 07 10 08 10 09");
}

TEST(NANODecode, StringsUpToOneMebibyteAreAccepted) {
  Bytes name(NANOMaxStringLength, 'n');
  Record param = Decoded(&EventParam_schema, delimited(1, name));
  ASSERT_TRUE(param);
  EXPECT_EQ(Slot<NANOString>(param.get(), 0)->length, NANOMaxStringLength);

  name.push_back('n');
  Record record = NewRecord(&EventParam_schema);
  CapturedOutput output;
  Bytes bytes = delimited(1, name);
  EXPECT_FALSE(EventParam_decode(bytes.data(), bytes.size(), record.get()));
  EXPECT_EQ(output.text(),
            "Unable to process proto stream. Buffer is too big. 1048577 > 1048576"
            "<ERROR> EventParam decoder failed: callback failed\n");
  EXPECT_TRUE(allFieldsAbsent(&EventParam_schema, record.get()));
}

TEST(NANODecode, TheLimitHoldsForListItemsToo) {
  Bytes item = delimited(1, Bytes(NANOMaxStringLength + 1, 'n'));
  Record event = NewRecord(&Event_schema);
  CapturedOutput output;
  Bytes bytes = delimited(1, item);
  EXPECT_FALSE(Event_decode(bytes.data(), bytes.size(), event.get()));
  EXPECT_NE(output.text().find("Buffer is too big. 1048577 > 1048576"), std::string::npos);
  EXPECT_NE(output.text().find("<ERROR> EventParam decoder failed: Unable to decode repeated EventParam\n"),
            std::string::npos);
  EXPECT_TRUE(allFieldsAbsent(&Event_schema, event.get()));
}

TEST(NANODecode, NestingIsBoundedAtTheLimit) {
  Record entity = Decoded(&RuntimeEntity_schema, nestedEntities(NANOMaxNestingDepth));
  ASSERT_TRUE(entity);
  int levels = 1;
  for (const NANOMessageInfo* level = entity.get(); List(level, 1)->count == 1; ++levels) {
    level = static_cast<const NANOMessageInfo*>(List(level, 1)->items[0]);
  }
  EXPECT_EQ(levels, NANOMaxNestingDepth);

  // One level more, or a self-nesting input of any size, fails cleanly.
  for (int depth : {NANOMaxNestingDepth + 1, 100000}) {
    SCOPED_TRACE(depth);
    CapturedOutput output;
    Bytes bytes = nestedEntities(depth);
    Record record = NewRecord(&RuntimeEntity_schema);
    EXPECT_FALSE(RuntimeEntity_decode(bytes.data(), bytes.size(), record.get()));
    EXPECT_NE(output.text().find("<ERROR> RuntimeEntity decoder failed: nesting too deep\n"), std::string::npos);
    EXPECT_TRUE(allFieldsAbsent(&RuntimeEntity_schema, record.get()));
  }
}

struct FailureCase {
  const char* what;
  const NANOMessageSchema* schema;
  const char* bytes;
  const char* printed;
};

TEST(NANODecode, BadInputFailsWithItsMessageAndLeavesTheRecordEmpty) {
  const FailureCase cases[] = {
      {"string longer than the input", &Flag_schema, "0a 01 61 10 01 0a 05 61", "<ERROR> Flag decoder failed: parent stream too short\n"},
      {"varint cut short", &Flag_schema, "0a 01 61 10 ff", "<ERROR> Flag decoder failed: end-of-stream\n"},
      {"scalar with a string's wire type", &Flag_schema, "0a 01 61 12 00", "<ERROR> Flag decoder failed: wrong wire type\n"},
      {"enum out of range", &SdkResponse_schema, "10 80 80 80 80 10", "<ERROR> SdkResponse decoder failed: integer too large\n"},
      {"bad list item", &Experiment_schema, "08 01 12 02 10 ff",
       "<ERROR> Flag decoder failed: end-of-stream\n"
       "<ERROR> Flag decoder failed: Unable to decode repeated Flag\n"
       "<ERROR> Experiment decoder failed: callback failed\n"},
      {"list item with a varint's wire type", &Event_schema, "08 05", "<ERROR> Event decoder failed: wrong wire type\n"},
      {"string with a fixed32's wire type", &Flag_schema, "0d 61 62 63 64",
       "<ERROR> Flag decoder failed: wrong wire type\n"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    Record record = NewRecord(c.schema);
    Bytes bytes = hexBytes(c.bytes);
    CapturedOutput output;
    EXPECT_FALSE(c.schema->decode(bytes.data(), bytes.size(), record.get()));
    EXPECT_EQ(output.text(), c.printed);
    EXPECT_TRUE(allFieldsAbsent(c.schema, record.get()));
  }

  CapturedOutput output;
  EXPECT_FALSE(Flag_decode(nullptr, 0, nullptr));
  Record record = NewRecord(&Flag_schema);
  EXPECT_FALSE(Flag_decode(nullptr, 3, record.get()));
  EXPECT_EQ(output.text(),
            "<ERROR> Flag decoder failed: message_info is NULL\n"
            "<ERROR> Flag decoder failed: buffer is NULL\n");
}

// A batch of nothing but empty bundles: two input bytes per bundle, each a
// whole record of 56 fields once decoded.
Bytes emptyBundles(size_t count) {
  Bytes bytes;
  for (size_t i = 0; i < count; ++i) bytes.insert(bytes.end(), {0x0a, 0x00});
  return bytes;
}

TEST(NANODecode, MemoryIsBoundedByTheInputSize) {
  // 40 000 empty bundles (80 000 bytes) would take about 40 MB.
  Bytes bytes = emptyBundles(40000);
  Record batch = NewRecord(&MeasurementBatch_schema);
  NANOSetStringValue(&batch->fields[1], "kept?", 5);
  {
    CapturedOutput output;
    EXPECT_FALSE(MeasurementBatch_decode(bytes.data(), bytes.size(), batch.get()));
    EXPECT_NE(output.text().find("<ERROR> MeasurementBatch decoder failed: 80000 bytes of input would take more than "
                                 "their memory budget of 5185536 bytes\n"),
              std::string::npos)
        << output.text();
  }
  EXPECT_TRUE(allFieldsAbsent(&MeasurementBatch_schema, batch.get()));

  // The budget ends with its decode: a modest batch of the same kind decodes
  // next, on the same thread.
  bytes = emptyBundles(20);
  ASSERT_TRUE(MeasurementBatch_decode(bytes.data(), bytes.size(), batch.get()));
  EXPECT_EQ(List(batch.get(), 0)->count, 20u);
}

TEST(NANODecode, TheBudgetGrowsWithTheInputUpToACap) {
  struct Case {
    size_t input;
    size_t limit;
  } cases[] = {
      {0, NANODecodeMemoryBase},
      {1000, NANODecodeMemoryBase + 1000 * NANODecodeMemoryPerInputByte},
      {NANODecodeMemoryCap, NANODecodeMemoryCap},
      {SIZE_MAX, NANODecodeMemoryCap},
  };
  for (const Case& c : cases) EXPECT_EQ(NANODecodeMemoryLimit(c.input), c.limit) << c.input;
}

// Bytes a message's own encoding leaves out earn no memory: a message refused
// from its encoding is refused from a longer input too, so that whatever
// decodes also decodes from its encoding.
TEST(NANODecode, TheBudgetFollowsTheMessageNotTheBytesAroundIt) {
  auto decodes = [](const Bytes& bytes) {
    Record batch = NewRecord(&MeasurementBatch_schema);
    CapturedOutput quiet;
    return MeasurementBatch_decode(bytes.data(), bytes.size(), batch.get());
  };
  // The fewest empty bundles whose own encoding is over budget.
  size_t low = 1, high = 2;
  while (decodes(emptyBundles(high))) {
    low = high;
    high *= 2;
  }
  while (high - low > 1) {
    size_t middle = (low + high) / 2;
    (decodes(emptyBundles(middle)) ? low : high) = middle;
  }
  const Bytes filler(600, 0x61);
  Bytes twice = delimited(7, {0x61});
  Bytes second = delimited(7, filler);
  twice.insert(twice.end(), second.begin(), second.end());
  Bytes longNumbers;
  for (int i = 0; i < 100; ++i) longNumbers.insert(longNumbers.end(), {0x48, 0x81, 0x80, 0x80, 0x80, 0x00});
  const struct Case {
    const char* what;
    Bytes padding;
  } cases[] = {
      {"an unknown field", delimited(15, filler)},
      {"a string given twice (the first counts)", twice},
      {"a number given again and again, each time in five bytes", longNumbers},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes admitted = emptyBundles(low);
    admitted.insert(admitted.end(), c.padding.begin(), c.padding.end());
    EXPECT_TRUE(decodes(admitted));
    Bytes refused = emptyBundles(high);
    refused.insert(refused.begin(), c.padding.begin(), c.padding.end());
    CapturedOutput output;
    Record batch = NewRecord(&MeasurementBatch_schema);
    EXPECT_FALSE(MeasurementBatch_decode(refused.data(), refused.size(), batch.get()));
    EXPECT_NE(output.text().find("would take more than their memory budget"), std::string::npos) << output.text();
    EXPECT_TRUE(allFieldsAbsent(&MeasurementBatch_schema, batch.get()));
  }
}

TEST(NANODecode, ValuesInTheRecordsOwnBlockCanBeReplacedAndCleared) {
  // EventParam: name "nm", string value "sv", int value 5, double 0.5.
  Bytes bytes = hexBytes("0a 02 6e 6d 12 02 73 76 18 05 29 00 00 00 00 00 00 e0 3f");
  Record param = Decoded(&EventParam_schema, bytes);
  ASSERT_TRUE(param);

  ASSERT_TRUE(NANOSetStringValue(&param->fields[0], "a longer name", 13));
  ASSERT_TRUE(NANOSetUInt64Value(&param->fields[2], 300));
  ASSERT_TRUE(EventParam_deallocMessageField(param.get(), 1));
  ASSERT_TRUE(EventParam_deallocMessageField(param.get(), 4));
  EXPECT_EQ(Hex(Encoded(&EventParam_schema, param.get())), "0a 0d 61 20 6c 6f 6e 67 65 72 20 6e 61 6d 65 18 ac 02");

  ASSERT_TRUE(NANOSetStringValue(&param->fields[1], "again", 5));
  ASSERT_TRUE(NANOSetDoubleValue(&param->fields[4], 0.5));
  NANOMessageInfo* copy = nullptr;
  ASSERT_TRUE(EventParam_copyMessageInfo(&copy, param.get()));
  Record owned(copy, {&EventParam_schema});
  EXPECT_EQ(Differences(&EventParam_schema, param.get(), copy), "");
  ASSERT_TRUE(EventParam_decode(bytes.data(), bytes.size(), copy));
  EXPECT_EQ(Encoded(&EventParam_schema, copy), bytes);
}

TEST(NANODecode, ASecondDecodeReplacesEverythingTheFirstLeft) {
  Record first = FilledRecord(&Event_schema, 2);
  Bytes firstBytes = Encoded(&Event_schema, first.get());
  Bytes secondBytes = hexBytes("12 06 73 65 63 6f 6e 64");  // name "second"

  Record record = NewRecord(&Event_schema);
  ASSERT_TRUE(Event_decode(firstBytes.data(), firstBytes.size(), record.get()));
  ASSERT_TRUE(Event_decode(secondBytes.data(), secondBytes.size(), record.get()));
  EXPECT_EQ(Differences(&Event_schema, record.get(), Decoded(&Event_schema, secondBytes).get()), "");
}

TEST(NANOEncode, PresenceDecidesWhatIsWritten) {
  Record event = NewRecord(&Event_schema);
  NANOSetUInt64Value(&event->fields[2], 0);  // timestamp_millis 0 is written
  EXPECT_EQ(Hex(Encoded(&Event_schema, event.get())), "18 00") << "an empty list is not written";

  Record bundle = NewRecord(&MeasurementBundle_schema);
  NANOSetUInt32Value(&bundle->fields[0], static_cast<uint32_t>(-1));
  Bytes bytes = Encoded(&MeasurementBundle_schema, bundle.get());
  EXPECT_EQ(Hex(bytes), "08 ff ff ff ff ff ff ff ff ff 01");
  Record decoded = Decoded(&MeasurementBundle_schema, bytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(static_cast<int32_t>(NANOCellUInt32(Slot(decoded.get(), 0))), -1);
}

// Each sub-message's length goes in front of it once it is written: lengths
// one byte longer or shorter than the item before, on both sides of the
// varint steps, and a sub-message inside a list item.
TEST(NANOEncode, EachSubMessageIsPrefixedWithItsOwnLength) {
  const size_t nameLengths[] = {200, 5, 300, 20000, 3, 125, 126, 16381, 16382, 0};
  Record event = NewRecord(&Event_schema);
  Bytes expected;
  for (size_t length : nameLengths) {
    Record param = NewRecord(&EventParam_schema);
    std::string name(length, 'n');
    ASSERT_TRUE(NANOSetStringValue(&param->fields[0], name.data(), name.size()));
    Bytes field = delimited(1, Encoded(&EventParam_schema, param.get()));
    expected.insert(expected.end(), field.begin(), field.end());
    AppendItem(List(event.get(), 0), param.release());
  }
  EXPECT_EQ(Encoded(&Event_schema, event.get()), expected);

  // The same list one level down, in a bundle, twice over.
  Record bundle = NewRecord(&MeasurementBundle_schema);
  Bytes eventBytes = Encoded(&Event_schema, event.get());
  Bytes bundleExpected;
  for (int i = 0; i < 2; ++i) {
    NANOMessageInfo* copy = nullptr;
    ASSERT_TRUE(Event_copyMessageInfo(&copy, event.get()));
    AppendItem(List(bundle.get(), 1), copy);
    Bytes field = delimited(2, eventBytes);
    bundleExpected.insert(bundleExpected.end(), field.begin(), field.end());
  }
  EXPECT_EQ(Encoded(&MeasurementBundle_schema, bundle.get()), bundleExpected);
  Record decoded = Decoded(&MeasurementBundle_schema, bundleExpected);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(Differences(&MeasurementBundle_schema, bundle.get(), decoded.get()), "");
}

TEST(NANOEncode, AMissingValueFailsTheWholeEncoding) {
  struct Case {
    const char* what;
    const NANOMessageSchema* schema;
    int id;
    bool list;
  } cases[] = {
      {"NULL message item", &Event_schema, 0, true},
      {"NULL string item", &StringFilter_schema, 3, true},
      {"NULL varint item", &ResultData_schema, 1, true},
      {"NULL item in a nested message's list", &AudienceLeafFilterResult_schema, 1, false},
      {"string without bytes", &Flag_schema, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Record record = NewRecord(c.schema);
    if (c.list) {
      AppendItem(List(record.get(), c.id), nullptr);
    } else if (NANOFieldKind(c.schema->flags[c.id]) == NANOFieldMessage) {
      Record nested = NewRecord(c.schema->fields[c.id].message);
      AppendItem(List(nested.get(), 0), nullptr);
      record->fields[c.id] = nested.release();
    } else {
      record->fields[c.id] = NANOAllocZeroed(sizeof(NANOString));
    }
    uint8_t* output = reinterpret_cast<uint8_t*>(1);
    EXPECT_EQ(c.schema->encode(record.get(), &output), -1);
    EXPECT_EQ(output, nullptr);
  }
}

TEST(NANOMessageFunctions, AMissingListHeaderIsReported) {
  Record event = NewRecord(&Event_schema);
  event->fields[0] = nullptr;  // the header lives on in the slot array's block
  CapturedOutput output;
  uint8_t* buffer = nullptr;
  EXPECT_EQ(Event_encode(event.get(), &buffer), -1);
  EXPECT_FALSE(Event_allocateArrays(event.get()));
  Bytes bytes = hexBytes("12 01 61");
  EXPECT_FALSE(Event_decode(bytes.data(), bytes.size(), event.get()));
  EXPECT_EQ(output.text(),
            "<ERROR> Event Encoder: 'params' should have been allocated\n"
            "<ERROR> Cannot allocate Event arrays. Missing params field (params)\n"
            "<ERROR> Cannot allocate Event arrays. Missing params field (params)\n"
            "<ERROR> Event decoder failed: Unable to allocate arrays\n");
}

TEST(NANOMessageFunctions, CopiesAreDeepAndKeepTheItemCount) {
  Record source = NewRecord(&ResultData_schema);
  for (int i = 0; i < 3; ++i) AppendItem(List(source.get(), 2), FilledRecord(&DynamicFilterResultTimestamp_schema, 1, i).release());
  List(source.get(), 2)->cursor = 3;

  NANOMessageInfo* copy = FilledRecord(&ResultData_schema, 2).release();  // an older record is freed
  ASSERT_TRUE(ResultData_copyMessageInfo(&copy, source.get()));
  Record owned(copy, {&ResultData_schema});
  NANOArray* list = List(copy, 2);
  EXPECT_EQ(list->count, 3u);
  EXPECT_EQ(list->cursor, 0u);
  EXPECT_NE(list->items[0], List(source.get(), 2)->items[0]);
  EXPECT_EQ(Differences(&ResultData_schema, source.get(), copy), "");

  EXPECT_TRUE(ResultData_copyMessageInfo(&copy, copy)) << "a record copied onto itself stays";
  EXPECT_EQ(Differences(&ResultData_schema, source.get(), copy), "");
}

TEST(NANOMessageFunctions, ACopyRefusesARecordOfAnotherMessage) {
  Record batch = FilledRecord(&MeasurementBatch_schema, 1);
  NANOMessageInfo* copy = nullptr;
  EXPECT_FALSE(MeasurementBundle_copyMessageInfo(&copy, batch.get()));
  EXPECT_EQ(copy, nullptr);
  EXPECT_FALSE(MeasurementBundle_copyMessageInfo(nullptr, batch.get()));
  EXPECT_FALSE(MeasurementBundle_copyMessageInfo(&copy, nullptr));
}

TEST(NANOMessageFunctions, FreeingOneFieldLeavesAListHeaderAndRefusesUnknownIDs) {
  Record event = FilledRecord(&Event_schema, 1);
  ASSERT_TRUE(Event_deallocMessageField(event.get(), 0));
  ASSERT_NE(List(event.get(), 0), nullptr);
  EXPECT_EQ(List(event.get(), 0)->count, 0u);
  ASSERT_TRUE(Event_deallocMessageField(event.get(), 1));
  EXPECT_EQ(Slot(event.get(), 1), nullptr);

  CapturedOutput output;
  EXPECT_FALSE(Event_deallocMessageField(event.get(), 5));
  EXPECT_FALSE(Event_deallocMessageField(event.get(), -1));
  EXPECT_FALSE(Event_deallocMessageField(nullptr, 0));
  EXPECT_EQ(output.text(),
            "<ERROR> Event: Cannot deallocate field 5: Unknown field\n"
            "<ERROR> Event: Cannot deallocate field -1: Unknown field\n");
  EXPECT_NE(Slot(event.get(), 2), nullptr) << "other fields are untouched";
}

TEST(NANOMessageFunctions, InitFillsNameFlagsAndListHeaders) {
  EXPECT_FALSE(AdCampaignInfo_initMessageInfo(nullptr));
  Record record = NewRecord(&AdCampaignInfo_schema);
  EXPECT_STREQ(record->name, "AdCampaignInfo");
  EXPECT_EQ(record->flags, AdCampaignInfo_schema.flags);
  for (int id = 0; id < 10; ++id) EXPECT_EQ(Slot(record.get(), id) != nullptr, id >= 8) << id;
}

}  // namespace

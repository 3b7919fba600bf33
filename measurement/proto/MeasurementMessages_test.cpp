// The 48 measurement messages (and the small set of the other field kinds)
// against an independent protobuf implementation: protoc encodes the same
// content from the generated .proto, and decodes our bytes without any schema.
#include "measurement/proto/generated/MeasurementMessages.h"

#include <gtest/gtest.h>
#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "measurement/proto/NANOFieldHelpers.h"
#include "measurement/proto/NANOTestRecords.h"
#include "measurement/proto/testdata/generated/KindMessages.h"
#include "testing/TemporaryHome.h"

namespace {

namespace fs = std::filesystem;

// A message and the generated .proto that declares it.
struct Message {
  const NANOMessageSchema* schema;
  const char* package;
  const char* folder;  // of the .proto, below this folder
};

// Runs protoc on a generated .proto in a folder of its own.
class Protoc {
 public:
  explicit Protoc(const char* package = "measurement", const char* folder = "generated")
      : package_(package), folder_(folder) {}

  // protoc --encode of a text-format message.
  Bytes encode(const std::string& message, const std::string& text) {
    return run("--encode=" + package_ + "." + message + " " + package_ + ".proto", text);
  }
  std::string decodeRaw(const Bytes& bytes) {
    Bytes out = run("--decode_raw", std::string(bytes.begin(), bytes.end()));
    return std::string(out.begin(), out.end());
  }

 private:
  Bytes run(const std::string& arguments, const std::string& input) {
    fs::path in = dir_ / "in", out = dir_ / "out", err = dir_ / "err";
    std::ofstream(in, std::ios::binary) << input;
    std::string command = std::string(TOLV_PROTOC) + " -I " TOLV_PROTO_DIR "/" + folder_ + " " + arguments +
                          " < " + in.string() + " > " + out.string() + " 2> " + err.string();
    int status = std::system(command.c_str());
    std::ifstream errors(err);
    std::stringstream message;
    message << errors.rdbuf();
    EXPECT_EQ(status, 0) << command << "\n" << message.str();
    std::ifstream result(out, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(result), std::istreambuf_iterator<char>());
  }

  std::string package_;
  std::string folder_;
  testkit::TemporaryHome home_;
  fs::path dir_ = home_.root();
};

std::vector<Message> everyMessage() {
  std::vector<Message> messages;
  for (const NANOMessageSchema* schema : MeasurementMessages) messages.push_back({schema, "measurement", "generated"});
  for (const NANOMessageSchema* schema : KindMessages) {
    messages.push_back({schema, "kinds", "testdata/generated"});
  }
  return messages;
}

// The field numbers of the top-level lines of protoc --decode_raw, in order.
std::vector<int> topLevelTags(const std::string& raw) {
  std::vector<int> tags;
  std::istringstream lines(raw);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line[0] != ' ' && line[0] != '}') tags.push_back(std::stoi(line));
  }
  return tags;
}

// The catalogue as the message tables give it: name and field count.
const std::map<std::string, int> kCatalogue = {
    {"AdCampaignInfo", 10}, {"AppProperty", 7}, {"Audience", 5}, {"AudienceLeafFilterResult", 4},
    {"ClientProperty", 5}, {"ConsentConfig", 5}, {"ConsentDefaultEntry", 3}, {"ConsentDelegationEntry", 2},
    {"ConsentInfoExtra", 1}, {"CorePlatformServiceEntry", 2}, {"CustomProperty", 2}, {"DataControl", 3},
    {"DeepLinkDxdParamsEntry", 2}, {"DynamicFilterResultTimestamp", 2}, {"Event", 5}, {"EventConfig", 4},
    {"EventFilter", 8}, {"EventParam", 6}, {"Experiment", 2}, {"ExperimentRequest", 2},
    {"ExperimentResponse", 2}, {"Filter", 4}, {"Flag", 5}, {"LimitedDataEntry", 2},
    {"MarketReferrerDxdParamsEntry", 2}, {"MeasurementBatch", 4}, {"MeasurementBundle", 56},
    {"MeasurementConfig", 16}, {"NumberFilter", 5}, {"OgtActivities", 1}, {"OgtActivity", 2}, {"OnDeviceMeasurementInfo", 4},
    {"OnDeviceMeasurementValue", 2}, {"Program", 2}, {"PropertyFilter", 6}, {"PsmSetting", 3}, {"Region", 2},
    {"ResultData", 4}, {"RuntimeEntity", 6}, {"SdkResponse", 3}, {"SequenceFilterResultTimestamp", 2},
    {"Setting", 2}, {"KrpxSetting", 5}, {"SkAdNetworkConversionValueRequest", 6},
    {"SkAdNetworkConversionValueResponse", 8}, {"Snapshot", 2}, {"StringFilter", 4}, {"UserAttribute", 6},
};

// The nanopb type byte of each flag word.
const std::map<NANOFieldFlags, pb_type_t> kTypeBytes = {
    {0x22, 0x10}, {0x42, 0x12}, {0x82, 0x11}, {0x102, 0x12}, {0x202, 0x11}, {0x402, 0x12},
    {0x802, 0x14}, {0x1002, 0x15}, {0x2002, 0x57}, {0x8002, 0x56}, {0x4002, 0x18}, {0x108, 0x62},
    {0x208, 0x61}, {0x408, 0x62}, {0x2008, 0x67}, {0x8008, 0x66}, {0x4008, 0x68},
};

TEST(MeasurementMessages, CatalogueMatchesTheMessageTables) {
  ASSERT_EQ(MeasurementMessagesCount, 48);
  int fields = 0;
  for (const NANOMessageSchema* schema : MeasurementMessages) {
    SCOPED_TRACE(schema->name);
    ASSERT_TRUE(kCatalogue.count(schema->name));
    EXPECT_EQ(schema->fieldCount, kCatalogue.at(schema->name));
    fields += schema->fieldCount;
  }
  EXPECT_EQ(fields, 246);
}

// Every field's codec member has the form its flag word calls for.
TEST(MeasurementMessages, CodecStructsAgreeWithTheFlagWords) {
  for (const Message& message : everyMessage()) {
    const NANOMessageSchema* schema = message.schema;
    SCOPED_TRACE(schema->name);
    EXPECT_EQ(schema->codecFields->field_count, schema->fieldCount);
    Bytes codec(schema->codecSize);
    pb_field_iter_t iter;
    ASSERT_TRUE(pb_field_iter_begin(&iter, schema->codecFields, codec.data()));
    for (int32_t i = 0; i < schema->fieldCount; ++i) {
      const NANOFieldSchema& field = schema->fields[i];
      SCOPED_TRACE(field.name);
      EXPECT_EQ(schema->flags[i], field.flags);
      ASSERT_TRUE(pb_field_iter_find(&iter, field.tag));
      ASSERT_TRUE(kTypeBytes.count(field.flags));
      EXPECT_EQ(iter.type, kTypeBytes.at(field.flags));
      if (NANOFieldKind(field.flags) == NANOFieldMessage) {
        ASSERT_NE(field.message, nullptr);
        EXPECT_EQ(iter.submsg_desc, field.message->codecFields);
        if (NANOFieldIsRepeated(field.flags)) {
          EXPECT_NE(field.message->decodeRepeated, nullptr);
        }
      }
    }
  }
}

class EveryMessage : public ::testing::TestWithParam<Message> {};

// Filled, encoded, compared with protoc's bytes for the same content, decoded
// back and copied: every field survives, byte for byte.
TEST_P(EveryMessage, RoundTripMatchesProtoc) {
  const NANOMessageSchema* schema = GetParam().schema;
  Record record = FilledRecord(schema, 3);
  bool ok;
  Bytes ours = Encoded(schema, record.get(), &ok);
  ASSERT_TRUE(ok);

  Protoc protoc(GetParam().package, GetParam().folder);
  Bytes theirs = protoc.encode(schema->name, TextFormat(schema, record.get()));
  EXPECT_EQ(Hex(ours), Hex(theirs));

  Record decoded = Decoded(schema, ours);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(Differences(schema, record.get(), decoded.get()), "");

  NANOMessageInfo* copy = nullptr;
  ASSERT_TRUE(schema->copyMessageInfo(&copy, decoded.get()));
  Record owned(copy, {schema});
  EXPECT_EQ(Differences(schema, record.get(), copy), "");
  EXPECT_EQ(Encoded(schema, copy), ours);
}

// The codec struct driven by nanopb's own pb_encode and pb_decode (through
// the set-encoders and set-decoders functions and the list callbacks) agrees
// with the runtime's encode and decode.
TEST_P(EveryMessage, NanopbOverTheCodecStructAgrees) {
  const NANOMessageSchema* schema = GetParam().schema;
  Record record = FilledRecord(schema, 3);
  Bytes ours = Encoded(schema, record.get());

  std::vector<uint8_t> codec(schema->codecSize);
  ASSERT_TRUE(NANOSetEncoders(schema, record.get(), codec.data()));
  Bytes theirs(ours.size() + 16);
  pb_ostream_t out = pb_ostream_from_buffer(theirs.data(), theirs.size());
  ASSERT_TRUE(pb_encode(&out, schema->codecFields, codec.data())) << PB_GET_ERROR(&out);
  theirs.resize(out.bytes_written);
  EXPECT_EQ(Hex(theirs), Hex(ours));

  Record decoded = NewRecord(schema);
  std::fill(codec.begin(), codec.end(), 0);
  ASSERT_TRUE(NANOSetDecoders(schema, decoded.get(), codec.data()));
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1) {
      ASSERT_TRUE(NANOAllocateArrays(schema, decoded.get()));
    }
    pb_istream_t in = pb_istream_from_buffer(ours.data(), ours.size());
    ASSERT_TRUE(pb_decode(&in, schema->codecFields, codec.data())) << PB_GET_ERROR(&in);
  }
  ASSERT_TRUE(NANOCopyDecodedValues(schema, codec.data(), decoded.get()));
  EXPECT_EQ(Differences(schema, record.get(), decoded.get()), "");
}

TEST_P(EveryMessage, EmptyInputGivesAnEmptyRecordThatEncodesToNothing) {
  const NANOMessageSchema* schema = GetParam().schema;
  for (const uint8_t* buffer : {static_cast<const uint8_t*>(nullptr), reinterpret_cast<const uint8_t*>("")}) {
    Record record = NewRecord(schema);
    ASSERT_TRUE(schema->decode(buffer, 0, record.get()));
    for (int32_t i = 0; i < schema->fieldCount; ++i) {
      if (NANOFieldIsRepeated(schema->flags[i])) {
        ASSERT_NE(List(record.get(), i), nullptr);
        EXPECT_EQ(List(record.get(), i)->count, 0u);
        EXPECT_EQ(List(record.get(), i)->items, nullptr);
      } else {
        EXPECT_EQ(Slot(record.get(), i), nullptr) << schema->fields[i].name;
      }
    }
    uint8_t* output = nullptr;
    EXPECT_EQ(schema->encode(record.get(), &output), 0);
    EXPECT_NE(output, nullptr);
    std::free(output);
  }
}

INSTANTIATE_TEST_SUITE_P(Catalogue, EveryMessage, ::testing::ValuesIn(everyMessage()), [](const auto& info) {
  return std::string(info.param.package) + "_" + info.param.schema->name;
});

// Writing follows the tags, not the field IDs; reading puts each value back
// at its ID.
TEST(MeasurementBundle, FieldsAreWrittenInTagOrderAndReadBackByID) {
  Record bundle = NewRecord(&MeasurementBundle_schema);
  NANOSetStringValue(&bundle->fields[20], "v", 1);  // tag 27
  NANOSetUInt64Value(&bundle->fields[6], 2);        // tag 26
  NANOSetStringValue(&bundle->fields[26], "d", 1);  // tag 25
  NANOSetUInt64Value(&bundle->fields[7], 7);        // tag 7
  Bytes bytes = Encoded(&MeasurementBundle_schema, bundle.get());
  EXPECT_EQ(Hex(bytes), "38 07 ca 01 01 64 d0 01 02 da 01 01 76");

  Protoc protoc;
  EXPECT_EQ(topLevelTags(protoc.decodeRaw(bytes)), (std::vector<int>{7, 25, 26, 27}));

  Record decoded = Decoded(&MeasurementBundle_schema, bytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(NANOCellUInt64(Slot(decoded.get(), 6)), 2u);
  EXPECT_EQ(StringAt(decoded.get(), 20), "v");
  EXPECT_EQ(StringAt(decoded.get(), 26), "d");
}

// Checks that do not share our schema: what protoc reads from our bytes.
TEST(MeasurementMessages, RawDecodingSeesTheWireForms) {
  Protoc protoc;

  Record bundle = NewRecord(&MeasurementBundle_schema);
  NANOSetUInt32Value(&bundle->fields[0], static_cast<uint32_t>(-1));  // int32 protocol_version
  for (uint64_t id : {5, 300}) AppendVarint(List(bundle.get(), 37), id);  // uint32 experiment_ids
  Bytes bytes = Encoded(&MeasurementBundle_schema, bundle.get());
  EXPECT_EQ(bytes.size(), 11u + 3 + 4);  // ten-byte -1; one two-byte key per list item
  EXPECT_EQ(protoc.decodeRaw(bytes), "1: 18446744073709551615\n45: 5\n45: 300\n");

  Record result = NewRecord(&ResultData_schema);
  auto* timestamp = NewRecord(&SequenceFilterResultTimestamp_schema).release();
  AppendVarint(List(timestamp, 1), static_cast<uint64_t>(-5));
  AppendItem(List(result.get(), 3), timestamp);
  AppendItem(List(result.get(), 3), NewRecord(&SequenceFilterResultTimestamp_schema).release());
  EXPECT_EQ(protoc.decodeRaw(Encoded(&ResultData_schema, result.get())),
            "4 {\n  2: 18446744073709551611\n}\n4: \"\"\n");
}

}  // namespace

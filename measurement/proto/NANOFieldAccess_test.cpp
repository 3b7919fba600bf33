// Field access by field ID on real message objects: which accessor takes which
// field kind, refusals and their log lines, values that are copies, lists.
#include "measurement/proto/NANOFieldAccess.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <set>
#include <string>

#include "measurement/proto/NANOFieldHelpers.h"
#include "measurement/proto/NANOTestRecords.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "measurement/proto/testdata/generated/KindClasses.h"
#include "testing/LogCapture.h"

namespace {

using foundation::Data;
using foundation::Object;
using testkit::LogCapture;
using Lines = std::vector<std::string>;

std::unique_ptr<NANOMessageBase> New(const NANOMessageClass& cls) { return cls.initWithMessageInfo(nullptr); }

// The class of a schema, from the two generated sets.
const NANOMessageClass& classOf(const NANOMessageSchema* schema) {
  for (const NANOMessageClass* cls : QZMPBMessageClasses) {
    if (cls->schema == schema) return *cls;
  }
  for (const NANOMessageClass* cls : TestMessageClasses) {
    if (cls->schema == schema) return *cls;
  }
  ADD_FAILURE() << "no class for " << schema->name;
  std::abort();
}

Bytes encoded(const NANOMessageBase& message) {
  std::optional<Data> bytes = message.protoBuffer();
  EXPECT_TRUE(bytes.has_value());
  return bytes.value_or(Data{});
}

// The message those bytes decode to, made by its class at run time.
std::unique_ptr<NANOMessageBase> decodedObject(const NANOMessageClass& cls, const Bytes& bytes) {
  Record record = Decoded(cls.schema, bytes);
  return record != nullptr ? cls.initWithMessageInfo(record.get()) : nullptr;
}

// One field of each kind, in a message that has it.
struct FieldCase {
  const char* kind;
  const NANOMessageClass* cls;
  int32_t id;
};

const FieldCase kFields[] = {
    {"bool", &QZMPBMeasurementBundle::messageClass, QZMPBMeasurementBundle::kLimitedAdTracking},
    {"enum", &QZMPBMeasurementBundle::messageClass, QZMPBMeasurementBundle::kAppleConsentStatus},
    {"int32", &QZMPBMeasurementBundle::messageClass, QZMPBMeasurementBundle::kProtocolVersion},
    {"uint32", &TestKinds::messageClass, TestKinds::kSmall},
    {"int64", &QZMPBMeasurementBundle::messageClass, QZMPBMeasurementBundle::kChecksum},
    {"uint64", &TestKinds::messageClass, TestKinds::kLarge},
    {"float", &QZMPBEventParam::messageClass, QZMPBEventParam::kFloatValue},
    {"double", &QZMPBEventParam::messageClass, QZMPBEventParam::kDoubleValue},
    {"string", &QZMPBMeasurementBundle::messageClass, QZMPBMeasurementBundle::kAppId},
    {"bytes", &TestKinds::messageClass, TestKinds::kBlob},
    {"message", &QZMPBMeasurementBundle::messageClass, QZMPBMeasurementBundle::kAdCampaignInfo},
    {"uint32[]", &QZMPBMeasurementBundle::messageClass, QZMPBMeasurementBundle::kExperimentIds},
    {"uint64[]", &QZMPBResultData::messageClass, QZMPBResultData::kStatus},
    {"int64[]", &QZMPBSequenceFilterResultTimestamp::messageClass,
     QZMPBSequenceFilterResultTimestamp::kEvalTimestamps},
    {"string[]", &QZMPBMeasurementBundle::messageClass, QZMPBMeasurementBundle::kRedactedFields},
    {"bytes[]", &TestKinds::messageClass, TestKinds::kBlobs},
    {"message[]", &QZMPBMeasurementBundle::messageClass, QZMPBMeasurementBundle::kEvents},
};

const NANOFieldSchema& schemaOf(const FieldCase& f) { return f.cls->schema->fields[f.id]; }

// A value that fits the field, as an object (for a list: one item).
NANOObject fittingValue(const FieldCase& f) {
  const NANOFieldSchema& field = schemaOf(f);
  switch (NANOFieldKind(field.flags)) {
    case NANOFieldString: return Object("text");
    case NANOFieldBytes: return Object(Data{0, 1, 2});
    case NANOFieldMessage: return std::shared_ptr<NANOMessageBase>(New(classOf(field.message)));
    case NANOFieldFloat:
    case NANOFieldDouble: return Object(2.5);
    default: return Object(7);
  }
}

// Puts a value into the field through the slot (there is no accessor for a
// float field), so that a getter has something to find.
void fill(NANOMessageBase& message, const FieldCase& f) {
  const NANOFieldSchema& field = schemaOf(f);
  if (NANOFieldIsRepeated(field.flags)) {
    NANOObjectArray items{fittingValue(f)};
    ASSERT_TRUE(NANOSetArray(&message, f.id, &items));
  } else {
    ASSERT_TRUE(NANOValueFromObject(fittingValue(f), field.flags, &message.messageInfo()->fields[f.id],
                                    field.message));
  }
}

// One accessor: its operation name, the kind it takes (as its refusal names
// it; nullptr for any kind), the field kinds it takes, and a call that answers
// whether it found a value (getters) or stored one (setters).
struct AccessorCase {
  const char* operation;
  const char* kindText;
  std::set<std::string> accepts;
  bool setter;
  std::function<bool(NANOMessageBase*, int32_t)> call;
};

const std::set<std::string> kAnyKind{"*"};

// The class of the field's messages, or the flag's where it has none.
const NANOMessageClass* itemClassFor(const NANOMessageBase* message, int32_t id) {
  if (message == nullptr) return &QZMPBFlag::messageClass;
  const NANOMessageSchema& schema = message->schema();
  bool inRange = id >= 0 && id < schema.fieldCount && schema.fields[id].message != nullptr;
  return inRange ? &classOf(schema.fields[id].message) : &QZMPBFlag::messageClass;
}

// A message of that class with its first field set, so that storing it shows.
std::unique_ptr<NANOMessageBase> subMessageFor(const NANOMessageBase* message, int32_t id) {
  const NANOMessageClass* cls = itemClassFor(message, id);
  auto value = New(*cls);
  fill(*value, FieldCase{"first", cls, 0});
  return value;
}

// A flag with every field set.
std::unique_ptr<NANOMessageBase> filledFlag() {
  auto flag = New(QZMPBFlag::messageClass);
  for (int32_t id = 0; id < 5; ++id) fill(*flag, FieldCase{"any", &QZMPBFlag::messageClass, id});
  return flag;
}

std::vector<AccessorCase> accessors() {
  const Data bytes{9, 8};
  return {
      {"HasField", nullptr, kAnyKind, false, [](auto* m, int32_t id) { return NANOHasField(m, id); }},
      {"ClearField", nullptr, kAnyKind, true, [](auto* m, int32_t id) { return NANOClearField(m, id); }},
      {"GetBool", "a scalar BOOL", {"bool"}, false, [](auto* m, int32_t id) { return NANOGetBool(m, id); }},
      {"SetBool", "a scalar BOOL", {"bool"}, true, [](auto* m, int32_t id) { return NANOSetBool(m, id, false); }},
      {"GetInt32", "a scalar INT32", {"enum", "int32", "uint32"}, false,
       [](auto* m, int32_t id) { return NANOGetInt32(m, id) != 0; }},
      {"SetInt32", "a scalar INT32", {"enum", "int32", "uint32"}, true,
       [](auto* m, int32_t id) { return NANOSetInt32(m, id, -3); }},
      {"GetInt64", "a scalar INT64", {"int64", "uint64"}, false,
       [](auto* m, int32_t id) { return NANOGetInt64(m, id) != 0; }},
      {"SetInt64", "a scalar INT64", {"int64", "uint64"}, true,
       [](auto* m, int32_t id) { return NANOSetInt64(m, id, -3); }},
      {"GetDouble", "a scalar DOUBLE", {"double"}, false,
       [](auto* m, int32_t id) { return NANOGetDouble(m, id) != 0.0; }},
      {"SetDouble", "a scalar DOUBLE", {"double"}, true, [](auto* m, int32_t id) { return NANOSetDouble(m, id, -3); }},
      {"GetString", "a scalar STRING", {"string"}, false,
       [](auto* m, int32_t id) { return NANOGetString(m, id).has_value(); }},
      {"SetString", "a scalar STRING", {"string"}, true,
       [](auto* m, int32_t id) { return NANOSetString(m, id, "other"); }},
      {"GetBytes", "a scalar BYTES", {"bytes"}, false,
       [](auto* m, int32_t id) { return NANOGetBytes(m, id).has_value(); }},
      {"SetBytes", "a scalar BYTES", {"bytes"}, true, [bytes](auto* m, int32_t id) { return NANOSetBytes(m, id, bytes); }},
      {"GetMessage", "a scalar MESSAGE", {"message"}, false,
       [](auto* m, int32_t id) { return NANOGetMessage(m, id, itemClassFor(m, id)) != nullptr; }},
      {"SetMessage", "a scalar MESSAGE", {"message"}, true,
       [](auto* m, int32_t id) { return NANOSetMessage(m, id, subMessageFor(m, id).get()); }},
      {"GetArray", "REPEATED", {"uint32[]", "uint64[]", "int64[]", "string[]", "bytes[]", "message[]"}, false,
       [](auto* m, int32_t id) {
         auto items = NANOGetArray(m, id, itemClassFor(m, id));
         return items.has_value() && !items->empty();
       }},
      {"SetArray", "REPEATED", {"uint32[]", "uint64[]", "int64[]", "string[]", "bytes[]", "message[]"}, true,
       [](auto* m, int32_t id) {
         NANOObjectArray none;
         return NANOSetArray(m, id, &none);
       }},
  };
}

TEST(NANOFieldAccess, EachAccessorTakesItsKindsAndRefusesTheOthers) {
  for (const AccessorCase& a : accessors()) {
    for (const FieldCase& f : kFields) {
      SCOPED_TRACE(std::string(a.operation) + " on a " + f.kind + " field");
      auto message = New(*f.cls);
      fill(*message, f);
      Bytes before = encoded(*message);
      bool accepted = a.accepts.count("*") != 0 || a.accepts.count(f.kind) != 0;
      LogCapture log;
      bool result = a.call(message.get(), f.id);
      if (accepted) {
        EXPECT_EQ(log.lines(), Lines{});
        EXPECT_TRUE(result);
        EXPECT_EQ(encoded(*message) != before, a.setter) << "a setter changes the field, a getter does not";
      } else {
        EXPECT_EQ(log.lines(), Lines{std::string("<Nano/Failure> Field type isn't ") + a.kindText + ". Message: " +
                                     f.cls->schema->name + ", field ID: " + std::to_string(f.id)});
        EXPECT_FALSE(result) << "a neutral answer";
        EXPECT_EQ(encoded(*message), before) << "nothing changed";
      }
    }
  }
}

TEST(NANOFieldAccess, EveryAccessorRefusesAFieldIDOutsideTheMessage) {
  for (const AccessorCase& a : accessors()) {
    for (int32_t id : {-1, 5, 6, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()}) {
      SCOPED_TRACE(std::string(a.operation) + " with field ID " + std::to_string(id));
      auto flag = filledFlag();
      Bytes before = encoded(*flag);
      LogCapture log;
      EXPECT_FALSE(a.call(flag.get(), id));
      EXPECT_EQ(log.lines(), Lines{"<Nano/Failure> Field ID is out of range. Message: Flag, field ID: " +
                                   std::to_string(id) + ", field count: 5"});
      EXPECT_EQ(encoded(*flag), before);
    }
  }
}

TEST(NANOFieldAccess, EveryAccessorRefusesAMessageWithoutARecord) {
  auto flag = filledFlag();
  NANOMessageInfo* record = flag->messageInfo();
  void** slots = record->fields;
  for (const AccessorCase& a : accessors()) {
    SCOPED_TRACE(a.operation);
    std::string expected = std::string("ProtocolBuffer message hasn't been initialized. ") + a.operation +
                           " can't be performed";
    {
      LogCapture log;
      EXPECT_FALSE(a.call(nullptr, 0));
      if (a.operation == std::string("HasField")) {
        expected = "ProtocolBuffer message hasn't been initialized. HasField operation can't be performed. "
                   "Message name ";
        EXPECT_EQ(log.lines(), Lines{expected + "(null)"});
      } else {
        EXPECT_EQ(log.lines(), Lines{expected});
      }
    }
    // A record whose slot array is gone is refused the same way.
    record->fields = nullptr;
    LogCapture log;
    EXPECT_FALSE(a.call(flag.get(), 0));
    record->fields = slots;
    EXPECT_EQ(log.lines(), Lines{a.operation == std::string("HasField") ? expected + "Flag" : expected});
  }
  EXPECT_EQ(NANOGetString(flag.get(), QZMPBFlag::kName), "text") << "the record is intact";
}


// A scalar written through its accessor, how it goes on the wire, and what
// the accessor reads after a decode of those bytes.
struct ScalarCase {
  const char* what;
  const NANOMessageClass* cls;
  std::function<bool(NANOMessageBase*)> set;
  std::function<bool(const NANOMessageBase*)> readsBack;
  const char* wire;
};

TEST(NANOFieldAccess, ScalarsKeepEveryBitThroughTheWire) {
  const ScalarCase cases[] = {
      {"int32 -1 as ten bytes", &QZMPBMeasurementBundle::messageClass,
       [](auto* m) { return NANOSetInt32(m, QZMPBMeasurementBundle::kProtocolVersion, -1); },
       [](auto* m) { return NANOGetInt32(m, QZMPBMeasurementBundle::kProtocolVersion) == -1; },
       "08 ff ff ff ff ff ff ff ff ff 01"},
      {"enum through the int32 accessor", &QZMPBMeasurementBundle::messageClass,
       [](auto* m) { return NANOSetInt32(m, QZMPBMeasurementBundle::kAppleConsentStatus, -1); },
       [](auto* m) { return NANOGetInt32(m, QZMPBMeasurementBundle::kAppleConsentStatus) == -1; },
       "a8 03 ff ff ff ff 0f"},
      {"uint32 bit for bit", &TestKinds::messageClass, [](auto* m) { return NANOSetInt32(m, TestKinds::kSmall, -1); },
       [](auto* m) { return NANOGetInt32(m, TestKinds::kSmall) == -1; }, "18 ff ff ff ff 0f"},
      {"uint64 bit for bit", &TestKinds::messageClass, [](auto* m) { return NANOSetInt64(m, TestKinds::kLarge, -1); },
       [](auto* m) { return NANOGetInt64(m, TestKinds::kLarge) == -1; }, "20 ff ff ff ff ff ff ff ff ff 01"},
      {"int64 minimum", &QZMPBMeasurementBundle::messageClass,
       [](auto* m) {
         return NANOSetInt64(m, QZMPBMeasurementBundle::kChecksum, std::numeric_limits<int64_t>::min());
       },
       [](auto* m) {
         return NANOGetInt64(m, QZMPBMeasurementBundle::kChecksum) == std::numeric_limits<int64_t>::min();
       },
       "f8 02 80 80 80 80 80 80 80 80 80 01"},
      {"double", &QZMPBFlag::messageClass, [](auto* m) { return NANOSetDouble(m, QZMPBFlag::kDoubleValue, 1.5); },
       [](auto* m) { return NANOGetDouble(m, QZMPBFlag::kDoubleValue) == 1.5; }, "21 00 00 00 00 00 00 f8 3f"},
      {"bool", &QZMPBMeasurementBundle::messageClass,
       [](auto* m) { return NANOSetBool(m, QZMPBMeasurementBundle::kLimitedAdTracking, true); },
       [](auto* m) { return NANOGetBool(m, QZMPBMeasurementBundle::kLimitedAdTracking); }, "a0 01 01"},
      {"false is present and written", &QZMPBMeasurementBundle::messageClass,
       [](auto* m) { return NANOSetBool(m, QZMPBMeasurementBundle::kDmaRegion, false); },
       [](auto* m) { return NANOHasField(m, QZMPBMeasurementBundle::kDmaRegion); }, "c0 04 00"},
  };
  for (const ScalarCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto message = New(*c.cls);
    ASSERT_TRUE(c.set(message.get()));
    EXPECT_TRUE(c.readsBack(message.get()));
    Bytes wire = encoded(*message);
    EXPECT_EQ(Hex(wire), c.wire);
    std::unique_ptr<NANOMessageBase> read = decodedObject(*c.cls, wire);
    ASSERT_NE(read, nullptr);
    EXPECT_TRUE(c.readsBack(read.get()));
  }
}

TEST(NANOFieldAccess, StringsAreSetClearedAndRefusedWhenTheyCouldNotBeReadBack) {
  auto flag = New(QZMPBFlag::messageClass);
  EXPECT_EQ(NANOGetString(flag.get(), QZMPBFlag::kName), std::nullopt) << "never set";

  ASSERT_TRUE(NANOSetString(flag.get(), QZMPBFlag::kName, ""));
  EXPECT_EQ(NANOGetString(flag.get(), QZMPBFlag::kName), "");
  EXPECT_EQ(Hex(encoded(*flag)), "0a 00") << "an empty string is present";

  ASSERT_TRUE(NANOSetString(flag.get(), QZMPBFlag::kName, "h\xC3\xA9llo"));
  EXPECT_EQ(NANOGetString(flag.get(), QZMPBFlag::kName), "h\xC3\xA9llo");

  ASSERT_TRUE(NANOSetString(flag.get(), QZMPBFlag::kName, std::nullopt));
  EXPECT_FALSE(NANOHasField(flag.get(), QZMPBFlag::kName));
  EXPECT_EQ(encoded(*flag), Bytes{});

  ASSERT_TRUE(NANOSetString(flag.get(), QZMPBFlag::kName, "kept"));
  const std::string oneMebibyte(NANOMaxStringLength, 'x');
  struct Refused {
    std::string value;
    const char* line;
  } refused[] = {
      {"\xFF", "<ERROR> Unable to set string. Value isn't valid UTF-8"},
      {"a\xED\xA0\x80", "<ERROR> Unable to set string. Value isn't valid UTF-8"},  // a lone surrogate
      {oneMebibyte + "x", "<ERROR> Unable to set string. Value is too long to be decoded again. 1048577 > 1048576"},
  };
  for (const Refused& r : refused) {
    SCOPED_TRACE(r.line);
    LogCapture log;
    EXPECT_FALSE(NANOSetString(flag.get(), QZMPBFlag::kName, r.value));
    EXPECT_EQ(log.lines(), Lines{r.line});
    EXPECT_EQ(NANOGetString(flag.get(), QZMPBFlag::kName), "kept");
  }

  ASSERT_TRUE(NANOSetString(flag.get(), QZMPBFlag::kName, oneMebibyte)) << "the longest string a decode takes";
  auto read = QZMPBFlag::initWithBuffer(encoded(*flag));
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(NANOGetString(read.get(), QZMPBFlag::kName), oneMebibyte);
}

TEST(NANOFieldAccess, StoredBytesThatAreNotUTF8ReadAsNoString) {
  auto flag = QZMPBFlag::initWithBuffer(Bytes{0x0A, 0x01, 0xFF, 0x1A, 0x01, 'v'});
  ASSERT_NE(flag, nullptr);
  EXPECT_TRUE(NANOHasField(flag.get(), QZMPBFlag::kName));
  EXPECT_EQ(NANOGetString(flag.get(), QZMPBFlag::kName), std::nullopt);
  EXPECT_EQ(NANOGetString(flag.get(), QZMPBFlag::kStringValue), "v");
}

TEST(NANOFieldAccess, BytesAreCopiedWholeWithTheirZeros) {
  auto kinds = New(TestKinds::messageClass);
  const Data blob{0, 'a', 0, 0xFF};
  ASSERT_TRUE(NANOSetBytes(kinds.get(), TestKinds::kBlob, blob));
  EXPECT_EQ(NANOGetBytes(kinds.get(), TestKinds::kBlob), blob);
  EXPECT_EQ(Hex(encoded(*kinds)), "0a 04 00 61 00 ff");
  ASSERT_TRUE(NANOSetBytes(kinds.get(), TestKinds::kBlob, Data{}));
  EXPECT_EQ(NANOGetBytes(kinds.get(), TestKinds::kBlob), Data{});
  ASSERT_TRUE(NANOSetBytes(kinds.get(), TestKinds::kBlob, std::nullopt));
  EXPECT_FALSE(NANOHasField(kinds.get(), TestKinds::kBlob));
}

TEST(NANOFieldAccess, SubMessagesAreCopiesBothWays) {
  auto bundle = QZMPBMeasurementBundle::initWithMessageInfo(nullptr);
  auto campaign = QZMPBAdCampaignInfo::initWithMessageInfo(nullptr);
  ASSERT_TRUE(NANOSetString(campaign.get(), QZMPBAdCampaignInfo::kClickId, "first"));
  ASSERT_TRUE(NANOSetMessage(bundle.get(), QZMPBMeasurementBundle::kAdCampaignInfo, campaign.get()));

  ASSERT_TRUE(NANOSetString(campaign.get(), QZMPBAdCampaignInfo::kClickId, "changed after storing"));
  auto stored = NANOGetMessage<QZMPBAdCampaignInfo>(bundle.get(), QZMPBMeasurementBundle::kAdCampaignInfo);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(NANOGetString(stored.get(), QZMPBAdCampaignInfo::kClickId), "first");

  ASSERT_TRUE(NANOSetString(stored.get(), QZMPBAdCampaignInfo::kClickId, "changed after reading"));
  auto again = NANOGetMessage<QZMPBAdCampaignInfo>(bundle.get(), QZMPBMeasurementBundle::kAdCampaignInfo);
  EXPECT_EQ(NANOGetString(again.get(), QZMPBAdCampaignInfo::kClickId), "first");
  EXPECT_NE(again->messageInfo(), stored->messageInfo());

  ASSERT_TRUE(NANOSetMessage(bundle.get(), QZMPBMeasurementBundle::kAdCampaignInfo, nullptr));
  EXPECT_FALSE(NANOHasField(bundle.get(), QZMPBMeasurementBundle::kAdCampaignInfo));
  EXPECT_EQ(NANOGetMessage<QZMPBAdCampaignInfo>(bundle.get(), QZMPBMeasurementBundle::kAdCampaignInfo), nullptr);
}

TEST(NANOFieldAccess, ASubMessageOfAnotherKindIsRefused) {
  auto bundle = QZMPBMeasurementBundle::initWithMessageInfo(nullptr);
  auto campaign = QZMPBAdCampaignInfo::initWithMessageInfo(nullptr);
  ASSERT_TRUE(NANOSetString(campaign.get(), QZMPBAdCampaignInfo::kClickId, "kept"));
  ASSERT_TRUE(NANOSetMessage(bundle.get(), QZMPBMeasurementBundle::kAdCampaignInfo, campaign.get()));
  Bytes before = encoded(*bundle);
  auto flag = QZMPBFlag::initWithMessageInfo(nullptr);
  {
    LogCapture log;
    EXPECT_FALSE(NANOSetMessage(bundle.get(), QZMPBMeasurementBundle::kAdCampaignInfo, flag.get()));
    EXPECT_EQ(log.lines(), Lines{"<ERROR> Invalid object type. Message fields expect AdCampaignInfo. Type: QZMPBFlag"});
    EXPECT_EQ(encoded(*bundle), before) << "the old value stays";
  }
  struct Read {
    const NANOMessageClass* cls;
    const char* line;
  } reads[] = {
      {&QZMPBFlag::messageClass, "<ERROR> Provided class doesn't hold the message. Class: QZMPBFlag, message: AdCampaignInfo"},
      {nullptr, "<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: (null)"},
  };
  for (const Read& r : reads) {
    LogCapture log;
    EXPECT_EQ(NANOGetMessage(bundle.get(), QZMPBMeasurementBundle::kAdCampaignInfo, r.cls), nullptr);
    EXPECT_EQ(log.lines(), Lines{r.line});
  }
}

// A list field, the items written, and the items read back after a trip
// over the wire.
struct ListCase {
  const char* what;
  const NANOMessageClass* cls;
  int32_t id;
  NANOObjectArray items;
  std::vector<Object> expected;
};

TEST(NANOFieldAccess, ListsOfEveryKindReadBackInOrder) {
  std::vector<ListCase> cases = {
      {"uint32", &QZMPBMeasurementBundle::messageClass, QZMPBMeasurementBundle::kExperimentIds,
       {Object(0), Object(int64_t{4294967295}), Object(2.9)},
       {Object(0), Object(int64_t{4294967295}), Object(2)}},
      {"uint64 bit for bit", &QZMPBResultData::messageClass, QZMPBResultData::kStatus,
       {Object(-1), Object(true), Object(int64_t{1} << 40)},
       {Object(-1), Object(1), Object(int64_t{1} << 40)}},
      {"int64", &QZMPBSequenceFilterResultTimestamp::messageClass,
       QZMPBSequenceFilterResultTimestamp::kEvalTimestamps, {Object(-5), Object(300)}, {Object(-5), Object(300)}},
      {"string", &QZMPBMeasurementBundle::messageClass, QZMPBMeasurementBundle::kRedactedFields,
       {Object("a"), Object(""), Object("\xC3\xA9")}, {Object("a"), Object(""), Object("\xC3\xA9")}},
      {"bytes", &TestKinds::messageClass, TestKinds::kBlobs, {Object(Data{}), Object(Data{0, 7})},
       {Object(Data{}), Object(Data{0, 7})}},
  };
  for (const ListCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto message = New(*c.cls);
    ASSERT_TRUE(NANOSetArray(message.get(), c.id, &c.items));
    auto read = decodedObject(*c.cls, encoded(*message));
    ASSERT_NE(read, nullptr);
    std::optional<NANOObjectArray> items = NANOGetArray(read.get(), c.id);
    ASSERT_TRUE(items.has_value());
    std::vector<Object> objects;
    for (const NANOObject& item : *items) objects.push_back(std::get<Object>(item));
    EXPECT_EQ(objects, c.expected);
    for (const Object& object : objects) EXPECT_EQ(object.kind(), c.expected.front().kind()) << "kinds are kept";
  }
}

TEST(NANOFieldAccess, ListsOfMessagesHoldCopies) {
  auto bundle = QZMPBMeasurementBundle::initWithMessageInfo(nullptr);
  std::shared_ptr<QZMPBEvent> first = QZMPBEvent::initWithMessageInfo(nullptr);
  std::shared_ptr<QZMPBEvent> second = QZMPBEvent::initWithMessageInfo(nullptr);
  ASSERT_TRUE(NANOSetString(first.get(), QZMPBEvent::kName, "first"));
  ASSERT_TRUE(NANOSetString(second.get(), QZMPBEvent::kName, "second"));
  NANOObjectArray events{first, second};
  ASSERT_TRUE(NANOSetArray(bundle.get(), QZMPBMeasurementBundle::kEvents, &events));
  ASSERT_TRUE(NANOSetString(first.get(), QZMPBEvent::kName, "changed after storing"));

  auto read = NANOGetArray<QZMPBEvent>(bundle.get(), QZMPBMeasurementBundle::kEvents);
  ASSERT_TRUE(read.has_value());
  ASSERT_EQ(read->size(), 2u);
  EXPECT_EQ(NANOGetString((*read)[0].get(), QZMPBEvent::kName), "first");
  EXPECT_EQ(NANOGetString((*read)[1].get(), QZMPBEvent::kName), "second");
  ASSERT_TRUE(NANOSetString((*read)[0].get(), QZMPBEvent::kName, "changed after reading"));
  auto again = NANOGetArray<QZMPBEvent>(bundle.get(), QZMPBMeasurementBundle::kEvents);
  EXPECT_EQ(NANOGetString((*again)[0].get(), QZMPBEvent::kName), "first");

  LogCapture log;
  EXPECT_EQ(NANOGetArray<QZMPBEvent>(bundle.get(), QZMPBMeasurementBundle::kExperimentIds), std::nullopt);
  EXPECT_EQ(log.lines(),
            Lines{"<Nano/Failure> Field type isn't REPEATED MESSAGE. Message: MeasurementBundle, field ID: 37"});
}

TEST(NANOFieldAccess, AListWithoutItemsIsPresentAndReadsAsAnEmptyArray) {
  auto bundle = QZMPBMeasurementBundle::initWithBuffer({});
  ASSERT_NE(bundle, nullptr);
  EXPECT_TRUE(NANOHasField(bundle.get(), QZMPBMeasurementBundle::kRedactedFields));
  EXPECT_EQ(NANOGetArray(bundle.get(), QZMPBMeasurementBundle::kRedactedFields), NANOObjectArray{});

  NANOObjectArray names{Object("a")};
  ASSERT_TRUE(NANOSetArray(bundle.get(), QZMPBMeasurementBundle::kRedactedFields, &names));
  ASSERT_TRUE(NANOSetArray(bundle.get(), QZMPBMeasurementBundle::kRedactedFields, nullptr));
  EXPECT_TRUE(NANOHasField(bundle.get(), QZMPBMeasurementBundle::kRedactedFields));
  EXPECT_EQ(NANOGetArray(bundle.get(), QZMPBMeasurementBundle::kRedactedFields), NANOObjectArray{});
  ASSERT_TRUE(NANOSetArray(bundle.get(), QZMPBMeasurementBundle::kRedactedFields, &names));
  ASSERT_TRUE(NANOClearField(bundle.get(), QZMPBMeasurementBundle::kRedactedFields));
  EXPECT_TRUE(NANOHasField(bundle.get(), QZMPBMeasurementBundle::kRedactedFields));
  EXPECT_EQ(encoded(*bundle), Bytes{});
}

// A list field holding `old`, given `items` of which one does not fit.
struct BadListCase {
  const char* what;
  const NANOMessageClass* cls;
  int32_t id;
  NANOObjectArray old;
  NANOObjectArray items;
  const char* line;
};

TEST(NANOFieldAccess, AListWithOneElementThatDoesNotFitStoresNothing) {
  std::shared_ptr<NANOMessageBase> event = QZMPBEvent::initWithMessageInfo(nullptr);
  std::shared_ptr<NANOMessageBase> flag = QZMPBFlag::initWithMessageInfo(nullptr);
  const int32_t timestamps = QZMPBSequenceFilterResultTimestamp::kEvalTimestamps;
  const int32_t names = QZMPBMeasurementBundle::kRedactedFields;
  const int32_t events = QZMPBMeasurementBundle::kEvents;
  const auto* sequence = &QZMPBSequenceFilterResultTimestamp::messageClass;
  const auto* bundle = &QZMPBMeasurementBundle::messageClass;
  std::vector<BadListCase> cases = {
      {"a string among int64s", sequence, timestamps, {Object(1), Object(2)}, {Object(3), Object("x")},
       "<ERROR> Invalid object type. Int64 fields expect NSNumber. Type: string"},
      {"into an empty list", sequence, timestamps, {}, {Object(3), Object("x")},
       "<ERROR> Invalid object type. Int64 fields expect NSNumber. Type: string"},
      {"data among uint32s", bundle, QZMPBMeasurementBundle::kExperimentIds, {Object(1)}, {Object(3), Object(Data{})},
       "<ERROR> Invalid object type. Int32 fields expect NSNumber. Type: data"},
      {"a number among strings", bundle, names, {Object("a")}, {Object("b"), Object(5)},
       "<ERROR> Invalid object type. String fields expect NSString. Type: integer"},
      {"a string that is not UTF-8", bundle, names, {Object("a")}, {Object("b"), Object("\xC0")},
       "<ERROR> Unable to set string. Value isn't valid UTF-8"},
      {"a string among data", &TestKinds::messageClass, TestKinds::kBlobs, {Object(Data{1})},
       {Object(Data{2}), Object("s")}, "<ERROR> Invalid object type. Bytes fields expect NSData. Type: string"},
      {"a message of another kind", bundle, events, {event}, {event, flag},
       "<ERROR> Invalid object type. Message fields expect Event. Type: QZMPBFlag"},
      {"no message", bundle, events, {event}, {event, std::shared_ptr<NANOMessageBase>()},
       "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: (null)"},
      {"a string among messages", bundle, events, {event}, {event, Object("x")},
       "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: string"},
  };
  for (const BadListCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto message = New(*c.cls);
    ASSERT_TRUE(NANOSetArray(message.get(), c.id, &c.old));
    Bytes before = encoded(*message);
    LogCapture log;
    EXPECT_FALSE(NANOSetArray(message.get(), c.id, &c.items));
    EXPECT_EQ(log.lines(), Lines{c.line});
    EXPECT_EQ(encoded(*message), before) << "the old items stay";
    EXPECT_EQ(NANOGetArray(message.get(), c.id, &QZMPBEvent::messageClass)->size(), c.old.size());
  }
}

TEST(NANOFieldAccess, CopiesKeepEveryItem) {
  auto bundle = QZMPBMeasurementBundle::initWithMessageInfo(nullptr);
  NANOObjectArray events;
  for (int i = 0; i < 3; ++i) {
    std::shared_ptr<QZMPBEvent> event = QZMPBEvent::initWithMessageInfo(nullptr);
    NANOObjectArray params;
    for (int j = 0; j < 2; ++j) {
      std::shared_ptr<QZMPBEventParam> param = QZMPBEventParam::initWithMessageInfo(nullptr);
      ASSERT_TRUE(NANOSetInt64(param.get(), QZMPBEventParam::kIntValue, i * 10 + j));
      params.push_back(param);
    }
    ASSERT_TRUE(NANOSetArray(event.get(), QZMPBEvent::kParams, &params));
    events.push_back(event);
  }
  ASSERT_TRUE(NANOSetArray(bundle.get(), QZMPBMeasurementBundle::kEvents, &events));

  auto copy = QZMPBMeasurementBundle::initWithMessageInfo(bundle->messageInfo());
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy->messageInfo(), bundle->messageInfo());
  EXPECT_EQ(encoded(*copy), encoded(*bundle));
  auto read = NANOGetArray<QZMPBEvent>(copy.get(), QZMPBMeasurementBundle::kEvents);
  ASSERT_EQ(read->size(), 3u);
  auto params = NANOGetArray<QZMPBEventParam>((*read)[2].get(), QZMPBEvent::kParams);
  ASSERT_EQ(params->size(), 2u);
  EXPECT_EQ(NANOGetInt64((*params)[1].get(), QZMPBEventParam::kIntValue), 21);
}

TEST(NANOFieldAccess, AListItemWithoutACellIsSkipped) {
  auto bundle = QZMPBMeasurementBundle::initWithMessageInfo(nullptr);
  NANOObjectArray ids{Object(1), Object(2), Object(3)};
  ASSERT_TRUE(NANOSetArray(bundle.get(), QZMPBMeasurementBundle::kExperimentIds, &ids));
  auto* list = static_cast<NANOArray*>(bundle->messageInfo()->fields[QZMPBMeasurementBundle::kExperimentIds]);
  std::free(list->items[1]);
  list->items[1] = nullptr;
  LogCapture log;
  EXPECT_EQ(NANOGetArray(bundle.get(), QZMPBMeasurementBundle::kExperimentIds),
            (NANOObjectArray{Object(1), Object(3)}));
  EXPECT_EQ(log.lines(), Lines{"<ERROR> Unable to convert NULL data to an ObjC object"});
}

TEST(NANOFieldAccess, AMissingListHeaderIsReported) {
  auto bundle = QZMPBMeasurementBundle::initWithMessageInfo(nullptr);
  void*& slot = bundle->messageInfo()->fields[QZMPBMeasurementBundle::kEvents];
  void* header = slot;
  slot = nullptr;
  NANOObjectArray none;
  LogCapture log;
  EXPECT_EQ(NANOGetArray(bundle.get(), QZMPBMeasurementBundle::kEvents, &QZMPBEvent::messageClass), std::nullopt);
  EXPECT_FALSE(NANOSetArray(bundle.get(), QZMPBMeasurementBundle::kEvents, &none));
  slot = header;
  EXPECT_EQ(log.lines(), (Lines{"<ERROR> Repeated field should have been allocated",
                                "<ERROR> Repeated field should have been allocated"}));
}

}  // namespace

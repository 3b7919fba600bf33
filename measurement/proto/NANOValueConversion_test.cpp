// The two converters between value cells and objects, one kind per row.
#include "measurement/proto/NANOValueConversion.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "measurement/proto/NANOFieldHelpers.h"
#include "measurement/proto/NANOMessageFunctions.h"
#include "measurement/proto/NANOTestRecords.h"
#include "measurement/proto/generated/MeasurementMessages.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "testing/LogCapture.h"

namespace {

using foundation::Data;
using foundation::Object;
using testkit::LogCapture;
using Lines = std::vector<std::string>;

// A cell of some kind, owned for the length of a test.
struct Cell {
  NANOFieldSchema field;
  void* value = nullptr;
  ~Cell() { NANODeallocFieldValue(field, value); }
};

struct RoundTrip {
  const char* what;
  NANOFieldFlags flags;
  Object in;
  Object out;
};

TEST(NANOValueConversion, NumbersStringsAndDataComeBackOfTheirKind) {
  const RoundTrip cases[] = {
      {"bool", 0x22, Object(true), Object(true)},
      {"bool from a number", 0x22, Object(2), Object(true)},
      {"int32 keeps its sign", 0x82, Object(-7), Object(-7)},
      {"int32 wraps to 32 bits", 0x82, Object(int64_t{0x1FFFFFFFF}), Object(-1)},
      {"uint32 stays positive", 0x108, Object(-1), Object(int64_t{4294967295})},
      {"int64", 0x202, Object(int64_t{-1700000000123}), Object(int64_t{-1700000000123})},
      {"uint64 bit for bit", 0x408, Object(-2), Object(-2)},
      {"float", 0x802, Object(1.25), Object(1.25)},
      {"double from an integer", 0x1002, Object(3), Object(3.0)},
      {"enum", 0x42, Object(4), Object(4)},
      {"string", 0x2008, Object("\xF0\x9F\x8C\x8A"), Object("\xF0\x9F\x8C\x8A")},
      {"bytes", 0x8008, Object(Data{0, 1}), Object(Data{0, 1})},
  };
  for (const RoundTrip& c : cases) {
    SCOPED_TRACE(c.what);
    Cell cell{{"f", 1, c.flags, nullptr}};
    LogCapture log;
    ASSERT_TRUE(NANOValueFromObject(c.in, c.flags, &cell.value, nullptr));
    std::optional<NANOObject> out = NANOObjectFromValue(cell.value, c.flags, nullptr);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(std::get<Object>(*out), c.out);
    EXPECT_EQ(std::get<Object>(*out).kind(), c.out.kind());
    EXPECT_EQ(log.lines(), Lines{});
  }
}

struct Refusal {
  const char* what;
  NANOFieldFlags flags;
  NANOObject in;
  const char* line;
};

TEST(NANOValueConversion, AnObjectThatDoesNotFitTheFieldIsRefused) {
  const Refusal cases[] = {
      {"string for bool", 0x22, Object("yes"), "<ERROR> Invalid object type. Boolean fields expect NSNumber. Type: string"},
      {"null for int32", 0x82, Object(), "<ERROR> Invalid object type. Int32 fields expect NSNumber. Type: null"},
      {"date for int64", 0x202, Object(foundation::Date{1}),
       "<ERROR> Invalid object type. Int64 fields expect NSNumber. Type: date"},
      {"array for float", 0x802, Object(foundation::Array{}),
       "<ERROR> Invalid object type. Float fields expect NSNumber. Type: array"},
      {"string for double", 0x1002, Object("1"), "<ERROR> Invalid object type. Double fields expect NSNumber. Type: string"},
      {"message for enum", 0x42, std::shared_ptr<NANOMessageBase>(QZMPBFlag::initWithMessageInfo(nullptr)),
       "<ERROR> Invalid object type. Enum fields expect NSNumber. Type: QZMPBFlag"},
      {"data for string", 0x2002, Object(Data{}), "<ERROR> Invalid object type. String fields expect NSString. Type: data"},
      {"string for bytes", 0x8002, Object("s"), "<ERROR> Invalid object type. Bytes fields expect NSData. Type: string"},
      {"number for message", 0x4002, Object(1),
       "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: integer"},
      {"no kind", 0x2, Object(1), "<ERROR> Unable to convert ObjC object to byte data. Unknown type. 2"},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.what);
    void* slot = nullptr;
    LogCapture log;
    EXPECT_FALSE(NANOValueFromObject(c.in, c.flags, &slot, &Flag_schema));
    EXPECT_EQ(log.lines(), Lines{c.line});
    EXPECT_EQ(slot, nullptr) << "nothing allocated";
  }
  LogCapture log;
  EXPECT_FALSE(NANOValueFromObject(Object(1), 0x82, nullptr, nullptr));
  EXPECT_EQ(log.lines(), Lines{"<ERROR> Unable to set NULL data to an ObjC object"});
}

TEST(NANOValueConversion, AStringFieldThatRefusesKeepsItsValue) {
  Cell cell{{"f", 1, 0x2002, nullptr}};
  ASSERT_TRUE(NANOValueFromObject(Object("kept"), 0x2002, &cell.value, nullptr));
  LogCapture log;
  EXPECT_FALSE(NANOValueFromObject(Object(5), 0x2002, &cell.value, nullptr));
  EXPECT_FALSE(NANOValueFromObject(Object("\xFF"), 0x2002, &cell.value, nullptr));
  EXPECT_EQ(log.lines(), (Lines{"<ERROR> Invalid object type. String fields expect NSString. Type: integer",
                                "<ERROR> Unable to set string. Value isn't valid UTF-8"}));
  auto* string = static_cast<const NANOString*>(cell.value);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(string->data), string->length), "kept");
}

TEST(NANOValueConversion, MessagesAreCopiedInAndMadeAnewOut) {
  auto flag = QZMPBFlag::initWithMessageInfo(nullptr);
  ASSERT_TRUE(NANOValueFromObject(Object("n"), 0x2002, &flag->messageInfo()->fields[0], nullptr));
  Cell cell{{"flag", 1, 0x4008, &Flag_schema}};
  ASSERT_TRUE(NANOValueFromObject(std::shared_ptr<NANOMessageBase>(std::move(flag)), 0x4008, &cell.value,
                                  &Flag_schema));

  std::optional<NANOObject> out = NANOObjectFromValue(cell.value, 0x4008, &QZMPBFlag::messageClass);
  ASSERT_TRUE(out.has_value());
  const auto& made = std::get<std::shared_ptr<NANOMessageBase>>(*out);
  EXPECT_EQ(&made->objectClass(), &QZMPBFlag::messageClass);
  EXPECT_NE(made->messageInfo(), cell.value);
  EXPECT_EQ(Differences(&Flag_schema, made->messageInfo(), static_cast<NANOMessageInfo*>(cell.value)), "");

  struct Bad {
    const NANOMessageClass* cls;
    const char* line;
  } bad[] = {
      {nullptr, "<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: (null)"},
      {&QZMPBEvent::messageClass, "<ERROR> Provided class doesn't hold the message. Class: QZMPBEvent, message: Flag"},
  };
  for (const Bad& b : bad) {
    LogCapture log;
    EXPECT_EQ(NANOObjectFromValue(cell.value, 0x4008, b.cls), std::nullopt);
    EXPECT_EQ(log.lines(), Lines{b.line});
  }
}

TEST(NANOValueConversion, CellsThatHoldNothingConvertToNothing) {
  LogCapture log;
  EXPECT_EQ(NANOObjectFromValue(nullptr, 0x202, nullptr), std::nullopt);
  uint64_t cell = 1;
  EXPECT_EQ(NANOObjectFromValue(&cell, 0x8, nullptr), std::nullopt);
  NANOString noData{};
  EXPECT_EQ(NANOObjectFromValue(&noData, 0x2008, nullptr), std::nullopt);
  EXPECT_EQ(log.lines(), (Lines{"<ERROR> Unable to convert NULL data to an ObjC object",
                                "<ERROR> Unable to convert byte data to an ObjC object. Unknown type. 8"}));
}

}  // namespace

#include <gtest/gtest.h>

#include <cmath>

#include "measurement/model/ModelTestKit.h"
#include "measurement/model/QZMUserAttribute.h"
#include "measurement/proto/NANOFieldAccess.h"

namespace {

using namespace modeltest;

class Values : public ModelTest {};

TEST_F(Values, ObjectsBecomeValuesByTheirStorageKind) {
  struct Case {
    const char* label;
    QZMObject object;
    bool allowArray;
    std::optional<QZMValue> expected;
    std::vector<std::int64_t> codes;
  } cases[] = {
      {"text", QZMObject("abc"), false, str("abc"), {}},
      {"integer", QZMObject(7), false, i64(7), {}},
      {"floating 3.0 stays a double", QZMObject(3.0), false, dbl(3.0), {}},
      {"floating 1.5", QZMObject(1.5), false, dbl(1.5), {}},
      {"Boolean YES is the integer 1", QZMObject(true), false, i64(1), {}},
      {"Boolean NO is the integer 0", QZMObject(false), false, i64(0), {}},
      {"a value is kept", QZMObject(dbl(2.5)), false, dbl(2.5), {}},
      {"array refused by default", QZMObject(foundation::Array{1, 2}), false, std::nullopt, {35001}},
      {"array when allowed", QZMObject(foundation::Array{1, 2}), true, QZMValue::initWithArray({QZMObject(1), QZMObject(2)}),
       {}},
      {"dictionary", QZMObject(foundation::Dictionary{{"a", 1}}), true, std::nullopt, {35001}},
      {"date", QZMObject(foundation::Date{5}), false, std::nullopt, {35001}},
      {"null", QZMObject(), false, std::nullopt, {35001}},
      {"text that is not UTF-8", QZMObject(std::string("\xC3\x28")), false, std::nullopt, {35001}},
  };
  for (const auto& c : cases) {
    clearMonitorLines();
    EXPECT_EQ(QZMValue::valueFromObject(&c.object, c.allowArray), c.expected) << c.label;
    EXPECT_EQ(codes(), c.codes) << c.label;
  }
  clearMonitorLines();
  EXPECT_EQ(QZMValue::valueFromObject(nullptr), std::nullopt);
  EXPECT_EQ(codes(), std::vector<std::int64_t>{35000});
}

TEST_F(Values, TypedInitialisersRefuseOtherObjects) {
  const QZMObject number(1);
  const QZMObject array(foundation::Array{QZMObject(foundation::Dictionary{{"a", 1}}).plainObject()});
  EXPECT_EQ(QZMValue::initWithString(nullptr), std::nullopt);
  EXPECT_EQ(QZMValue::initWithString(&number), std::nullopt);
  EXPECT_EQ(QZMValue::initWithString(std::string("\xFF")), std::nullopt);
  EXPECT_EQ(QZMValue::initWithArray(nullptr), std::nullopt);
  EXPECT_EQ(QZMValue::initWithArray(&number), std::nullopt);
  EXPECT_EQ(codes(), (std::vector<std::int64_t>{35002, 35003, 35003, 35004, 35005}));
  EXPECT_EQ(monitorLines()[1].message, "Cannot create String value with non-string value. Value");
  EXPECT_EQ(monitorLines()[1].contexts, std::vector<std::string>{"1"});

  std::optional<QZMValue> items = QZMValue::initWithArray(&array);
  ASSERT_TRUE(items);
  EXPECT_TRUE(items->isArray());
  ASSERT_EQ(items->arrayValue()->size(), 1u);
  EXPECT_NE((*items->arrayValue())[0].dictionary(), nullptr);
}

TEST_F(Values, AccessorsAnswerOnlyForTheirOwnType) {
  const QZMValue d = dbl(2.75), i = i64(-3), s = str("x");
  const QZMValue a = QZMValue::initWithArray(QZMArray{});
  EXPECT_EQ(d.doubleValue(), 2.75);
  EXPECT_EQ(d.int64Value(), 0);  // a double is never read as an integer
  EXPECT_EQ(i.int64Value(), -3);
  EXPECT_EQ(i.doubleValue(), 0.0);
  EXPECT_EQ(*s.stringValue(), "x");
  EXPECT_EQ(i.stringValue(), nullptr);
  EXPECT_EQ(s.arrayValue(), nullptr);
  EXPECT_NE(a.arrayValue(), nullptr);
  EXPECT_TRUE(d.isDouble() && i.isInt64() && s.isString() && a.isArray());
  EXPECT_EQ(d.description(), "2.75");
  EXPECT_EQ(i.description(), "-3");

  // The designated initialiser stores what it is given: a string type over a
  // number holds no string.
  const QZMValue odd = QZMValue::initWithValueType(QZMValueType::kString, std::int64_t{4});
  EXPECT_TRUE(odd.isString());
  EXPECT_EQ(odd.stringValue(), nullptr);
  EXPECT_EQ(odd.int64Value(), 0);
}

TEST_F(Values, EqualityNeedsTheSameTypeAndObject) {
  EXPECT_EQ(str("abc"), str("abc"));
  EXPECT_EQ(str("abc").hash(), str("abc").hash());
  EXPECT_NE(dbl(1.0), i64(1));
  EXPECT_NE(str("1"), i64(1));
  EXPECT_EQ(dbl(NAN), dbl(NAN));
  EXPECT_EQ(dbl(NAN).hash(), dbl(NAN).hash());
  auto array = [](int n) { return QZMValue::initWithArray({QZMObject(QZMDictionary{{"n", i64(n)}})}); };
  EXPECT_EQ(array(1), array(1));
  EXPECT_EQ(array(1).hash(), array(1).hash());
  EXPECT_NE(array(1), array(2));
  EXPECT_NE(QZMValue::initWithValueType(QZMValueType::kInt64, std::int64_t{1}),
            QZMValue::initWithValueType(QZMValueType::kDouble, std::int64_t{1}));
}

class UserAttributes : public ModelTest {};

TEST_F(UserAttributes, StringValueLimitsDependOnTheName) {
  struct Case {
    const char* name;
    std::size_t length;
    bool accepted;
  } cases[] = {
      {"_id", 256, true},           {"_id", 257, false},           {"_gbraid", 256, true},
      {"_gbraid", 257, false},      {"_psmvalue", 512, true},      {"_psmvalue", 513, false},
      {"_psmvalue_gads", 512, true}, {"_psmvalue_gads", 513, false}, {"level", 36, true},
      {"level", 37, false},         {"_fot", 37, false},           {"level", 0, false},
  };
  for (const auto& c : cases) {
    auto attribute = QZMUserAttribute::initWithOrigin("app", c.name, str(std::string(c.length, 'v')), 1);
    EXPECT_EQ(attribute.has_value(), c.accepted) << c.name << " " << c.length;
  }
  // Characters, not bytes: 36 characters outside the basic plane are 144 bytes.
  EXPECT_TRUE(QZMUserAttribute::initWithOrigin("app", "level", str(repeated("\xF0\x9F\x98\x80", 36)), 1));
  EXPECT_FALSE(QZMUserAttribute::initWithOrigin("app", "level", str(repeated("\xF0\x9F\x98\x80", 37)), 1));
  // Numbers have no length; the origin is not checked.
  EXPECT_TRUE(QZMUserAttribute::initWithOrigin("", "_lte", i64(1) , 1));
}

TEST_F(UserAttributes, NamesMustBeInternalNames) {
  for (const char* name : {"", "bad name", "a-b", "abcdefghijklmnopqrstuvwxy"}) {
    EXPECT_FALSE(QZMUserAttribute::initWithOrigin("app", name, i64(1), 0)) << name;
  }
  auto internal = QZMUserAttribute::initWithOrigin("auto", "_fot", i64(1), 0);
  auto custom = QZMUserAttribute::initWithOrigin("app", "level", i64(1), 0);
  ASSERT_TRUE(internal && custom);
  EXPECT_FALSE(internal->isPublic());
  EXPECT_TRUE(custom->isPublic());
}

TEST_F(UserAttributes, MessagesCarryTheValueInItsFieldAndTheTimeInMilliseconds) {
  struct Case {
    QZMValue value;
    double seconds;
    std::int64_t millis;
  } cases[] = {
      {str("gold"), 0.5, 500},
      {i64(42), 1.9999, 1999},  // truncated toward zero
      {dbl(2.5), -1.0005, -1000},
      {QZMValue::initWithArray(QZMArray{}), 1e300, INT64_MAX},  // no value field; the time saturates
  };
  for (const auto& c : cases) {
    auto attribute = QZMUserAttribute::initWithOrigin("app", "level", c.value, c.seconds);
    ASSERT_TRUE(attribute);
    auto message = attribute->protoUserAttribute();
    ASSERT_TRUE(message);
    EXPECT_EQ(NANOGetString(message.get(), QZMPBUserAttribute::kName), "level");
    EXPECT_EQ(NANOGetInt64(message.get(), QZMPBUserAttribute::kSetTimestampMillis), c.millis);
    EXPECT_EQ(NANOHasField(message.get(), QZMPBUserAttribute::kStringValue), c.value.isString());
    EXPECT_EQ(NANOHasField(message.get(), QZMPBUserAttribute::kIntValue), c.value.isInt64());
    EXPECT_EQ(NANOHasField(message.get(), QZMPBUserAttribute::kDoubleValue), c.value.isDouble());
    EXPECT_FALSE(NANOHasField(message.get(), QZMPBUserAttribute::kFloatValue));
    if (c.value.isString()) {
      EXPECT_EQ(NANOGetString(message.get(), QZMPBUserAttribute::kStringValue), "gold");
    }
    if (c.value.isInt64()) {
      EXPECT_EQ(NANOGetInt64(message.get(), QZMPBUserAttribute::kIntValue), 42);
    }
    if (c.value.isDouble()) {
      EXPECT_EQ(NANOGetDouble(message.get(), QZMPBUserAttribute::kDoubleValue), 2.5);
    }
  }
}

TEST(UserPropertyNames, TheTableHoldsTheTenCollectedProperties) {
  const auto& map = QZMInternalUserPropertyNameMap();
  EXPECT_EQ(map.size(), 10u);
  EXPECT_EQ(map.at("first_open_time"), "_fot");
  EXPECT_EQ(map.at("qvz_session_id"), "_sid");
  EXPECT_EQ(map.at("user_id"), "_id");
}

}  // namespace

#include <gtest/gtest.h>

#include <cmath>

#include "measurement/config/runtime/QZMPArrayValue.h"
#include "measurement/config/runtime/QZMPFunctionValue.h"
#include "measurement/config/runtime/QZMPMapValue.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/QZMPRuntimeEntityConverter.h"
#include "measurement/config/runtime/QZMPStatementValue.h"
#include "measurement/config/runtime/testkit/QZMPAssembler.h"
#include "measurement/config/runtime/testkit/QZMPRuntimeTestKit.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "test_commands.h"

namespace {

using V = QZMPRuntimeValue;
using foundation::Object;

std::string convertEntity(const char* text) {
  auto entity = QZMPAssembleEntity(text);
  if (!entity) return "does not assemble: " + entity.error().description;
  QZMPOutcome outcome;
  outcome.value = QZMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(**entity, outcome.error);
  return outcome.describe();
}

TEST(EntityConversion, TurnsEveryEntityTypeIntoItsValue) {
  const struct {
    const char* entity;
    std::string value;
  } cases[] = {
      {"\"text\"", "\"text\""},
      {"12.5", "12.5"},
      {"true", "true"},
      {"(22 true (0 1 2) \"x\")", "(22 true (0 1 2) \"x\")"},
      {"($f)", "(\"f\")"},
      {"(\"022\")", "(\"022\")"},
      {"{type=1}", "\"\""},
      {"{type=2}", "NaN"},
      {"{type=3}", "false"},
      {"{type=1 string=\"s\" number=5 bool=true}", "\"s\""},
      {"{type=4 name=\"\"}", "(\"\")"},
      {"{type=4 name=\"7\" 1 {type=4 name=\"8\"}}", "(7 1 (8))"},
      {"{type=1 string=\"\\xff\\xfeok\"}", "\"\\uFFFD\\uFFFDok\""},
      {"{}", "error glint 12"},
      {"{type=0}", "error glint 12"},
      {"{type=5 string=\"s\"}", "error glint 12"},
      {"{type=4}", "error glint 14"},
      {"(0 1 {type=7})", "error glint 12"},
      {"(0 1 (0 {type=4 1}))", "error glint 14"},
  };
  for (const auto& c : cases) EXPECT_EQ(convertEntity(c.entity), c.value) << c.entity;
  EXPECT_EQ(QZMPObject::liveCount(), 0);
}

TEST(EntityConversion, SharesTheStringsOfEqualLiterals) {
  auto entity = QZMPAssembleEntity("(0 \"name\" \"name\")");
  ASSERT_TRUE(entity);
  QZMPError error;
  const V statement = QZMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(**entity, error);
  ASSERT_FALSE(error);
  QZMPArguments arguments = statement.asStatement()->arguments();
  EXPECT_EQ(arguments[0].asString(), arguments[1].asString());
  EXPECT_EQ(statement.asStatement()->opcode(), 0);
}

// Builds the nesting with the field setters, so that it does not depend on
// what depth the decoder accepts.
std::shared_ptr<QZMPBRuntimeEntity> nested(int depth) {
  std::shared_ptr<NANOMessageBase> inner(QZMPBRuntimeEntity::initWithMessageInfo(nullptr).release());
  NANOSetInt32(inner.get(), QZMPBRuntimeEntity::kType, 2);
  NANOSetDouble(inner.get(), QZMPBRuntimeEntity::kNumberValue, 1);
  for (int level = 0; level < depth; ++level) {
    std::shared_ptr<NANOMessageBase> outer(QZMPBRuntimeEntity::initWithMessageInfo(nullptr).release());
    NANOSetInt32(outer.get(), QZMPBRuntimeEntity::kType, 4);
    NANOSetString(outer.get(), QZMPBRuntimeEntity::kFunctionName, "34");
    const NANOObjectArray arguments = {inner};
    NANOSetArray(outer.get(), QZMPBRuntimeEntity::kValue, &arguments);
    inner = outer;
  }
  return std::static_pointer_cast<QZMPBRuntimeEntity>(inner);
}

TEST(EntityConversion, RefusesTreesDeeperThanTheLimit) {
  QZMPError error;
  EXPECT_TRUE(QZMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*nested(kQZMPMaxEntityDepth), error)
                  .isStatement());
  EXPECT_FALSE(error);
  EXPECT_TRUE(
      QZMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*nested(kQZMPMaxEntityDepth + 1), error).isUndefined());
  EXPECT_TRUE(error.is(QZMPGlintErrorTooDeep));
  EXPECT_EQ(QZMPObject::liveCount(), 0);
}

class HostConversionTest : public QZMPRuntimeTest {
 protected:
  QZMPRuntime runtime_{{.registrar = &QZMPTestRegistrar()}};
  QZMPScope& scope_ = runtime_.globalScope();

  std::string toValue(const Object& object) {
    QZMPOutcome outcome;
    outcome.value = QZMPRuntimeEntityConverter::runtimeValueFromNSObject(object, scope_, outcome.error);
    return outcome.describe();
  }
  std::string toHost(const V& value) {
    QZMPError error;
    const Object object = QZMPRuntimeEntityConverter::objectFromRuntimeValue(value, error);
    if (error) return QZMPDescribe(error);
    return describeHost(object);
  }
  static std::string describeHost(const Object& object) {
    switch (object.kind()) {
      case Object::Kind::null: return "none";
      case Object::Kind::boolean: return object.boolValue() ? "bool true" : "bool false";
      case Object::Kind::integer: return "int " + object.description();
      case Object::Kind::floating: return "double " + object.description();
      case Object::Kind::string: return "\"" + *object.string() + "\"";
      case Object::Kind::array: {
        std::string out = "[";
        for (const Object& item : *object.array()) out += (out.size() > 1 ? ", " : "") + describeHost(item);
        return out + "]";
      }
      case Object::Kind::dictionary: {
        std::string out = "{";
        for (const auto& [key, item] : *object.dictionary()) {
          out += (out.size() > 1 ? ", " : "") + key + ": " + describeHost(item);
        }
        return out + "}";
      }
      default: return "other";
    }
  }
};

TEST_F(HostConversionTest, HostObjectsBecomeValues) {
  const struct {
    Object object;
    std::string value;
  } cases[] = {
      {Object(), "null"},
      {Object(true), "true"},
      {Object(1), "1"},
      {Object(2.5), "2.5"},
      {Object("héllo"), "\"h\\u00E9llo\""},
      {Object(foundation::Array{Object(1), Object("a"), Object()}), "[1, \"a\", null]"},
      {Object(foundation::Dictionary{{"b", Object(false)}, {"a", Object(foundation::Array{})}}),
       "{\"a\": [], \"b\": false}"},
      {Object(foundation::Data{1, 2}), "error glint 13"},
      {Object(foundation::Array{Object(1), Object(foundation::Date{5})}), "error glint 13"},
  };
  for (const auto& c : cases) EXPECT_EQ(toValue(c.object), c.value) << c.value;
  // What the conversion makes belongs to the scope's runtime.
  QZMPError error;
  const V made = QZMPRuntimeEntityConverter::runtimeValueFromNSObject(
      Object(foundation::Array{Object(foundation::Dictionary{})}), scope_, error);
  EXPECT_EQ(made.asArray()->objectManager(), &runtime_.objectManager());
  EXPECT_EQ(made.asArray()->elementAt(0).asMap()->objectManager(), &runtime_.objectManager());

  Object deep(foundation::Array{});
  for (int i = 0; i < 300; ++i) deep = Object(foundation::Array{deep});
  EXPECT_EQ(toValue(deep), "error glint 19");
}

TEST_F(HostConversionTest, ValuesBecomeHostObjects) {
  QZMPRef<QZMPArrayValue> withHoles = QZMPObjectManager::arrayValueWithArray(
      std::vector<V>{V::number(1), V::null(), V(), V::string(u"007")}, scope_);
  QZMPError error;
  withHoles->setLength(5, error);
  QZMPRef<QZMPMapValue> map = QZMPObjectManager::mapValueWithScope(scope_);
  map->setValue(V::null(), *QZMPStringValue::withASCII("gone"));
  map->setValue(V::boolean(true), *QZMPStringValue::withASCII("flag"));
  map->setValue(V(withHoles), *QZMPStringValue::withASCII("list"));
  const V function(QZMPObjectManager::functionValueWithFunctionName(QZMPStringValue::withASCII("fn"), {}, {},
                                                                      QZMPRef<QZMPScope>(&scope_)));
  const struct {
    V value;
    std::string host;
  } cases[] = {
      {V::null(), "none"},
      {V(), "\"\""},
      {V::string(u"007"), "double 7"},
      {V::string(u"abc"), "\"abc\""},
      {V::string(u""), "\"\""},
      {V::string(u"  \n"), "\"  \n\""},
      {V::string(u"1e3"), "double 1000"},
      {V::boolean(true), "double 1"},
      {V::number(42), "double 42"},
      {V::number(NAN), "\"NaN\""},
      {V::number(INFINITY), "double inf"},
      {function, "\"fn\""},
      {V(withHoles), "[double 1, \"\", double 7, \"\"]"},
      {V(map), "{flag: double 1, list: [double 1, \"\", double 7, \"\"]}"},
      {QZMPControlValue::breakValue(), "error glint 4"},
      {QZMPValueOf("(0 1)"), "error glint 4"},
  };
  for (const auto& c : cases) EXPECT_EQ(toHost(c.value), c.host) << QZMPDescribe(c.value);
}

TEST_F(HostConversionTest, ValuesThatContainThemselvesAreRefused) {
  QZMPRef<QZMPMapValue> map = QZMPObjectManager::mapValueWithScope(scope_);
  QZMPRef<QZMPArrayValue> array = QZMPObjectManager::arrayValueWithScope(scope_);
  QZMPError error;
  array->appendElements(std::vector<V>{V(map)}, error);
  map->setValue(V(array), *QZMPStringValue::withASCII("array"));
  EXPECT_EQ(toHost(V(map)), "error glint 19");
  EXPECT_EQ(toHost(V(array)), "error glint 19");
  EXPECT_TRUE(QZMPRuntimeEntityConverter::dictionaryFromMapValue(*map, error).empty());
  EXPECT_TRUE(error.is(QZMPGlintErrorTooDeep));

  // Deep nesting without a cycle is bounded as well.
  QZMPRef<QZMPArrayValue> deep = QZMPObjectManager::arrayValueWithScope(scope_);
  for (int i = 0; i < 200; ++i) deep = QZMPObjectManager::arrayValueWithArray(std::vector<V>{V(deep)}, scope_);
  EXPECT_EQ(toHost(V(deep)), "error glint 19");

  // The same map twice side by side is no cycle.
  QZMPRef<QZMPMapValue> leaf = QZMPObjectManager::mapValueWithScope(scope_);
  QZMPRef<QZMPArrayValue> twice =
      QZMPObjectManager::arrayValueWithArray(std::vector<V>{V(leaf), V(leaf)}, scope_);
  EXPECT_EQ(toHost(V(twice)), "[{}, {}]");
}

}  // namespace

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>

#include "measurement/config/runtime/QZMPArrayValue.h"
#include "measurement/config/runtime/QZMPFunctionValue.h"
#include "measurement/config/runtime/QZMPMapValue.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/QZMPStatementValue.h"
#include "measurement/config/runtime/testkit/QZMPRuntimeTestKit.h"
#include "test_commands.h"

namespace {

using V = QZMPRuntimeValue;

class ValuesTest : public QZMPRuntimeTest {
 protected:
  QZMPRuntime runtime_{{.registrar = &QZMPTestRegistrar()}};
  QZMPScope& scope_ = runtime_.globalScope();

  QZMPRef<QZMPArrayValue> array(std::initializer_list<V> values) {
    return QZMPObjectManager::arrayValueWithArray(std::vector<V>(values), scope_);
  }
  QZMPRef<QZMPMapValue> map() { return QZMPObjectManager::mapValueWithScope(scope_); }
};

V str(const char16_t* text) { return V::string(text); }
V num(double value) { return V::number(value); }

struct Conversions {
  std::string text;  // or "error N"
  std::string number;
  std::string boolean;
  std::string_view typeName;
};

Conversions convert(const V& value) {
  Conversions out;
  QZMPError error;
  QZMPRef<QZMPStringValue> text = value.stringValueOrError(error);
  out.text = error ? QZMPDescribe(error) : text->utf8();
  error.clear();
  const double number = value.doubleValueOrError(error);
  out.number = error ? QZMPDescribe(error) : QZMPDescribe(V::number(number));
  error.clear();
  const bool boolean = value.booleanValueOrError(error);
  out.boolean = error ? QZMPDescribe(error) : (boolean ? "true" : "false");
  out.typeName = value.typeName();
  return out;
}

TEST_F(ValuesTest, EveryKindConvertsAsItsTableSays) {
  QZMPRef<QZMPArrayValue> listOfThree = array({num(1), V::null(), num(2)});
  QZMPRef<QZMPArrayValue> numeric = array({str(u" 12 ")});
  QZMPRef<QZMPFunctionValue> function = QZMPObjectManager::functionValueWithFunctionName(
      QZMPStringValue::withASCII("f"), {}, {}, QZMPRef<QZMPScope>(&scope_));
  const struct {
    V value;
    Conversions expected;
  } cases[] = {
      {V::undefined(), {"undefined", "NaN", "false", "undefined"}},
      {V::null(), {"null", "0", "false", "object"}},
      {V::boolean(true), {"true", "1", "true", "boolean"}},
      {V::boolean(false), {"false", "0", "false", "boolean"}},
      {num(-0.0), {"0", "0", "false", "number"}},
      {num(NAN), {"NaN", "NaN", "false", "number"}},
      {num(2.5), {"2.5", "2.5", "true", "number"}},
      {str(u""), {"", "0", "false", "string"}},
      {str(u"12px"), {"12px", "NaN", "true", "string"}},
      {str(u"0"), {"0", "0", "true", "string"}},
      {V(array({})), {"", "0", "true", "object"}},
      {V(listOfThree), {"1,,2", "NaN", "true", "object"}},
      {V(numeric), {" 12 ", "12", "true", "object"}},
      {V(map()), {"[object Object]", "NaN", "true", "object"}},
      {V(function), {"f", "NaN", "true", "function"}},
      {QZMPControlValue::breakValue(), {"error glint 5", "error glint 4", "error glint 3", "object"}},
      {QZMPControlValue::returnValueWithData(num(1)), {"error glint 5", "error glint 4", "error glint 3", "object"}},
      {QZMPValueOf("(1 2)"), {"error glint 5", "error glint 4", "error glint 3", "object"}},
  };
  for (const auto& c : cases) {
    const Conversions got = convert(c.value);
    EXPECT_EQ(got.text, c.expected.text) << QZMPDescribe(c.value);
    EXPECT_EQ(got.number, c.expected.number) << QZMPDescribe(c.value);
    EXPECT_EQ(got.boolean, c.expected.boolean) << QZMPDescribe(c.value);
    EXPECT_EQ(got.typeName, c.expected.typeName) << QZMPDescribe(c.value);
  }
}

TEST_F(ValuesTest, ArrayJoinStopsAtNestingItCannotWriteOut) {
  // An element that cannot convert empties the whole result.
  QZMPRef<QZMPArrayValue> withControl = array({num(1), QZMPControlValue::continueValue()});
  QZMPError error;
  EXPECT_EQ(withControl->stringValueOrError(error)->utf8(), "");
  EXPECT_TRUE(error.is(QZMPGlintErrorNoStringConversion));

  QZMPRef<QZMPArrayValue> cyclic = array({num(1)});
  QZMPError ignored;
  cyclic->appendElements(std::vector<V>{V(cyclic)}, ignored);
  error.clear();
  EXPECT_EQ(cyclic->stringValueOrError(error)->utf8(), "");
  EXPECT_TRUE(error.is(QZMPGlintErrorTooDeep));
  error.clear();
  EXPECT_TRUE(std::isnan(V(cyclic).doubleValueOrError(error)));
  EXPECT_TRUE(error.is(QZMPGlintErrorTooDeep));
  cyclic->clearForCollection();

  // Deep but acyclic nesting is bounded too.
  QZMPRef<QZMPArrayValue> deep = array({num(7)});
  for (int i = 0; i < 200; ++i) deep = array({V(deep)});
  error.clear();
  deep->stringValueOrError(error);
  EXPECT_TRUE(error.is(QZMPGlintErrorTooDeep));
  QZMPRef<QZMPArrayValue> shallow = array({V(array({num(1), num(2)})), num(3)});
  error.clear();
  EXPECT_EQ(shallow->stringValueWithSeparator(u"-", error)->utf8(), "1,2-3");
}

TEST_F(ValuesTest, ArrayPropertiesByKey) {
  const struct {
    const char* program;  // the key is the form; the array starts as [1, 2]
    std::string read;
    std::string hasProperty;
  } cases[] = {
      {"\"length\"", "2", "false"},
      {"0", "1", "true"},
      {"1", "2", "true"},
      {"\"01\"", "2", "true"},
      {"\" 1 \"", "2", "true"},
      {"2", "undefined", "false"},
      {"1.5", "undefined", "false"},
      {"-1", "undefined", "false"},
      {"NaN", "undefined", "false"},
      {"Infinity", "undefined", "false"},
      {"1e300", "undefined", "false"},
      {"\"\"", "undefined", "false"},
      {"\"  \"", "undefined", "false"},
      {"true", "undefined", "false"},
  };
  for (const auto& c : cases) {
    QZMPRef<QZMPArrayValue> list = array({num(1), num(2)});
    const V key = QZMPValueOf(c.program);
    QZMPError error;
    EXPECT_EQ(QZMPDescribe(list->valueForProperty(key, error)), c.read) << c.program;
    EXPECT_EQ(list->hasProperty(key, error) ? "true" : "false", c.hasProperty) << c.program;
    EXPECT_FALSE(error) << c.program;
  }
}

TEST_F(ValuesTest, BlankKeysAreNamesNotIndexZero) {
  QZMPRef<QZMPArrayValue> list = array({num(1)});
  QZMPError error;
  list->setValue(str(u"blank"), str(u" "), error);
  list->setValue(str(u"empty"), str(u""), error);
  EXPECT_EQ(QZMPDescribe(V(list)), "[1, \" \": \"blank\", \"\": \"empty\"]");
  EXPECT_EQ(QZMPDescribe(list->valueForProperty(str(u""), error)), "\"empty\"");
  EXPECT_FALSE(error);
}

TEST_F(ValuesTest, ArrayLengthAndIndexWrites) {
  const struct {
    const char* key;
    const char* value;
    std::string array;  // after the write to [1, 2], or the error
  } cases[] = {
      {"\"length\"", "5", "[1, 2, <hole>, <hole>, <hole>]"},
      {"\"length\"", "\"1\"", "[1]"},
      {"\"length\"", "0", "[]"},
      {"\"length\"", "-1", "error glint 11"},
      {"\"length\"", "1.5", "error glint 11"},
      {"\"length\"", "\"abc\"", "error glint 11"},
      {"\"length\"", "\"\"", "error glint 11"},
      {"\"length\"", "4294967295", "error glint 20"},
      {"\"length\"", "1e300", "error glint 20"},
      {"4", "true", "[1, 2, <hole>, <hole>, true]"},
      {"\"0\"", "9", "[9, 2]"},
      {"1e300", "9", "error glint 20"},
      {"\"name\"", "9", "[1, 2, \"name\": 9]"},
      {"-1", "9", "[1, 2, \"-1\": 9]"},
  };
  for (const auto& c : cases) {
    QZMPRef<QZMPArrayValue> list = array({num(1), num(2)});
    QZMPError error;
    list->setValue(QZMPValueOf(c.value), QZMPValueOf(c.key), error);
    EXPECT_EQ(error ? QZMPDescribe(error) : QZMPDescribe(V(list)), c.array) << c.key << " = " << c.value;
  }
}

TEST_F(ValuesTest, HolesReadAsUndefinedEverywhere) {
  QZMPRef<QZMPArrayValue> list = array({num(1), num(2)});
  QZMPError error;
  list->removeValueForProperty(num(0), error);
  list->removeValueForProperty(num(7), error);  // beyond the end: nothing
  EXPECT_EQ(list->count(), 2u);
  EXPECT_FALSE(list->hasProperty(num(0), error));
  EXPECT_EQ(QZMPDescribe(list->valueForProperty(num(0), error)), "undefined");
  EXPECT_EQ(QZMPDescribe(list->elementAt(0)), "undefined");
  std::string names;
  for (const V& name : list->allPropertyNames()) names += QZMPDescribe(name) + " ";
  EXPECT_EQ(names, "\"1\" ");
  EXPECT_EQ(QZMPDescribe(list->allElements()[0]), "undefined");
  EXPECT_EQ(list->stringValueOrError(error)->utf8(), ",2");
  EXPECT_EQ(QZMPDescribe(list->removeFirstElement()), "undefined");
  EXPECT_FALSE(error);

  // A hole stored through any door comes back as undefined.
  QZMPRef<QZMPMapValue> holder = map();
  holder->setValue(V::hole(), *QZMPStringValue::withASCII("h"));
  EXPECT_EQ(QZMPDescribe(holder->valueForProperty(*QZMPStringValue::withASCII("h"))), "undefined");
  list->setValue(V::hole(), num(1), error);
  EXPECT_EQ(QZMPDescribe(V(list)), "[2, undefined]");
}

TEST_F(ValuesTest, ListPrimitivesClampTheirRanges) {
  auto slots = [&](std::int64_t start, std::int64_t length) {
    QZMPRef<QZMPArrayValue> list = array({num(0), num(1), num(2), num(3)});
    return QZMPDescribe(V(QZMPObjectManager::subarrayWithArray(*list, start, length, scope_)));
  };
  EXPECT_EQ(slots(1, 2), "[1, 2]");
  EXPECT_EQ(slots(-5, 2), "[0, 1]");
  EXPECT_EQ(slots(3, 100), "[3]");
  EXPECT_EQ(slots(9, 1), "[]");
  EXPECT_EQ(slots(1, -1), "[]");

  QZMPRef<QZMPArrayValue> list = array({num(0), num(1), num(2), num(3)});
  QZMPError error;
  const std::vector<V> added = {str(u"a"), str(u"b")};
  std::vector<V> removed = list->spliceFrom(1, 2, added, error);
  EXPECT_EQ(QZMPDescribe(V(QZMPObjectManager::arrayValueWithArray(removed, scope_))), "[1, 2]");
  EXPECT_EQ(QZMPDescribe(V(list)), "[0, \"a\", \"b\", 3]");
  removed = list->spliceFrom(-3, 99, {}, error);
  EXPECT_EQ(removed.size(), 4u);
  EXPECT_EQ(QZMPDescribe(V(list)), "[]");

  // Splicing an array's own elements into itself.
  list = array({num(1), num(2)});
  const QZMPValueList own = list->allElements();
  list->spliceFrom(1, 0, own, error);
  EXPECT_EQ(QZMPDescribe(V(list)), "[1, 1, 2, 2]");
  EXPECT_TRUE(list->concat(V(list), error));
  EXPECT_EQ(list->count(), 8u);
  EXPECT_FALSE(list->concat(QZMPControlValue::breakValue(), error));
  EXPECT_TRUE(error.is(QZMPGlintErrorArgumentKind));

  list = array({num(1), str(u"1"), num(NAN), num(1)});
  error.clear();
  EXPECT_EQ(list->indexOfValue(num(1), 0, error), 0);
  EXPECT_EQ(list->indexOfValue(num(1), 1, error), 3);
  EXPECT_EQ(list->indexOfValue(str(u"1"), -9, error), 1);
  EXPECT_EQ(list->indexOfValue(num(NAN), 0, error), -1);
  EXPECT_EQ(list->lastIndexOfValue(num(1), 2, error), 0);
  EXPECT_EQ(list->lastIndexOfValue(num(1), 99, error), 3);
  EXPECT_EQ(list->lastIndexOfValue(num(1), -1, error), -1);
}

TEST_F(ValuesTest, ArraysStayWithinTheirSizeCap) {
  QZMPRef<QZMPArrayValue> list = array({});
  QZMPError error;
  EXPECT_TRUE(list->setLength(kQZMPMaxArrayLength, error));
  EXPECT_EQ(list->appendElements(std::vector<V>{num(1)}, error), kQZMPMaxArrayLength);
  EXPECT_TRUE(error.is(QZMPGlintErrorTooLarge));
  EXPECT_EQ(list->count(), kQZMPMaxArrayLength);
  error.clear();
  list->prependElements(std::vector<V>{num(1)}, error);
  EXPECT_TRUE(error.is(QZMPGlintErrorTooLarge));
  error.clear();
  EXPECT_FALSE(list->concat(num(1), error));
  EXPECT_TRUE(error.is(QZMPGlintErrorTooLarge));
}

// A comparison function written in C++, to drive the sort directly.
class Comparator final : public QZMPFunctionValue {
 public:
  explicit Comparator(std::function<V(const V&, const V&, QZMPError&)> compare)
      : QZMPFunctionValue(QZMPStringValue::withASCII("compare")), compare_(std::move(compare)) {}
  V invokeWithEvaluatedArguments(QZMPArguments arguments, QZMPError& error) override {
    ++calls;
    return compare_(arguments[0], arguments[1], error);
  }
  int calls = 0;

 private:
  std::function<V(const V&, const V&, QZMPError&)> compare_;
};

TEST_F(ValuesTest, SortPutsUndefinedThenHolesLast) {
  QZMPRef<QZMPArrayValue> list = array({num(10), V(), num(9), str(u"b"), num(1), str(u"a")});
  QZMPError error;
  list->setLength(8, error);
  list->sortUsingFunctionValue(nullptr, scope_, error);
  EXPECT_EQ(QZMPDescribe(V(list)), "[1, 10, 9, \"a\", \"b\", undefined, <hole>, <hole>]");

  QZMPRef<Comparator> numeric = QZMPMake<Comparator>([](const V& a, const V& b, QZMPError&) {
    return V::number(a.asNumber() - b.asNumber());
  });
  list = array({num(10), num(-1), V(), num(9), num(9)});
  list->sortUsingFunctionValue(numeric.get(), scope_, error);
  EXPECT_EQ(QZMPDescribe(V(list)), "[-1, 9, 9, 10, undefined]");
  EXPECT_FALSE(error);
}

TEST_F(ValuesTest, SortSurvivesComparisonsThatMisbehave) {
  std::vector<V> many;
  for (int i = 0; i < 200; ++i) many.push_back(num(i % 17));
  QZMPRef<QZMPArrayValue> list = QZMPObjectManager::arrayValueWithArray(many, scope_);

  // Inconsistent answers, and a comparison that rewrites the array.
  std::mt19937 random(3);
  QZMPArrayValue* raw = list.get();
  QZMPRef<Comparator> chaos = QZMPMake<Comparator>([&](const V&, const V&, QZMPError& error) {
    if (random() % 7 == 0) raw->removeLastElement();
    if (random() % 5 == 0) raw->appendElements(std::vector<V>{str(u"x")}, error);
    return V::number(static_cast<double>(random() % 3) - 1);
  });
  QZMPError error;
  list->sortUsingFunctionValue(chaos.get(), scope_, error);
  EXPECT_FALSE(error);
  EXPECT_GE(list->count(), 200u);
  std::map<double, int> counts;
  for (std::size_t i = 0; i < 200; ++i) counts[list->slotAt(i).asNumber()]++;
  EXPECT_EQ(counts.size(), 17u);  // every original element is still there

  // After the first error no comparison is made, and the error comes back.
  QZMPRef<Comparator> failing = QZMPMake<Comparator>([](const V&, const V&, QZMPError& failure) {
    failure.set(QZMPGlintErrorArgumentKind);
    return V();
  });
  list->sortUsingFunctionValue(failing.get(), scope_, error);
  EXPECT_EQ(failing->calls, 1);
  EXPECT_TRUE(error.is(QZMPGlintErrorArgumentKind));
}

TEST_F(ValuesTest, StructuralEquality) {
  QZMPRef<QZMPArrayValue> a = array({num(1), str(u"x")});
  QZMPRef<QZMPArrayValue> b = array({num(1), str(u"x")});
  QZMPRef<QZMPArrayValue> holey = array({num(1)});
  QZMPError error;
  holey->setLength(2, error);
  QZMPRef<QZMPArrayValue> undefinedSecond = array({num(1), V()});
  QZMPRef<QZMPMapValue> m1 = map(), m2 = map(), m3 = map();
  m1->setValue(num(1), *QZMPStringValue::withASCII("k"));
  m2->setValue(num(1), *QZMPStringValue::withASCII("k"));
  m3->setValue(num(1), *QZMPStringValue::withASCII("j"));
  auto fn = [&](const char* name) {
    return V(QZMPObjectManager::functionValueWithFunctionName(QZMPStringValue::withASCII(name), {}, {},
                                                              QZMPRef<QZMPScope>(&scope_)));
  };
  const V anonymous = fn("");
  const struct {
    V left, right;
    bool equal;
  } cases[] = {
      {num(NAN), num(NAN), true},
      {num(0), num(-0.0), true},
      {num(1), str(u"1"), false},
      {V(), V(), true},
      {V(), V::null(), false},
      {V(a), V(b), true},
      {V(holey), V(undefinedSecond), false},
      {V(m1), V(m2), true},
      {V(m1), V(m3), false},
      {fn("f"), fn("f"), true},
      {fn(""), fn(""), false},
      {anonymous, anonymous, true},
      {QZMPControlValue::returnValueWithData(V(a)), QZMPControlValue::returnValueWithData(V(b)), true},
      {QZMPControlValue::breakValue(), QZMPControlValue::continueValue(), false},
      {QZMPValueOf("(0 1 \"a\")"), QZMPValueOf("(0 1 \"a\")"), true},
      {QZMPValueOf("(0 1 \"a\")"), QZMPValueOf("(0 1 \"b\")"), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.left.isEqualToRuntimeValue(c.right, error), c.equal)
        << QZMPDescribe(c.left) << " vs " << QZMPDescribe(c.right);
  }
  EXPECT_FALSE(error);

  // Two arrays that each contain themselves compare without end: refused.
  QZMPRef<QZMPArrayValue> x = array({}), y = array({});
  x->appendElements(std::vector<V>{V(x)}, error);
  y->appendElements(std::vector<V>{V(y)}, error);
  EXPECT_FALSE(V(x).isEqualToRuntimeValue(V(y), error));
  EXPECT_TRUE(error.is(QZMPGlintErrorTooDeep));
}

TEST_F(ValuesTest, MethodCallsDispatchByKind) {
  QZMPRef<QZMPMapValue> receiver = map();
  receiver->setValue(num(5), *QZMPStringValue::withASCII("notAFunction"));
  receiver->setValue(QZMPObjectManager::functionValueWithFunctionName(
                         QZMPStringValue::withASCII("f"), {QZMPStringValue::withASCII("p")},
                         {QZMPValueOf("(103 \"p\")")}, QZMPRef<QZMPScope>(&scope_)),
                     *QZMPStringValue::withASCII("echo"));
  QZMPRef<QZMPArrayValue> list = array({num(4)});
  const struct {
    V receiver;
    std::u16string name;
    std::vector<V> arguments;
    std::string result;
  } cases[] = {
      {V::null(), u"toString", {}, "error glint 7"},
      {V(), u"anything", {}, "error glint 7"},
      {V::boolean(true), u"toString", {}, "\"true\""},
      {num(1.5), u"toString", {}, "\"1.5\""},
      {num(1.5), u"toFixed", {}, "error glint 17"},
      {QZMPControlValue::breakValue(), u"toString", {}, "error glint 5"},
      {V(receiver), u"echo", {QZMPValueOf("(108 1 2)")}, "3"},
      {V(receiver), u"notAFunction", {}, "error glint 17"},
      {V(receiver), u"hasOwnProperty", {str(u"echo")}, "true"},
      {V(receiver), u"hasOwnProperty", {str(u"nope")}, "false"},
      {V(receiver), u"hasOwnProperty", {}, "error glint 9"},
      {V(receiver), u"hasOwnProperty", {str(u"a"), str(u"b")}, "error glint 9"},
      {V(receiver), u"toString", {}, "\"[object Object]\""},
      {V(receiver), u"missing", {}, "error glint 17"},
      {V(list), u"first", {}, "4"},
      {V(list), u"first", {num(1)}, "error glint 9"},
      {V(list), u"missing", {}, "error glint 17"},
      {str(u"abc"), u"size", {}, "3"},
      {str(u"abc"), u"missing", {}, "error glint 17"},
  };
  for (const auto& c : cases) {
    QZMPOutcome outcome;
    outcome.value = c.receiver.applyWithName(c.name, c.arguments, scope_, outcome.error);
    EXPECT_EQ(outcome.describe(), c.result) << QZMPDescribe(c.receiver) << "." << QZMPUTF8FromUTF16(c.name);
  }

  // A named property of an array wins over the method table.
  QZMPError error;
  list->setValue(num(1), str(u"first"), error);
  QZMPOutcome outcome;
  outcome.value = V(list).applyWithName(u"first", {}, scope_, outcome.error);
  EXPECT_EQ(outcome.describe(), "error glint 17");
}

TEST(PropertyMap, AgreesWithAnOrderedModelUnderRandomChanges) {
  QZMPPropertyMap properties;
  std::vector<std::pair<std::string, int>> model;  // in first-set order
  std::mt19937 random(11);
  for (int step = 0; step < 20000; ++step) {
    const std::string name = "k" + std::to_string(random() % 300);
    const QZMPRef<QZMPStringValue> key = QZMPStringValue::withASCII(name);
    auto found = std::find_if(model.begin(), model.end(), [&](const auto& entry) { return entry.first == name; });
    if (random() % 3 == 0) {
      properties.removeValueForName(*key);
      if (found != model.end()) model.erase(found);
    } else {
      const int value = static_cast<int>(random() % 1000);
      properties.setValue(V::number(value), *key);
      if (found != model.end()) {
        found->second = value;
      } else {
        model.emplace_back(name, value);
      }
    }
    ASSERT_EQ(properties.count(), model.size());
  }
  std::vector<QZMPRef<QZMPStringValue>> names = properties.allNames();
  ASSERT_EQ(names.size(), model.size());
  for (std::size_t i = 0; i < model.size(); ++i) {
    EXPECT_EQ(names[i]->utf8(), model[i].first);
    EXPECT_EQ(properties.valueForName(*names[i]).asNumber(), model[i].second);
  }
  EXPECT_FALSE(properties.hasName(u"absent"));
}

TEST(PropertyMap, ConstantsAndFreezingGuardEveryWrite) {
  QZMPPropertyMap properties;
  const QZMPRef<QZMPStringValue> c = QZMPStringValue::withASCII("c");
  const QZMPRef<QZMPStringValue> v = QZMPStringValue::withASCII("v");
  properties.setImmutableValue(V::number(1), *c);
  properties.setValue(V::number(2), *c);
  properties.setImmutableValue(V::number(3), *c);
  properties.removeValueForName(*c);
  EXPECT_EQ(properties.valueForName(*c).asNumber(), 1);
  properties.setValue(V::number(1), *v);
  properties.makeImmutable();
  properties.setValue(V::number(2), *v);
  properties.setValue(V::number(2), u"new");
  properties.removeValueForName(*v);
  EXPECT_EQ(properties.valueForName(*v).asNumber(), 1);
  EXPECT_FALSE(properties.hasName(u"new"));
}

}  // namespace

namespace {

TEST(Strings, ProgramTextStaysWithinItsCap) {
  QZMPError error;
  const std::u16string half(kQZMPMaxStringLength / 2, u'a');
  EXPECT_EQ(QZMPStringValue::concatenate(half, half, error)->length(), kQZMPMaxStringLength);
  EXPECT_FALSE(error);
  EXPECT_EQ(QZMPStringValue::concatenate(half, half + u"b", error)->length(), 0u);
  EXPECT_TRUE(error.is(QZMPGlintErrorTooLarge));
}

TEST(Strings, CrossTheHostBoundaryAsUTF8) {
  const struct {
    std::string utf8;
    std::u16string units;
    std::string back;
  } cases[] = {
      {"plain", u"plain", "plain"},
      {"h\xC3\xA9", u"h\u00E9", "h\xC3\xA9"},
      {"\xF0\x9F\x98\x80", u"\U0001F600", "\xF0\x9F\x98\x80"},
      {"a\xFF" "b", u"a\uFFFDb", "a\xEF\xBF\xBD" "b"},
      {"\xC0\xAF", u"\uFFFD\uFFFD", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // overlong
      {"\xED\xA0\x80", u"\uFFFD", "\xEF\xBF\xBD"},                // encoded surrogate
      {"\xE2\x82", u"\uFFFD", "\xEF\xBF\xBD"},                    // cut short
  };
  for (const auto& c : cases) {
    const QZMPRef<QZMPStringValue> string = QZMPStringValue::withUTF8(c.utf8);
    EXPECT_EQ(string->view(), c.units) << c.utf8;
    EXPECT_EQ(string->utf8(), c.back) << c.utf8;
  }
  // A lone surrogate a program cut out has no UTF-8 form of its own.
  EXPECT_EQ(QZMPUTF8FromUTF16(u"x\xD83D"), "x\xEF\xBF\xBD");
}

}  // namespace

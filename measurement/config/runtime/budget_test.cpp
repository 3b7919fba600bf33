// Programs aimed at work or memory the budget would not see: each ends
// within the normal budget, and what a program keeps is counted as held.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/config/runtime/QZMPArrayValue.h"
#include "measurement/config/runtime/QZMPFunctionValue.h"
#include "measurement/config/runtime/QZMPMapValue.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/QZMPRuntimeEntityConverter.h"
#include "measurement/config/runtime/testkit/QZMPRuntimeTestKit.h"

namespace {

using V = QZMPRuntimeValue;

std::string repeated(std::string_view piece, std::size_t times) {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) text += piece;
  return text;
}

void addGlobal(QZMPRuntime& runtime, std::u16string_view name, const std::vector<V>& values) {
  runtime.globalScope().addValue(V(QZMPObjectManager::arrayValueWithArray(values, runtime.globalScope())), name);
}

std::vector<V> texts(const std::vector<std::u16string>& units) {
  std::vector<V> values;
  for (const std::u16string& text : units) values.push_back(V::string(text));
  return values;
}

std::vector<V> numbered(std::size_t n, bool asNames) {
  std::vector<V> values;
  for (std::size_t i = 0; i < n; ++i) {
    values.push_back(asNames ? V::stringFromUTF8("p" + std::to_string(i)) : V::number(static_cast<double>(i) + 0.5));
  }
  return values;
}

class BudgetTest : public QZMPRuntimeTest {};

TEST_F(BudgetTest, ProgramsAimedAtUnchargedWorkSpendTheBudgetAndStop) {
  const std::vector<std::u16string> shortKeys = QZMPFNVCollidingKeys(u"k", 4096);
  const std::vector<std::u16string> longKeys = QZMPFNVCollidingKeys(std::u16string(32786, u'x'), 127);
  ASSERT_EQ(shortKeys.size(), 4096u);
  ASSERT_EQ(QZMPFNV1a(shortKeys.front()), QZMPFNV1a(shortKeys.back()));
  ASSERT_EQ(QZMPFNV1a(longKeys.front()), QZMPFNV1a(longKeys.back()));
  const std::string longName = repeated("n", 1 << 17);
  const V longText = V::string(std::u16string(1 << 22, u'm'));
  // Fills "m" with the keys, then reads the last through a copy of its text.
  const auto readCollidingKey = [](int count) {
    return "(var \"m\" \"i\" \"k\") (assign \"m\" (map)) (assign \"i\" 0)"
           "(while (< (get \"i\") " + std::to_string(count) + ") (assign \"i\" (+ (get \"i\") 1)) false"
           "  (list (setprop (get \"m\") (prop (get \"keys\") (get \"i\")) (get \"i\"))))"
           "(assign \"k\" (+ (prop (get \"keys\") " + std::to_string(count - 1) + ") \"\"))"
           "(while true 1 false (list (prop (get \"m\") (get \"k\"))))";
  };
  const struct {
    const char* name;
    std::string program;
    std::function<void(QZMPRuntime&)> setup;
  } cases[] = {
      {"keys of one FNV hash", readCollidingKey(4096),
       [&](QZMPRuntime& runtime) { addGlobal(runtime, u"keys", texts(shortKeys)); }},
      {"long keys of one FNV hash", readCollidingKey(127),
       [&](QZMPRuntime& runtime) { addGlobal(runtime, u"keys", texts(longKeys)); }},
      {"a function of 10 000 statements made in a loop",
       "(while true 1 false (list (fn \"\" (array)" + repeated(" 0", 10000) + ")))", nullptr},
      {"the same functions kept",
       "(var \"kept\") (assign \"kept\" (array))"
       "(while true 1 false (list (call (get \"kept\") \"push\" (array (fn \"\" (array)" +
           repeated(" 0", 10000) + ")))))",
       nullptr},
      {"a function of 2^20 parameters made", "(fn \"\" (get \"numbers\") 0)",
       [](QZMPRuntime& runtime) { addGlobal(runtime, u"numbers", numbered(1 << 20, false)); }},
      {"a function of 2^16 parameters made in a loop", "(while true 1 false (list (fn \"\" (get \"numbers\") 0)))",
       [](QZMPRuntime& runtime) { addGlobal(runtime, u"numbers", numbered(1 << 16, false)); }},
      {"a function of 2^16 parameters called in a loop",
       "(var \"f\") (assign \"f\" (fn \"\" (get \"names\") 0)) (while true 1 false (list ($f)))",
       [](QZMPRuntime& runtime) { addGlobal(runtime, u"names", numbered(1 << 16, true)); }},
      {"a variable of a long name",
       "(var \"" + longName + "\") (while true 1 false (list (get \"" + longName + "\")))", nullptr},
      {"a method of the longest name",
       "(var \"m\" \"n\") (assign \"m\" (map)) (setprop (get \"m\") (get \"long\") (fn \"\" (array) 0))"
       "(assign \"n\" (+ (get \"long\") \"\")) (while true 1 false (list (call (get \"m\") (get \"n\") (array))))",
       [&](QZMPRuntime& runtime) { runtime.globalScope().addValue(longText, u"long"); }},
      {"a property of the longest name",
       "(var \"m\" \"k\") (assign \"m\" (map)) (setprop (get \"m\") (get \"long\") 1)"
       "(assign \"k\" (+ (get \"long\") \"\")) (while true 1 false (list (prop (get \"m\") (get \"k\"))))",
       [&](QZMPRuntime& runtime) { runtime.globalScope().addValue(longText, u"long"); }},
      {"a key loop over a large map that stops at once",
       "(var \"k\") (while true 1 false (list (forin \"k\" (get \"big\") (list (break)))))",
       [](QZMPRuntime& runtime) {
         QZMPRef<QZMPMapValue> map = QZMPObjectManager::mapValueWithScope(runtime.globalScope());
         for (const V& name : numbered(1 << 17, true)) map->setValue(V::number(1), *name.asString());
         runtime.globalScope().addValue(V(std::move(map)), u"big");
       }},
      {"sorting numbers as text", "(while true 1 false (list (call (get \"numbers\") \"sort\" (array))))",
       [](QZMPRuntime& runtime) { addGlobal(runtime, u"numbers", numbered(1 << 16, false)); }},
  };
  for (const auto& c : cases) {
    QZMPRuntime runtime;
    if (c.setup) c.setup(runtime);
    runtime.resetInstructionCount();
    EXPECT_EQ(QZMPRun(runtime, c.program).describe(), "error glint 18") << c.name;
    // Stopped by the first evaluation or charge past the limit; the largest
    // charge is that of the 2^20 parameters, made before any of them.
    EXPECT_GE(runtime.getInstructionCount(), kQZMPInstructionLimit) << c.name;
    EXPECT_LE(runtime.getInstructionCount(), kQZMPInstructionLimit + (1u << 20) + 1) << c.name;
    EXPECT_EQ(runtime.evaluationDepth(), 0u) << c.name;
  }
}

TEST_F(BudgetTest, NamesAreHashedWithASeedNoProgramCanAimAt) {
  // Keys sharing one hash under a fixed function spread out under the
  // seeded one (two of 4096 random 32-bit hashes meet with odds near 1/500).
  const std::vector<std::u16string> keys = QZMPFNVCollidingKeys(u"k", 4096);
  std::vector<std::uint32_t> hashes;
  for (const std::u16string& key : keys) hashes.push_back(QZMPHashUTF16(key));
  std::sort(hashes.begin(), hashes.end());
  EXPECT_GE(std::unique(hashes.begin(), hashes.end()) - hashes.begin(), 4090);
  EXPECT_EQ(QZMPHashUTF16(keys[7]), QZMPStringValue::withUTF16(keys[7])->hash());
}

// The count a program takes over the same program with every "NAME"
// written as a one-unit name.
std::int64_t extraForLongName(std::string_view program) {
  const auto countOf = [](const std::string& text) {
    QZMPRuntime runtime;
    const std::string outcome = QZMPRun(runtime, text).describe();
    EXPECT_EQ(outcome.find("error"), std::string::npos) << outcome;
    return static_cast<std::int64_t>(runtime.getInstructionCount());
  };
  const auto spelled = [&](std::string_view name) {
    std::string text(program);
    for (std::size_t at = text.find("NAME"); at != std::string::npos; at = text.find("NAME", at + name.size())) {
      text.replace(at, 4, name);
    }
    return text;
  };
  return countOf(spelled(repeated("n", 6400))) - countOf(spelled("n"));
}

TEST_F(BudgetTest, LongNamesAreChargedForTheTextEachLookupReads) {
  // 6400 units read as text are 100 instructions a lookup.
  const struct {
    const char* program;
    std::int64_t extra;
  } cases[] = {
      {"(var \"NAME\")", 100},
      {"(var \"NAME\") (assign \"NAME\" 1) (get \"NAME\")", 300},
      {"(const \"NAME\" 1) (get \"NAME\") (get \"NAME\")", 300},
      {"(function \"NAME\" (array) 1) ($NAME)", 200},
      {"(var \"m\") (assign \"m\" (map \"NAME\" 1)) (prop (get \"m\") \"NAME\")", 200},
      {"(var \"m\") (assign \"m\" (map)) (setprop (get \"m\") \"NAME\" 1)", 100},
      {"(var \"a\") (assign \"a\" (array)) (setprop (get \"a\") \"NAME\" 1) (prop (get \"a\") \"NAME\")", 200},
      // The map literal stores the method's name; the call reads it.
      {"(var \"m\") (assign \"m\" (map \"NAME\" (fn \"\" (array) 1))) (call (get \"m\") \"NAME\" (array))", 200},
      {"(var \"m\") (assign \"m\" (map)) (call (get \"m\") \"hasOwnProperty\" (array \"NAME\"))", 100},
      // A parameter is bound at each call.
      {"(function \"f\" (array \"NAME\") 1) ($f) ($f)", 200},
  };
  for (const auto& c : cases) EXPECT_EQ(extraForLongName(c.program), c.extra) << c.program;
}

TEST_F(BudgetTest, ParameterListsArePaidForByTheName) {
  const struct {
    const char* program;
    std::size_t names;
    bool asNames;
    std::string outcome;
    std::uint64_t extra;  // beyond the same program with no parameters
  } cases[] = {
      // Up to eight names are free.
      {"(fn \"\" (get \"list\") 0) 1", 8, true, "1", 0},
      // Each name is read from its element, and made as text when the
      // element is no string.
      {"(fn \"\" (get \"list\") 0) 1", 100, true, "1", 100},
      {"(fn \"\" (get \"list\") 0) 1", 100, false, "1", 200},
      // Each call binds them all.
      {"(var \"f\") (assign \"f\" (fn \"\" (get \"list\") (return (get \"p99\")))) ($f 1 2) ($f)", 100, true,
       "undefined", 300},
  };
  for (const auto& c : cases) {
    const auto run = [&](std::size_t names, std::string* outcome) {
      QZMPRuntime runtime;
      addGlobal(runtime, u"list", numbered(names, c.asNames));
      runtime.resetInstructionCount();
      *outcome = QZMPRun(runtime, c.program).describe();
      return runtime.getInstructionCount();
    };
    std::string outcome, bare;
    const std::uint64_t count = run(c.names, &outcome);
    EXPECT_EQ(outcome, c.outcome) << c.program;
    EXPECT_EQ(count - run(0, &bare), c.extra) << c.program << " with " << c.names;
  }

  // A list that costs more than the budget stops the run before a name is
  // made.
  QZMPRuntime runtime;
  EXPECT_EQ(QZMPRun(runtime, "(var \"l\") (assign \"l\" (array)) (setprop (get \"l\") \"length\" 1000001)"
                             "(fn \"\" (get \"l\") 0)")
                .describe(),
            "error glint 18");
}

TEST_F(BudgetTest, ValuesCrossingToTheHostArePaidForByTheEntryAndLargeOnesByTheirMemory) {
  // Instructions a conversion of n numbers charges, either way. A block of
  // 128 KiB or more is fresh memory, charged at 32 bytes an instruction; the
  // array made from the host's also pays an instruction per eight elements
  // begun, as every array made does.
  const struct {
    std::size_t entries;
    std::uint64_t toHost;
    std::uint64_t fromHost;
  } cases[] = {
      {7, 0, 1},
      {100, 100, 100 + 13},
      {1 << 16, (1 << 16) + (1 << 16) * sizeof(foundation::Object) / 32,
       (1 << 16) + (1 << 13) + (1 << 16) * sizeof(V) / 32},
  };
  for (const auto& c : cases) {
    QZMPRuntime runtime;
    QZMPScope& scope = runtime.globalScope();
    const std::vector<V> numbers = numbered(c.entries, false);
    const V array(QZMPObjectManager::arrayValueWithArray(numbers, scope));
    QZMPError error;
    runtime.resetInstructionCount();
    const foundation::Object object = QZMPRuntimeEntityConverter::objectFromRuntimeValue(array, scope, error);
    ASSERT_FALSE(error);
    EXPECT_EQ(object.array()->size(), c.entries);
    EXPECT_EQ(runtime.getInstructionCount(), c.toHost) << c.entries;

    runtime.resetInstructionCount();
    const V back = QZMPRuntimeEntityConverter::runtimeValueFromNSObject(object, scope, error);
    ASSERT_FALSE(error);
    EXPECT_EQ(back.asArray()->count(), c.entries);
    EXPECT_EQ(runtime.getInstructionCount(), c.fromHost) << c.entries;
  }

  // A conversion the budget cannot cover makes nothing.
  QZMPRuntime runtime({.instructionLimit = 1000});
  QZMPError error;
  const V array(QZMPObjectManager::arrayValueWithArray(numbered(1 << 16, false), runtime.globalScope()));
  EXPECT_TRUE(QZMPRuntimeEntityConverter::objectFromRuntimeValue(array, runtime.globalScope(), error).isNull());
  EXPECT_EQ(QZMPDescribe(error), "error glint 18");
}

TEST_F(BudgetTest, ARunEndsWithinItsLimitOrFailsWithTheLimitsCode) {
  // The join's charges come after the program's last evaluation.
  const std::string program =
      "(var \"a\") (assign \"a\" (array)) (setprop (get \"a\") \"length\" 200) (call (get \"a\") \"join\" (array))";
  QZMPRuntime whole;
  ASSERT_EQ(QZMPRun(whole, program).describe(), "\"" + repeated(",", 199) + "\"");
  const std::uint64_t count = whole.getInstructionCount();
  for (std::uint64_t limit = count - 40; limit <= count + 1; ++limit) {
    QZMPRuntime runtime({.instructionLimit = limit});
    const std::string outcome = QZMPRun(runtime, program).describe();
    EXPECT_EQ(outcome == "error glint 18", limit < count) << "limit " << limit << " of " << count << ": " << outcome;
  }
}

TEST_F(BudgetTest, FunctionsShareTheirDefinitionsBodyAndMemoryCountsIt) {
  // Functions of one definition kept in a global list, 100 and then 200 of
  // them; the body's 10 000 statements are held, and counted, once.
  const std::string keep =
      "(while (< (prop (get \"kept\") \"length\") LIMIT) 1 false"
      "  (list (call (get \"kept\") \"push\" (array ($make)))))";
  QZMPRuntime runtime;
  ASSERT_EQ(QZMPRun(runtime, "(var \"kept\") (assign \"kept\" (array))"
                             "(function \"make\" (array) (return (fn \"body\" (array \"x\")" +
                                 repeated(" (+ 1 2)", 10000) + ")))")
                .describe(),
            "<function make>");
  const auto keepUpTo = [&](int limit) {
    std::string text = keep;
    text.replace(text.find("LIMIT"), 5, std::to_string(limit));
    runtime.resetInstructionCount();
    EXPECT_EQ(QZMPRun(runtime, text).describe(), "undefined");
    runtime.collectGarbage();
    return runtime.retainedBytes();
  };
  const std::size_t hundred = keepUpTo(100);
  const std::size_t twoHundred = keepUpTo(200);
  // The body alone is more than 10 000 times two statement arguments.
  EXPECT_GT(hundred, 10000 * 2 * sizeof(V));
  const std::size_t perFunction = (twoHundred - hundred) / 100;
  EXPECT_GE(perFunction, sizeof(QZMPFunctionValue));
  EXPECT_LT(perFunction, 1024u);

  const QZMPRuntimeValue kept = runtime.globalScope().valueForName(u"kept");
  const QZMPFunctionValue& first = *kept.asArray()->elementAt(0).asFunction();
  const QZMPFunctionValue& last = *kept.asArray()->elementAt(199).asFunction();
  EXPECT_NE(&first, &last);
  EXPECT_EQ(first.statements().data(), last.statements().data());
  EXPECT_EQ(first.statements().size(), 10000u);
}

}  // namespace

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "measurement/config/runtime/QZMPArrayValue.h"
#include "measurement/config/runtime/QZMPModules.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/testkit/QZMPRuntimeTestKit.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/RegularExpression.h"

namespace {

struct Case {
  const char* receiver;
  std::u16string_view method;
  std::vector<std::string> arguments;
  const char* expected;
};

class StringCommandsTest : public QZMPRuntimeTest {
 protected:
  // Calls the method on the receiver with the arguments given as assembler
  // forms.
  QZMPOutcome call(std::u16string_view receiver, std::u16string_view method,
                   const std::vector<std::string>& arguments) {
    std::vector<QZMPRuntimeValue> values;
    for (const std::string& argument : arguments) values.push_back(QZMPValueOf(argument));
    QZMPOutcome outcome;
    outcome.value =
        QZMPRuntimeValue::string(receiver).applyWithName(method, values, runtime_.globalScope(), outcome.error);
    return outcome;
  }
  QZMPOutcome call(std::string_view receiver, std::u16string_view method, const std::vector<std::string>& arguments) {
    return call(std::u16string_view(QZMPUTF16FromUTF8(receiver)), method, arguments);
  }

  void check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      std::string arguments;
      for (const std::string& argument : c.arguments) arguments += " " + argument;
      EXPECT_EQ(call(std::string_view(c.receiver), c.method, c.arguments).describe(), c.expected)
          << '"' << c.receiver << "\"." << QZMPUTF8FromUTF16(c.method) << "(" << arguments << " )";
    }
  }

  QZMPRuntime runtime_;
};

TEST_F(StringCommandsTest, IndexesAndSearches) {
  check({
               {"abc", u"charAt", {"1"}, "\"b\""},
               {"abc", u"charAt", {"1.7"}, "\"b\""},
               {"abc", u"charAt", {}, "\"a\""},
               {"abc", u"charAt", {"\"x\""}, "\"a\""},  // NaN reads as 0
               {"abc", u"charAt", {"3"}, "\"\""},
               {"abc", u"charAt", {"-1"}, "\"\""},
               {"abc", u"charAt", {"Infinity"}, "\"\""},
               {"abc", u"charAt", {"1", "2"}, "error glint 9"},
               {"", u"charAt", {"0"}, "\"\""},

               {"abc", u"hasOwnProperty", {"\"length\""}, "true"},
               {"abc", u"hasOwnProperty", {"2"}, "true"},
               {"abc", u"hasOwnProperty", {"\"2\""}, "true"},
               {"abc", u"hasOwnProperty", {"3"}, "false"},
               {"abc", u"hasOwnProperty", {"1.5"}, "false"},
               {"abc", u"hasOwnProperty", {"\"x\""}, "false"},
               {"abc", u"hasOwnProperty", {"-0"}, "true"},
               {"abc", u"hasOwnProperty", {}, "error glint 9"},

               {"abcabc", u"indexOf", {"\"c\""}, "2"},
               {"abcabc", u"indexOf", {"\"c\"", "3"}, "5"},
               {"abcabc", u"indexOf", {"\"c\"", "-4"}, "2"},
               {"abcabc", u"indexOf", {"\"c\"", "99"}, "-1"},
               {"abcabc", u"indexOf", {"\"z\""}, "-1"},
               {"abcabc", u"indexOf", {"\"\""}, "-1"},
               {"xundefined", u"indexOf", {}, "1"},
               {"abcabc", u"indexOf", {"\"bc\"", "2.9"}, "4"},
               {"abc", u"indexOf", {"\"a\"", "0", "0"}, "error glint 9"},

               {"abcabc", u"lastIndexOf", {"\"c\""}, "5"},
               {"abcabc", u"lastIndexOf", {"\"c\"", "4"}, "2"},
               {"abcabc", u"lastIndexOf", {"\"a\"", "0"}, "0"},
               {"abcabc", u"lastIndexOf", {"\"c\"", "-5"}, "-1"},
               {"abcabc", u"lastIndexOf", {"\"c\"", "NaN"}, "5"},
               {"abcabc", u"lastIndexOf", {"\"abc\"", "3"}, "3"},
               {"abcabc", u"lastIndexOf", {"\"\""}, "-1"},
               {"undefinedx", u"lastIndexOf", {}, "0"},
  });
}

TEST_F(StringCommandsTest, PiecesOfTheReceiver) {
  check({
               {"abcdef", u"slice", {"-2"}, "\"ef\""},
               {"abcdef", u"slice", {"1", "-1"}, "\"bcde\""},
               {"abcdef", u"slice", {"4", "2"}, "\"\""},
               {"abcdef", u"slice", {}, "\"abcdef\""},
               {"abcdef", u"slice", {"-100", "100"}, "\"abcdef\""},
               {"abcdef", u"slice", {"2", "-Infinity"}, "\"\""},

               {"abcdef", u"substring", {"4", "1"}, "\"bcd\""},
               {"abcdef", u"substring", {"-3"}, "\"abcdef\""},
               {"abcdef", u"substring", {"2", "NaN"}, "\"ab\""},
               {"abcdef", u"substring", {"Infinity"}, "\"\""},

               {"a,b,c", u"split", {"\",\""}, "[\"a\", \"b\", \"c\"]"},
               {"a,b,c", u"split", {"\",\"", "2"}, "[\"a\", \"b\"]"},
               {"a,b,c", u"split", {"\",\"", "0"}, "[]"},
               {"a,b,c", u"split", {"\",\"", "-1"}, "[\"a\", \"b\", \"c\"]"},  // 2^32 - 1
               {"a,b,c", u"split", {"\"\""}, "[\"a\", \",\", \"b\", \",\", \"c\"]"},
               {"a,b,c", u"split", {"\"\"", "2"}, "[\"a\", \",\"]"},
               {"a,b,", u"split", {"\",\""}, "[\"a\", \"b\", \"\"]"},
               {"a::b", u"split", {"\"::\""}, "[\"a\", \"b\"]"},
               {"a,b", u"split", {"\";\""}, "[\"a,b\"]"},
               {"", u"split", {"\",\""}, "[\"\"]"},
               {"", u"split", {"\",\"", "0"}, "[\"\"]"},
               {"a,b", u"split", {}, "[\"a,b\"]"},

               {"ab", u"concat", {"\"c\"", "1", "true"}, "\"abc1true\""},
               {"ab", u"concat", {}, "\"ab\""},
               {"abc", u"toString", {}, "\"abc\""},
               {"abc", u"toString", {"1"}, "error glint 9"},
               {"\u00A0 a b \u2028\n\t", u"trim", {}, "\"a b\""},
               {" \u3000 ", u"trim", {}, "\"\""},
               {"", u"trim", {}, "\"\""},
               {"abc", u"reverse", {}, "error glint 17"},
  });
}

TEST_F(StringCommandsTest, ReplaceAndPatterns) {
  check({
               {"aXbX", u"replace", {"\"X\"", "\"-\""}, "\"a-bX\""},
               {"aXbX", u"replace", {"\"\"", "\"-\""}, "\"-aXbX\""},
               {"aXbX", u"replace", {"\"Z\"", "\"-\""}, "\"aXbX\""},
               {"aXbX", u"replace", {"\"X\""}, "\"aundefinedbX\""},
               {"a.b", u"replace", {"\".\"", "\"$&$1\""}, "\"a$&$1b\""},  // plain text both ways
               {"xundefined", u"replace", {}, "\"xundefined\""},
               {"a1", u"replace", {"1", "2"}, "\"a2\""},

               {"ab12cd", u"match", {"\"[0-9]+\""}, "[\"12\"]"},
               {"ab12cd", u"match", {"\"(\\\\d)(\\\\d)\""}, "[\"12\"]"},  // no capture groups
               {"ab12cd", u"match", {"\"x\""}, "null"},
               {"ab12cd", u"match", {}, "[\"\"]"},
               {"ab12cd", u"match", {"\"\""}, "[\"\"]"},
               {"ab12cd", u"match", {"\"(\""}, "error RegularExpression 1"},

               {"ab12", u"search", {"\"[0-9]\""}, "2"},
               {"ab12", u"search", {"\"\""}, "0"},
               {"ab12", u"search", {"\"z\""}, "-1"},
               {"ab12", u"search", {"\"[\""}, "error RegularExpression 1"},
               {"ABC", u"search", {"\"b\""}, "-1"},  // no options: case matters
  });
}

TEST_F(StringCommandsTest, CodeUnitsOutsideTheBasicPlane) {
  // U+1F600 is two code units; U+10428 (Deseret) has an upper case.
  check({
               {"a\U0001F600b", u"charAt", {"1"}, "\"\\uD83D\""},
               {"a\U0001F600b", u"charAt", {"3"}, "\"b\""},
               {"a\U0001F600b", u"hasOwnProperty", {"3"}, "true"},
               {"a\U0001F600b", u"indexOf", {"\"b\""}, "3"},
               {"a\U0001F600b", u"slice", {"1", "3"}, "\"\\uD83D\\uDE00\""},
               {"a\U0001F600b", u"substring", {"2"}, "\"\\uDE00b\""},
               {"\U0001F600", u"split", {"\"\""}, "[\"\\uD83D\", \"\\uDE00\"]"},
               {"a\U0001F600b", u"search", {"\"b\""}, "3"},
               {"a\U0001F600b", u"match", {"\"[^a]\""}, "[\"\\uD83D\\uDE00\"]"},
               {"\U00010428x", u"toUpperCase", {}, "\"\\uD801\\uDC00X\""},
               {"\U00010400X", u"toLowerCase", {}, "\"\\uD801\\uDC28x\""},
               {"Stra\u00DFe", u"toUpperCase", {}, "\"STRASSE\""},
               {"\u0130", u"toLowerCase", {}, "\"i\\u0307\""},
               {"\u03A3\u0391", u"toLowerCase", {}, "\"\\u03C3\\u03B1\""},
               {"", u"toUpperCase", {}, "\"\""},
               {"abc", u"toUpperCase", {"1"}, "error glint 9"},
               {"abc", u"toLowerCase", {"1"}, "error glint 9"},
  });

  // A lone surrogate stays as it is through searching and case mapping.
  const std::u16string lone = u"a\xD800" u"b";
  EXPECT_EQ(call(std::u16string_view(lone), u"toUpperCase", {}).describe(), "\"A\\uD800B\"");
  EXPECT_EQ(call(std::u16string_view(lone), u"search", {"\"b\""}).describe(), "2");
}

TEST_F(StringCommandsTest, LocaleCaseMappingFollowsThePreferredLanguage) {
  foundation::Device::setPreferredLanguages(std::vector<std::string>{"tr-TR"});
  EXPECT_EQ(call("iI", u"toLocaleUpperCase", {}).describe(), "\"\\u0130I\"");
  EXPECT_EQ(call("iI", u"toLocaleLowerCase", {}).describe(), "\"i\\u0131\"");
  EXPECT_EQ(call("iI", u"toUpperCase", {}).describe(), "\"II\"");
  EXPECT_EQ(call("iI", u"toLowerCase", {}).describe(), "\"ii\"");
  foundation::Device::setPreferredLanguages(std::vector<std::string>{});
  EXPECT_EQ(call("iI", u"toLocaleUpperCase", {}).describe(), "\"II\"");
  foundation::Device::setPreferredLanguages(std::nullopt);
}

// Calls record their arguments and give back a fixed text, or fail.
class Recorder final : public QZMPNativeFunction {
 public:
  explicit Recorder(bool fails) : QZMPNativeFunction("recorder", Arguments::used), fails_(fails) {}
  std::vector<std::string> calls;

 protected:
  QZMPRuntimeValue call(QZMPArguments values, QZMPScope&, QZMPError& error) override {
    std::string line;
    for (const QZMPRuntimeValue& value : values) line += (line.empty() ? "" : " ") + QZMPDescribe(value);
    calls.push_back(line);
    if (fails_) error.set(QZMPGlintErrorArgumentKind);
    return QZMPRuntimeValue::string(u"<>");
  }

 private:
  bool fails_;
};

TEST_F(StringCommandsTest, ReplaceCallsAFunctionWithTheMatchItsIndexAndTheReceiver) {
  const QZMPRef<Recorder> recorder = QZMPMake<Recorder>(false);
  const QZMPRuntimeValue arguments[] = {QZMPRuntimeValue::string(u"X"), QZMPRuntimeValue(recorder)};
  QZMPError error;
  const QZMPRuntimeValue result =
      QZMPRuntimeValue::string(u"aXbX").applyWithName(u"replace", arguments, runtime_.globalScope(), error);
  EXPECT_EQ(QZMPDescribe(error), "no error");
  EXPECT_EQ(QZMPDescribe(result), "\"a<>bX\"");
  EXPECT_EQ(recorder->calls, std::vector<std::string>{"\"X\" 1 \"aXbX\""});

  // No match: the function is never called.
  recorder->calls.clear();
  const QZMPRuntimeValue missing[] = {QZMPRuntimeValue::string(u"Z"), QZMPRuntimeValue(recorder)};
  EXPECT_EQ(QZMPDescribe(QZMPRuntimeValue::string(u"aXbX").applyWithName(u"replace", missing,
                                                                          runtime_.globalScope(), error)),
            "\"aXbX\"");
  EXPECT_TRUE(recorder->calls.empty());

  // Its failure is the method's.
  const QZMPRef<Recorder> failing = QZMPMake<Recorder>(true);
  const QZMPRuntimeValue failingArguments[] = {QZMPRuntimeValue::string(u"X"), QZMPRuntimeValue(failing)};
  const QZMPRuntimeValue failed =
      QZMPRuntimeValue::string(u"aXbX").applyWithName(u"replace", failingArguments, runtime_.globalScope(), error);
  EXPECT_EQ(QZMPDescribe(error), "error glint 10");
  EXPECT_TRUE(failed.isUndefined());
}

TEST_F(StringCommandsTest, ARunawayPatternIsAnErrorOfTheRunAndIsCharged) {
  // Nested quantifiers over a text that almost matches take exponential
  // time; the engine's limit stops the search.
  const std::string text = std::string(40, 'a') + "!";
  runtime_.resetInstructionCount();
  const QZMPOutcome outcome = call(std::string_view(text), u"search", {"\"(a+)+$\""});
  ASSERT_TRUE(outcome.error.isSet());
  EXPECT_EQ(outcome.error.domain(), foundation::kRegularExpressionErrorDomain);
  EXPECT_TRUE(outcome.error.code() == foundation::kRegularExpressionTimedOut ||
              outcome.error.code() == foundation::kRegularExpressionTooComplex)
      << outcome.error.code();
  EXPECT_TRUE(outcome.value.isUndefined());
  // The steps the engine took were charged to the run: the next
  // evaluation finds the budget spent.
  EXPECT_GT(runtime_.getInstructionCount(), 10'000u);
}

TEST_F(StringCommandsTest, SearchesAreChargedForTheTextTheyScan) {
  const std::u16string text(80'000, u'a');
  runtime_.resetInstructionCount();
  EXPECT_EQ(call(std::u16string_view(text), u"indexOf", {"\"b\""}).describe(), "-1");
  EXPECT_GE(runtime_.getInstructionCount(), 10'000u);
}

TEST_F(StringCommandsTest, ResultsThatWouldOutgrowTheCapAreRefused) {
  const auto outcome = [&](std::u16string_view method, const std::u16string& receiver,
                           std::vector<QZMPRuntimeValue> arguments) {
    QZMPOutcome result;
    result.value = QZMPRuntimeValue::string(receiver).applyWithName(method, arguments, runtime_.globalScope(),
                                                                    result.error);
    return result;
  };
  const std::u16string half(kQZMPMaxStringLength / 2 + 1, u'a');
  QZMPOutcome concatenated = outcome(u"concat", half, {QZMPRuntimeValue::string(half)});
  EXPECT_TRUE(concatenated.error.is(QZMPGlintErrorTooLarge));
  EXPECT_TRUE(concatenated.value.isUndefined());
  // Sharp s doubles under upper-casing.
  QZMPOutcome upper = outcome(u"toUpperCase", std::u16string(kQZMPMaxStringLength / 2 + 1, u'\u00DF'), {});
  EXPECT_TRUE(upper.error.is(QZMPGlintErrorTooLarge));
  QZMPOutcome replaced = outcome(u"replace", half, {QZMPRuntimeValue::string(u"a"), QZMPRuntimeValue::string(half)});
  EXPECT_TRUE(replaced.error.is(QZMPGlintErrorTooLarge));
}

TEST_F(StringCommandsTest, LongNeedlesAreFoundInLinearTime) {
  // A needle of many a's followed by b against a text of a's defeats naive
  // searching; these results come from the failure-table search.
  std::u16string text(200'000, u'a');
  const std::u16string needle = std::u16string(5'000, u'a') + u"b";
  text.replace(150'000, needle.size(), needle);
  const std::string quoted = "\"" + std::string(5'000, 'a') + "b\"";
  EXPECT_EQ(call(std::u16string_view(text), u"indexOf", {quoted}).describe(), "150000");
  EXPECT_EQ(call(std::u16string_view(text), u"lastIndexOf", {quoted}).describe(), "150000");
  EXPECT_EQ(call(std::u16string_view(text), u"indexOf", {quoted, "150001"}).describe(), "-1");
  EXPECT_EQ(call(std::u16string_view(text), u"lastIndexOf", {quoted, "149999"}).describe(), "-1");
  EXPECT_EQ(call(std::u16string_view(text), u"replace", {quoted, "\"\""}).describe().size(), 200'000u - 5'001 + 2);

  // The same needle in a text under four times its length, where a plain
  // search backtracks the whole needle at every position.
  const std::u16string shortText(4 * 4'096, u'a');
  const std::string longNeedle = "\"" + std::string(4'096, 'a') + "b\"";
  for (std::u16string_view method : {u"indexOf", u"lastIndexOf"}) {
    EXPECT_EQ(call(std::u16string_view(shortText), method, {longNeedle}).describe(), "-1");
  }
  EXPECT_EQ(call(std::u16string_view(shortText), u"replace", {longNeedle, "\"\""}).describe().size(),
            shortText.size() + 2);
  const QZMPOutcome pieces = call(std::u16string_view(shortText), u"split", {longNeedle});
  ASSERT_TRUE(pieces.value.isArray());
  EXPECT_EQ(pieces.value.asArray()->count(), 1u);
}

}  // namespace

#include <gtest/gtest.h>

#include <functional>

#include "measurement/model/ModelTestKit.h"
#include "measurement/model/QZMDataTypeValidator.h"

namespace {

using namespace modeltest;
using FC = QZMValidationFailureCode;
using Check = std::function<bool(const QZMValidatorInput&, FC*)>;

// 𝐀 (U+1D400), a letter outside the basic plane: one character, two UTF-16 units.
const std::string kWideLetter = "\xF0\x9D\x90\x80";
const std::string kNotUTF8 = "ab\xC3\x28";

class Validator : public ModelTest {
 protected:
  struct Outcome {
    FC code;
    std::vector<std::int64_t> codes;  // logged message codes
  };

  // Runs the check and collects what it answered and logged; the failure
  // code starts as a sentinel so that an unwritten code shows.
  Outcome run(const Check& check, const QZMValidatorInput& input) {
    clearMonitorLines();
    FC code = static_cast<FC>(-1);
    const bool passed = check(input, &code);
    EXPECT_EQ(passed, code == FC::kNone) << "answer and failure code disagree";
    return {code, codes()};
  }

  struct Case {
    std::string label;
    std::optional<QZMObject> input;  // nullopt is nil
    FC code;
    std::vector<std::int64_t> codes;
  };

  void expectTable(const char* rule, const Check& check, const std::vector<Case>& cases) {
    for (const auto& c : cases) {
      Outcome outcome = c.input ? run(check, *c.input) : run(check, nullptr);
      EXPECT_EQ(outcome.code, c.code) << rule << ": " << c.label;
      EXPECT_EQ(outcome.codes, c.codes) << rule << ": " << c.label;
    }
  }
};

#define CHECK_OF(method) [](const QZMValidatorInput& in, FC* fc) { return QZMDataTypeValidator::method(in, fc); }

TEST_F(Validator, PublicEventNames) {
  expectTable("public event name", CHECK_OF(isValidPublicEventName),
              {
                  {"custom", QZMObject("level_up"), FC::kNone, {}},
                  {"40 letters", QZMObject(std::string(40, 'a')), FC::kNone, {}},
                  {"41 letters", QZMObject(std::string(41, 'a')), FC::kTooLong, {13000}},
                  {"40 wide letters, 80 UTF-16 units", QZMObject(repeated(kWideLetter, 40)), FC::kNone, {}},
                  {"41 wide letters", QZMObject(repeated(kWideLetter, 41)), FC::kTooLong, {13000}},
                  {"starts with a digit", QZMObject("1abc"), FC::kInvalidCharacter, {13003}},
                  {"starts with _", QZMObject("_abc"), FC::kInvalidCharacter, {13003}},
                  {"starts with a combining mark", QZMObject("\xCC\x81" "abc"), FC::kInvalidCharacter, {13002}},
                  {"blank inside", QZMObject("a b"), FC::kInvalidCharacter, {13002}},
                  {"empty", QZMObject(""), FC::kNilOrEmpty, {13001}},
                  {"nil", std::nullopt, FC::kNilOrEmpty, {13001}},
                  {"a number", QZMObject(5), FC::kWrongType, {13000}},
                  {"not UTF-8", QZMObject(kNotUTF8), FC::kWrongType, {13000}},
                  {"reserved name", QZMObject("session_start"), FC::kReserved, {13006}},
                  {"reserved campaign name", QZMObject("qvz_campaign"), FC::kReserved, {13006}},
                  {"allowed reserved name", QZMObject("ad_impression"), FC::kNone, {}},
                  {"screen_view", QZMObject("screen_view"), FC::kNone, {}},
                  {"reserved prefix", QZMObject("zarnholt_thing"), FC::kReserved, {13007}},
                  {"other reserved prefix", QZMObject("dralix_thing"), FC::kReserved, {13007}},
              });
}

TEST_F(Validator, InternalEventNamesAllowWhatOnlyPublicRulesRefuse) {
  expectTable("internal event name", CHECK_OF(isValidInternalEventName),
              {
                  {"starts with a digit", QZMObject("1abc"), FC::kNone, {}},
                  {"internal", QZMObject("_vs"), FC::kNone, {}},
                  {"reserved", QZMObject("session_start"), FC::kNone, {}},
                  {"reserved prefix", QZMObject("zarnholt_thing"), FC::kNone, {}},
                  {"41 letters", QZMObject(std::string(41, 'a')), FC::kTooLong, {13000}},
                  {"hyphen", QZMObject("a-b"), FC::kInvalidCharacter, {13002}},
                  {"decomposed é", QZMObject("cafe\xCC\x81"), FC::kInvalidCharacter, {13002}},
                  {"precomposed é and Arabic digits", QZMObject("caf\xC3\xA9\xD9\xA3"), FC::kNone, {}},
              });
}

TEST_F(Validator, LogTextsNameTheSubjectAndTheLimit) {
  QZMDataTypeValidator::isValidPublicEventName(std::string(41, 'a'));
  QZMDataTypeValidator::isValidPublicEventParameterValue(nullptr);
  QZMDataTypeValidator::isValidPublicEventParameterValue(str(std::string(501, 'v')));
  QZMDataTypeValidator::isValidInternalEventOrigin(QZMObject(3));
  const auto lines = monitorLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].message, "Event name is too long. The maximum supported length is 40");
  EXPECT_EQ(lines[0].level, 0);
  EXPECT_EQ(lines[0].contexts, std::vector<std::string>{std::string(41, 'a')});
  EXPECT_EQ(lines[1].message, "Event parameter value cannot be nil");
  EXPECT_EQ(lines[1].level, 3);
  EXPECT_EQ(lines[2].message, "Event parameter value is too long. The maximum supported length is 500");
  EXPECT_EQ(lines[2].level, 3);
  EXPECT_EQ(lines[3].message, "Event origin must be of type NSString");
  EXPECT_EQ(lines[3].contexts, std::vector<std::string>{"3"});
  EXPECT_EQ(QZMDataTypeDescription(static_cast<QZMValidationType>(42), " x"), "Object x");
  EXPECT_EQ(QZMDataTypeDescription(QZMValidationType::kScreenParameterValue, ""), "Screen parameter value");
}

TEST_F(Validator, ParameterNames) {
  expectTable("public parameter name", CHECK_OF(isValidPublicEventParameterName),
              {
                  {"plain", QZMObject("item_name"), FC::kNone, {}},
                  {"40", QZMObject(std::string(40, 'p')), FC::kNone, {}},
                  {"41", QZMObject(std::string(41, 'p')), FC::kTooLong, {13000}},
                  {"reserved prefix", QZMObject("qvz_thing"), FC::kReserved, {13008}},
                  {"internal", QZMObject("_o"), FC::kInvalidCharacter, {13003}},
              });
  expectTable("internal parameter name", CHECK_OF(isValidInternalEventParameterName),
              {
                  {"internal", QZMObject("_o"), FC::kNone, {}},
                  {"reserved prefix", QZMObject("qvz_thing"), FC::kNone, {}},
                  {"41", QZMObject(std::string(41, 'p')), FC::kTooLong, {13000}},
              });
}

TEST_F(Validator, UserPropertyNames) {
  expectTable("public user property name", CHECK_OF(isValidPublicUserAttributeName),
              {
                  {"custom", QZMObject("favourite_food"), FC::kNone, {}},
                  {"24", QZMObject(std::string(24, 'u')), FC::kNone, {}},
                  {"25", QZMObject(std::string(25, 'u')), FC::kTooLong, {13000}},
                  {"collected property", QZMObject("first_open_time"), FC::kReserved, {13009}},
                  {"collected property with a reserved prefix", QZMObject("qvz_session_id"), FC::kReserved, {13009}},
                  {"reserved prefix", QZMObject("qvz_other"), FC::kReserved, {13010}},
                  {"internal", QZMObject("_fot"), FC::kInvalidCharacter, {13003}},
              });
  expectTable("internal user property name", CHECK_OF(isValidInternalUserAttributeName),
              {
                  {"internal", QZMObject("_fot"), FC::kNone, {}},
                  {"25", QZMObject(std::string(25, 'u')), FC::kTooLong, {13000}},
              });
}

TEST_F(Validator, Values) {
  expectTable("public parameter value", CHECK_OF(isValidPublicEventParameterValue),
              {
                  {"empty string", QZMObject(str("")), FC::kNone, {}},
                  {"500 characters", QZMObject(str(std::string(500, 'v'))), FC::kNone, {}},
                  {"501 characters", QZMObject(str(std::string(501, 'v'))), FC::kTooLong, {13000}},
                  {"500 wide characters", QZMObject(str(repeated(kWideLetter, 500))), FC::kNone, {}},
                  {"number", QZMObject(i64(1) ), FC::kNone, {}},
                  {"array", QZMObject(QZMValue::initWithArray(QZMArray{})), FC::kNone, {}},
                  {"plain string", QZMObject("x"), FC::kWrongType, {13005}},
                  {"nil", std::nullopt, FC::kNilOrEmpty, {13004}},
                  {"string value over a number", QZMObject(QZMValue::initWithValueType(QZMValueType::kString, 1.5)),
                   FC::kWrongType, {13000}},
              });
  expectTable("public user property value", CHECK_OF(isValidPublicUserAttributeValue),
              {
                  {"36", QZMObject(str(std::string(36, 'v'))), FC::kNone, {}},
                  {"37", QZMObject(str(std::string(37, 'v'))), FC::kTooLong, {13000}},
                  {"empty: no log line", QZMObject(str("")), FC::kNilOrEmpty, {}},
              });
  expectTable("conditional user property value", CHECK_OF(isValidConditionalUserPropertyValue),
              {
                  {"36", QZMObject(str(std::string(36, 'v'))), FC::kNone, {}},
                  {"37", QZMObject(str(std::string(37, 'v'))), FC::kTooLong, {13000}},
                  {"empty", QZMObject(str("")), FC::kNilOrEmpty, {13001}},
              });
  auto internalUserValue = [](const char* name) -> Check {
    return [name](const QZMValidatorInput& in, FC* fc) {
      return QZMDataTypeValidator::isValidInternalUserAttributeValue(in, name, fc);
    };
  };
  expectTable("_id value", internalUserValue("_id"),
              {
                  {"256", QZMObject(str(std::string(256, 'v'))), FC::kNone, {}},
                  {"257", QZMObject(str(std::string(257, 'v'))), FC::kTooLong, {13000}},
              });
  expectTable("_psmvalue_gads value", internalUserValue("_psmvalue_gads"),
              {
                  {"512", QZMObject(str(std::string(512, 'v'))), FC::kNone, {}},
                  {"513", QZMObject(str(std::string(513, 'v'))), FC::kTooLong, {13000}},
              });
}

TEST_F(Validator, ParameterValueLimitsFollowTheRemoteConfiguration) {
  configure({{"measurement.upload.max_event_parameter_value_length", "100"}});
  expectTable("public value, limit 100", CHECK_OF(isValidPublicEventParameterValue),
              {
                  {"100", QZMObject(str(std::string(100, 'v'))), FC::kNone, {}},
                  {"101", QZMObject(str(std::string(101, 'v'))), FC::kTooLong, {13000}},
              });
  expectTable("internal value, never below 256", CHECK_OF(isValidInternalEventParameterValue),
              {
                  {"256", QZMObject(str(std::string(256, 'v'))), FC::kNone, {}},
                  {"257", QZMObject(str(std::string(257, 'v'))), FC::kTooLong, {13000}},
              });
  expectTable("screen value", CHECK_OF(isValidScreenParameterValue),
              {
                  {"100", QZMObject(std::string(100, 's')), FC::kNone, {}},
                  {"101", QZMObject(std::string(101, 's')), FC::kTooLong, {13000}},
              });
}

TEST_F(Validator, ScreenValuesArePlainText) {
  expectTable("screen value", CHECK_OF(isValidScreenParameterValue),
              {
                  {"text", QZMObject("Home"), FC::kNone, {}},
                  {"empty", QZMObject(""), FC::kNilOrEmpty, {13001}},
                  {"a typed value", QZMObject(str("Home")), FC::kWrongType, {13000}},
              });
}

TEST_F(Validator, Origins) {
  expectTable("forwarded origin", CHECK_OF(isValidForwardedEventOrigin),
              {
                  {"forwarded", QZMObject("partner+qrl"), FC::kNone, {}},
                  {"32 before the suffix", QZMObject(std::string(32, 'o') + "+qrl"), FC::kNone, {}},
                  {"33 before the suffix", QZMObject(std::string(33, 'o') + "+qrl"), FC::kTooLong, {13000}},
                  {"suffix alone", QZMObject("+qrl"), FC::kNilOrEmpty, {13001}},
                  {"bad base", QZMObject("a b+qrl"), FC::kInvalidCharacter, {13002}},
                  {"not forwarded: no log", QZMObject("app"), FC::kNotForwardedOrigin, {}},
                  {"empty: no log", QZMObject(""), FC::kNilOrEmpty, {}},
                  {"nil: no log", std::nullopt, FC::kNilOrEmpty, {}},
                  {"not UTF-8", QZMObject(kNotUTF8 + "+qrl"), FC::kWrongType, {13000}},
              });
  expectTable("internal origin", CHECK_OF(isValidInternalEventOrigin),
              {
                  {"app", QZMObject("app"), FC::kNone, {}},
                  {"32", QZMObject(std::string(32, 'o')), FC::kNone, {}},
                  {"33", QZMObject(std::string(33, 'o')), FC::kTooLong, {13000}},
                  {"forwarded form", QZMObject("partner+qrl"), FC::kInvalidCharacter, {13002}},
              });
  expectTable("conditional user property origin", CHECK_OF(isValidConditionalUserPropertyOrigin),
              {
                  {"app", QZMObject("app"), FC::kNone, {}},
                  {"33", QZMObject(std::string(33, 'o')), FC::kTooLong, {13000}},
              });
  expectTable("conditional user property name", CHECK_OF(isValidConditionalUserPropertyName),
              {
                  {"24", QZMObject(std::string(24, 'n')), FC::kNone, {}},
                  {"25", QZMObject(std::string(25, 'n')), FC::kTooLong, {13000}},
              });
}

TEST_F(Validator, NumbersAndCurrencies) {
  expectTable("numeric value", CHECK_OF(isValidNumericValue),
              {
                  {"int64", QZMObject(i64(3)), FC::kNone, {}},
                  {"double", QZMObject(dbl(2.5)), FC::kNone, {}},
                  {"string value", QZMObject(str("5")), FC::kNotNumeric, {13011}},
                  {"plain number", QZMObject(5), FC::kWrongType, {13005}},
                  {"nil", std::nullopt, FC::kNilOrEmpty, {13004}},
              });
  expectTable("currency", CHECK_OF(isValidCurrencyCode),
              {
                  {"upper case", QZMObject(str("USD")), FC::kNone, {}},
                  {"lower case", QZMObject(str("usd")), FC::kNone, {}},
                  {"letters beyond ASCII", QZMObject(str("\xC3\x89UR")), FC::kNone, {}},
                  {"a digit", QZMObject(str("US1")), FC::kInvalidCurrency, {13012}},
                  {"four letters", QZMObject(str("USDX")), FC::kInvalidCurrency, {13012}},
                  {"two letters", QZMObject(str("US")), FC::kInvalidCurrency, {13012}},
                  {"three UTF-16 units, two characters", QZMObject(str("U" + kWideLetter)), FC::kInvalidCurrency,
                   {13012}},
                  {"a number", QZMObject(i64(840)), FC::kInvalidCurrency, {13012}},
                  {"nil", std::nullopt, FC::kNilOrEmpty, {13004}},
              });
  clearMonitorLines();
  QZMDataTypeValidator::isValidCurrencyCode(str("US1"));
  EXPECT_EQ(monitorLines().at(0).message,
            "Event parameter value must contain a 3-letter ISO_4217 currency code. value");
}

TEST_F(Validator, ArrayParameters) {
  struct Case {
    std::optional<std::string> event;
    std::string param;
    std::int64_t count;
    bool nested;
    FC code;
  } cases[] = {
      {"purchase", "items", 200, false, FC::kNone},
      {"view_search_results", "items", 1, false, FC::kNone},
      {"purchase", "items", 201, false, FC::kTooManyItems},
      {"purchase", "items", 1, true, FC::kNestedArray},
      {"level_up", "items", 201, false, FC::kArrayOnNonEcommerceEvent},  // before the count
      {std::nullopt, "items", 1, false, FC::kArrayOnNonEcommerceEvent},
      {"purchase", "products", 201, false, FC::kArrayNotNamedItems},
  };
  for (const auto& c : cases) {
    clearMonitorLines();
    FC code = static_cast<FC>(-1);
    QZMDataTypeValidator::isValidArrayParamForEvent(c.event, c.param, c.count, c.nested, &code);
    EXPECT_EQ(code, c.code) << c.event.value_or("(nil)") << " " << c.param << " " << c.count;
    EXPECT_EQ(codes(), c.code == FC::kNone ? std::vector<std::int64_t>{} : std::vector<std::int64_t>{13013});
  }
  clearMonitorLines();
  QZMDataTypeValidator::isValidArrayParamForEvent("purchase", "products", 1, false);
  EXPECT_EQ(monitorLines().at(0).message,
            "Event parameter name is an invalid ecommerce items. The name of array parameters for ecommerce should "
            "be \"items\". Invalid parameter name");

  FC code = FC::kTooLong;  // left alone when the item is a dictionary
  EXPECT_TRUE(QZMDataTypeValidator::isValidArrayParamItem(QZMObject(QZMDictionary{}), &code));
  EXPECT_EQ(code, FC::kTooLong);
  EXPECT_FALSE(QZMDataTypeValidator::isValidArrayParamItem(QZMObject("x"), &code));
  EXPECT_EQ(code, FC::kItemNotDictionary);
  EXPECT_EQ(linesWithCode(13014).size(), 1u);
}

}  // namespace

#include <gtest/gtest.h>

#include "measurement/model/ModelTestKit.h"
#include "measurement/model/QZMEventNames.h"
#include "measurement/model/QZMEventParameters.h"

namespace {

using namespace modeltest;

// A dictionary of n custom entries "c00", "c01", ... holding 1.
QZMDictionary numbered(int n, std::string_view prefix = "c") {
  QZMDictionary out;
  for (int i = 0; i < n; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%.*s%02d", static_cast<int>(prefix.size()), prefix.data(), i);
    out.emplace(name, 1);
  }
  return out;
}

QZMObject itemsOf(int n) {
  foundation::Array items;
  for (int i = 0; i < n; ++i) items.emplace_back(foundation::Dictionary{{"item_id", "sku" + std::to_string(i)}});
  return QZMObject(items);
}

class Sanitizing : public ModelTest {};

TEST_F(Sanitizing, TheFirstProblemIsRecordedAndBadEntriesDropped) {
  struct Case {
    std::string label;
    QZMDictionary input;
    std::optional<std::string> event;
    bool isPublic;
    QZMParameters expected;
  } cases[] = {
      {"plain objects become typed values",
       {{"s", "x"}, {"n", 7}, {"d", 1.5}, {"b", true}},
       "level_up",
       true,
       {{"s", str("x")}, {"n", i64(7)}, {"d", dbl(1.5)}, {"b", i64(1)}}},
      {"a name of 41 characters",
       {{std::string(41, 'a'), "x"}, {"ok", "y"}},
       "level_up",
       true,
       {{"ok", str("y")}, {"_err", i64(3)}, {"_ev", str(std::string(40, 'a') + "...")}, {"_el", i64(41)}}},
      {"a name of 41 wide characters is cut between characters",
       {{repeated("\xF0\x9D\x90\x80", 41), "x"}},
       "level_up",
       true,
       {{"_err", i64(3)}, {"_ev", str(repeated("\xF0\x9D\x90\x80", 40) + "...")}, {"_el", i64(41)}}},
      {"a reserved prefix",
       {{"qvz_thing", 1}},
       "level_up",
       true,
       {{"_err", i64(14)}, {"_ev", str("qvz_thing")}}},
      {"an internal name on a public event",
       {{"_c", 1}, {"ok", 2}},
       "level_up",
       true,
       {{"ok", i64(2)}, {"_err", i64(3)}, {"_ev", str("_c")}}},
      {"two bad names: only the first in name order is described",
       {{"2bad", 1}, {"1bad", 2}, {"fine", 3}},
       "level_up",
       true,
       {{"fine", i64(3)}, {"_err", i64(3)}, {"_ev", str("1bad")}}},
      {"a public value of 501 characters",
       {{"v", std::string(501, 'x')}},
       "level_up",
       true,
       {{"_err", i64(4)}, {"_ev", str("v")}, {"_el", i64(501)}}},
      {"an internal event's value over the internal limit",
       {{"v", std::string(501, 'x')}},
       "_x",
       false,
       {{"_err", i64(4)}, {"_ev", str("v")}, {"_el", i64(501)}}},
      {"a custom event made internally has no value limit",
       {{"v", std::string(501, 'x')}},
       "level_up",
       false,
       {{"v", str(std::string(501, 'x'))}}},
      {"a value of an unsupported type is dropped without a record",
       {{"when", foundation::Date{1}}, {"ok", 1}},
       "level_up",
       true,
       {{"ok", i64(1)}}},
      {"text that is not UTF-8 is not a string",
       {{"bad", std::string("\xC3\x28")}, {"ok", 1}},
       "level_up",
       true,
       {{"ok", i64(1)}}},
      {"an items array on a custom event",
       {{"items", itemsOf(2)}},
       "level_up",
       true,
       {{"_err", i64(21)}, {"_ev", str("level_up")}}},
      {"an array not named items",
       {{"products", itemsOf(2)}},
       "purchase",
       true,
       {{"_err", i64(20)}, {"_ev", str("products")}}},
      {"an item that is not a dictionary",
       {{"items", QZMObject(QZMArray{QZMObject(QZMDictionary{{"item_id", "a"}}), QZMObject("b"),
                                     QZMObject(QZMDictionary{{"item_id", "c"}})})}},
       "purchase",
       true,
       {{"items", QZMValue::initWithArray({QZMObject(QZMDictionary{{"item_id", str("a")}}),
                                           QZMObject(QZMDictionary{{"item_id", str("c")}})})},
        {"_err", i64(4)},
        {"_ev", str("items[1]")}}},
      {"an array inside an item",
       {{"items", QZMObject(QZMArray{QZMObject(QZMDictionary{{"item_id", "a"}, {"sub", foundation::Array{}}})})}},
       "purchase",
       true,
       {{"items", QZMValue::initWithArray({QZMObject(
                      QZMDictionary{{"item_id", str("a")}, {"_err", i64(22)}, {"_ev", str("sub")}})})}}},
      {"a typed array is kept as it is",
       {{"things", QZMValue::initWithArray({QZMObject("raw")})}},
       "level_up",
       false,
       {{"things", QZMValue::initWithArray({QZMObject("raw")})}}},
      {"an error text over the limit is cut",
       {{"_ev", str(std::string(600, 'e'))}},
       "_x",
       false,
       {{"_ev", str(std::string(500, 'e') + "...")}, {"_el", i64(600)}}},
      {"a plain error text over the limit is cut too",
       {{"_ev", std::string(600, 'e')}},
       "_x",
       false,
       {{"_ev", str(std::string(500, 'e') + "...")}, {"_el", i64(600)}}},
      {"an error text cut before stays",
       {{"_ev", str(std::string(500, 'e') + "...")}},
       "_x",
       false,
       {{"_ev", str(std::string(500, 'e') + "...")}}},
      {"a recorded problem is not overwritten by a parameter of the same name",
       {{"1 bad", 1}, {"_err", 9}},
       "_x",
       false,
       {{"_err", i64(3)}, {"_ev", str("1 bad")}}},
  };
  for (const auto& c : cases) {
    std::optional<QZMParameters> result = QZMSanitizedEventParameters(c.input, c.event, c.isPublic, false);
    ASSERT_TRUE(result) << c.label;
    EXPECT_EQ(*result, c.expected) << c.label;
  }
  EXPECT_EQ(QZMSanitizedEventParameters({}, "level_up", true, false), std::nullopt);
}

TEST_F(Sanitizing, ItemsArraysAreCutTo200) {
  auto result = QZMSanitizedEventParameters({{"items", itemsOf(250)}, {"value", 3}}, "purchase", true, false);
  ASSERT_TRUE(result);
  const QZMArray* items = result->at("items").arrayValue();
  ASSERT_NE(items, nullptr);
  ASSERT_EQ(items->size(), 200u);
  EXPECT_EQ(items->back(), QZMObject(QZMDictionary{{"item_id", str("sku199")}}));
  EXPECT_EQ(result->at("_err"), i64(17));
  EXPECT_EQ(result->at("_ev"), str("items"));
  EXPECT_FALSE(result->contains("_el"));
}

TEST_F(Sanitizing, CountCapsDropTheLastNamesAndRecordTheCap) {
  // 101 public parameters and an internal one, which is not counted.
  QZMDictionary event = numbered(101);
  event.emplace("_x", 1);
  auto result = QZMSanitizedEventParameters(event, "_x", false, false);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->size(), 101u + 1u);  // 100 of c00..c100, _x and _err
  EXPECT_FALSE(result->contains("c99"));   // the last name: "c100" sorts before "c11"
  EXPECT_TRUE(result->contains("c100"));
  EXPECT_TRUE(result->contains("_x"));
  EXPECT_EQ(result->at("_err"), i64(5));
  ASSERT_EQ(linesWithCode(18017).size(), 1u);
  EXPECT_EQ(linesWithCode(18017)[0].message, "Event cannot contain more than 100 parameters");

  // An item: standard item parameters are not custom.
  QZMDictionary item = numbered(28);
  item.emplace("item_id", "sku");
  auto items = QZMSanitizedEventParameters({{"items", QZMObject(QZMArray{QZMObject(item)})}}, "purchase", true, false);
  ASSERT_TRUE(items);
  const QZMDictionary& cleaned = *items->at("items").arrayValue()->at(0).dictionary();
  EXPECT_EQ(cleaned.size(), 27u + 1u + 1u);  // c00..c26, item_id, _err
  EXPECT_FALSE(cleaned.contains("c27"));
  EXPECT_EQ(cleaned.at("_err"), QZMObject(i64(28)));
  EXPECT_EQ(linesWithCode(18016).size(), 1u);
  EXPECT_FALSE(items->contains("_err"));  // the event itself is fine

  configure({{"measurement.upload.max_public_event_params", "25"}});
  auto capped = QZMSanitizedEventParameters(numbered(30), "level_up", true, false);
  EXPECT_EQ(QZMCountPublicParameters(*capped, false), 25);
}

TEST_F(Sanitizing, TheSameInputGivesTheSameResultEveryTime) {
  QZMDictionary input = numbered(120);
  input.emplace("1bad", 1);
  input.emplace("qvz_bad", 1);
  input.emplace("items", itemsOf(3));
  auto first = QZMSanitizedEventParameters(input, "level_up", true, false);
  for (int run = 0; run < 3; ++run) EXPECT_EQ(QZMSanitizedEventParameters(input, "level_up", true, false), first);
  EXPECT_EQ(first->at("_ev"), str("1bad"));
}

TEST_F(Sanitizing, TrimmingWalksTheNamesFromTheEnd) {
  QZMParameters parameters{{"a", i64(1)}, {"b", i64(1)}, {"_c", i64(1)}, {"d", i64(1)}, {"price", i64(1)}};
  QZMParameters trimmed = parameters;
  QZMTrimEventParameters(trimmed, 2);
  EXPECT_EQ(trimmed, (QZMParameters{{"a", i64(1)}, {"b", i64(1)}, {"_c", i64(1)}}));
  QZMParameters item = parameters;
  QZMTrimPublicParameters(item, 2, true);  // "price" is a standard item parameter
  EXPECT_EQ(item, (QZMParameters{{"a", i64(1)}, {"b", i64(1)}, {"_c", i64(1)}, {"price", i64(1)}}));
  QZMParameters all = parameters;
  QZMTrimEventParameters(all, 0);
  EXPECT_EQ(all, (QZMParameters{{"_c", i64(1)}}));
}

TEST_F(Sanitizing, ErrorRecordsKeepTheFirstProblem) {
  QZMParameters parameters;
  const QZMObject longValue(repeated("\xC3\xA9", 30));
  QZMRecordParameterError(parameters, 4, "name", 40, &longValue);
  QZMRecordParameterError(parameters, 3, "other", 40, nullptr);
  EXPECT_EQ(parameters, (QZMParameters{{"_err", i64(4)}, {"_ev", str("name")}, {"_el", i64(30)}}));

  QZMParameters nilName;
  QZMAddErrorNameAndLength(nilName, std::nullopt, 40, nullptr);
  EXPECT_EQ(nilName, (QZMParameters{{"_ev", str("(nil)")}}));

  QZMParameters arrayLength;
  const QZMObject array(foundation::Array{1, 2, 3});
  QZMAddErrorNameAndLength(arrayLength, "list", 2, &array);
  EXPECT_EQ(arrayLength, (QZMParameters{{"_ev", str("li...")}, {"_el", i64(3)}}));

  QZMParameters codeOnly{{"_el", i64(1)}};
  QZMSetErrorCodeIfAbsent(codeOnly, 5);
  QZMSetErrorCodeIfAbsent(codeOnly, 6);
  EXPECT_EQ(codeOnly.at("_err"), i64(5));

  struct Case {
    QZMValidationFailureCode failure;
    std::optional<QZMParameters> expected;
  } cases[] = {
      {QZMValidationFailureCode::kArrayOnNonEcommerceEvent, QZMParameters{{"_err", i64(21)}, {"_ev", str("level_up")}}},
      {QZMValidationFailureCode::kArrayNotNamedItems, QZMParameters{{"_err", i64(20)}, {"_ev", str("things")}}},
      {QZMValidationFailureCode::kTooManyItems, QZMParameters{{"_err", i64(17)}, {"_ev", str("things")}}},
      {QZMValidationFailureCode::kNestedArray, QZMParameters{{"_err", i64(22)}, {"_ev", str("things")}}},
      {QZMValidationFailureCode::kItemNotDictionary, QZMParameters{}},
  };
  for (const auto& c : cases) {
    QZMParameters recorded;
    QZMRecordArrayParameterError(recorded, c.failure, "things", "level_up");
    EXPECT_EQ(recorded, c.expected) << static_cast<int>(c.failure);
  }
}

TEST_F(Sanitizing, ValueNeedsANumberAndACurrency) {
  struct Case {
    std::string label;
    QZMParameters input;
    bool passes;
    QZMParameters expected;
  } cases[] = {
      {"no value", {{"currency", str("x")}}, true, {{"currency", str("x")}}},
      {"value and currency", {{"value", dbl(9.5)}, {"currency", str("EUR")}}, true,
       {{"value", dbl(9.5)}, {"currency", str("EUR")}}},
      {"value without currency", {{"value", dbl(9.5)}}, false, {{"_err", i64(19)}, {"_ev", str("currency")}}},
      {"value as text", {{"value", str("9.5")}, {"currency", str("EUR")}}, false,
       {{"currency", str("EUR")}, {"_err", i64(18)}, {"_ev", str("value")}}},
      {"an earlier problem stays", {{"value", i64(1)}, {"_err", i64(3)}}, false, {{"_err", i64(3)}}},
  };
  for (const auto& c : cases) {
    QZMParameters parameters = c.input;
    EXPECT_EQ(QZMValidateValueAndCurrency(parameters), c.passes) << c.label;
    EXPECT_EQ(parameters, c.expected) << c.label;
  }
  EXPECT_EQ(linesWithCode(18014).size(), 2u);
}

class ErrorEvents : public ModelTest {
 protected:
  struct Logged {
    std::string origin, name;
    QZMDictionary parameters;
  };
  void SetUp() override {
    ModelTest::SetUp();
    QZMSetInternalEventLogger([this](const std::string& origin, const std::string& name, const QZMDictionary& p) {
      logged.push_back({origin, name, p});
    });
  }
  void TearDown() override {
    QZMSetInternalEventLogger(nullptr);
    ModelTest::TearDown();
  }
  std::vector<Logged> logged;
};

TEST_F(ErrorEvents, ErrorEventsCarryTheCodeNameAndLength) {
  QZMLogErrorEvent(0);
  QZMLogErrorEventWithName(0, "x", 40, nullptr);
  EXPECT_TRUE(logged.empty());

  QZMLogErrorEvent(8);
  const QZMObject shortValue("abc");
  const QZMObject longValue(std::string(30, 'v'));
  QZMLogErrorEventWithName(2, std::string(45, 'n'), 40, nullptr);
  QZMLogErrorEventWithName(7, "level", 24, &shortValue);  // code 7 always shows the length
  QZMLogErrorEventWithName(6, "level", 24, &shortValue);  // short: no length
  QZMLogErrorEventWithName(6, "level", 24, &longValue);
  ASSERT_EQ(logged.size(), 5u);
  for (const auto& event : logged) {
    EXPECT_EQ(event.origin, "auto");
    EXPECT_EQ(event.name, "_err");
  }
  EXPECT_EQ(logged[0].parameters, (QZMDictionary{{"_err", 8}}));
  EXPECT_EQ(logged[1].parameters, (QZMDictionary{{"_err", i64(2)}, {"_ev", str(std::string(40, 'n') + "...")}}));
  EXPECT_EQ(logged[2].parameters, (QZMDictionary{{"_err", i64(7)}, {"_ev", str("level")}, {"_el", i64(3)}}));
  EXPECT_EQ(logged[3].parameters, (QZMDictionary{{"_err", i64(6)}, {"_ev", str("level")}}));
  EXPECT_EQ(logged[4].parameters, (QZMDictionary{{"_err", i64(6)}, {"_ev", str("level")}, {"_el", i64(30)}}));
}

class Names : public ModelTest {};

TEST_F(Names, MapsHoldTheirEntries) {
  EXPECT_EQ(QZMPublicToInternalEventNameMap().size(), 32u);
  EXPECT_EQ(QZMInternalToPublicEventNameMap().size(), 31u);
  EXPECT_EQ(QZMInternalToPublicEventNameMap().at("_cmp"), "qvz_campaign");
  EXPECT_EQ(QZMInternalToPublicEventNameMap().at("_vs"), "screen_view");
  EXPECT_EQ(QZMInternalParameterNameMap().size(), 55u);
  EXPECT_EQ(QZMEventErrorCodeNameMap().size(), 25u);
  EXPECT_EQ(QZMEventErrorCodeNameMap().at(28), "ItemScopedCustomParameterLimitReached");
  EXPECT_FALSE(QZMEventErrorCodeNameMap().contains(24));
  EXPECT_TRUE(QZMIsStandardItemParameterName("item_location_id"));
  EXPECT_FALSE(QZMIsStandardItemParameterName("colour"));
}

TEST_F(Names, PublicNamesDoNotStartWithAnUnderscore) {
  EXPECT_TRUE(QZMIsPublicName("level"));
  EXPECT_FALSE(QZMIsPublicName("_level"));
  EXPECT_FALSE(QZMIsPublicName(""));
  EXPECT_FALSE(QZMIsPublicName(QZMObject(3)));
  EXPECT_EQ(codes(), (std::vector<std::int64_t>{18003, 18002}));
}

TEST_F(Names, DisplayFormsShowPublicNamesInDebugModeOnly) {
  struct Case {
    std::string (*form)(std::string_view);
    const char* name;
    const char* debug;
  } cases[] = {
      {QZMEventNameForLogging, "_vs", "screen_view (_vs)"},
      {QZMEventNameForLogging, "_cmp", "qvz_campaign (_cmp)"},
      {QZMEventNameForLogging, "purchase", "purchase"},
      {QZMEventNameForLogging, "_unknown", "_unknown"},
      {QZMParameterNameForLogging, "_o", "qvz_event_origin (_o)"},
      {QZMParameterNameForLogging, "_aib", "app_in_background (_aib)"},
      {QZMUserPropertyNameForLogging, "_fot", "first_open_time (_fot)"},
      {QZMUserPropertyNameForLogging, "_exp_12", "experiment_id (_exp_12)"},
  };
  for (const auto& c : cases) {
    const std::string plain = std::string_view(c.name).starts_with("_exp_") ? c.debug : c.name;
    EXPECT_EQ(c.form(c.name), plain) << c.name << " outside debug mode";
  }
  monitor->setDebugModeEnabled(true);
  EXPECT_EQ(QZMEventNameForLogging("_vs"), "_vs") << "without the public API class";
  enterDebugMode();
  for (const auto& c : cases) EXPECT_EQ(c.form(c.name), c.debug) << c.name;
}

TEST_F(Names, ParametersForLogging) {
  const QZMParameters parameters{
      {"value", dbl(1.5)},
      {"_err", i64(4)},
      {"Alpha", str("x")},
      {"items", QZMValue::initWithArray({QZMObject(QZMDictionary{{"item_id", str("a")}})})},
  };
  const std::string plain = QZMParametersForLogging(parameters);
  EXPECT_EQ(plain, "{Alpha = x; _err = 4; items = ({item_id = a}); value = 1.5}");
  enterDebugMode();
  EXPECT_EQ(QZMParametersForLogging(parameters),
            "{\n"
            "    Alpha = x;\n"
            "    items = [\n"
            "    {\n"
            "        item_id = a;\n"
            "    }\n"
            "    ];\n"
            "    qvz_error (_err) = InvalidParameterValue (4);\n"
            "    value = 1.5;\n"
            "}");
  EXPECT_EQ(QZMParametersForLogging(QZMParameters{{"_err", i64(25)}}), "{\n    qvz_error (_err) = 25;\n}");
  EXPECT_EQ(QZMParametersForLogging(QZMObject("text")), "text");
}

}  // namespace

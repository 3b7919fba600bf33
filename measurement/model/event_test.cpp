#include <gtest/gtest.h>

#include <limits>

#include "measurement/model/ModelTestKit.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/model/QZMEventFunctions.h"
#include "measurement/proto/NANOFieldAccess.h"

namespace {

using namespace modeltest;

QZMValue itemsValue(std::vector<QZMDictionary> items) {
  QZMArray array;
  for (auto& item : items) array.emplace_back(std::move(item));
  return QZMValue::initWithArray(std::move(array));
}

class Events : public ModelTest {
 protected:
  std::unique_ptr<QZMEvent> make(const QZMDictionary& parameters, std::string_view name = "level_up",
                                 bool isPublic = true, std::string_view origin = "app") {
    return QZMEvent::initWithOrigin(origin, isPublic, name, 100, 0, parameters);
  }
};

TEST_F(Events, OriginAndNameDecideWhetherAnEventIsMade) {
  struct Case {
    const char* origin;
    bool isPublic;
    std::string name;
    bool made;
  } cases[] = {
      {"app", true, "level_up", true},
      {"partner+qrl", true, "level_up", true},
      {"+qrl", true, "level_up", false},
      {"", true, "level_up", false},
      {"a b", true, "level_up", false},
      {"a b+qrl", true, "level_up", false},
      {"oooooooooooooooooooooooooooooooo", true, "level_up", true},    // 32
      {"ooooooooooooooooooooooooooooooooo", true, "level_up", false},  // 33
      {"app", true, "zarnholt_thing", false},
      {"app", false, "zarnholt_thing", true},
      {"app", true, "1st_level", false},
      {"app", false, "1st_level", true},
      {"app", true, "session_start", false},
      {"auto", false, "_s", true},
      {"app", false, "", false},
      {"app", false, std::string(41, 'n'), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QZMEvent::initWithOrigin(c.origin, c.isPublic, c.name, 1, 0, QZMDictionary{}) != nullptr, c.made)
        << c.origin << " " << c.name << " public " << c.isPublic;
  }
}

TEST_F(Events, ParametersAreCleanedAndTheOriginRecorded) {
  auto event = make({{"score", 10}, {"_o", "spoofed"}, {"1bad", 1}}, "level_up", false);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->parameters(), (QZMParameters{{"score", i64(10)}, {"_o", str("app")}, {"1bad", i64(1)}}));
  auto published = make({{"score", 10}, {"_o", "spoofed"}});
  ASSERT_TRUE(published);
  EXPECT_EQ(published->parameters(),
            (QZMParameters{{"score", i64(10)}, {"_o", str("app")}, {"_err", i64(3)}, {"_ev", str("_o")}}));
  EXPECT_EQ(published->origin(), "app");
  EXPECT_EQ(published->name(), "level_up");
  EXPECT_EQ(published->timestamp(), 100);
}

TEST_F(Events, APreviousTimeAfterTheTimeIsLoggedButAccepted) {
  auto event = QZMEvent::initWithOrigin("app", true, "level_up", 5, 10, QZMDictionary{});
  ASSERT_TRUE(event);
  EXPECT_EQ(event->previousTimestamp(), 10);
  EXPECT_EQ(linesWithCode(16002).size(), 1u);
}

TEST_F(Events, ConversionsNeedAValueWithACurrency) {
  auto conversion = make({{"_c", QZMValue::initWithInt64(1)}, {"value", 9.5}}, "level_up", false);
  ASSERT_TRUE(conversion);
  EXPECT_FALSE(conversion->isConversion());
  EXPECT_EQ(conversion->parameters(), (QZMParameters{{"_o", str("app")}, {"_err", i64(19)}, {"_ev", str("currency")}}));

  auto impression = make({{"value", "lots"}, {"currency", "EUR"}}, "ad_impression");
  ASSERT_TRUE(impression);
  EXPECT_EQ(impression->parameters(),
            (QZMParameters{{"currency", str("EUR")}, {"_o", str("app")}, {"_err", i64(18)}, {"_ev", str("value")}}));

  auto purchase = make({{"value", 9.5}, {"currency", "EUR"}}, "purchase");
  ASSERT_TRUE(purchase);
  EXPECT_FALSE(purchase->isConversion());
  purchase->setConversion(false);  // nothing to take away
  EXPECT_FALSE(purchase->parameters().contains("_err"));
  purchase->setConversion(true);
  EXPECT_TRUE(purchase->isConversion());
  purchase->setConversion(false);
  EXPECT_FALSE(purchase->isConversion());
  EXPECT_EQ(purchase->parameters().at("_err"), i64(10));
  purchase->setConversion(true);  // passes again: the limit error goes
  EXPECT_TRUE(purchase->isConversion());
  EXPECT_FALSE(purchase->parameters().contains("_err"));

  auto noCurrency = make({{"value", 9.5}}, "purchase");
  noCurrency->setConversion(true);
  EXPECT_FALSE(noCurrency->isConversion());
  EXPECT_FALSE(noCurrency->parameters().contains("value"));
  EXPECT_EQ(noCurrency->parameters().at("_err"), i64(19));
}

TEST_F(Events, FlagsLiveInReservedParameters) {
  auto event = make({});
  EXPECT_FALSE(event->isRealtime());
  event->setRealtime(true);
  event->setDebug(true);
  EXPECT_TRUE(event->isRealtime());
  EXPECT_TRUE(event->isDebug());
  EXPECT_EQ(event->parameters().at("_r"), i64(1));
  event->setRealtime(false);
  event->setDebug(false);
  EXPECT_FALSE(event->parameters().contains("_r"));
  EXPECT_FALSE(event->parameters().contains("_dbg"));

  auto odd = make({{"_r", "yes"}}, "level_up", false);
  EXPECT_FALSE(odd->isRealtime());
  ASSERT_EQ(linesWithCode(16006).size(), 1u);
  EXPECT_EQ(linesWithCode(16006)[0].contexts, std::vector<std::string>{"level_up"});
}

TEST_F(Events, ScreenParametersAreAddedOnlyWhenAllAreUsable) {
  struct Case {
    std::string label;
    QZMDictionary screen;
    bool added;
    std::vector<std::int64_t> codes;
    QZMParameters expected;  // the screen entries afterwards
  } cases[] = {
      {"plain objects", {{"_si", 5}, {"_sc", "Controller"}, {"_sn", "Home"}}, true, {},
       {{"_si", i64(5)}, {"_sc", str("Controller")}, {"_sn", str("Home")}}},
      {"typed values", {{"_si", i64(6)}, {"_sn", str("Home")}}, true, {}, {{"_si", i64(6)}, {"_sn", str("Home")}}},
      {"a floating screen id", {{"_si", 1.5}}, true, {}, {{"_si", dbl(1.5)}}},
      {"no screen id", {{"_sc", "Controller"}}, false, {}, {}},
      {"a screen id as text", {{"_si", "5"}}, false, {}, {}},
      {"an empty screen class", {{"_si", 5}, {"_sc", ""}}, false, {13001, 16003}, {}},
      {"a screen class that is no text", {{"_si", 5}, {"_sc", 7}}, false, {}, {}},
      {"a screen name over the limit", {{"_si", 5}, {"_sn", std::string(501, 'n')}}, false, {13000, 16004}, {}},
      {"nothing", {}, false, {}, {}},
  };
  for (const auto& c : cases) {
    auto event = make({{"score", 1}});
    clearMonitorLines();
    EXPECT_EQ(event->addScreenParameters(c.screen), c.added) << c.label;
    EXPECT_EQ(codes(), c.codes) << c.label;
    EXPECT_EQ(QZMScreenParametersFromParameters(event->parameters()), c.expected) << c.label;
  }
  auto event = make({{"_sn", "Old"}}, "level_up", false);
  EXPECT_FALSE(event->addScreenParameters({{"_si", 5}}));  // already has screen information
}

TEST_F(Events, AppliedParametersNeverReplaceTheEventsOwn) {
  auto event = make({{"score", 10}});
  event->applyParameters({{"score", 99}, {"bonus", 5}, {"1bad", 1}}, true);
  EXPECT_EQ(event->parameters(),
            (QZMParameters{{"score", i64(10)}, {"bonus", i64(5)}, {"_o", str("app")}, {"_err", i64(3)},
                           {"_ev", str("1bad")}}));
  event->applyParameters({}, true);
  EXPECT_EQ(event->parameters().size(), 5u);
}

TEST_F(Events, CopiesAreRemadeWithInternalRules) {
  auto event = QZMEvent::initWithOrigin("app", true, "level_up", 100, 50, QZMDictionary{{"score", 10}});
  auto copy = event->copy();
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->parameters(), event->parameters());
  EXPECT_EQ(copy->previousTimestamp(), 50);
  auto earlier = event->copyWithPreviousTimestamp(20);
  EXPECT_EQ(earlier->previousTimestamp(), 20);
  EXPECT_EQ(earlier->timestamp(), 100);
  auto other = event->copyWithParameters(QZMDictionary{{"_o", "elsewhere"}, {"_internal", 1}});
  ASSERT_TRUE(other);
  EXPECT_EQ(other->parameters(), (QZMParameters{{"_o", str("app")}, {"_internal", i64(1)}}));
}

TEST_F(Events, EveryValueTypeSurvivesTheMessage) {
  const QZMParameters values{
      {"text", str("h\xC3\xA9llo \xF0\x9F\x98\x80")},
      {"empty", str("")},
      {"count", i64(-42)},
      {"big", i64(std::numeric_limits<std::int64_t>::max())},
      {"ratio", dbl(0.125)},
      {"whole", dbl(3.0)},
  };
  auto event = QZMEvent::initWithOrigin("partner+qrl", false, "_x", 1234.5678, 1.5, values);
  ASSERT_TRUE(event);
  auto message = event->protoEvent();
  ASSERT_TRUE(message);
  EXPECT_EQ(NANOGetString(message.get(), QZMPBEvent::kName), "_x");
  EXPECT_EQ(NANOGetInt64(message.get(), QZMPBEvent::kTimestampMillis), 1234567);
  EXPECT_EQ(NANOGetInt64(message.get(), QZMPBEvent::kPreviousTimestampMillis), 1500);

  // Through the wire bytes, as the database stores it.
  auto bytes = message->protoBuffer();
  ASSERT_TRUE(bytes);
  auto decoded = QZMPBEvent::initWithBuffer(*bytes);
  ASSERT_TRUE(decoded);
  auto back = QZMEvent::initWithEventProto(decoded.get());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->parameters(), event->parameters());
  EXPECT_EQ(back->origin(), "partner+qrl");
  EXPECT_EQ(back->name(), "_x");
  EXPECT_EQ(back->timestamp(), 1234.567);
  EXPECT_EQ(back->previousTimestamp(), 1.5);

  // Doubles stay doubles and integers integers.
  auto params = NANOGetArray<QZMPBEventParam>(message.get(), QZMPBEvent::kParams);
  for (const auto& param : *params) {
    const std::string name = *NANOGetString(param.get(), QZMPBEventParam::kName);
    const QZMValue& value = event->parameters().at(name);
    EXPECT_EQ(NANOHasField(param.get(), QZMPBEventParam::kDoubleValue), value.isDouble()) << name;
    EXPECT_EQ(NANOHasField(param.get(), QZMPBEventParam::kIntValue), value.isInt64()) << name;
    EXPECT_EQ(NANOHasField(param.get(), QZMPBEventParam::kStringValue), value.isString()) << name;
    EXPECT_FALSE(NANOHasField(param.get(), QZMPBEventParam::kFloatValue)) << name;
  }
}

TEST_F(Events, NoPreviousTimeWritesNoField) {
  auto event = make({});
  auto message = event->protoEvent();
  EXPECT_FALSE(NANOHasField(message.get(), QZMPBEvent::kPreviousTimestampMillis));
  auto back = QZMEvent::initWithEventProto(message.get());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->previousTimestamp(), 0);
}

TEST_F(Events, ItemsBecomeNestedMessagesAndAreNotReadBack) {
  auto event = make({{"items", QZMObject(QZMArray{QZMObject(QZMDictionary{{"item_id", "a"}, {"price", 2.5}}),
                                                   QZMObject(QZMDictionary{{"item_id", "b"}})})},
                     {"value", 5},
                     {"currency", "EUR"}},
                    "purchase");
  ASSERT_TRUE(event);
  auto message = event->protoEvent();
  auto params = *NANOGetArray<QZMPBEventParam>(message.get(), QZMPBEvent::kParams);
  auto items = std::find_if(params.begin(), params.end(), [](const auto& p) {
    return NANOGetString(p.get(), QZMPBEventParam::kName) == "items";
  });
  ASSERT_NE(items, params.end());
  auto elements = *NANOGetArray<QZMPBEventParam>(items->get(), QZMPBEventParam::kParamValue);
  ASSERT_EQ(elements.size(), 2u);
  EXPECT_FALSE(NANOHasField(elements[0].get(), QZMPBEventParam::kName));
  auto first = *NANOGetArray<QZMPBEventParam>(elements[0].get(), QZMPBEventParam::kParamValue);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(NANOGetString(first[0].get(), QZMPBEventParam::kName), "item_id");
  EXPECT_EQ(NANOGetString(first[0].get(), QZMPBEventParam::kStringValue), "a");
  EXPECT_EQ(NANOGetDouble(first[1].get(), QZMPBEventParam::kDoubleValue), 2.5);

  clearMonitorLines();
  auto back = QZMEvent::initWithEventProto(message.get());
  ASSERT_TRUE(back);
  EXPECT_FALSE(back->parameters().contains("items"));
  EXPECT_TRUE(back->parameters().contains("value"));
  EXPECT_EQ(codes(), std::vector<std::int64_t>{15002});
}

TEST_F(Events, MessagesThatCannotBeEventsAreRefused) {
  auto param = [](std::optional<std::string> name, std::function<void(QZMPBEventParam*)> fill) {
    std::shared_ptr<QZMPBEventParam> message = QZMPBEventParam::initWithMessageInfo(nullptr);
    if (name) NANOSetString(message.get(), QZMPBEventParam::kName, *name);
    fill(message.get());
    return NANOObject(message);
  };
  auto text = [](const char* value) {
    return [value](QZMPBEventParam* p) { NANOSetString(p, QZMPBEventParam::kStringValue, value); };
  };
  auto event = [](std::optional<std::string> name, NANOObjectArray params) {
    std::unique_ptr<QZMPBEvent> message = QZMPBEvent::initWithMessageInfo(nullptr);
    if (name) NANOSetString(message.get(), QZMPBEvent::kName, *name);
    NANOSetInt64(message.get(), QZMPBEvent::kTimestampMillis, 2000);
    NANOSetArray(message.get(), QZMPBEvent::kParams, &params);
    return message;
  };
  // Name "f" and the 32-bit float 1.0 (tag 4), which this side never writes.
  const foundation::Data floatBytes{0x0A, 0x01, 'f', 0x25, 0x00, 0x00, 0x80, 0x3F};
  std::shared_ptr<QZMPBEventParam> floatMessage = QZMPBEventParam::initWithBuffer(floatBytes);
  ASSERT_TRUE(floatMessage);
  ASSERT_TRUE(NANOHasField(floatMessage.get(), QZMPBEventParam::kFloatValue));
  const NANOObject floatParam(floatMessage);
  struct Case {
    std::string label;
    std::unique_ptr<QZMPBEvent> message;
    bool made;
    std::vector<std::int64_t> codes;
  } cases[] = {
      {"an unnamed parameter is skipped", event("_x", {param("_o", text("app")), param(std::nullopt, text("v"))}),
       true, {15000}},
      {"a float-only parameter is skipped", event("_x", {param("_o", text("app")), floatParam}), true, {15002}},
      {"an origin that is not text",
       event("_x", {param("_o", [](QZMPBEventParam* p) { NANOSetInt64(p, QZMPBEventParam::kIntValue, 1); })}), false,
       {15001}},
      {"no origin", event("_x", {param("a", text("v"))}), false, {}},
      {"no name", event(std::nullopt, {param("_o", text("app"))}), false, {13001}},
      {"a refused origin", event("_x", {param("_o", text("a b"))}), false, {13002}},
  };
  for (auto& c : cases) {
    clearMonitorLines();
    auto made = QZMEvent::initWithEventProto(c.message.get());
    EXPECT_EQ(made != nullptr, c.made) << c.label;
    EXPECT_EQ(codes(), c.codes) << c.label;
  }
  EXPECT_EQ(QZMEvent::initWithEventProto(nullptr), nullptr);
}

TEST_F(Events, EditFormsUsePublicNamesAndPlainValues) {
  auto event = make({{"items", QZMObject(QZMArray{QZMObject(QZMDictionary{{"item_id", "a"}, {"quantity", 2}})})},
                     {"ratio", 0.5},
                     {"label", "x"}},
                    "_vs", false);
  ASSERT_TRUE(event);
  QZMEditEvent edit = event->editEvent();
  EXPECT_EQ(edit.name, "screen_view");
  EXPECT_EQ(edit.timestamp, 100);
  const foundation::Dictionary expected{
      {"label", "x"}, {"ratio", 0.5}, {"_o", "app"},
      {"_err", 21},  // "items" belongs to ecommerce events only
      {"_ev", "_vs"},
  };
  EXPECT_EQ(edit.parameters, expected);
  EXPECT_TRUE(edit.parameters.at("ratio").isFloating());

  auto purchase = make({{"items", QZMObject(QZMArray{QZMObject(QZMDictionary{{"item_id", "a"}, {"quantity", 2}})})},
                        {"value", 3},
                        {"currency", "EUR"}},
                       "purchase");
  QZMEditEvent form = purchase->editEvent();
  EXPECT_EQ(form.name, "purchase");
  EXPECT_EQ(form.parameters.at("items"),
            foundation::Object(foundation::Array{foundation::Dictionary{{"item_id", "a"}, {"quantity", 2}}}));
  EXPECT_TRUE(form.parameters.at("value").isInteger());

  auto back = QZMEvent::eventFromEditEvent(form);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->parameters(), purchase->parameters());
  EXPECT_EQ(back->origin(), "app");

  form.name = "screen_view";
  form.parameters["_o"] = "auto";
  auto renamed = QZMEvent::eventFromEditEvent(form);
  EXPECT_EQ(renamed->name(), "_vs");
  EXPECT_EQ(renamed->origin(), "auto");
  EXPECT_EQ(renamed->previousTimestamp(), 0);
  form.parameters["_o"] = 5;
  EXPECT_EQ(QZMEvent::eventFromEditEvent(form)->origin(), "app");
}

TEST_F(Events, ParameterMessagesSkipUntypedAndDeepValues) {
  const QZMDictionary parameters{
      {"plain", "not typed"},
      {"items", itemsValue({{{"inner", itemsValue({{{"a", i64(1)}}})}, {"ok", i64(2)}}})},
  };
  auto messages = QZMEventParamMessagesFromParameters(parameters, "purchase", false);
  ASSERT_EQ(messages.size(), 1u);
  auto elements = *NANOGetArray<QZMPBEventParam>(messages[0].get(), QZMPBEventParam::kParamValue);
  ASSERT_EQ(elements.size(), 1u);
  auto children = *NANOGetArray<QZMPBEventParam>(elements[0].get(), QZMPBEventParam::kParamValue);
  ASSERT_EQ(children.size(), 1u);
  EXPECT_EQ(NANOGetString(children[0].get(), QZMPBEventParam::kName), "ok");
  EXPECT_EQ(codes(), (std::vector<std::int64_t>{16007, 16005}));

  EXPECT_TRUE(QZMEventParamsContainName(messages, "items"));
  EXPECT_FALSE(QZMEventParamsContainName(messages, "plain"));
  EXPECT_EQ(linesWithCode(23156).size(), 1u);
}

TEST_F(Events, Classification) {
  auto named = [&](const char* name, QZMDictionary parameters = {}) { return make(parameters, name, false); };
  EXPECT_TRUE(QZMIsErrorEvent(named("_err").get()));
  EXPECT_FALSE(QZMIsErrorEvent(named("_e").get()));
  EXPECT_FALSE(QZMIsErrorEvent(nullptr));
  EXPECT_EQ(linesWithCode(18004).size(), 1u);
  EXPECT_FALSE(QZMIsNonErrorEventName("_err"));
  EXPECT_TRUE(QZMIsNonErrorEventName("_e"));

  EXPECT_TRUE(QZMIsSubscriptionEvent(named("_assc").get()));
  EXPECT_TRUE(QZMIsSubscriptionEvent(named("_assr").get()));
  EXPECT_TRUE(QZMIsSubscriptionEvent(named("_iap", {{"subscription", 1}}).get()));
  EXPECT_FALSE(QZMIsSubscriptionEvent(named("_iap", {{"subscription", 1.0}}).get()));
  EXPECT_FALSE(QZMIsSubscriptionEvent(named("_iap").get()));

  for (const char* name : {"ecommerce_purchase", "_f", "_iap", "purchase", "refund"}) {
    EXPECT_TRUE(QZMIsDefaultConversionEventName(name)) << name;
  }
  EXPECT_FALSE(QZMIsDefaultConversionEventName("_s"));
  EXPECT_TRUE(QZMIsPurchaseEventName("ecommerce_purchase"));
  EXPECT_FALSE(QZMIsPurchaseEventName("refund"));

  auto basket = make({{"items", QZMObject(QZMArray{QZMObject(QZMDictionary{{"item_id", "a"}}),
                                                   QZMObject(QZMDictionary{{"item_id", "b"}})})},
                      {"also", QZMValue::initWithArray({QZMObject(QZMDictionary{})})}},
                     "purchase", false);
  EXPECT_EQ(QZMEventArrayItemCount(basket.get()), 3);
  EXPECT_EQ(QZMEventArrayItemCount(nullptr), 0);
}

TEST_F(Events, ParameterDictionaryHelpers) {
  const QZMParameters parameters{{"_sn", str("Home")}, {"_si", i64(1)}, {"dxd_a", i64(1)}, {"dxd", i64(2)}};
  EXPECT_TRUE(QZMHasScreenParameters(parameters));
  EXPECT_FALSE(QZMHasScreenParameters(QZMParameters{{"dxd", i64(2)}}));
  EXPECT_EQ(QZMScreenParametersFromParameters(parameters), (QZMParameters{{"_sn", str("Home")}, {"_si", i64(1)}}));
  EXPECT_EQ(QZMParametersRemovingDxdKeys(parameters),
            (QZMParameters{{"_sn", str("Home")}, {"_si", i64(1)}, {"dxd", i64(2)}}));
}

TEST_F(Events, SessionStartCarriesTheSessionAndTheScreenOrBackground) {
  QZMSetScreenParametersProvider([] { return QZMDictionary{{"_si", i64(9)}, {"_sn", str("Home")}}; });
  auto foreground = QZMSessionStartEvent(QZMObject(3), false, 1700000000.9);
  ASSERT_TRUE(foreground);
  EXPECT_EQ(foreground->name(), "_s");
  EXPECT_EQ(foreground->origin(), "auto");
  EXPECT_EQ(foreground->parameters(), (QZMParameters{{"_sid", i64(1700000000)},
                                                     {"_sno", i64(3)},
                                                     {"_si", i64(9)},
                                                     {"_sn", str("Home")},
                                                     {"_o", str("auto")}}));
  auto background = QZMSessionStartEvent(QZMObject(4), true, 10);
  EXPECT_EQ(background->parameters(),
            (QZMParameters{{"_sid", i64(10)}, {"_sno", i64(4)}, {"_aib", i64(1)}, {"_o", str("auto")}}));
  QZMSetScreenParametersProvider(nullptr);
  auto plain = QZMSessionStartEvent(QZMObject(5), false, 10);
  EXPECT_FALSE(QZMHasScreenParameters(plain->parameters()));
}

class Aggregates : public ModelTest {};

TEST_F(Aggregates, MadeOnlyWithAnInternalNameAndNonNegativeCounts) {
  auto aggregates = QZMEventAggregates::initWithName("_e", 1, 2, 3, 4.5);
  ASSERT_TRUE(aggregates);
  EXPECT_EQ(aggregates->lifetimeCount(), 1);
  EXPECT_EQ(aggregates->currentBundleCount(), 2);
  EXPECT_EQ(aggregates->currentSessionCount(), 3);
  EXPECT_EQ(aggregates->lastFireTimestamp(), 4.5);
  EXPECT_EQ(aggregates->lastBundledTimestamp(), 0);
  EXPECT_EQ(aggregates->lastSampledComplexEventID(), std::nullopt);
  EXPECT_EQ(aggregates->lastSamplingRate(), 1);
  EXPECT_FALSE(aggregates->lastExemptFromSampling());
  EXPECT_EQ(aggregates->lastBundledDay(), 0);

  EXPECT_FALSE(QZMEventAggregates::initWithName("a b", 0, 0, 0, 0));
  for (auto counts : {std::array{-1, 0, 0}, std::array{0, -1, 0}, std::array{0, 0, -1}}) {
    EXPECT_FALSE(QZMEventAggregates::initWithName("_e", counts[0], counts[1], counts[2], 0));
  }
  EXPECT_EQ(linesWithCode(17000).size(), 3u);
}

TEST_F(Aggregates, CountsRollOverToZeroAtTheTop) {
  constexpr std::int32_t kTop = std::numeric_limits<std::int32_t>::max();
  struct Case {
    void (QZMEventAggregates::*increment)();
    std::int32_t (QZMEventAggregates::*count)() const;
    std::int64_t code;
  } cases[] = {
      {&QZMEventAggregates::incrementLifetimeCount, &QZMEventAggregates::lifetimeCount, 17001},
      {&QZMEventAggregates::incrementCurrentBundleCount, &QZMEventAggregates::currentBundleCount, 17002},
      {&QZMEventAggregates::incrementCurrentSessionCount, &QZMEventAggregates::currentSessionCount, 17003},
  };
  for (const auto& c : cases) {
    clearMonitorLines();
    auto aggregates = QZMEventAggregates::initWithName("_e", kTop - 1, kTop - 1, kTop - 1, 0);
    ((*aggregates).*c.increment)();
    EXPECT_EQ(((*aggregates).*c.count)(), kTop);
    EXPECT_TRUE(codes().empty());
    ((*aggregates).*c.increment)();
    EXPECT_EQ(((*aggregates).*c.count)(), 0);
    EXPECT_EQ(codes(), std::vector<std::int64_t>{c.code});
  }
}

}  // namespace

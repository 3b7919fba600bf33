#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "measurement/foundation/testkit/DatabaseTestKit.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"

namespace {

using foundation::Data;
using foundation::Object;

std::shared_ptr<const QZMPBEvent> protoEvent(const std::string& name) {
  std::shared_ptr<QZMPBEvent> event = QZMPBEvent::initWithBuffer({});
  NANOSetString(event.get(), QZMPBEvent::kName, name);
  return event;
}

std::string eventName(const std::shared_ptr<const QZMPBEvent>& event) {
  return event ? NANOGetString(event.get(), QZMPBEvent::kName).value_or("") : "<none>";
}

QZMStoredUserAttribute attribute(const std::string& name, Object value, double setTimestamp = 100,
                                 const std::string& origin = "app") {
  return {origin, name, std::move(value), setTimestamp};
}

class UserAttributes : public testkit::DatabaseTest {};

TEST_F(UserAttributes, ValuesKeepTheirKindAndAreReplacedByName) {
  const Object values[] = {Object("gold"), Object(std::int64_t{0}), Object(std::int64_t{-7}), Object(2.5),
                           Object(3.0)};
  for (const auto& value : values) {
    ASSERT_TRUE(database->updateUserAttribute(attribute("tier", value, 10)).ok()) << value.description();
    auto read = database->userAttributeWithName("tier");
    ASSERT_TRUE(read.ok() && read->has_value()) << value.description();
    EXPECT_EQ(**read, attribute("tier", value, 10));
    EXPECT_EQ((*read)->value.kind(), value.kind()) << value.description();
  }
  EXPECT_EQ(rows("SELECT count(1) AS n FROM user_attributes")[0].at("n").int64Value(), 1);

  EXPECT_FALSE(database->userAttributeWithName("missing")->has_value());
  EXPECT_TRUE(*database->containsUserAttributeWithName("tier"));
  ASSERT_TRUE(database->deleteUserAttributeWithName("tier").ok());
  EXPECT_FALSE(*database->containsUserAttributeWithName("tier"));
}

TEST_F(UserAttributes, CountsByOriginAndPublicName) {
  for (const auto& stored : {attribute("_fot", Object(1), 1, "auto"), attribute("a_b", Object(1), 1, "app"),
                             attribute("tier", Object(1), 1, "app"), attribute("_ltv_USD", Object(1), 1, "auto")}) {
    ASSERT_TRUE(database->updateUserAttribute(stored).ok());
  }
  EXPECT_EQ(*database->userAttributeCountForOrigin("app"), 2);
  EXPECT_EQ(*database->userAttributeCountForOrigin("other"), 0);
  EXPECT_EQ(*database->publicUserAttributeCount(), 2);
  EXPECT_EQ(database->allUserAttributes()->size(), 4u);
}

TEST_F(UserAttributes, RefusesWhatCannotBeStored) {
  struct Case {
    QZMStoredUserAttribute attribute;
    std::int64_t code;
    std::string description;
  } cases[] = {
      {attribute("tier", Object("x"), 1, ""), 3,
       "Received user property with empty origin for getting dictionary representation"},
      {attribute("", Object("x")), 1, "Received user property with empty name for getting dictionary representation"},
      {attribute("tier", Object("")), 1, "Received empty string value for user property"},
      // Stored as an integer, an array would come back as 0.
      {attribute("tier", Object(foundation::Array{Object(1)})), 1,
       "Received user property value that is neither a string nor a number"},
      {attribute("tier", Object(Data{1, 2})), 1, "Received user property value that is neither a string nor a number"},
      {attribute("tier", Object()), 1, "Received user property value that is neither a string nor a number"},
  };
  for (const auto& c : cases) {
    auto stored = database->updateUserAttribute(c.attribute);
    ASSERT_FALSE(stored.ok()) << c.description;
    EXPECT_EQ(stored.error().code, c.code);
    EXPECT_EQ(stored.error().description, c.description);
  }
  EXPECT_TRUE(database->allUserAttributes()->empty());
  EXPECT_EQ(database->containsUserAttributeWithName("").error().description,
            "Received empty user property name for exists query");
  EXPECT_EQ(database->userAttributeCountForOrigin("").error().description,
            "Received empty user property origin for count query");
}

TEST_F(UserAttributes, LifetimeValuesComeNewestFirstAndOneBadRowFailsTheRead) {
  ASSERT_TRUE(database->updateUserAttribute(attribute("_ltv_USD", Object(5.0), 100)).ok());
  ASSERT_TRUE(database->updateUserAttribute(attribute("_ltv_EUR", Object(7.0), 200)).ok());
  ASSERT_TRUE(database->updateUserAttribute(attribute("_ltvX", Object(1.0), 300)).ok());
  ASSERT_TRUE(database->updateUserAttribute(attribute("_ltv", Object(1.0), 300)).ok());
  auto values = database->allLifetimeValueUserAttributes();
  ASSERT_TRUE(values.ok());
  ASSERT_EQ(values->size(), 2u);
  EXPECT_EQ((*values)[0].name, "_ltv_EUR");
  EXPECT_EQ((*values)[1].name, "_ltv_USD");

  execute("INSERT INTO user_attributes (name, origin, value, set_timestamp) VALUES ('_ltv_GBP', 'app', x'0102', 1)");
  EXPECT_FALSE(database->allLifetimeValueUserAttributes().ok());
  // The plain list leaves the bad row out and keeps the rest.
  EXPECT_EQ(database->allUserAttributes()->size(), 4u);
}

// ---- Conditional user properties ----

QZMStoredConditionalUserProperty property(const std::string& name, double creation, bool active = false,
                                          double triggerTimeout = 60, double triggered = 0, double timeToLive = 60,
                                          const std::string& trigger = "buy", const std::string& origin = "app") {
  QZMStoredConditionalUserProperty made;
  made.name = name;
  made.origin = origin;
  made.value = Object("v");
  made.creationTimestamp = creation;
  made.active = active;
  made.triggerTimeout = triggerTimeout;
  made.triggeredTimestamp = triggered;
  made.timeToLive = timeToLive;
  made.triggerEventName = trigger;
  return made;
}

std::vector<std::string> names(const std::vector<QZMStoredConditionalUserProperty>& properties) {
  std::vector<std::string> out;
  for (const auto& p : properties) out.push_back(p.name);
  return out;
}

// What an event reads of four tables, each read twice so that the second
// comes from what the first kept; a change made any way shows in both.
TEST_F(UserAttributes, ReadsKeptBetweenEventsFollowEveryWayTheirTablesChange) {
  auto bundle = QZMPBMeasurementBundle::initWithBuffer({});
  NANOSetString(bundle.get(), QZMPBMeasurementBundle::kAppId, "app");
  struct Seen {
    std::optional<std::int64_t> property;
    std::optional<std::string> odmValue;
    std::optional<std::int32_t> lifetimeCount;
    std::int64_t metadataRows;
    bool operator==(const Seen&) const = default;
  };
  auto see = [&] {
    Seen seen{};
    auto all = database->allUserAttributes().value();
    auto one = database->userAttributeWithName("p").value();
    EXPECT_EQ(all.empty() ? std::nullopt : std::optional(all.front()), one);
    if (one) seen.property = one->value.int64Value();
    auto odm = database->ODMValueWithName("odm1_value").value();
    if (auto value = odm.find("value"); value != odm.end()) seen.odmValue = *value->second.string();
    if (auto aggregates = database->eventAggregatesWithName("e").value()) {
      seen.lifetimeCount = aggregates->lifetimeCount;
    }
    EXPECT_TRUE(database->insertIfNotExistsRawEventMetadata(*bundle).ok());
    seen.metadataRows = rows("SELECT count(1) AS n FROM raw_events_metadata")[0].at("n").int64Value();
    return seen;
  };
  struct Step {
    const char* what;
    std::function<void()> change;
    Seen expected;
  } steps[] = {
      {"written through the database",
       [&] {
         ASSERT_TRUE(database->updateUserAttribute({"app", "p", Object(1), 1}).ok());
         ASSERT_TRUE(database->updateODMValue("v1", "odm1_value", 1).ok());
         QZMStoredEventAggregates aggregates;
         aggregates.name = "e";
         aggregates.lifetimeCount = 1;
         ASSERT_TRUE(database->updateEventAggregates(aggregates).ok());
       },
       {1, "v1", 1, 1}},
      {"changed by SQL of its own",
       [&] {
         execute("UPDATE user_attributes SET value = 2; UPDATE odm_values SET value = 'v2'; "
                 "UPDATE events SET lifetime_count = 2");
       },
       {2, "v2", 2, 1}},
      {"deleted in a transaction rolled back",
       [&] {
         (void)database->performTransaction([&] {
           return database->deleteUserAttributeWithName("p").ok() &&
                  database->deleteODMValueWithName("odm1_value").ok() && false;
         });
       },
       {2, "v2", 2, 1}},
      {"emptied at once",
       [&] {
         execute("DELETE FROM user_attributes; DELETE FROM odm_values; DELETE FROM events; "
                 "DELETE FROM raw_events_metadata");
       },
       {std::nullopt, std::nullopt, std::nullopt, 1}},
  };
  for (const auto& step : steps) {
    (void)see();
    step.change();
    EXPECT_EQ(see(), step.expected) << step.what;
  }
}

class ConditionalProperties : public testkit::DatabaseTest {};

TEST_F(ConditionalProperties, RoundTripAndReplacementClearsOmittedColumns) {
  auto full = property("tier", 10, true, 5, 12, 30);
  full.value = Object(std::int64_t{42});
  full.triggeredEvent = protoEvent("on_trigger");
  full.timedOutEvent = protoEvent("on_timeout");
  full.expiredEvent = protoEvent("on_expiry");
  ASSERT_TRUE(database->updateConditionalUserProperty(full).ok());

  auto read = database->conditionalUserPropertyWithName("tier");
  ASSERT_TRUE(read.ok() && read->has_value());
  const auto& got = **read;
  EXPECT_EQ(got.origin, "app");
  EXPECT_EQ(got.value, Object(std::int64_t{42}));
  EXPECT_TRUE(got.active);
  EXPECT_EQ(got.creationTimestamp, 10);
  EXPECT_EQ(got.triggerTimeout, 5);
  EXPECT_EQ(got.triggeredTimestamp, 12);
  EXPECT_EQ(got.timeToLive, 30);
  EXPECT_EQ(got.triggerEventName, "buy");
  EXPECT_EQ(eventName(got.triggeredEvent), "on_trigger");
  EXPECT_EQ(eventName(got.timedOutEvent), "on_timeout");
  EXPECT_EQ(eventName(got.expiredEvent), "on_expiry");

  ASSERT_TRUE(database->updateConditionalUserProperty(property("tier", 20, false, 5, 0, 30, "")).ok());
  auto replaced = database->conditionalUserPropertyWithName("tier");
  ASSERT_TRUE(replaced.ok() && replaced->has_value());
  EXPECT_EQ((*replaced)->triggerEventName, "");
  EXPECT_EQ((*replaced)->triggeredEvent, nullptr);
  EXPECT_EQ((*replaced)->expiredEvent, nullptr);

  ASSERT_TRUE(database->deleteConditionalUserPropertyWithName("tier").ok());
  EXPECT_FALSE(database->conditionalUserPropertyWithName("tier")->has_value());
}

TEST_F(ConditionalProperties, TimeConditionsAreJudgedAtNow) {
  const double now = clock->now();
  ASSERT_TRUE(database->updateConditionalUserProperty(property("late", now - 10, false, 5)).ok());
  ASSERT_TRUE(database->updateConditionalUserProperty(property("waiting", now - 10, false, 20)).ok());
  ASSERT_TRUE(database->updateConditionalUserProperty(property("other", now - 10, false, 20, 0, 60, "view")).ok());
  ASSERT_TRUE(database->updateConditionalUserProperty(property("old", now - 100, true, 5, now - 10, 5)).ok());
  ASSERT_TRUE(database->updateConditionalUserProperty(property("fresh", now - 100, true, 5, now - 10, 20)).ok());

  EXPECT_EQ(names(*database->timedOutConditionalUserPropertiesWithError()), std::vector<std::string>{"late"});
  EXPECT_EQ(names(*database->triggeredConditionalUserPropertiesWithEventName("buy")),
            std::vector<std::string>{"waiting"});
  EXPECT_EQ(names(*database->expiredConditionalUserPropertiesWithError()), std::vector<std::string>{"old"});

  clock->advance(15);
  EXPECT_EQ(names(*database->expiredConditionalUserPropertiesWithError()),
            (std::vector<std::string>{"old", "fresh"}));
  EXPECT_EQ(names(*database->timedOutConditionalUserPropertiesWithError()),
            (std::vector<std::string>{"late", "waiting", "other"}));
  EXPECT_EQ(database->triggeredConditionalUserPropertiesWithEventName("").error().description,
            "Received nil/empty event name for querying triggered conditional user properties");
}

TEST_F(ConditionalProperties, PrefixAndOriginMatchLiterally) {
  for (const auto& p : {property("a_b", 1, false, 5, 0, 5, "x", "app"), property("axb", 1, false, 5, 0, 5, "x", "app"),
                        property("a_c", 1, false, 5, 0, 5, "x", "auto"), property("b", 1, false, 5, 0, 5, "x", "ap%")}) {
    ASSERT_TRUE(database->updateConditionalUserProperty(p).ok());
  }
  struct Case {
    std::string prefix, origin;
    std::vector<std::string> expected;
  } cases[] = {
      {"", "", {"a_b", "axb", "a_c", "b"}},
      {"a_", "", {"a_b", "a_c"}},
      {"a_", "app", {"a_b"}},
      {"", "APP", {"a_b", "axb"}},
      {"", "ap%", {"b"}},
      {"%", "", {}},
  };
  for (const auto& c : cases) {
    auto found = database->conditionalUserPropertiesWithPrefix(c.prefix, c.origin);
    ASSERT_TRUE(found.ok());
    EXPECT_EQ(names(*found), c.expected) << "prefix " << c.prefix << " origin " << c.origin;
  }
}

// A row whose event cannot be read is read without that event (so that it
// can still expire and be cleared by name); the row itself is not rewritten.
TEST_F(ConditionalProperties, UnreadableEventIsLeftOutOfItsRow) {
  ASSERT_TRUE(database->updateConditionalUserProperty(property("good", 1)).ok());
  ASSERT_TRUE(database->updateConditionalUserProperty(property("bad", 1)).ok());
  ASSERT_TRUE(database->updateConditionalUserProperty(property("text", 1)).ok());
  execute("UPDATE conditional_properties SET triggered_event = x'ffffffff' WHERE name = 'bad'");
  execute("UPDATE conditional_properties SET expired_event = 'not bytes' WHERE name = 'text'");

  auto all = database->conditionalUserPropertiesWithPrefix("", "");
  ASSERT_TRUE(all.ok());
  EXPECT_EQ(names(*all), (std::vector<std::string>{"good", "bad", "text"}));
  EXPECT_EQ(linesWithCode(12071).size(), 2u);
  auto bad = database->conditionalUserPropertyWithName("bad");
  ASSERT_TRUE(bad.ok() && bad->has_value());
  EXPECT_EQ((*bad)->triggeredEvent, nullptr);
  EXPECT_EQ(rows("SELECT name FROM conditional_properties WHERE triggered_event IS NOT NULL").size(), 1u);
}

TEST_F(ConditionalProperties, RefusesWhatCannotBeStored) {
  auto noName = property("", 1);
  auto noOrigin = property("p", 1, false, 5, 0, 5, "x", "");
  auto noValue = property("p", 1);
  noValue.value = Object();
  auto array = property("p", 1);
  array.value = Object(foundation::Array{Object("x")});
  struct Case {
    QZMStoredConditionalUserProperty property;
    std::int64_t code;
    std::string description;
  } cases[] = {
      {noName, 3, "Received conditional user property with empty name for getting dictionary representation"},
      {noOrigin, 3, "Received conditional user property with empty origin for getting dictionary representation"},
      {noValue, 3, "Received conditional user property with nil value for getting dictionary representation"},
      {array, 1, "Received conditional user property value that is neither a string nor a number"},
  };
  for (const auto& c : cases) {
    auto stored = database->updateConditionalUserProperty(c.property);
    ASSERT_FALSE(stored.ok()) << c.description;
    EXPECT_EQ(stored.error().code, c.code);
    EXPECT_EQ(stored.error().description, c.description);
  }
  EXPECT_TRUE(rows("SELECT name FROM conditional_properties").empty());
  EXPECT_EQ(database->conditionalUserPropertiesWithCondition("", {}).error().description,
            "Received empty condition for querying a conditional user property");
}

}  // namespace

// User properties ("user_attributes") and conditional user properties
// ("conditional_properties"), both keyed by name and capped at 1000 rows.
// Values are kept as text, an integer or a double; a conditional property's
// events as encoded event messages.
#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"
#include "measurement/foundation/QZMAbslView.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Clock.h"

using foundation::Data;
using foundation::Object;
using foundation::Result;
using foundation::Status;

namespace {

using Record = QZMDatabase::Record;

std::string stringAt(const Record& row, std::string_view column) {
  auto found = row.find(column);
  return found != row.end() && found->second.string() ? *found->second.string() : std::string();
}

double doubleAt(const Record& row, std::string_view column) {
  auto found = row.find(column);
  return found != row.end() && found->second.isNumber() ? found->second.doubleValue() : 0.0;
}

// Only these survive a round trip through the value column unchanged.
bool isStorableValue(const Object& value) {
  return value.isString() || value.isInteger() || value.isFloating();
}

// ---- User properties ----

Result<Record> userAttributeRecord(const QZMStoredUserAttribute& attribute) {
  if (attribute.origin.empty())
    return qzm_errorWithCode(3, "Received user property with empty origin for getting dictionary representation");
  if (attribute.name.empty())
    return qzm_errorWithCode(1, "Received user property with empty name for getting dictionary representation");
  if (const std::string* text = attribute.value.string(); text && text->empty())
    return qzm_errorWithCode(1, "Received empty string value for user property");
  // Anything else would be bound as something that reads back differently.
  if (!isStorableValue(attribute.value))
    return qzm_errorWithCode(1, "Received user property value that is neither a string nor a number");
  return Record{{"origin", attribute.origin},
                {"name", attribute.name},
                {"value", attribute.value},
                {"set_timestamp", attribute.setTimestamp}};
}

Result<QZMStoredUserAttribute> userAttributeFromRow(const Record& row) {
  if (row.empty()) return qzm_errorWithCode(3, "Received empty dictionary for getting user property");
  QZMStoredUserAttribute attribute;
  attribute.name = stringAt(row, "name");
  attribute.origin = stringAt(row, "origin");
  auto value = row.find("value");
  if (value == row.end() || !isStorableValue(value->second))
    return qzm_errorWithCode(3, "Received user property value that is neither a string nor a number");
  attribute.value = value->second;
  attribute.setTimestamp = doubleAt(row, "set_timestamp");
  return attribute;
}

// ---- Conditional user properties ----

// The encoding of an event column; an event that cannot be encoded is not
// silently dropped from the row.
Result<Data> eventBytes(const QZMPBEvent& event) {
  auto bytes = event.protoBuffer();
  if (!bytes || bytes->empty())
    return qzm_errorWithCode(3, "Received conditional user property with an event that cannot be encoded");
  return std::move(*bytes);
}

Result<Record> conditionalPropertyRecord(const QZMStoredConditionalUserProperty& property) {
  if (property.name.empty())
    return qzm_errorWithCode(
        3, "Received conditional user property with empty name for getting dictionary representation");
  if (property.origin.empty())
    return qzm_errorWithCode(
        3, "Received conditional user property with empty origin for getting dictionary representation");
  if (property.value.isNull())
    return qzm_errorWithCode(3,
                             "Received conditional user property with nil value for getting dictionary representation");
  if (!isStorableValue(property.value))
    return qzm_errorWithCode(1, "Received conditional user property value that is neither a string nor a number");
  Record record = {{"name", property.name},
                   {"origin", property.origin},
                   {"value", property.value},
                   {"creation_timestamp", property.creationTimestamp},
                   {"active", property.active},
                   {"trigger_timeout", property.triggerTimeout},
                   {"triggered_timestamp", property.triggeredTimestamp},
                   {"time_to_live", property.timeToLive}};
  if (!property.triggerEventName.empty()) record["trigger_event_name"] = property.triggerEventName;
  const std::pair<const char*, const std::shared_ptr<const QZMPBEvent>&> events[] = {
      {"triggered_event", property.triggeredEvent},
      {"timed_out_event", property.timedOutEvent},
      {"expired_event", property.expiredEvent}};
  for (const auto& [column, event] : events) {
    if (!event) continue;
    auto bytes = eventBytes(*event);
    if (!bytes) return bytes.error();
    record[column] = std::move(*bytes);
  }
  return record;
}

// nullptr for a column that is missing or NULL.
Result<std::shared_ptr<const QZMPBEvent>> eventAt(const Record& row, std::string_view column) {
  auto found = row.find(column);
  if (found == row.end() || found->second.isNull()) return std::shared_ptr<const QZMPBEvent>();
  const Data* bytes = found->second.data();
  if (!bytes) return qzm_errorWithCode(2, "Failed to convert data to an event. Data must be a NSData instance");
  std::shared_ptr<const QZMPBEvent> event = QZMPBEvent::initWithBuffer(*bytes);
  if (!event) return qzm_errorWithCode(2, "Failed to parse event from data");
  return event;
}

Result<QZMStoredConditionalUserProperty> conditionalPropertyFromRow(const Record& row) {
  if (row.empty()) return qzm_errorWithCode(3, "Received empty dictionary for getting conditional user property");
  QZMStoredConditionalUserProperty property;
  property.name = stringAt(row, "name");
  property.origin = stringAt(row, "origin");
  if (auto value = row.find("value"); value != row.end()) property.value = value->second;
  property.creationTimestamp = doubleAt(row, "creation_timestamp");
  if (auto active = row.find("active"); active != row.end()) property.active = active->second.boolValue();
  property.triggerTimeout = doubleAt(row, "trigger_timeout");
  property.triggeredTimestamp = doubleAt(row, "triggered_timestamp");
  property.timeToLive = doubleAt(row, "time_to_live");
  property.triggerEventName = stringAt(row, "trigger_event_name");
  const std::pair<const char*, std::shared_ptr<const QZMPBEvent>*> events[] = {
      {"triggered_event", &property.triggeredEvent},
      {"timed_out_event", &property.timedOutEvent},
      {"expired_event", &property.expiredEvent}};
  for (const auto& [column, into] : events) {
    auto event = eventAt(row, column);
    if (!event) {
      // The row still expires, times out and is cleared by its name; only
      // the event it would have logged is lost.
      QZMMeasurementBase::monitor()->logWithLevel(2, 12071,
                                                  "Conditional user property event is unreadable and left out. Name, "
                                                  "column, error",
                                                  property.name, std::string(column), event.error());
      continue;
    }
    *into = std::move(*event);
  }
  return property;
}

}  // namespace

// ---- User properties ----

Status QZMDatabase::updateUserAttribute(const QZMStoredUserAttribute& attribute) {
  auto record = userAttributeRecord(attribute);
  if (!record) return record.error();
  return upsertDataType(*record, kQZMUserAttributesTable, "name", Object(attribute.name), kQZMUserAttributesLimit);
}

Status QZMDatabase::deleteUserAttributeWithName(std::string_view name) {
  auto held = store();
  if (!held) return held.error();
  return (*held)->deleteRecordFromTableWithName(kQZMUserAttributesTable, "name", Object(name));
}

Result<std::optional<QZMStoredUserAttribute>> QZMDatabase::userAttributeWithName(std::string_view name) {
  auto held = store();
  if (!held) return held.error();
  const ReadStamp stamp = readStamp(**held, kQZMUserAttributesTable);
  if (auto kept = keptUserAttributesByName_.find(name);
      kept != keptUserAttributesByName_.end() && kept->second.first == stamp) {
    return kept->second.second;
  }
  auto attributes = dataTypesFromTableWithName<QZMStoredUserAttribute>(kQZMUserAttributesTable, "name", Object(name),
                                                                       userAttributeFromRow);
  if (!attributes) return attributes.error();
  std::optional<QZMStoredUserAttribute> found;
  if (!attributes->empty()) found = std::move(attributes->front());
  if (keptUserAttributesByName_.size() >= static_cast<std::size_t>(kQZMUserAttributesLimit)) {
    keptUserAttributesByName_.clear();
  }
  keptUserAttributesByName_.insert_or_assign(std::string(name), std::make_pair(stamp, found));
  return found;
}

Result<bool> QZMDatabase::containsUserAttributeWithName(std::string_view name) {
  if (name.empty()) return qzm_errorWithCode(1, "Received empty user property name for exists query");
  return booleanTableAnswer(kQZMUserAttributesTable,
                            "SELECT EXISTS (SELECT 1 FROM user_attributes WHERE name = ? LIMIT 1)", {Object(name)});
}

Result<bool> QZMDatabase::hasConditionalUserProperties() {
  return booleanTableAnswer(kQZMConditionalPropertiesTable,
                            "SELECT EXISTS (SELECT 1 FROM conditional_properties LIMIT 1)");
}

Result<std::int64_t> QZMDatabase::userAttributeCountForOrigin(std::string_view origin) {
  if (origin.empty()) return qzm_errorWithCode(1, "Received empty user property origin for count query");
  auto held = store();
  if (!held) return held.error();
  auto count = (*held)->numberForQuery("SELECT count(1) FROM user_attributes WHERE origin = ?", {Object(origin)});
  if (!count) return count.error();
  return *count ? (*count)->int64Value() : 0;
}

Result<std::int64_t> QZMDatabase::publicUserAttributeCount() {
  auto held = store();
  if (!held) return held.error();
  auto count =
      (*held)->numberForQuery("SELECT count(1) FROM user_attributes WHERE name NOT LIKE '!_%' ESCAPE '!'", {});
  if (!count) return count.error();
  return *count ? (*count)->int64Value() : 0;
}

Result<std::vector<QZMStoredUserAttribute>> QZMDatabase::allLifetimeValueUserAttributes() {
  auto held = store();
  if (!held) return held.error();
  std::vector<QZMStoredUserAttribute> attributes;
  std::optional<foundation::Error> failure;
  Status read = (*held)->visitRecordsForQuery(
      "SELECT * FROM user_attributes WHERE name LIKE '!_ltv!_%' ESCAPE '!' ORDER BY set_timestamp DESC", {},
      [&](Record&& row) {
        auto attribute = userAttributeFromRow(row);
        if (!attribute) {
          failure = attribute.error();
          return false;
        }
        attributes.push_back(std::move(*attribute));
        return true;
      });
  if (!read) return read.error();
  if (failure) return *failure;
  return attributes;
}

Result<std::vector<QZMStoredUserAttribute>> QZMDatabase::allUserAttributes() {
  auto held = store();
  if (!held) return held.error();
  const ReadStamp stamp = readStamp(**held, kQZMUserAttributesTable);
  if (keptUserAttributes_ && keptUserAttributes_->first == stamp) return keptUserAttributes_->second;
  auto attributes = allDataTypesFromTableWithName<QZMStoredUserAttribute>(
      kQZMUserAttributesTable, kQZMUserAttributesLimit, userAttributeFromRow);
  if (attributes) keptUserAttributes_.emplace(stamp, *attributes);
  return attributes;
}

// ---- Conditional user properties ----

Status QZMDatabase::updateConditionalUserProperty(const QZMStoredConditionalUserProperty& property) {
  auto record = conditionalPropertyRecord(property);
  if (!record) return record.error();
  return upsertDataType(*record, kQZMConditionalPropertiesTable, "name", Object(property.name),
                        kQZMConditionalPropertiesLimit);
}

Status QZMDatabase::deleteConditionalUserPropertyWithName(std::string_view name) {
  auto held = store();
  if (!held) return held.error();
  return (*held)->deleteRecordFromTableWithName(kQZMConditionalPropertiesTable, "name", Object(name));
}

Result<std::optional<QZMStoredConditionalUserProperty>> QZMDatabase::conditionalUserPropertyWithName(
    std::string_view name) {
  auto properties = conditionalUserPropertiesWithCondition("name = ?", {Object(name)});
  if (!properties) return properties.error();
  if (properties->empty()) return std::optional<QZMStoredConditionalUserProperty>();
  return std::optional<QZMStoredConditionalUserProperty>(std::move(properties->front()));
}

Result<std::vector<QZMStoredConditionalUserProperty>> QZMDatabase::timedOutConditionalUserPropertiesWithError() {
  return conditionalUserPropertiesWithCondition("active=0 and abs(? - creation_timestamp) > trigger_timeout",
                                                {foundation::now()});
}

Result<std::vector<QZMStoredConditionalUserProperty>> QZMDatabase::expiredConditionalUserPropertiesWithError() {
  return conditionalUserPropertiesWithCondition("active=1 and abs(? - triggered_timestamp) > time_to_live",
                                                {foundation::now()});
}

Result<std::vector<QZMStoredConditionalUserProperty>> QZMDatabase::triggeredConditionalUserPropertiesWithEventName(
    std::string_view eventName) {
  if (eventName.empty())
    return qzm_errorWithCode(1, "Received nil/empty event name for querying triggered conditional user properties");
  return conditionalUserPropertiesWithCondition(
      "active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout",
      {Object(eventName), foundation::now()});
}

Result<std::vector<QZMStoredConditionalUserProperty>> QZMDatabase::conditionalUserPropertiesWithPrefix(
    std::string_view prefix, std::string_view filterByOrigin) {
  // The caller's texts are matched literally: "_" and "%" are common in
  // names and must not act as wildcards.
  std::vector<std::string> conditions;
  QZMSqliteStore::Values values;
  if (!filterByOrigin.empty()) {
    conditions.push_back("origin LIKE ? ESCAPE '!'");
    values.push_back(QZMSqliteStore::escapedLikePattern(filterByOrigin));
  }
  if (!prefix.empty()) {
    conditions.push_back("name LIKE (? || '%') ESCAPE '!'");
    values.push_back(QZMSqliteStore::escapedLikePattern(prefix));
  }
  if (conditions.empty()) return conditionalUserPropertiesWithCondition("1 == 1", {});
  return conditionalUserPropertiesWithCondition(absl::StrJoin(conditions, " AND "), values);
}

Result<std::vector<QZMStoredConditionalUserProperty>> QZMDatabase::conditionalUserPropertiesWithCondition(
    std::string_view condition, const QZMSqliteStore::Values& parameterValues) {
  if (condition.empty()) return qzm_errorWithCode(1, "Received empty condition for querying a conditional user property");
  auto held = store();
  if (!held) return held.error();
  std::vector<QZMStoredConditionalUserProperty> properties;
  Status read = (*held)->visitRecordsForQuery(
      absl::StrCat("SELECT rowid, * FROM ", kQZMConditionalPropertiesTable, " WHERE ", QZMAbslView(condition)),
      parameterValues, [&](Record&& row) {
        auto property = conditionalPropertyFromRow(row);
        if (property) {
          properties.push_back(std::move(*property));
        } else {
          // One unreadable row must neither hide the others nor be rewritten
          // without its event; it stays as it is.
          QZMMeasurementBase::monitor()->logWithLevel(
              2, 12070, "Skipping unreadable conditional user property. Name, error", stringAt(row, "name"),
              property.error());
        }
        return true;
      });
  if (!read) return read.error();
  return properties;
}

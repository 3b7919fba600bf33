// The smaller tables, each kept for one client: the last measurement
// configuration (in the app metadata row), the purchase fingerprints and
// subscription IDs already reported, the on-device measurement values and
// the complex events waiting for audience evaluation.
#include "absl/strings/str_cat.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "platform/foundation/Clock.h"

using foundation::Data;
using foundation::Object;
using foundation::Result;
using foundation::Status;

namespace {

using Record = QZMDatabase::Record;

// Never destroyed: the worker may still use it while the program ends.
const Object& kAppMetadataRowID = *new Object("1");

}  // namespace

// ---- Stored configuration ----

Status QZMDatabase::updateRemoteConfig(const QZMPBMeasurementConfig& config) {
  auto bytes = config.protoBuffer();
  if (!bytes || bytes->empty()) return qzm_errorWithCode(1, "Invalid measurement config data");
  auto appID = NANOGetString(&config, QZMPBMeasurementConfig::kAppId);
  if (!appID || appID->empty()) return qzm_errorWithCode(1, "Missing Dralix app ID in measurement configuration");
  return updateDataType({{"remote_config_data", std::move(*bytes)}, {"remote_config_timestamp", foundation::now()}},
                        kQZMAppMetadataTable, "rowid", kAppMetadataRowID);
}

Status QZMDatabase::updateRemoteConfigSuccessfulTimestamp(double timestamp) {
  return updateDataType({{"remote_config_timestamp", timestamp}}, kQZMAppMetadataTable, "rowid", kAppMetadataRowID);
}

Result<std::shared_ptr<QZMPBMeasurementConfig>> QZMDatabase::queryMeasurementConfigWithError() {
  auto held = store();
  if (!held) return held.error();
  auto rows = (*held)->recordsForQuery("SELECT remote_config_data FROM app_metadata LIMIT 1", {});
  if (!rows) return rows.error();
  if (rows->empty()) return std::shared_ptr<QZMPBMeasurementConfig>();
  auto stored = rows->front().find("remote_config_data");
  if (stored == rows->front().end() || !stored->second.data() || stored->second.data()->empty())
    return std::shared_ptr<QZMPBMeasurementConfig>();
  std::shared_ptr<QZMPBMeasurementConfig> config = QZMPBMeasurementConfig::initWithBuffer(*stored->second.data());
  if (!config) return qzm_errorWithCode(2, "Remote config data is corrupted");
  return config;
}

Result<std::optional<double>> QZMDatabase::lastRemoteConfigUpdateTimestamp() {
  return doubleForQuery("SELECT remote_config_timestamp FROM app_metadata LIMIT 1");
}

// ---- Purchases and subscriptions ----

namespace {

struct FingerprintTable {
  const char* table;
  const char* column;
  const char* existsQuery;
};
constexpr FingerprintTable kPurchases{kQZMPurchaseTransactionsTable, "fingerprint",
                                      "SELECT EXISTS (SELECT 1 FROM purchase_transactions WHERE fingerprint = ? "
                                      "LIMIT 1)"};
constexpr FingerprintTable kSubscriptions{kQZMSubscriptionsTable, "subscription_id",
                                          "SELECT EXISTS (SELECT 1 FROM subscriptions WHERE subscription_id = ? "
                                          "LIMIT 1)"};

// Deletes all but the newest rows; the number deleted.
Result<std::int64_t> keepNewestRows(QZMSqliteStore& store, const char* table, std::int64_t keep) {
  return store.deleteRecordsFromTableWithName(
      table, absl::StrCat("rowid IN (SELECT rowid FROM ", table, " ORDER BY rowid DESC LIMIT -1 OFFSET ?)"), {keep});
}

}  // namespace

Result<bool> QZMDatabase::insertIfNotDuplicatePurchaseFingerprint(std::string_view fingerprint) {
  if (fingerprint.empty()) return false;
  auto known = booleanForQuery(kPurchases.existsQuery, {Object(fingerprint)});
  if (!known) return known.error();
  if (*known) return false;
  auto held = store();
  if (!held) return held.error();
  // Room is made first, so a failure leaves the new fingerprint unstored and
  // the purchase can still be reported later.
  auto trimmed = keepNewestRows(**held, kPurchases.table, kQZMPurchaseTransactionsLimit - 1);
  if (!trimmed) return trimmed.error();
  if (Status written = (*held)->upsertRecord({{kPurchases.column, fingerprint}}, kPurchases.table); !written)
    return written.error();
  return true;
}

Result<bool> QZMDatabase::insertIfNotDuplicateSubscriptionID(std::string_view subscriptionID) {
  if (subscriptionID.empty()) return false;
  auto known = booleanForQuery(kSubscriptions.existsQuery, {Object(subscriptionID)});
  if (!known) return known.error();
  if (*known) return false;
  auto held = store();
  if (!held) return held.error();
  if (Status written = (*held)->upsertRecord({{kSubscriptions.column, subscriptionID}}, kSubscriptions.table);
      !written)
    return written.error();
  return true;
}

Result<std::int64_t> QZMDatabase::deleteSubscriptionsOverLimit() {
  auto held = store();
  if (!held) return held.error();
  return keepNewestRows(**held, kSubscriptions.table, kQZMSubscriptionsLimit);
}

// ---- On-device measurement values ----

Result<Record> QZMDatabase::ODMValueWithName(std::string_view name) {
  if (name.empty()) return qzm_errorWithCode(1, "Received ODM value with empty name for query");
  auto held = store();
  if (!held) return held.error();
  const ReadStamp stamp = readStamp(**held, kQZMODMValuesTable);
  if (auto kept = keptODMValues_.find(name); kept != keptODMValues_.end() && kept->second.first == stamp) {
    return kept->second.second;
  }
  auto rows = dataTypesFromTableWithName<Record>(kQZMODMValuesTable, "name", Object(name),
                                                 [](Record&& row) -> Result<Record> { return std::move(row); });
  if (!rows) return rows.error();
  Record value = rows->empty() ? Record() : std::move(rows->front());
  keptODMValues_.insert_or_assign(std::string(name), std::make_pair(stamp, value));
  return value;
}

Status QZMDatabase::updateODMValue(std::string_view value, std::string_view name, double setTimestamp) {
  if (value.empty()) return qzm_errorWithCode(1, "Received empty ODM value for update");
  if (name.empty()) return qzm_errorWithCode(1, "Received ODM value with empty name for update");
  return upsertDataType({{"name", name}, {"value", value}, {"set_timestamp", setTimestamp}}, kQZMODMValuesTable,
                        "name", Object(name), kQZMODMValuesLimit);
}

Status QZMDatabase::deleteODMValueWithName(std::string_view name) {
  if (name.empty()) return qzm_errorWithCode(1, "Received ODM value with empty name for delete");
  auto held = store();
  if (!held) return held.error();
  return (*held)->deleteRecordFromTableWithName(kQZMODMValuesTable, "name", Object(name));
}

// ---- Complex events ----

Status QZMDatabase::updateComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID,
                                                                       std::int64_t childEventCount,
                                                                       const QZMPBEvent& mainEvent) {
  auto bytes = mainEvent.protoBuffer();
  if (!bytes || bytes->empty()) return qzm_errorWithCode(1, "Cannot create the main event blob");
  auto held = store();
  if (!held) return held.error();
  return (*held)->upsertRecord(
      {{"main_event", std::move(*bytes)}, {"event_id", eventID}, {"children_to_process", childEventCount}},
      kQZMMainEventParamsTable);
}

Result<std::optional<QZMStoredMainEvent>> QZMDatabase::mainEventAndChildCountPairWithEventID(
    std::int64_t eventID, const EventFromProtoBlock& eventFromProto) {
  if (!eventFromProto) return qzm_errorWithCode(2, "Received nil block to create data type from table");
  auto held = store();
  if (!held) return held.error();
  auto rows = (*held)->recordsForQuery(
      absl::StrCat("SELECT * FROM ", kQZMMainEventParamsTable, " WHERE event_id=? LIMIT 1"), {eventID});
  if (!rows) return rows.error();
  if (rows->empty()) return std::optional<QZMStoredMainEvent>();
  const Record& row = rows->front();
  auto blob = row.find("main_event");
  if (blob == row.end() || blob->second.isNull()) return qzm_errorWithCode(3, "Main event blob is nil in database");
  if (!blob->second.data())
    return qzm_errorWithCode(2, "Failed to convert data to an event. Data must be a NSData instance");
  std::shared_ptr<const QZMPBEvent> message = QZMPBEvent::initWithBuffer(*blob->second.data());
  if (!message) return qzm_errorWithCode(2, "Failed to parse event from data");
  std::shared_ptr<const QZMEvent> event = eventFromProto(*message);
  if (!event) return qzm_errorWithCode(2, "Failed to initialize event from proto data");
  auto count = row.find("children_to_process");
  if (count == row.end() || !count->second.isInteger())
    return qzm_errorWithCode(3, "Complex event does not have children count in database");
  return std::optional<QZMStoredMainEvent>(QZMStoredMainEvent{std::move(event), count->second.int64Value()});
}

Status QZMDatabase::deleteComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID) {
  auto held = store();
  if (!held) return held.error();
  auto deleted = (*held)->deleteRecordsFromTableWithName(kQZMMainEventParamsTable, "event_id=?", {eventID});
  if (!deleted) return deleted.error();
  return {};
}

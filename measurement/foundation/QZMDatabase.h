// The SDK's measurement database: one SQLite file in the measurement folder
// holding everything kept between launches until it is uploaded or expires.
// QZMDatabase.cpp holds the class itself: opening with the full schema, the
// generic record operations every table operation is built on, transactions
// and reset. The table operations live beside it, one source file per table
// group. All SQL goes through the database's QZMSqliteStore.
//
// Worker queue only: nothing here locks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/foundation/QZMAppMetadata.h"
#include "measurement/foundation/QZMDailyCounts.h"
#include "measurement/foundation/QZMDatabaseSchema.h"
#include "measurement/foundation/QZMError.h"
#include "measurement/foundation/QZMSqliteStore.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

class QZMEvent;
class QZMPersistedConfig;
class QZMPBEvent;
class QZMPBMeasurementBundle;
class QZMPBMeasurementConfig;

// The settings the database obeys, read at each use. Until the engine points
// the database at its remote configuration they are that configuration's
// defaults.
struct QZMDatabaseSettings {
  std::int64_t maxEventsStored = 100000;
  double maxQueueTime = 2419200;
  double databaseDeleteStaleBundlesInterval = 86400;
};

// One stored audience filter: an event filter (named by its event) or a
// property filter (named by its user property), with its encoded message.
// The flags a filter acts on are read from the message; the session-scoped
// column serves allSessionScopedFilters alone.
struct QZMStoredAudienceFilter {
  std::int32_t audienceID = 0;
  std::int32_t filterID = 0;
  std::string name;
  foundation::Data data;
  bool sessionScoped = false;

  bool operator==(const QZMStoredAudienceFilter& other) const = default;
};

// An audience's evaluation state: the encoded results of its latest
// evaluation and those last handed to a bundle (empty when never bundled).
struct QZMStoredFilterResult {
  std::int32_t audienceID = 0;
  foundation::Data currentResults;
  foundation::Data previousResults;

  bool operator==(const QZMStoredFilterResult& other) const = default;
};

// A user property as its row keeps it. The value is text, an integer or a
// double; nothing else can be stored.
struct QZMStoredUserAttribute {
  std::string origin;
  std::string name;
  foundation::Object value;
  // Seconds since 1970.
  double setTimestamp = 0;

  bool operator==(const QZMStoredUserAttribute& other) const = default;
};

// A conditional user property as its row keeps it (value as for a user
// property, times in seconds). The three events are those to log when it
// is triggered, times out and expires; nullptr when there is none.
struct QZMStoredConditionalUserProperty {
  std::string name;
  std::string origin;
  foundation::Object value;
  double creationTimestamp = 0;
  bool active = false;
  double triggerTimeout = 0;
  double triggeredTimestamp = 0;
  double timeToLive = 0;
  std::string triggerEventName;
  std::shared_ptr<const QZMPBEvent> triggeredEvent;
  std::shared_ptr<const QZMPBEvent> timedOutEvent;
  std::shared_ptr<const QZMPBEvent> expiredEvent;
};

// A complex event kept for audience evaluation: the main event and how many
// of its child events are still to be processed.
struct QZMStoredMainEvent {
  std::shared_ptr<const QZMEvent> mainEvent;
  std::int64_t childrenToProcess = 0;
};

// A bundle read from the upload queue and the row it came from.
struct QZMQueuedBundle {
  std::shared_ptr<QZMPBMeasurementBundle> bundle;
  std::int64_t rowID = 0;
};

// One row of the per-name event counters. Values the row lacks read as these
// defaults.
struct QZMStoredEventAggregates {
  std::string name;
  std::int32_t lifetimeCount = 0;
  std::int32_t currentBundleCount = 0;
  std::int32_t currentSessionCount = 0;
  double lastFireTimestamp = 0;
  double lastBundledTimestamp = 0;
  std::optional<std::int64_t> lastSampledComplexEventID;
  std::int32_t lastSamplingRate = 1;
  bool lastExemptFromSampling = false;
  std::int32_t lastBundledDay = 0;

  bool operator==(const QZMStoredEventAggregates& other) const = default;
};

class QZMDatabase {
 public:
  using Record = QZMSqliteStore::Record;
  // Converts one row (column name -> value, "rowid" included) to a value.
  // The row is the block's to take from; a block taking a const reference
  // works as well.
  template <class T>
  using CreateDataTypeBlock = std::function<foundation::Result<T>(Record&& row)>;

  // Opens <application support>/Dralix/Measurement/<name>, creating or
  // migrating every table and the app metadata row.
  static foundation::Result<std::shared_ptr<QZMDatabase>> initWithDatabaseName(
      std::string_view name, std::shared_ptr<QZMPersistedConfig> persistedConfig);

  // Opens a new store for the path and makes it the held one; a file whose
  // schema cannot be made is closed and moved aside, and no store is kept. A
  // failure that may pass (the file busy, the disk full) keeps the file.
  foundation::Status initializeDatabaseResourcesWithContext(std::string_view context, const std::string& databasePath);
  foundation::Status ensureAllTables();
  // Makes sure the single app metadata row exists.
  foundation::Status initializeAppMetadata();
  // Deletes the file and opens an empty one with the full schema.
  foundation::Status reset();
  // Runs the block in one exclusive transaction: true commits, false rolls
  // back (logged). A block that throws is rolled back and the exception
  // goes on. Transactions do not nest.
  foundation::Status performTransaction(const std::function<bool()>& block);
  // While one lives, the kept answers read outside a transaction share one
  // look at what other connections committed: the decisions of one event
  // are taken as of one moment rather than each at a lock of the file's.
  class SharedLook {
   public:
    explicit SharedLook(std::shared_ptr<QZMDatabase> database);
    ~SharedLook();
    SharedLook(const SharedLook&) = delete;
    SharedLook& operator=(const SharedLook&) = delete;

   private:
    std::shared_ptr<QZMDatabase> database_;
    // The store it was opened on; a store opened since has none open.
    std::uint64_t storeSerialNumber_ = 0;
  };
  // Runs the block once the transaction in progress commits, and drops it
  // when that rolls back, so that what is kept in memory follows what the
  // file keeps. Outside a transaction it runs at once.
  void performAfterCommit(std::function<void()> block);

  // ---- Generic record operations ----

  // Rows in row id order, at most tableLimit of them (-1: all); rows that do
  // not convert are left out.
  template <class T>
  foundation::Result<std::vector<T>> allDataTypesFromTableWithName(std::string_view table, std::int64_t tableLimit,
                                                                   const CreateDataTypeBlock<T>& createDataTypeBlock);
  // Rows where column = value; rows that do not convert are left out, and
  // when rows came back but none converted, that is an error.
  template <class T>
  foundation::Result<std::vector<T>> dataTypesFromTableWithName(std::string_view table, std::string_view columnName,
                                                                const foundation::Object& columnValue,
                                                                const CreateDataTypeBlock<T>& createDataTypeBlock);
  foundation::Status insertDataType(const Record& record, std::string_view inTableWithName);
  // Writes the record when a row with that key exists or the table holds
  // fewer rows than the limit; a new key in a full table is refused.
  foundation::Status upsertDataType(const Record& record, std::string_view inTableWithName, std::string_view columnName,
                                    const foundation::Object& columnValue, std::int64_t tableLimit);
  // Changes the record's columns in the row where column = value, which
  // must exist.
  foundation::Status updateDataType(const Record& record, std::string_view inTableWithName, std::string_view columnName,
                                    const foundation::Object& columnValue);

  // ---- Raw events and their metadata (QZMDatabaseRawEvents.cpp) ----

  // Stores the shared metadata once per fingerprint; an existing fingerprint
  // writes nothing, a new one is refused while the table is full.
  foundation::Status insertIfNotExistsRawEventMetadata(const QZMPBMeasurementBundle& metadata);
  // As above, and gives the metadata's fingerprint, for the event that refers
  // to it, without a second encoding.
  foundation::Status insertIfNotExistsRawEventMetadata(const QZMPBMeasurementBundle& metadata,
                                                       std::int64_t& fingerprint);
  // nullptr when no row has the fingerprint.
  foundation::Result<std::shared_ptr<QZMPBMeasurementBundle>> queryRawEventsMetadataWithFingerprint(
      std::int64_t fingerprint);
  foundation::Status deleteRawEventMetadataWithMetadataFingerprint(std::int64_t fingerprint);
  // Metadata that no stored event refers to.
  foundation::Status deleteUnusedRawEventsMetadata();
  // Stores the event message without its name, which has its own column.
  // Nothing checks the cap here: deleteRawEventsOverAbsoluteLimit runs first.
  foundation::Status insertRawEvent(std::string_view name, double timestamp, const QZMPBEvent* protoEvent,
                                    std::int64_t metadataFingerprint, bool isRealtime);
  // Rewrites the stored event of the row, which must exist.
  foundation::Status updateRawEvent(std::int64_t rowID, std::string_view name, double timestamp,
                                    const QZMPBEvent* protoEvent, std::int64_t metadataFingerprint, bool isRealtime);
  // Oldest first, at most maxEventsStored; rows that do not convert are left
  // out.
  template <class T>
  foundation::Result<std::vector<T>> allRawEventsWithError(const CreateDataTypeBlock<T>& createDataTypeBlock);
  // The events allRawEventsWithError gives, in its order, handed to the
  // visitor a page at a time so that a large backlog is never held whole;
  // no read is open while the visitor runs, so it may update the events it
  // is given. false from the visitor ends the read. A read that fails after
  // some pages leaves what the visitor did with them.
  template <class T>
  foundation::Status visitAllRawEvents(const CreateDataTypeBlock<T>& createDataTypeBlock,
                                       const std::function<bool(const T&)>& visitor,
                                       std::int64_t pageSize = kRawEventsPageSize);
  static constexpr std::int64_t kRawEventsPageSize = 1000;
  // The oldest 1000 events with the fingerprint that the filter lets
  // through; an error when rows came back and none converted.
  template <class T>
  foundation::Result<std::vector<T>> rawEventsWithMetadataFingerprint(
      std::int64_t fingerprint, const QZMSqliteStore::RecordFilter& eventFilter,
      const CreateDataTypeBlock<T>& createDataTypeBlock);
  foundation::Result<bool> containsRawEventWithMetadataFingerprint(std::int64_t fingerprint);
  // The fingerprint of the oldest stored event; nullopt for none, or when
  // that row's fingerprint is no integer.
  foundation::Result<std::optional<std::int64_t>> nextMetadataFingerprintToProcess();
  // Deletes the rows whose fingerprint is no integer, which no metadata can
  // match; the number deleted.
  foundation::Result<std::int64_t> deleteRawEventsWithUnreadableMetadataFingerprint();
  foundation::Result<bool> isRawEventsTableEmpty();
  foundation::Result<bool> containsRealtimeRawEventsWithError();
  // The latest event time in seconds; nullopt for none.
  foundation::Result<std::optional<double>> queryLatestRawEventTime();
  foundation::Status deleteRawEventsWithMaxRowID(std::int64_t maxRowID);
  // Exactly these rows; an empty list is refused.
  foundation::Status deleteRawEventsWithRowIDs(const std::vector<std::int64_t>& rowIDs);
  // Keeps the newest maxEventsStored - 1 events, making room for one more;
  // the number of rows deleted.
  foundation::Result<std::int64_t> deleteRawEventsOverAbsoluteLimit();
  // Deletes events further than the age from now, either way, and then the
  // metadata no event refers to any more.
  foundation::Status deleteStaleRawEventsDataOlderThanMaxAge(double maxAge);

  // ---- Upload queue (QZMDatabaseUploadQueue.cpp) ----

  // Largest retry count a queued bundle reaches.
  static constexpr std::int64_t kMaxBundleRetryCount = 2147483647;
  // The largest event the SDK stores, encoded. Every event within the
  // validation limits stays below it: 100 parameters and 200 items of 35
  // custom and 33 standard parameters, every name 40 and every value 500
  // characters of four bytes, make about 29 MB. Only the SDK's own events and
  // edits can be larger, and writing refuses them.
  static constexpr std::int64_t kLargestStoredEventBytes = std::int64_t{32} << 20;
  // What a bundle holds besides its events: the metadata, and what bundling
  // adds to each event.
  static constexpr std::int64_t kBundleSizeMargin = std::int64_t{1} << 20;
  // The largest bundle the SDK writes, whatever upload size limit is or was in
  // force: its events, one alone or many within the largest limit (10485760),
  // never pass kLargestStoredEventBytes together.
  static constexpr std::int64_t kLargestStoredBundleBytes = kLargestStoredEventBytes + kBundleSizeMargin;
  // The memory a stored bundle may take to decode, whatever its size: the
  // largest any decode gets (tests may lower it). Its events together, each
  // counted as it decodes alone plus kBundledEventDecodeAllowance for its
  // own record and what bundling adds to it, stay within
  // largestBundledEventsDecodeBytes; the eighth left over covers the
  // metadata.
  static std::int64_t largestBundleDecodeBytes();
  static std::int64_t largestBundledEventsDecodeBytes() {
    return largestBundleDecodeBytes() - largestBundleDecodeBytes() / 8;
  }
  static constexpr std::int64_t kBundledEventDecodeAllowance = 2048;
  // 0 restores the default.
  static void setLargestBundleDecodeBytesForTesting(std::int64_t bytes);

  // Validates the bundle, runs the stale-data rule, then stores the bundle
  // gzip-compressed with its end time, flag and retry count.
  foundation::Status insertBundle(const QZMPBMeasurementBundle& bundle, bool isRealtime);
  // The oldest bundles, at most countLimit of them, whose encoded sizes add up
  // to at most sizeLimit; the first is taken whatever its size, and the first
  // that does not fit ends the list. Rows met that do not convert are deleted
  // (logged). A damaged row may inflate to any size from a few bytes: one
  // that inflates beyond kLargestStoredBundleBytes is refused before it is
  // decoded, and one that would take more than largestBundleDecodeBytes to
  // decode is refused.
  foundation::Result<std::vector<QZMQueuedBundle>> queryBundlesWithCountLimit(std::int64_t countLimit,
                                                                              std::int64_t sizeLimit);
  foundation::Result<std::vector<QZMQueuedBundle>> queryBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs);
  // Adds 1 to the retry count of the rows below the ceiling.
  foundation::Status incrementRetryCounterForBundlesWithIDs(const std::vector<std::int64_t>& rowIDs);
  foundation::Status deleteBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs);
  // Deletes stale events and bundles when the last deletion lies more than
  // the configured interval away; whether it ran.
  foundation::Result<bool> maybeDeleteStaleData();
  foundation::Status deleteStaleBundlesOlderThanMaxAge(double maxAge);
  foundation::Result<bool> isQueuedBundleTableEmpty();
  foundation::Result<bool> containsRealtimeBundlesWithError();
  // The latest bundle end time in seconds; nullopt for an empty queue.
  foundation::Result<std::optional<double>> queryLatestBundleTime();

  // ---- Event aggregates, daily counts, app metadata (QZMDatabaseAggregates.cpp) ----

  // The day number of now, by the installation's midnight offset.
  foundation::Result<std::int32_t> currentDayNumber();
  // nullopt when the row is missing.
  foundation::Result<std::optional<QZMAppMetadata>> queryAppMetadata();
  foundation::Status updateAppMetadata(const QZMAppMetadata& appMetadata);
  // The stored counts with the day they belong to; nullopt when the row is
  // missing.
  foundation::Result<std::optional<QZMDailyCounts>> dailyCounts();
  foundation::Status updateDailyCounts(const QZMDailyCounts& dailyCounts);
  // In row id order, at most 2000.
  foundation::Result<std::vector<QZMStoredEventAggregates>> allEventAggregates();
  // nullopt when no row has the name.
  foundation::Result<std::optional<QZMStoredEventAggregates>> eventAggregatesWithName(std::string_view name);
  // nullopt, without an error, while no snapshot exists.
  foundation::Result<std::optional<QZMStoredEventAggregates>> eventAggregatesSnapshotWithName(std::string_view name);
  foundation::Result<std::optional<QZMStoredEventAggregates>> eventAggregatesWithName(std::string_view name,
                                                                                      std::string_view inTable);
  // Replaces the whole row of the name; a new name is refused while the
  // table is full.
  foundation::Status updateEventAggregates(const QZMStoredEventAggregates& aggregates);
  // The number of names not starting with "_".
  foundation::Result<std::int64_t> publicEventCount();
  foundation::Status clearCurrentSessionCounts();
  foundation::Status deleteAllEventAggregates();
  foundation::Status deleteAllEventAggregatesInSnapshot();
  // Sets the counters aside in a fresh snapshot table.
  foundation::Status createEventsSnapshotTable();
  // Brings the snapshot back in place of the counters, in one transaction
  // (the caller's, when one is open): a first open counted meanwhile
  // survives, and the snapshot is emptied once the copy has succeeded.
  foundation::Status restoreFromEventsSnapshotTable();

  // ---- Audience filters and results (QZMDatabaseAudiences.cpp) ----

  // Writes each filter in turn; the first failure stops the walk, and the
  // filters written before it stay (callers run inside a transaction).
  foundation::Status updateEventFilters(const std::vector<QZMStoredAudienceFilter>& filters);
  foundation::Status updatePropertyFilters(const std::vector<QZMStoredAudienceFilter>& filters);
  // Deletes the filters with the audience and filter IDs of the given ones.
  foundation::Status deleteEventFilters(const std::vector<QZMStoredAudienceFilter>& filters);
  foundation::Status deletePropertyFilters(const std::vector<QZMStoredAudienceFilter>& filters);
  foundation::Status deleteAllEventFilters();
  foundation::Status deleteAllPropertyFilters();
  foundation::Result<std::vector<QZMStoredAudienceFilter>> eventFiltersForEventName(std::string_view eventName);
  foundation::Result<std::vector<QZMStoredAudienceFilter>> propertyFiltersForPropertyName(
      std::string_view propertyName);
  // Every audience with a stored filter, each once.
  foundation::Result<std::vector<std::int32_t>> allAudienceIDs();
  // Audience ID -> IDs of its filters whose session-scoped column is set.
  foundation::Result<std::map<std::int32_t, std::vector<std::int32_t>>> allSessionScopedFilters();
  // Writes each result in turn; one without current results fails the call.
  foundation::Status updateFilterResults(const std::vector<QZMStoredFilterResult>& results);
  // nullopt when the audience has none.
  foundation::Result<std::optional<QZMStoredFilterResult>> filterResultForAudienceID(std::int32_t audienceID);
  // A failed read is an error, never an empty map that would pass for "no
  // results".
  foundation::Result<std::map<std::int32_t, QZMStoredFilterResult>> allFilterResults();
  // Deletes the results of the audiences of the given ones.
  foundation::Status deleteFilterResults(const std::vector<QZMStoredFilterResult>& results);

  // ---- User properties (QZMDatabaseUserAttributes.cpp) ----

  // Writes the property in place of the one of its name; a new name is
  // refused while 1000 are stored. The origin, the name and a text value
  // must not be empty.
  foundation::Status updateUserAttribute(const QZMStoredUserAttribute& attribute);
  foundation::Status deleteUserAttributeWithName(std::string_view name);
  // nullopt when no row has the name.
  foundation::Result<std::optional<QZMStoredUserAttribute>> userAttributeWithName(std::string_view name);
  foundation::Result<bool> containsUserAttributeWithName(std::string_view name);
  foundation::Result<std::int64_t> userAttributeCountForOrigin(std::string_view origin);
  // The number of names not starting with "_".
  foundation::Result<std::int64_t> publicUserAttributeCount();
  // The properties named "_ltv_...", newest set first; one row that does not
  // convert fails the whole read.
  foundation::Result<std::vector<QZMStoredUserAttribute>> allLifetimeValueUserAttributes();
  // Every property (at most 1000) in row id order, leaving out rows that do
  // not convert. QZMUserAttributesIncludingInternal of the model reads
  // through this and sets the internal ones apart.
  foundation::Result<std::vector<QZMStoredUserAttribute>> allUserAttributes();

  // ---- Conditional user properties (QZMDatabaseUserAttributes.cpp) ----

  // Replaces the row of the property's name (a column left empty becomes
  // NULL); a new name is refused while 1000 are stored.
  foundation::Status updateConditionalUserProperty(const QZMStoredConditionalUserProperty& property);
  foundation::Status deleteConditionalUserPropertyWithName(std::string_view name);
  // nullopt when no readable row has the name.
  foundation::Result<std::optional<QZMStoredConditionalUserProperty>> conditionalUserPropertyWithName(
      std::string_view name);
  // Inactive properties created longer ago than their trigger timeout.
  foundation::Result<std::vector<QZMStoredConditionalUserProperty>> timedOutConditionalUserPropertiesWithError();
  // Active properties triggered longer ago than their time to live.
  foundation::Result<std::vector<QZMStoredConditionalUserProperty>> expiredConditionalUserPropertiesWithError();
  // Inactive properties waiting for the event whose trigger timeout has not
  // passed.
  foundation::Result<std::vector<QZMStoredConditionalUserProperty>> triggeredConditionalUserPropertiesWithEventName(
      std::string_view eventName);
  // The properties whose name begins with the prefix and whose origin is the
  // origin (compared as LIKE does, ignoring ASCII case); an empty prefix or
  // origin does not restrict.
  foundation::Result<std::vector<QZMStoredConditionalUserProperty>> conditionalUserPropertiesWithPrefix(
      std::string_view prefix, std::string_view filterByOrigin);
  // The rows matching the SQL condition, in row order. A row whose stored
  // event does not decode is left out with a log line.
  foundation::Result<std::vector<QZMStoredConditionalUserProperty>> conditionalUserPropertiesWithCondition(
      std::string_view condition, const QZMSqliteStore::Values& parameterValues);
  // Whether any conditional user property is stored; known without a read
  // while the table is unchanged, as every event asks.
  foundation::Result<bool> hasConditionalUserProperties();

  // ---- Stored configuration (QZMDatabaseConfiguration.cpp) ----

  // Keeps the configuration's encoding in the app metadata row, stamped now.
  // One without an app ID is refused and the stored one stays.
  foundation::Status updateRemoteConfig(const QZMPBMeasurementConfig& config);
  // Moves only the time of the last successful fetch.
  foundation::Status updateRemoteConfigSuccessfulTimestamp(double timestamp);
  // nullptr when none is stored; stored bytes that do not decode are an
  // error.
  foundation::Result<std::shared_ptr<QZMPBMeasurementConfig>> queryMeasurementConfigWithError();
  // nullopt when never set.
  foundation::Result<std::optional<double>> lastRemoteConfigUpdateTimestamp();

  // ---- Purchases and subscriptions (QZMDatabaseConfiguration.cpp) ----

  // true when the fingerprint was new and is now stored (the newest 1000
  // stay), false when it was known or is empty.
  foundation::Result<bool> insertIfNotDuplicatePurchaseFingerprint(std::string_view fingerprint);
  // As for purchases, without the trim: deleteSubscriptionsOverLimit does it.
  foundation::Result<bool> insertIfNotDuplicateSubscriptionID(std::string_view subscriptionID);
  // Keeps the newest 1000 identifiers; the number of rows deleted.
  foundation::Result<std::int64_t> deleteSubscriptionsOverLimit();

  // ---- On-device measurement values (QZMDatabaseConfiguration.cpp) ----

  // The row ("rowid", "name", "value", "set_timestamp"); empty when none.
  foundation::Result<Record> ODMValueWithName(std::string_view name);
  // Writes the value of the name; an eleventh name is refused.
  foundation::Status updateODMValue(std::string_view value, std::string_view name, double setTimestamp);
  foundation::Status deleteODMValueWithName(std::string_view name);

  // ---- Complex events for audience evaluation (QZMDatabaseConfiguration.cpp) ----

  foundation::Status updateComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID,
                                                                        std::int64_t childEventCount,
                                                                        const QZMPBEvent& mainEvent);
  // The event a stored message makes (the model's conversion, which this
  // layer cannot see); nullptr when the message makes none.
  using EventFromProtoBlock = std::function<std::shared_ptr<const QZMEvent>(const QZMPBEvent& message)>;
  // nullopt when the event ID is not stored; a stored message that makes no
  // event is an error.
  foundation::Result<std::optional<QZMStoredMainEvent>> mainEventAndChildCountPairWithEventID(
      std::int64_t eventID, const EventFromProtoBlock& eventFromProto);
  foundation::Status deleteComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID);

  // Read at each use; nullptr restores the defaults.
  void setSettingsSource(std::function<QZMDatabaseSettings()> source) { settingsSource_ = std::move(source); }
  QZMDatabaseSettings settings() const { return settingsSource_ ? settingsSource_() : QZMDatabaseSettings(); }

  // nullptr while no store could be opened.
  const std::shared_ptr<QZMSqliteStore>& sqliteStore() const { return sqliteStore_; }
  const std::shared_ptr<QZMPersistedConfig>& persistedConfig() const { return persistedConfig_; }
  const std::string& databasePath() const { return databasePath_; }

  explicit QZMDatabase(std::string databasePath);

 private:
  // The held store, or the error of a database without one.
  foundation::Result<QZMSqliteStore*> store() const;
  // The rows are handed over one at a time as they are read, so that a
  // conversion works on a row still in the cache and no list of rows is kept.
  foundation::Status visitRowsFromTableWithName(std::string_view table, std::int64_t tableLimit,
                                                const QZMSqliteStore::RecordVisitor& visitor);
  foundation::Status visitRowsFromTableWithName(std::string_view table, std::string_view columnName,
                                                const foundation::Object& columnValue,
                                                const QZMSqliteStore::RecordVisitor& visitor);

  foundation::Result<QZMPersistedConfig*> config() const;
  foundation::Result<std::vector<Record>> rawEventRows(std::string_view query, const foundation::Array& values,
                                                       const QZMSqliteStore::RecordFilter& filter);
  foundation::Result<bool> booleanForQuery(std::string_view query, const foundation::Array& values);
  foundation::Result<std::optional<double>> doubleForQuery(std::string_view query);
  // The answer of a fixed query about one table (a number, or nullopt for
  // NULL), asked of SQLite again only once the table's rows may have
  // changed: the upload schedule asks these at every event.
  // Bound values may only be texts.
  foundation::Result<std::optional<foundation::Object>> tableAnswer(std::string_view table, std::string_view query,
                                                                    const foundation::Array& textValues = {});
  foundation::Result<bool> booleanTableAnswer(std::string_view table, std::string_view query,
                                              const foundation::Array& textValues = {});
  foundation::Result<std::optional<double>> doubleTableAnswer(std::string_view table, std::string_view query);
  // After an insert of one raw event: the kept answers about "raw_events"
  // follow the new row when it was the table's only change, and are dropped
  // otherwise.
  void keepRawEventAnswersAfterInsert(QZMSqliteStore& store, std::uint64_t changeCountBefore, double timestamp,
                                      bool isRealtime);
  // What the oldest rows held before they were deleted to make room.
  struct RemovedRawEvents {
    std::int64_t deleted = 0;
    std::int64_t remaining = 0;
    // The latest time among them; nullopt when it could not be read.
    std::optional<double> latestTimestamp;
    bool anyRealtime = true;
  };
  // After the oldest rows were deleted: the kept answers follow when the
  // delete was the table's only change, as far as what went allows.
  void keepRawEventAnswersAfterDelete(QZMSqliteStore& store, std::uint64_t changeCountBefore,
                                      const RemovedRawEvents& removed);
  // Up to the limit of rows after the row ID, oldest first.
  foundation::Status visitRawEventPage(std::int64_t afterRowID, std::int64_t limit,
                                       const QZMSqliteStore::RecordVisitor& visitor);

  std::shared_ptr<QZMSqliteStore> sqliteStore_;
  std::shared_ptr<QZMPersistedConfig> persistedConfig_;
  std::function<QZMDatabaseSettings()> settingsSource_;
  const std::string databasePath_;
  bool inTransaction_ = false;
  std::vector<std::function<void()>> afterCommit_;
  // When a read of a table was made: its store and the table's change count
  // then. A read kept with a stamp still current is what a new read would
  // give.
  struct ReadStamp {
    std::uint64_t store = 0;
    std::uint64_t changeCount = 0;
    bool operator==(const ReadStamp&) const = default;
  };
  static ReadStamp readStamp(QZMSqliteStore& store, std::string_view table) {
    return {store.serialNumber(), store.changeCountOfTable(table)};
  }
  // Every event reads these and few change them.
  std::optional<std::pair<ReadStamp, std::vector<QZMStoredUserAttribute>>> keptUserAttributes_;
  std::map<std::string, std::pair<ReadStamp, Record>, std::less<>> keptODMValues_;
  std::map<std::string, std::pair<ReadStamp, std::optional<QZMStoredEventAggregates>>, std::less<>>
      keptEventAggregates_;
  std::map<std::string, std::pair<ReadStamp, std::optional<QZMStoredUserAttribute>>, std::less<>>
      keptUserAttributesByName_;
  // The metadata fingerprint last found or stored, while the table stays.
  std::optional<std::pair<ReadStamp, std::int64_t>> keptMetadataFingerprint_;
  struct TableAnswer {
    std::string table;
    ReadStamp stamp;
    std::optional<foundation::Object> answer;
  };
  // By query text and bound texts: the few fixed queries of tableAnswer's
  // callers, about a handful of names.
  std::map<std::string, TableAnswer, std::less<>> tableAnswers_;
};

template <class T>
foundation::Result<std::vector<T>> QZMDatabase::allDataTypesFromTableWithName(
    std::string_view table, std::int64_t tableLimit, const CreateDataTypeBlock<T>& createDataTypeBlock) {
  if (!createDataTypeBlock) return qzm_errorWithCode(1, "Received nil block to get all data types");
  std::vector<T> values;
  foundation::Status read = visitRowsFromTableWithName(table, tableLimit, [&](Record&& row) {
    auto value = createDataTypeBlock(std::move(row));
    if (value) values.push_back(std::move(*value));
    return true;
  });
  if (!read) return read.error();
  return values;
}

template <class T>
foundation::Result<std::vector<T>> QZMDatabase::dataTypesFromTableWithName(
    std::string_view table, std::string_view columnName, const foundation::Object& columnValue,
    const CreateDataTypeBlock<T>& createDataTypeBlock) {
  if (table.empty()) return qzm_errorWithCode(1, "Received empty table name to create data type from table");
  if (columnName.empty()) return qzm_errorWithCode(1, "Received empty column name to create data type from table");
  if (columnValue.isNull()) return qzm_errorWithCode(1, "Received nil column value to create data type from table");
  if (!createDataTypeBlock) return qzm_errorWithCode(2, "Received nil block to create data type from table");
  std::vector<T> values;
  bool sawRow = false;
  foundation::Status read = visitRowsFromTableWithName(table, columnName, columnValue, [&](Record&& row) {
    sawRow = true;
    auto value = createDataTypeBlock(std::move(row));
    if (value) values.push_back(std::move(*value));
    return true;
  });
  if (!read) return read.error();
  if (sawRow && values.empty()) return qzm_errorWithCode(2, "Failed to initialize data types from dictionaries");
  return values;
}

template <class T>
foundation::Result<std::vector<T>> QZMDatabase::allRawEventsWithError(
    const CreateDataTypeBlock<T>& createDataTypeBlock) {
  return allDataTypesFromTableWithName<T>(kQZMRawEventsTable, settings().maxEventsStored, createDataTypeBlock);
}

template <class T>
foundation::Status QZMDatabase::visitAllRawEvents(const CreateDataTypeBlock<T>& createDataTypeBlock,
                                                  const std::function<bool(const T&)>& visitor,
                                                  std::int64_t pageSize) {
  if (!createDataTypeBlock) return qzm_errorWithCode(1, "Received nil block to get all data types");
  if (!visitor) return qzm_errorWithCode(1, "Received nil block to visit raw events");
  if (pageSize < 1) return qzm_errorWithCode(1, "Received no page size to visit raw events");
  // As the whole read's LIMIT: a negative limit reads everything.
  std::int64_t left = settings().maxEventsStored;
  std::int64_t afterRowID = std::numeric_limits<std::int64_t>::min();
  std::vector<T> page;
  for (;;) {
    const std::int64_t limit = left < 0 ? pageSize : std::min(left, pageSize);
    if (limit == 0) return {};
    page.clear();
    std::int64_t read = 0;
    foundation::Status status = visitRawEventPage(afterRowID, limit, [&](Record&& row) {
      ++read;
      if (auto rowID = row.find("rowid"); rowID != row.end() && rowID->second.isInteger())
        afterRowID = rowID->second.int64Value();
      auto value = createDataTypeBlock(std::move(row));
      if (value) page.push_back(std::move(*value));
      return true;
    });
    if (!status) return status;
    for (const T& value : page) {
      if (!visitor(value)) return {};
    }
    if (read < limit) return {};
    if (left > 0) left -= read;
  }
}

template <class T>
foundation::Result<std::vector<T>> QZMDatabase::rawEventsWithMetadataFingerprint(
    std::int64_t fingerprint, const QZMSqliteStore::RecordFilter& eventFilter,
    const CreateDataTypeBlock<T>& createDataTypeBlock) {
  if (!createDataTypeBlock) return qzm_errorWithCode(2, "Received nil block to create data type from table");
  auto rows = rawEventRows(
      "SELECT rowid, * FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?",
      {fingerprint, 1000}, eventFilter);
  if (!rows) return rows.error();
  std::vector<T> values;
  values.reserve(rows->size());
  for (auto& row : *rows) {
    auto value = createDataTypeBlock(std::move(row));
    if (value) values.push_back(std::move(*value));
  }
  if (!rows->empty() && values.empty())
    return qzm_errorWithCode(2, "Failed to initialize data types from dictionaries");
  return values;
}

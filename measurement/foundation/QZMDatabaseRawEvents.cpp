// Raw events wait in "raw_events" until bundled; the metadata they share is
// stored once per distinct value in "raw_events_metadata", keyed by the
// fingerprint of its bytes.
#include <array>

#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMFoundationCategories.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Clock.h"

using foundation::Data;
using foundation::Object;
using foundation::Result;
using foundation::Status;

namespace {

Result<std::shared_ptr<QZMPBMeasurementBundle>> metadataFromRow(const QZMDatabase::Record& row) {
  if (row.empty()) return qzm_errorWithCode(3, "Received empty dictionary for getting measurement bundle");
  const Object* metadata = row.count("metadata") ? &row.at("metadata") : nullptr;
  if (!metadata || !metadata->data() || metadata->data()->empty())
    return qzm_errorWithCode(3, "Event metadata should not be empty for getting measurement bundle");
  std::shared_ptr<QZMPBMeasurementBundle> bundle = QZMPBMeasurementBundle::initWithBuffer(*metadata->data());
  if (!bundle) return qzm_errorWithCode(3, "Failed to parse measurement bundle from event metadata");
  return bundle;
}

constexpr std::string_view kRawEventsEmptyQuery = "SELECT NOT EXISTS (SELECT 1 FROM raw_events LIMIT 1)";
constexpr std::string_view kRealtimeRawEventsQuery =
    "SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = 1 LIMIT 1)";
constexpr std::string_view kLatestRawEventTimeQuery = "SELECT MAX(timestamp) FROM raw_events";
// The span of row IDs, two index seeks: an upper bound of the row count.
constexpr std::string_view kRawEventRowIDSpanQuery =
    "SELECT (SELECT max(rowid) FROM raw_events) - (SELECT min(rowid) FROM raw_events) + 1";
// A walk of the whole table: kept, it follows each insert and each trim.
constexpr std::string_view kRawEventCountQuery = "SELECT count(1) FROM raw_events";
// What the oldest rows hold, read before they are deleted to make room.
constexpr std::string_view kOldestRawEventsQuery =
    "SELECT MAX(timestamp), MAX(is_realtime = 1) FROM (SELECT timestamp, is_realtime FROM raw_events ORDER BY rowid "
    "LIMIT ?)";

// The raw event columns in the order rawEventValues gives them.
constexpr std::string_view kRawEventColumns[] = {"data", "is_realtime", "metadata_fingerprint", "name", "timestamp"};

Result<std::array<Object, 5>> rawEventValues(std::string_view name, double timestamp, const QZMPBEvent& protoEvent,
                                             std::int64_t metadataFingerprint, bool isRealtime) {
  // The name has its own column; the stored message goes without it.
  std::unique_ptr<QZMPBEvent> nameless = QZMPBEvent::initWithMessageInfo(protoEvent.messageInfo());
  if (!nameless || !NANOClearField(nameless.get(), QZMPBEvent::kName))
    return qzm_errorWithCode(3, "Received empty raw event data for getting dictionary representation");
  std::optional<Data> data = nameless->protoBuffer();
  if (!data) return qzm_errorWithCode(3, "Failed to encode raw event data for getting dictionary representation");
  return std::array<Object, 5>{Object(std::move(*data)), Object(isRealtime), Object(metadataFingerprint),
                               Object(name), Object(timestamp)};
}

Result<QZMDatabase::Record> rawEventRecord(std::string_view name, double timestamp, const QZMPBEvent& protoEvent,
                                           std::int64_t metadataFingerprint, bool isRealtime) {
  auto values = rawEventValues(name, timestamp, protoEvent, metadataFingerprint, isRealtime);
  if (!values) return values.error();
  QZMDatabase::Record record;
  for (std::size_t i = 0; i < values->size(); ++i)
    record.emplace(std::string(kRawEventColumns[i]), std::move((*values)[i]));
  return record;
}

}  // namespace

Status QZMDatabase::insertIfNotExistsRawEventMetadata(const QZMPBMeasurementBundle& metadata) {
  std::int64_t fingerprint = 0;
  return insertIfNotExistsRawEventMetadata(metadata, fingerprint);
}

Status QZMDatabase::insertIfNotExistsRawEventMetadata(const QZMPBMeasurementBundle& metadata,
                                                      std::int64_t& fingerprint) {
  std::optional<Data> bytes = metadata.protoBuffer();
  if (!bytes || bytes->empty())
    return qzm_errorWithCode(3, "Received empty measurement bundle metadata for getting dictionary representation");
  fingerprint = qzm_64LSBMD5(*bytes);
  auto held = store();
  if (!held) return held.error();
  // Events in a row mostly share their metadata: the row found or stored for
  // the last one is still there while the table is unchanged.
  if (keptMetadataFingerprint_ && keptMetadataFingerprint_->second == fingerprint &&
      keptMetadataFingerprint_->first == readStamp(**held, kQZMRawEventsMetadataTable)) {
    return {};
  }
  auto existing = queryRawEventsMetadataWithFingerprint(fingerprint);
  // A row whose bytes no longer decode is replaced by sound ones.
  if (!existing || !*existing) {
    Record record = {{"metadata_fingerprint", fingerprint}, {"metadata", std::move(*bytes)}};
    if (Status stored = upsertDataType(record, kQZMRawEventsMetadataTable, "metadata_fingerprint", fingerprint,
                                       kQZMRawEventsMetadataLimit);
        !stored) {
      return stored;
    }
  }
  keptMetadataFingerprint_.emplace(readStamp(**held, kQZMRawEventsMetadataTable), fingerprint);
  return {};
}

Result<std::shared_ptr<QZMPBMeasurementBundle>> QZMDatabase::queryRawEventsMetadataWithFingerprint(
    std::int64_t fingerprint) {
  auto bundles = dataTypesFromTableWithName<std::shared_ptr<QZMPBMeasurementBundle>>(
      kQZMRawEventsMetadataTable, "metadata_fingerprint", fingerprint, metadataFromRow);
  if (!bundles) return bundles.error();
  if (bundles->empty()) return std::shared_ptr<QZMPBMeasurementBundle>();
  return bundles->front();
}

Status QZMDatabase::deleteRawEventMetadataWithMetadataFingerprint(std::int64_t fingerprint) {
  auto held = store();
  if (!held) return held.error();
  auto deleted = (*held)->deleteRecordsFromTableWithName(kQZMRawEventsMetadataTable, "metadata_fingerprint == ?",
                                                         {fingerprint});
  if (!deleted) return deleted.error();
  return {};
}

Status QZMDatabase::deleteUnusedRawEventsMetadata() {
  auto held = store();
  if (!held) return held.error();
  auto deleted = (*held)->deleteRecordsFromTableWithName(
      kQZMRawEventsMetadataTable, "metadata_fingerprint NOT IN (SELECT DISTINCT metadata_fingerprint FROM raw_events)",
      {});
  if (!deleted) return deleted.error();
  return {};
}

Status QZMDatabase::insertRawEvent(std::string_view name, double timestamp, const QZMPBEvent* protoEvent,
                                   std::int64_t metadataFingerprint, bool isRealtime) {
  if (!protoEvent) return qzm_errorWithCode(1, "Received empty event for inserting in the database");
  // One of these per logged event: the values go to the store without a
  // record made of them.
  auto values = rawEventValues(name, timestamp, *protoEvent, metadataFingerprint, isRealtime);
  if (!values) return values.error();
  auto held = store();
  if (!held) return held.error();
  const std::uint64_t changesBefore = (*held)->changeCountOfTable(kQZMRawEventsTable);
  Status inserted = (*held)->upsertValues(kQZMRawEventsTable, kRawEventColumns, *values);
  if (inserted) keepRawEventAnswersAfterInsert(**held, changesBefore, timestamp, isRealtime);
  return inserted;
}

void QZMDatabase::keepRawEventAnswersAfterInsert(QZMSqliteStore& store, std::uint64_t changeCountBefore,
                                                 double timestamp, bool isRealtime) {
  const ReadStamp after = readStamp(store, kQZMRawEventsTable);
  for (auto it = tableAnswers_.begin(); it != tableAnswers_.end();) {
    TableAnswer& kept = it->second;
    if (kept.table != kQZMRawEventsTable) {
      ++it;
      continue;
    }
    const bool follows = kept.stamp == ReadStamp{after.store, changeCountBefore} &&
                         after.changeCount == changeCountBefore + 1;
    if (follows && it->first == kRawEventsEmptyQuery) {
      kept.answer = Object(std::int64_t{0});
    } else if (follows && it->first == kRealtimeRawEventsQuery) {
      if (isRealtime) kept.answer = Object(std::int64_t{1});
    } else if (follows && it->first == kRawEventCountQuery) {
      kept.answer = Object(kept.answer && kept.answer->isInteger() ? kept.answer->int64Value() + 1 : std::int64_t{1});
    } else if (follows && it->first == kRawEventRowIDSpanQuery) {
      // A new row takes the ID after the largest (only at the end of the
      // ID range does SQLite pick another, and the span then only grows
      // past the count, which stays a bound).
      kept.answer = Object(kept.answer && kept.answer->isInteger() ? kept.answer->int64Value() + 1 : std::int64_t{1});
    } else if (follows && it->first == kLatestRawEventTimeQuery) {
      if (!kept.answer || !kept.answer->isNumber() || kept.answer->doubleValue() < timestamp) {
        kept.answer = Object(timestamp);
      }
    } else {
      it = tableAnswers_.erase(it);
      continue;
    }
    kept.stamp = after;
    ++it;
  }
}

void QZMDatabase::keepRawEventAnswersAfterDelete(QZMSqliteStore& store, std::uint64_t changeCountBefore,
                                                 const RemovedRawEvents& removed) {
  const ReadStamp after = readStamp(store, kQZMRawEventsTable);
  // The hook counts each deleted row: anything more was another change.
  const bool onlyChange = after.changeCount == changeCountBefore + static_cast<std::uint64_t>(removed.deleted);
  const bool emptied = removed.remaining == 0;
  for (auto it = tableAnswers_.begin(); it != tableAnswers_.end();) {
    TableAnswer& kept = it->second;
    if (kept.table != kQZMRawEventsTable) {
      ++it;
      continue;
    }
    bool follows = onlyChange && kept.stamp == ReadStamp{after.store, changeCountBefore};
    if (!follows) {
      // Nothing to follow from.
    } else if (it->first == kRawEventsEmptyQuery) {
      kept.answer = Object(std::int64_t{emptied ? 1 : 0});
    } else if (it->first == kRawEventCountQuery) {
      kept.answer = Object(removed.remaining);
    } else if (it->first == kRealtimeRawEventsQuery) {
      const bool wasNone = kept.answer && kept.answer->int64Value() == 0;
      if (emptied || wasNone) {
        kept.answer = Object(std::int64_t{0});
      } else {
        follows = !removed.anyRealtime;
      }
    } else if (it->first == kLatestRawEventTimeQuery) {
      if (emptied) {
        kept.answer.reset();
      } else {
        // The latest time stays unless it may have been among the rows that
        // went.
        follows = kept.answer && kept.answer->isNumber() && removed.latestTimestamp &&
                  *removed.latestTimestamp < kept.answer->doubleValue();
      }
    } else if (it->first == kRawEventRowIDSpanQuery) {
      // Where the oldest row now stands is two index seeks away.
      auto span = store.numberForQuery(kRawEventRowIDSpanQuery, {});
      follows = span.ok();
      if (follows) kept.answer = *span;
    } else {
      follows = false;
    }
    if (!follows) {
      it = tableAnswers_.erase(it);
      continue;
    }
    kept.stamp = after;
    ++it;
  }
}

Status QZMDatabase::updateRawEvent(std::int64_t rowID, std::string_view name, double timestamp,
                                   const QZMPBEvent* protoEvent, std::int64_t metadataFingerprint, bool isRealtime) {
  if (!protoEvent) return qzm_errorWithCode(3, "Received empty raw event data for getting dictionary representation");
  auto record = rawEventRecord(name, timestamp, *protoEvent, metadataFingerprint, isRealtime);
  if (!record) return record.error();
  return updateDataType(*record, kQZMRawEventsTable, "rowid", rowID);
}

Result<std::vector<QZMDatabase::Record>> QZMDatabase::rawEventRows(std::string_view query,
                                                                   const foundation::Array& values,
                                                                   const QZMSqliteStore::RecordFilter& filter) {
  auto held = store();
  if (!held) return held.error();
  if (!filter) return (*held)->recordsForQuery(query, values);
  return (*held)->recordsForQuery(query, values, filter);
}

Result<bool> QZMDatabase::booleanForQuery(std::string_view query, const foundation::Array& values) {
  auto held = store();
  if (!held) return held.error();
  auto answer = (*held)->numberForQuery(query, values);
  if (!answer) return answer.error();
  return *answer && answer->value().int64Value() != 0;
}

Result<std::optional<double>> QZMDatabase::doubleForQuery(std::string_view query) {
  auto held = store();
  if (!held) return held.error();
  auto answer = (*held)->numberForQuery(query, {});
  if (!answer) return answer.error();
  if (!*answer) return std::optional<double>();
  return std::optional<double>((*answer)->doubleValue());
}

Result<bool> QZMDatabase::containsRawEventWithMetadataFingerprint(std::int64_t fingerprint) {
  return booleanForQuery("SELECT EXISTS (SELECT 1 FROM raw_events WHERE metadata_fingerprint = ? LIMIT 1)",
                         {fingerprint});
}

Result<std::optional<std::int64_t>> QZMDatabase::nextMetadataFingerprintToProcess() {
  auto rows = rawEventRows("SELECT metadata_fingerprint, MIN(rowid) FROM raw_events", {}, nullptr);
  if (!rows) return rows.error();
  if (rows->size() != 1) return qzm_errorWithCode(2, "Only one event metadata should be processed");
  // An empty table answers one row of NULLs.
  auto found = rows->front().find("metadata_fingerprint");
  if (found == rows->front().end() || !found->second.isInteger()) return std::optional<std::int64_t>();
  return std::optional<std::int64_t>(found->second.int64Value());
}

Result<std::int64_t> QZMDatabase::deleteRawEventsWithUnreadableMetadataFingerprint() {
  auto held = store();
  if (!held) return held.error();
  return (*held)->deleteRecordsFromTableWithName(kQZMRawEventsTable, "typeof(metadata_fingerprint) != 'integer'", {});
}

Result<std::optional<Object>> QZMDatabase::tableAnswer(std::string_view table, std::string_view query,
                                                       const foundation::Array& textValues) {
  auto held = store();
  if (!held) return held.error();
  const ReadStamp stamp = readStamp(**held, table);
  std::string key(query);
  for (const Object& value : textValues) {
    if (!value.isString()) return qzm_errorWithCode(1, "A kept answer's values are texts");
    key.push_back('\0');
    key += *value.string();
  }
  auto kept = tableAnswers_.find(key);
  if (kept != tableAnswers_.end() && kept->second.stamp == stamp) {
    return kept->second.answer;
  }
  auto answer = (*held)->numberForQuery(query, textValues);
  if (!answer) return answer.error();
  TableAnswer fresh{std::string(table), stamp, *answer};
  if (kept != tableAnswers_.end()) {
    kept->second = std::move(fresh);
  } else {
    // Names asked about come from the app too: what is kept stays bounded.
    constexpr std::size_t kMostAnswersKept = 256;
    if (tableAnswers_.size() >= kMostAnswersKept) tableAnswers_.clear();
    tableAnswers_.emplace(std::move(key), std::move(fresh));
  }
  return *answer;
}

Result<bool> QZMDatabase::booleanTableAnswer(std::string_view table, std::string_view query,
                                             const foundation::Array& textValues) {
  auto answer = tableAnswer(table, query, textValues);
  if (!answer) return answer.error();
  return *answer && answer->value().int64Value() != 0;
}

Result<std::optional<double>> QZMDatabase::doubleTableAnswer(std::string_view table, std::string_view query) {
  auto answer = tableAnswer(table, query);
  if (!answer) return answer.error();
  if (!*answer) return std::optional<double>();
  return std::optional<double>((*answer)->doubleValue());
}

Result<bool> QZMDatabase::isRawEventsTableEmpty() {
  return booleanTableAnswer(kQZMRawEventsTable, kRawEventsEmptyQuery);
}

Result<bool> QZMDatabase::containsRealtimeRawEventsWithError() {
  return booleanTableAnswer(kQZMRawEventsTable, kRealtimeRawEventsQuery);
}

Result<std::optional<double>> QZMDatabase::queryLatestRawEventTime() {
  return doubleTableAnswer(kQZMRawEventsTable, kLatestRawEventTimeQuery);
}

Status QZMDatabase::deleteRawEventsWithMaxRowID(std::int64_t maxRowID) {
  auto held = store();
  if (!held) return held.error();
  auto deleted = (*held)->deleteRecordsFromTableWithName(kQZMRawEventsTable, "rowid <= ?", {maxRowID});
  if (!deleted) return deleted.error();
  return {};
}

Status QZMDatabase::deleteRawEventsWithRowIDs(const std::vector<std::int64_t>& rowIDs) {
  if (rowIDs.empty()) return qzm_errorWithCode(3, "Received empty row IDs to process");
  std::string condition = "rowid IN (?";
  foundation::Array values = {rowIDs.front()};
  for (std::size_t i = 1; i < rowIDs.size(); ++i) {
    condition += ",?";
    values.push_back(rowIDs[i]);
  }
  condition += ")";
  auto held = store();
  if (!held) return held.error();
  auto deleted = (*held)->deleteRecordsFromTableWithName(kQZMRawEventsTable, condition, values);
  if (!deleted) return deleted.error();
  return {};
}

Result<std::int64_t> QZMDatabase::deleteRawEventsOverAbsoluteLimit() {
  auto held = store();
  if (!held) return held.error();
  QZMSqliteStore& sqlite = **held;
  // Room for the one event about to be stored.
  std::int64_t keep = std::max<std::int64_t>(settings().maxEventsStored - 1, 0);
  // Every event passes here: the span of row IDs bounds the count, so a
  // table under the limit is never walked; at the limit the count is kept
  // and follows each trim and insert.
  auto span = tableAnswer(kQZMRawEventsTable, kRawEventRowIDSpanQuery);
  if (!span) return span.error();
  if (!*span || !(*span)->isNumber() || (*span)->int64Value() <= keep) return std::int64_t{0};
  auto count = tableAnswer(kQZMRawEventsTable, kRawEventCountQuery);
  if (!count) return count.error();
  const std::int64_t rows = *count && (*count)->isInteger() ? (*count)->int64Value() : 0;
  if (rows <= keep) return std::int64_t{0};
  const std::int64_t excess = rows - keep;

  RemovedRawEvents removed;
  Status looked = sqlite.visitRowsForQuery(kOldestRawEventsQuery, {excess}, [&](const QZMSqliteStore::Row& row) {
    const int latestType = row.type(0);
    if (latestType == SQLITE_INTEGER || latestType == SQLITE_FLOAT) removed.latestTimestamp = row.doubleValue(0);
    removed.anyRealtime = row.type(1) != SQLITE_NULL && row.int64Value(1) != 0;
    return false;
  });
  if (!looked) return looked.error();
  const std::uint64_t changesBefore = sqlite.changeCountOfTable(kQZMRawEventsTable);
  auto deleted = sqlite.deleteRecordsFromTableWithName(
      kQZMRawEventsTable, "rowid IN (SELECT rowid FROM raw_events ORDER BY rowid LIMIT ?)", {excess});
  if (!deleted) return deleted.error();
  removed.deleted = *deleted;
  removed.remaining = rows - *deleted;
  keepRawEventAnswersAfterDelete(sqlite, changesBefore, removed);
  return deleted;
}

Status QZMDatabase::visitRawEventPage(std::int64_t afterRowID, std::int64_t limit,
                                      const QZMSqliteStore::RecordVisitor& visitor) {
  auto held = store();
  if (!held) return held.error();
  return (*held)->visitRecordsForQuery("SELECT rowid, * FROM raw_events WHERE rowid > ? ORDER BY rowid LIMIT ?",
                                       {afterRowID, limit}, visitor);
}

Status QZMDatabase::deleteStaleRawEventsDataOlderThanMaxAge(double maxAge) {
  if (!(maxAge >= 0)) return qzm_errorWithCode(1, "Cannot delete stale raw events given negative time period");
  auto held = store();
  if (!held) return held.error();
  // Events dated far in the future are as stale as old ones.
  auto deleted = (*held)->deleteRecordsFromTableWithName(
      kQZMRawEventsTable, "abs(timestamp - cast(? as REAL)) > cast(? as REAL)", {foundation::now(), maxAge});
  if (!deleted) return deleted.error();
  if (*deleted == 0) return {};
  return deleteUnusedRawEventsMetadata();
}

// Bundles wait gzip-compressed in "queue" until an upload succeeds; a row's
// row id is the handle the engine deletes or retries it by.
#include <algorithm>
#include <atomic>
#include <cmath>

#include "absl/strings/str_cat.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/NANOFieldHelpers.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Clock.h"
#include "platform/utilities/Gzip.h"

using foundation::Data;
using foundation::Object;
using foundation::Result;
using foundation::Status;

namespace {

std::shared_ptr<QZMMonitor> monitor() { return QZMMeasurementBase::monitor(); }

struct Converted {
  QZMQueuedBundle queued;
  std::size_t encodedSize = 0;
};

// The columns every read of the queue asks for, in this order.
constexpr const char* kQueueColumns = "rowid, data, retry_count";
enum QueueColumn { kRowIDColumn, kDataColumn, kRetryCountColumn };

// The row's id, when it has one; a row without it cannot even be deleted.
std::optional<std::int64_t> rowIDOfRow(const QZMSqliteStore::Row& row) {
  if (row.type(kRowIDColumn) != SQLITE_INTEGER) return std::nullopt;
  return row.int64Value(kRowIDColumn);
}

// The decode of a bundle may take memory in proportion to its inflated size,
// which a damaged row can make enormous from a few bytes. The limit guards
// against such rows alone: no bundle the SDK wrote, under any upload size
// limit, inflates beyond it.
constexpr auto kLargestBundle = static_cast<std::size_t>(QZMDatabase::kLargestStoredBundleBytes);

std::atomic<std::int64_t> largestBundleDecodeBytesForTesting{0};

Result<Converted> bundleFromRow(const QZMSqliteStore::Row& row) {
  std::span<const std::uint8_t> compressed =
      row.type(kDataColumn) == SQLITE_BLOB ? row.blob(kDataColumn) : std::span<const std::uint8_t>();
  if (compressed.empty()) return qzm_errorWithCode(3, "Cannot decompress an empty bundle data");
  auto inflated = drk_dataByInflatingGzippedData(Data(compressed.begin(), compressed.end()), kLargestBundle);
  if (!inflated) return qzm_errorWithCode(2, inflated.error().description);
  if (inflated->empty()) return qzm_errorWithCode(2, "Decompressed bundle data is empty");
  std::shared_ptr<QZMPBMeasurementBundle> bundle;
  {
    // A bundle of many small events takes far more memory than its bytes
    // suggest; the writer bounds what it takes, not what it weighs.
    NANODecodeBudget budget(NANODecodeBudget::Bytes{static_cast<std::size_t>(QZMDatabase::largestBundleDecodeBytes())});
    bundle = QZMPBMeasurementBundle::initWithBuffer(*inflated);
  }
  if (!bundle) return qzm_errorWithCode(2, "Unable to parse bundle from decompressed data");
  if (row.type(kRetryCountColumn) == SQLITE_INTEGER && row.int64Value(kRetryCountColumn) >= 1) {
    NANOSetInt32(bundle.get(), QZMPBMeasurementBundle::kRetryCount,
                 static_cast<std::int32_t>(std::min(row.int64Value(kRetryCountColumn), QZMDatabase::kMaxBundleRetryCount)));
  }
  std::optional<std::int64_t> rowID = rowIDOfRow(row);
  if (!rowID) return qzm_errorWithCode(3, "Cannot process row without row ID");
  std::optional<Data> encoded = bundle->protoBuffer();
  if (!encoded) return qzm_errorWithCode(2, "Unable to encode bundle from decompressed data");
  return Converted{{std::move(bundle), *rowID}, encoded->size()};
}

// "rowid IN (?,?,?)" with the ids bound in order.
Result<std::pair<std::string, foundation::Array>> rowIDCondition(const std::vector<std::int64_t>& rowIDs) {
  if (rowIDs.empty()) return qzm_errorWithCode(3, "Received empty row IDs to process");
  std::string placeholders = "?";
  foundation::Array values = {rowIDs.front()};
  for (std::size_t i = 1; i < rowIDs.size(); ++i) {
    placeholders += ",?";
    values.push_back(rowIDs[i]);
  }
  return std::make_pair(absl::StrCat("rowid IN (", placeholders, ")"), std::move(values));
}

}  // namespace

std::int64_t QZMDatabase::largestBundleDecodeBytes() {
  std::int64_t lowered = largestBundleDecodeBytesForTesting.load(std::memory_order_relaxed);
  return lowered > 0 ? lowered : static_cast<std::int64_t>(NANODecodeMemoryCap);
}

void QZMDatabase::setLargestBundleDecodeBytesForTesting(std::int64_t bytes) {
  largestBundleDecodeBytesForTesting.store(bytes, std::memory_order_relaxed);
}

Status QZMDatabase::insertBundle(const QZMPBMeasurementBundle& bundle, bool isRealtime) {
  std::optional<Data> encoded = bundle.protoBuffer();
  if (!encoded || encoded->empty()) return qzm_errorWithCode(1, "Failed to insert nil bundle");
  std::optional<std::string> appID = NANOGetString(&bundle, QZMPBMeasurementBundle::kAppId);
  if (!appID || appID->empty()) return qzm_errorWithCode(1, "Failed to insert bundle without App ID");
  std::int64_t endMillis = NANOGetInt64(&bundle, QZMPBMeasurementBundle::kEndTimestampMillis);
  if (endMillis < 1) return qzm_errorWithCode(1, "Failed to insert bundle without valid timestamp");

  auto stale = maybeDeleteStaleData();
  if (!stale) return stale.error();

  double endTimestamp = static_cast<double>(endMillis) / 1000.0;
  if (std::fabs(foundation::now() - endTimestamp) > settings().maxQueueTime) {
    // Kept all the same: the next stale deletion removes it.
    monitor()->logWithLevel(4, 12016, "Storing bundle outside of the max uploading time span");
  }
  auto compressed = drk_dataByGzippingData(*encoded);
  if (!compressed || compressed->empty()) return qzm_errorWithCode(2, "Failed to compress bundle");
  monitor()->logWithLevel(7, 12018, "Saving bundle. size (bytes)", std::to_string(compressed->size()));

  Record record = {{"bundle_end_timestamp", endTimestamp},
                   {"data", std::move(*compressed)},
                   {"is_realtime", isRealtime},
                   {"retry_count", NANOGetInt32(&bundle, QZMPBMeasurementBundle::kRetryCount)}};
  auto held = store();
  if (!held) return held.error();
  return (*held)->upsertRecord(record, kQZMQueueTable);
}

Result<std::vector<QZMQueuedBundle>> QZMDatabase::queryBundlesWithCountLimit(std::int64_t countLimit,
                                                                             std::int64_t sizeLimit) {
  auto held = store();
  if (!held) return held.error();
  std::vector<QZMQueuedBundle> taken;
  std::vector<std::int64_t> unreadable;
  std::int64_t total = 0;
  Status read = (*held)->visitRowsForQuery(
      absl::StrCat("SELECT ", kQueueColumns, " FROM queue ORDER BY rowid ASC LIMIT ?"), {countLimit},
      [&](const QZMSqliteStore::Row& row) {
        auto converted = bundleFromRow(row);
        if (!converted) {
          // Never sendable, and while it stays the queue never looks empty.
          if (std::optional<std::int64_t> rowID = rowIDOfRow(row)) {
            monitor()->logWithLevel(2, 12019, "Deleting a queued bundle that cannot be read. Row ID, error", *rowID,
                                    converted.error());
            unreadable.push_back(*rowID);
          }
          return true;
        }
        auto size = static_cast<std::int64_t>(converted->encodedSize);
        // The oldest bundle goes whatever its size, or nothing would ever leave.
        if (!taken.empty() && total + size > sizeLimit) return false;
        total += size;
        taken.push_back(std::move(converted->queued));
        return total <= sizeLimit;
      });
  if (!read) return read.error();
  if (!unreadable.empty()) {
    if (Status deleted = deleteBundlesWithRowIDs(unreadable); !deleted) return deleted.error();
  }
  return taken;
}

Result<std::vector<QZMQueuedBundle>> QZMDatabase::queryBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs) {
  auto condition = rowIDCondition(rowIDs);
  if (!condition) return condition.error();
  auto held = store();
  if (!held) return held.error();
  std::vector<QZMQueuedBundle> bundles;
  Status read = (*held)->visitRowsForQuery(
      absl::StrCat("SELECT ", kQueueColumns, " FROM queue WHERE ", condition->first), condition->second,
      [&](const QZMSqliteStore::Row& row) {
        auto converted = bundleFromRow(row);
        if (converted) bundles.push_back(std::move(converted->queued));
        return true;
      });
  if (!read) return read.error();
  return bundles;
}

Status QZMDatabase::incrementRetryCounterForBundlesWithIDs(const std::vector<std::int64_t>& rowIDs) {
  if (rowIDs.empty()) return qzm_errorWithCode(1, "Failed to increment retry counter");
  auto condition = rowIDCondition(rowIDs);
  if (!condition) return condition.error();
  auto atCeiling = booleanForQuery("SELECT EXISTS (SELECT 1 FROM queue WHERE retry_count = ? LIMIT 1)",
                                   {kMaxBundleRetryCount});
  if (!atCeiling) return atCeiling.error();
  if (*atCeiling) {
    monitor()->logWithLevel(1, 12054, "The number of upload retries exceeds the limit. Will remain unchanged.");
  }
  foundation::Array values = condition->second;
  values.push_back(kMaxBundleRetryCount);
  auto held = store();
  if (!held) return held.error();
  return (*held)->increaseColumn("retry_count", 1, kQZMQueueTable,
                                 absl::StrCat(condition->first, " AND retry_count < ?"), values);
}

Status QZMDatabase::deleteBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs) {
  auto condition = rowIDCondition(rowIDs);
  if (!condition) return condition.error();
  auto held = store();
  if (!held) return held.error();
  auto deleted = (*held)->deleteRecordsFromTableWithName(kQZMQueueTable, condition->first, condition->second);
  if (!deleted) return deleted.error();
  return {};
}

Result<bool> QZMDatabase::maybeDeleteStaleData() {
  auto persisted = config();
  if (!persisted) return persisted.error();
  QZMDatabaseSettings limits = settings();
  double now = foundation::now();
  // Either way: a clock set back far also makes the deletion due.
  if (!(std::fabs(now - (*persisted)->lastDeleteStaleBundlesTimestamp()) > limits.databaseDeleteStaleBundlesInterval))
    return false;
  if (Status events = deleteStaleRawEventsDataOlderThanMaxAge(limits.maxQueueTime); !events) return events.error();
  if (Status bundles = deleteStaleBundlesOlderThanMaxAge(limits.maxQueueTime); !bundles) return bundles.error();
  // Only a deletion that is kept counts: one rolled back with the caller's
  // transaction is due again.
  performAfterCommit([persisted = *persisted, now] { persisted->setLastDeleteStaleBundlesTimestamp(now); });
  return true;
}

Status QZMDatabase::deleteStaleBundlesOlderThanMaxAge(double maxAge) {
  if (!(maxAge >= 0)) return qzm_errorWithCode(1, "Cannot delete stale bundles after negative time period");
  auto held = store();
  if (!held) return held.error();
  auto deleted = (*held)->deleteRecordsFromTableWithName(
      kQZMQueueTable, "abs(bundle_end_timestamp - cast(? as REAL)) > cast(? as REAL)", {foundation::now(), maxAge});
  if (!deleted) return deleted.error();
  return {};
}

Result<bool> QZMDatabase::isQueuedBundleTableEmpty() {
  return booleanTableAnswer(kQZMQueueTable, "SELECT NOT EXISTS (SELECT 1 FROM queue LIMIT 1)");
}

Result<bool> QZMDatabase::containsRealtimeBundlesWithError() {
  return booleanTableAnswer(kQZMQueueTable, "SELECT EXISTS (SELECT 1 FROM queue WHERE is_realtime = 1 LIMIT 1)");
}

Result<std::optional<double>> QZMDatabase::queryLatestBundleTime() {
  return doubleTableAnswer(kQZMQueueTable, "SELECT MAX(bundle_end_timestamp) FROM queue");
}

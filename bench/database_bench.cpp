// What the store layer costs: 10 000 raw-event-sized rows inserted in one
// transaction through the measurement database, then read back, beside the
// same work done by a plain SQLite C-API program (one prepared statement for
// each side) on a file with the same schema. Both sides start from the rows in
// memory and end with the rows read back in memory; the store's side makes
// the rows as the store takes them (a record map, or the values in column
// order as the raw-event writer hands them over) inside the timed part. Reads
// are measured by column position, as the store's own readers read, and by
// column name, as a caller handed a dictionary gets them. Each figure is the
// median of several runs on a fresh file.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/SqliteReference.h"
#include "measurement/foundation/QZMDatabase.h"
#include "platform/foundation/Files.h"
#include "platform/foundation/Paths.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::EventRow;
constexpr int kRows = 10000;
constexpr int kRuns = 15;

void report(const std::string& name, double value, const char* unit) {
  std::printf("%s %.3f %s\n", name.c_str(), value, unit);
  std::fflush(stdout);
}

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "database_bench: %s\n", why.c_str());
  std::exit(1);
}

// About the size of a stored event: a name, a handful of parameters.
std::vector<EventRow> makeRows() {
  std::vector<EventRow> rows;
  for (int i = 0; i < kRows; ++i) {
    foundation::Data data(180 + i % 64);
    for (std::size_t b = 0; b < data.size(); ++b) data[b] = static_cast<std::uint8_t>((i * 31 + b * 7) & 0xff);
    rows.push_back({i + 1, "event_" + std::to_string(i % 40), 1.7e9 + i * 0.25, -1234567890123LL + i % 5,
                    std::move(data), i % 3 == 0});
  }
  return rows;
}

// The encoded event bytes as the engine holds them just before it stores an
// event: the store takes them over (moved, never copied), as the raw-event
// writer does with the bytes it has just encoded. Made before the clock
// starts, as the reference's rows are.
std::vector<foundation::Data> encodedEvents(const std::vector<EventRow>& rows) {
  std::vector<foundation::Data> events;
  events.reserve(rows.size());
  for (const auto& row : rows) events.push_back(row.data);
  return events;
}

// A fresh file with the measurement schema, made by the database itself so
// that both sides work on the same tables.
std::shared_ptr<QZMDatabase> openFresh(const std::string& home) {
  foundation::Paths::setHome(home);
  auto database = QZMDatabase::initWithDatabaseName(kQZMDatabaseName, nullptr);
  if (!database) fail(database.error().text());
  return *database;
}

struct Figures {
  double insert;
  double read;
};

// Record maps (name -> value) built and inserted row by row.
double insertRecords(QZMDatabase& database, const std::vector<EventRow>& rows) {
  auto events = encodedEvents(rows);
  auto start = Clock::now();
  auto inserted = database.performTransaction([&] {
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const EventRow& row = rows[i];
      QZMDatabase::Record record = {{"name", std::string_view(row.name)},
                                    {"timestamp", row.timestamp},
                                    {"metadata_fingerprint", row.fingerprint},
                                    {"data", std::move(events[i])},
                                    {"is_realtime", row.isRealtime}};
      if (!database.insertDataType(record, kQZMRawEventsTable)) return false;
    }
    return true;
  });
  double elapsed = millisecondsSince(start);
  if (!inserted) fail("the store did not insert the records");
  return elapsed;
}

// The values alone, in column order, as the raw-event writer hands them over.
double insertValues(QZMDatabase& database, const std::vector<EventRow>& rows) {
  static constexpr std::string_view kColumns[] = {"data", "is_realtime", "metadata_fingerprint", "name", "timestamp"};
  auto events = encodedEvents(rows);
  QZMSqliteStore& store = *database.sqliteStore();
  auto start = Clock::now();
  auto inserted = database.performTransaction([&] {
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const EventRow& row = rows[i];
      const foundation::Object values[] = {std::move(events[i]), row.isRealtime, row.fingerprint,
                                           std::string_view(row.name), row.timestamp};
      if (!store.upsertValues(kQZMRawEventsTable, kColumns, values)) return false;
    }
    return true;
  });
  double elapsed = millisecondsSince(start);
  if (!inserted) fail("the store did not insert the values");
  return elapsed;
}

double readByPosition(QZMDatabase& database, const std::vector<EventRow>& rows) {
  auto start = Clock::now();
  std::vector<EventRow> read;
  auto visited = database.sqliteStore()->visitRowsForQuery(
      "SELECT rowid, name, timestamp, metadata_fingerprint, data, is_realtime FROM raw_events ORDER BY rowid "
      "LIMIT ?",
      {-1}, [&](const QZMSqliteStore::Row& row) {
        EventRow out;
        out.rowid = row.int64Value(0);
        out.name = row.text(1);
        out.timestamp = row.doubleValue(2);
        out.fingerprint = row.int64Value(3);
        auto bytes = row.blob(4);
        out.data.assign(bytes.begin(), bytes.end());
        out.isRealtime = row.int64Value(5) != 0;
        read.push_back(std::move(out));
        return true;
      });
  double elapsed = millisecondsSince(start);
  if (!visited || read != rows) fail("the store did not give the rows back by position");
  return elapsed;
}

double readByName(QZMDatabase& database, const std::vector<EventRow>& rows) {
  auto start = Clock::now();
  auto read = database.allDataTypesFromTableWithName<EventRow>(
      kQZMRawEventsTable, -1, [](QZMDatabase::Record&& row) -> foundation::Result<EventRow> {
        auto take = [&row](std::string_view column) -> foundation::Object& { return row.find(column)->second; };
        EventRow out;
        out.rowid = take("rowid").int64Value();
        out.name = std::move(*take("name").string());
        out.timestamp = take("timestamp").doubleValue();
        out.fingerprint = take("metadata_fingerprint").int64Value();
        out.data = std::move(*take("data").data());
        out.isRealtime = take("is_realtime").boolValue();
        return out;
      });
  double elapsed = millisecondsSince(start);
  if (!read || *read != rows) fail("the store did not give the rows back by name");
  return elapsed;
}

// The store's two ways of writing and of reading, each pair on a fresh file.
struct StoreFigures {
  Figures byPosition;
  Figures byName;
};

StoreFigures storeRun(const std::vector<EventRow>& rows, const std::string& home) {
  StoreFigures figures;
  {
    auto database = openFresh(home + "/position");
    figures.byPosition.insert = insertValues(*database, rows);
    figures.byPosition.read = readByPosition(*database, rows);
  }
  {
    auto database = openFresh(home + "/name");
    figures.byName.insert = insertRecords(*database, rows);
    figures.byName.read = readByName(*database, rows);
  }
  return figures;
}

Figures referenceRun(const std::vector<EventRow>& rows, const std::string& home) {
  bench::SqliteReference reference(openFresh(home)->databasePath());  // the database is closed again at once
  if (!reference.ok()) fail("the reference cannot open its file");
  auto start = Clock::now();
  if (!reference.insert(rows)) fail("the reference did not insert the rows");
  double insert = millisecondsSince(start);
  start = Clock::now();
  std::vector<EventRow> read;
  if (!reference.read(read)) fail("the reference did not read the rows");
  double readTime = millisecondsSince(start);
  if (read != rows) fail("the reference did not give the rows back");
  return {insert, readTime};
}

}  // namespace

int main() {
  char folderTemplate[] = "/tmp/database_bench.XXXXXX";
  if (!::mkdtemp(folderTemplate)) {
    std::perror("database_bench: mkdtemp");
    return 1;
  }
  const std::string folder = folderTemplate;
  const auto rows = makeRows();

  std::vector<double> valuesInsert, recordsInsert, positionRead, nameRead, referenceInsert, referenceRead;
  std::vector<double> valuesInsertRatio, recordsInsertRatio, positionReadRatio, nameReadRatio;
  (void)storeRun(rows, folder + "/warm-up");
  for (int run = 0; run < kRuns; ++run) {
    std::string runFolder = folder + "/run" + std::to_string(run);
    // Taking turns at going first keeps a drift of the machine off the ratio.
    StoreFigures store;
    Figures reference;
    if (run % 2 == 0) {
      store = storeRun(rows, runFolder + "/store");
      reference = referenceRun(rows, runFolder + "/reference");
    } else {
      reference = referenceRun(rows, runFolder + "/reference");
      store = storeRun(rows, runFolder + "/store");
    }
    valuesInsert.push_back(store.byPosition.insert);
    recordsInsert.push_back(store.byName.insert);
    positionRead.push_back(store.byPosition.read);
    nameRead.push_back(store.byName.read);
    referenceInsert.push_back(reference.insert);
    referenceRead.push_back(reference.read);
    valuesInsertRatio.push_back(store.byPosition.insert / reference.insert);
    recordsInsertRatio.push_back(store.byName.insert / reference.insert);
    positionReadRatio.push_back(store.byPosition.read / reference.read);
    nameReadRatio.push_back(store.byName.read / reference.read);
  }
  (void)foundation::removeItem(folder);

  // Ratios are the medians of the runs' own ratios.
  report("database_store_insert_10000_rows", median(valuesInsert), "ms");
  report("database_store_insert_10000_records", median(recordsInsert), "ms");
  report("database_capi_insert_10000_rows", median(referenceInsert), "ms");
  report("database_store_to_capi_insert_ratio", median(valuesInsertRatio), "x");
  report("database_store_records_to_capi_insert_ratio", median(recordsInsertRatio), "x");
  report("database_store_read_10000_rows", median(positionRead), "ms");
  report("database_store_read_10000_records", median(nameRead), "ms");
  report("database_capi_read_10000_rows", median(referenceRead), "ms");
  report("database_store_to_capi_read_ratio", median(positionReadRatio), "x");
  report("database_store_records_to_capi_read_ratio", median(nameReadRatio), "x");
  return 0;
}

// What the store layer costs: 10 000 raw-event-sized rows inserted in one
// transaction through the measurement database, then read back, beside the
// same work done by a plain SQLite C-API program (one prepared statement for
// each side) on a file with the same schema. Both sides start from the rows in
// memory and end with the rows read back in memory. Each figure is the median
// of several runs on a fresh file.
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

// The rows as the store takes them; made before the clock starts, as the
// reference's rows are.
std::vector<QZMDatabase::Record> makeRecords(const std::vector<EventRow>& rows) {
  std::vector<QZMDatabase::Record> records;
  for (const auto& row : rows) {
    records.push_back({{"name", row.name},
                       {"timestamp", row.timestamp},
                       {"metadata_fingerprint", row.fingerprint},
                       {"data", row.data},
                       {"is_realtime", row.isRealtime}});
  }
  return records;
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

Figures storeRun(const std::vector<QZMDatabase::Record>& records, const std::vector<EventRow>& rows,
                 const std::string& home) {
  auto database = openFresh(home);
  auto start = Clock::now();
  auto inserted = database->performTransaction([&] {
    for (const auto& record : records)
      if (!database->insertDataType(record, kQZMRawEventsTable)) return false;
    return true;
  });
  double insert = millisecondsSince(start);
  if (!inserted) fail("the store did not insert the rows");

  start = Clock::now();
  auto read = database->allDataTypesFromTableWithName<EventRow>(
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
  double readTime = millisecondsSince(start);
  if (!read || *read != rows) fail("the store did not give the rows back");
  return {insert, readTime};
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
  const auto records = makeRecords(rows);

  std::vector<double> storeInsert, storeRead, referenceInsert, referenceRead;
  (void)storeRun(records, rows, folder + "/warm-up");
  for (int run = 0; run < kRuns; ++run) {
    std::string runFolder = folder + "/run" + std::to_string(run);
    // Taking turns at going first keeps a drift of the machine off the ratio.
    Figures store, reference;
    if (run % 2 == 0) {
      store = storeRun(records, rows, runFolder + "/store");
      reference = referenceRun(rows, runFolder + "/reference");
    } else {
      reference = referenceRun(rows, runFolder + "/reference");
      store = storeRun(records, rows, runFolder + "/store");
    }
    storeInsert.push_back(store.insert);
    storeRead.push_back(store.read);
    referenceInsert.push_back(reference.insert);
    referenceRead.push_back(reference.read);
  }
  (void)foundation::removeItem(folder);

  const double si = median(storeInsert), sr = median(storeRead);
  const double ri = median(referenceInsert), rr = median(referenceRead);
  report("database_store_insert_10000_rows", si, "ms");
  report("database_capi_insert_10000_rows", ri, "ms");
  report("database_store_to_capi_insert_ratio", si / ri, "x");
  report("database_store_read_10000_rows", sr, "ms");
  report("database_capi_read_10000_rows", rr, "ms");
  report("database_store_to_capi_read_ratio", sr / rr, "x");
  return 0;
}

// What the store layer costs: 10 000 raw-event-sized rows inserted in one
// transaction through the measurement database, then read back, beside the
// same work done by the sqlite3 command-line tool on the same schema. Each
// figure is the median of several runs on a fresh file.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "measurement/foundation/QZMDatabase.h"
#include "platform/foundation/Files.h"
#include "platform/foundation/Paths.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRows = 10000;
constexpr int kRuns = 5;

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

// About the size of a stored event: a name, a handful of parameters.
struct Row {
  std::string name;
  double timestamp;
  std::int64_t fingerprint;
  foundation::Data data;
};

std::vector<Row> makeRows() {
  std::vector<Row> rows;
  for (int i = 0; i < kRows; ++i) {
    foundation::Data data(180 + i % 64);
    for (std::size_t b = 0; b < data.size(); ++b) data[b] = static_cast<std::uint8_t>((i * 31 + b * 7) & 0xff);
    rows.push_back({"event_" + std::to_string(i % 40), 1.7e9 + i * 0.25, -1234567890123LL + i % 5, std::move(data)});
  }
  return rows;
}

std::string hex(const foundation::Data& data) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (auto byte : data) {
    out += digits[byte >> 4];
    out += digits[byte & 15];
  }
  return out;
}

struct Figures {
  double insert;
  double read;
};

Figures storeRun(const std::vector<Row>& rows, const std::string& home) {
  foundation::Paths::setHome(home);
  auto database = QZMDatabase::initWithDatabaseName(kQZMDatabaseName, nullptr);
  if (!database) {
    std::fprintf(stderr, "database_bench: %s\n", database.error().text().c_str());
    std::exit(1);
  }
  auto start = Clock::now();
  auto inserted = (*database)->performTransaction([&] {
    for (const auto& row : rows) {
      QZMDatabase::Record record = {{"name", row.name},
                                    {"timestamp", row.timestamp},
                                    {"metadata_fingerprint", row.fingerprint},
                                    {"data", row.data},
                                    {"is_realtime", false}};
      if (!(*database)->insertDataType(record, kQZMRawEventsTable)) return false;
    }
    return true;
  });
  double insert = millisecondsSince(start);
  start = Clock::now();
  auto read = (*database)->allDataTypesFromTableWithName<QZMDatabase::Record>(
      kQZMRawEventsTable, -1,
      [](const QZMDatabase::Record& row) -> foundation::Result<QZMDatabase::Record> { return row; });
  double readTime = millisecondsSince(start);
  if (!inserted || !read || read->size() != rows.size()) {
    std::fprintf(stderr, "database_bench: the store did not give the rows back\n");
    std::exit(1);
  }
  return {insert, readTime};
}

double runCommand(const std::string& command) {
  auto start = Clock::now();
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "database_bench: failed: %s\n", command.c_str());
    std::exit(1);
  }
  return millisecondsSince(start);
}

Figures cliRun(const std::vector<Row>& rows, const std::string& folder) {
  const std::string database = folder + "/cli.sql";
  const std::string schema = folder + "/schema.sql";
  const std::string inserts = folder + "/inserts.sql";
  const std::string select = folder + "/select.sql";
  {
    // The file as the store leaves it: the raw events table after its
    // timestamp became REAL.
    std::ofstream out(schema);
    out << "CREATE TABLE raw_events ( name TEXT NOT NULL, timestamp REAL NOT NULL, metadata_fingerprint INTEGER NOT "
           "NULL, data BLOB NOT NULL, is_realtime INTEGER);\n";
  }
  {
    std::ofstream out(inserts);
    out << "BEGIN EXCLUSIVE TRANSACTION;\n";
    char timestamp[32];
    for (const auto& row : rows) {
      std::snprintf(timestamp, sizeof timestamp, "%.17g", row.timestamp);
      out << "INSERT OR REPLACE INTO raw_events (data, is_realtime, metadata_fingerprint, name, timestamp) VALUES (X'"
          << hex(row.data) << "', 0, " << row.fingerprint << ", '" << row.name << "', " << timestamp << ");\n";
    }
    out << "END TRANSACTION;\n";
  }
  {
    std::ofstream out(select);
    out << "SELECT rowid, * FROM raw_events ORDER BY rowid LIMIT -1;\n";
  }
  runCommand("sqlite3 " + database + " < " + schema);
  // The tool's own start is paid by every run; it is taken off both figures.
  double startup = runCommand("sqlite3 " + database + " 'SELECT 1' > /dev/null");
  double insert = runCommand("sqlite3 " + database + " < " + inserts) - startup;
  double read = runCommand("sqlite3 " + database + " < " + select + " > /dev/null") - startup;
  return {insert, read};
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

  std::vector<double> storeInsert, storeRead, cliInsert, cliRead;
  for (int run = 0; run < kRuns; ++run) {
    std::string runFolder = folder + "/run" + std::to_string(run);
    if (!foundation::createDirectory(runFolder)) return 1;
    Figures store = storeRun(rows, runFolder + "/home");
    Figures cli = cliRun(rows, runFolder);
    storeInsert.push_back(store.insert);
    storeRead.push_back(store.read);
    cliInsert.push_back(cli.insert);
    cliRead.push_back(cli.read);
  }
  (void)foundation::removeItem(folder);

  const double si = median(storeInsert), sr = median(storeRead), ci = median(cliInsert), cr = median(cliRead);
  report("database_store_insert_10000_rows", si, "ms");
  report("database_cli_insert_10000_rows", ci, "ms");
  report("database_store_to_cli_insert_ratio", si / ci, "x");
  report("database_store_read_10000_rows", sr, "ms");
  report("database_cli_read_10000_rows", cr, "ms");
  report("database_store_to_cli_read_ratio", sr / cr, "x");
  return 0;
}

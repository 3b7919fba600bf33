// The floor the store is measured against: the same rows written and read
// through SQLite's C interface directly, one prepared statement per side,
// values bound and read without any layer between.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// One raw event row, as both sides hold it in memory.
struct EventRow {
  std::int64_t rowid = 0;
  std::string name;
  double timestamp = 0;
  std::int64_t fingerprint = 0;
  std::vector<std::uint8_t> data;
  bool isRealtime = false;
  bool operator==(const EventRow&) const = default;
};

class SqliteReference {
 public:
  // Opens the file, which already holds the raw events table.
  explicit SqliteReference(const std::string& path);
  ~SqliteReference();
  SqliteReference(const SqliteReference&) = delete;
  SqliteReference& operator=(const SqliteReference&) = delete;

  bool ok() const { return handle_ != nullptr; }
  // Every row in one exclusive transaction.
  bool insert(const std::vector<EventRow>& rows);
  // Every row in row id order.
  bool read(std::vector<EventRow>& rows);

 private:
  sqlite3* handle_ = nullptr;
};

}  // namespace bench

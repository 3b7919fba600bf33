#include "bench/SqliteReference.h"

#include <cstring>

namespace bench {

SqliteReference::SqliteReference(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &handle_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(handle_);
    handle_ = nullptr;
  }
}

SqliteReference::~SqliteReference() { sqlite3_close(handle_); }

bool SqliteReference::insert(const std::vector<EventRow>& rows) {
  if (sqlite3_exec(handle_, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr) != SQLITE_OK) return false;
  sqlite3_stmt* statement = nullptr;
  bool ok = sqlite3_prepare_v2(handle_,
                               "INSERT OR REPLACE INTO raw_events (data, is_realtime, metadata_fingerprint, name, "
                               "timestamp) VALUES (?, ?, ?, ?, ?)",
                               -1, &statement, nullptr) == SQLITE_OK;
  for (std::size_t i = 0; ok && i < rows.size(); ++i) {
    const EventRow& row = rows[i];
    sqlite3_bind_blob64(statement, 1, row.data.data(), row.data.size(), SQLITE_STATIC);
    sqlite3_bind_int64(statement, 2, row.isRealtime);
    sqlite3_bind_int64(statement, 3, row.fingerprint);
    sqlite3_bind_text64(statement, 4, row.name.data(), row.name.size(), SQLITE_STATIC, SQLITE_UTF8);
    sqlite3_bind_double(statement, 5, row.timestamp);
    ok = sqlite3_step(statement) == SQLITE_DONE;
    sqlite3_reset(statement);
  }
  sqlite3_finalize(statement);
  return sqlite3_exec(handle_, ok ? "END TRANSACTION" : "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK && ok;
}

bool SqliteReference::read(std::vector<EventRow>& rows) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(handle_,
                         "SELECT rowid, name, timestamp, metadata_fingerprint, data, is_realtime FROM raw_events "
                         "ORDER BY rowid",
                         -1, &statement, nullptr) != SQLITE_OK) {
    return false;
  }
  int result;
  while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
    EventRow row;
    row.rowid = sqlite3_column_int64(statement, 0);
    row.name.assign(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)),
                    static_cast<std::size_t>(sqlite3_column_bytes(statement, 1)));
    row.timestamp = sqlite3_column_double(statement, 2);
    row.fingerprint = sqlite3_column_int64(statement, 3);
    const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, 4));
    row.data.assign(bytes, bytes + sqlite3_column_bytes(statement, 4));
    row.isRealtime = sqlite3_column_int64(statement, 5) != 0;
    rows.push_back(std::move(row));
  }
  sqlite3_finalize(statement);
  return result == SQLITE_DONE;
}

}  // namespace bench

// A measurement database file that a child program wrote, read with SQLite
// itself rather than through the SDK.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

namespace testkit {

struct SqliteFile {
  sqlite3* handle = nullptr;
  // Read-write: a killed writer may leave a hot journal, which only a writer can roll back.
  explicit SqliteFile(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) handle = nullptr;
  }
  ~SqliteFile() { sqlite3_close(handle); }
  SqliteFile(const SqliteFile&) = delete;
  SqliteFile& operator=(const SqliteFile&) = delete;

  // The rows of a query, each as its columns' text or blob bytes.
  std::vector<std::vector<std::string>> rows(const char* sql) {
    std::vector<std::vector<std::string>> out;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(handle, sql, -1, &statement, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sqlite3_errmsg(handle);
      return out;
    }
    while (sqlite3_step(statement) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(statement); ++i) {
        auto bytes = static_cast<const char*>(sqlite3_column_blob(statement, i));
        row.emplace_back(bytes ? bytes : "", sqlite3_column_bytes(statement, i));
      }
      out.push_back(std::move(row));
    }
    sqlite3_finalize(statement);
    return out;
  }
};

}  // namespace testkit

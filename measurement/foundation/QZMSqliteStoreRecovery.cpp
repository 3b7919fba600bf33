// What the store does with a file that fails its integrity check: rebuild
// the indexes when only they are damaged, else copy every row that can still
// be read into a fresh file, and only then give the file up, moving it aside
// so that nothing is ever lost by the recovery itself.
#include <sqlite3.h>

#include <cstdio>
#include <string>
#include <vector>

#include "absl/cleanup/cleanup.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"
#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMSqliteStore.h"
#include "platform/foundation/Files.h"

using foundation::Result;
using foundation::Status;

namespace {

constexpr const char* kCompanionSuffixes[] = {"-journal", "-wal", "-shm"};

void log(std::int64_t level, std::int64_t code, std::string_view message, const std::string& context) {
  QZMMeasurementBase::monitor()->logWithLevel(level, code, message, context);
}

std::string quoted(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

// A connection of the recovery's own, closed when it goes.
struct Connection {
  sqlite3* handle = nullptr;
  ~Connection() { sqlite3_close(handle); }
  bool open(const std::string& path, int flags) {
    if (sqlite3_open_v2(path.c_str(), &handle, flags, nullptr) == SQLITE_OK) return true;
    sqlite3_close(handle);
    handle = nullptr;
    return false;
  }
  bool exec(const std::string& sql) const {
    return sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  bool sound() const {
    sqlite3_stmt* check = nullptr;
    bool ok = sqlite3_prepare_v2(handle, "PRAGMA integrity_check", -1, &check, nullptr) == SQLITE_OK &&
              sqlite3_step(check) == SQLITE_ROW &&
              std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(check, 0))) == "ok" &&
              sqlite3_step(check) == SQLITE_DONE;
    sqlite3_finalize(check);
    return ok;
  }
};

struct SchemaEntry {
  std::string type, name, sql;
};

// The damaged file's own schema, tables first so that their indexes and
// triggers find them.
bool readSchema(const Connection& damaged, std::vector<SchemaEntry>& entries) {
  sqlite3_stmt* statement = nullptr;
  absl::Cleanup finalize = [&] { sqlite3_finalize(statement); };
  if (sqlite3_prepare_v2(damaged.handle,
                         "SELECT type, name, sql FROM sqlite_master WHERE sql IS NOT NULL AND "
                         "substr(name, 1, 7) <> 'sqlite_' ORDER BY type <> 'table', rowid",
                         -1, &statement, nullptr) != SQLITE_OK) {
    return false;
  }
  int result;
  while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
    auto text = [&](int i) {
      const unsigned char* t = sqlite3_column_text(statement, i);
      return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
    };
    entries.push_back({text(0), text(1), text(2)});
  }
  return result == SQLITE_DONE;
}

std::vector<std::string> columnsOf(const Connection& damaged, const std::string& table) {
  std::vector<std::string> columns;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(damaged.handle, absl::StrCat("PRAGMA table_info(", quoted(table), ")").c_str(), -1,
                         &statement, nullptr) == SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      const unsigned char* name = sqlite3_column_text(statement, 1);
      if (name) columns.push_back(quoted(reinterpret_cast<const char*>(name)));
    }
  }
  sqlite3_finalize(statement);
  return columns;
}

// Copies the rows of one table that can be read, each with its row id: a
// walk up to the first unreadable page, then one down from the end to it.
// Returns the number of rows copied, or -1 when nothing could be tried.
std::int64_t copyReadableRows(const Connection& damaged, const Connection& out, const std::string& table) {
  std::vector<std::string> columns = columnsOf(damaged, table);
  if (columns.empty()) return -1;
  std::string list = absl::StrJoin(columns, ", ");
  std::vector<std::string> marks(columns.size() + 1, "?");
  sqlite3_stmt* insert = nullptr;
  absl::Cleanup finalizeInsert = [&] { sqlite3_finalize(insert); };
  if (sqlite3_prepare_v2(out.handle,
                         absl::StrCat("INSERT OR IGNORE INTO main.", quoted(table), " (rowid, ", list, ") VALUES (",
                                      absl::StrJoin(marks, ", "), ")")
                             .c_str(),
                         -1, &insert, nullptr) != SQLITE_OK) {
    return -1;
  }
  std::int64_t copied = 0;
  for (const char* order : {"ASC", "DESC"}) {
    sqlite3_stmt* select = nullptr;
    if (sqlite3_prepare_v2(damaged.handle,
                           absl::StrCat("SELECT rowid, ", list, " FROM ", quoted(table), " ORDER BY rowid ",
                                        order)
                               .c_str(),
                           -1, &select, nullptr) != SQLITE_OK) {
      sqlite3_finalize(select);
      return -1;
    }
    while (sqlite3_step(select) == SQLITE_ROW) {
      for (int i = 0; i <= static_cast<int>(columns.size()); ++i)
        sqlite3_bind_value(insert, i + 1, sqlite3_column_value(select, i));
      if (sqlite3_step(insert) == SQLITE_DONE) copied += sqlite3_changes(out.handle);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(select);
  }
  return copied;
}

}  // namespace

bool QZMSqliteStore::repairDamagedDatabase() {
  closeDatabase();
  {
    // Damage confined to indexes is mended by building them again from the
    // tables, in place.
    Connection damaged;
    if (damaged.open(databasePath_, SQLITE_OPEN_READWRITE) && damaged.exec("REINDEX") && damaged.sound()) {
      log(4, 34023, "Damaged database mended by rebuilding its indexes", databasePath_);
      return true;
    }
  }
  const std::string fresh = databasePath_ + ".salvage";
  // What an interrupted salvage left is a partial copy of rows still in the
  // damaged file.
  (void)deleteDatabaseFilesAtPath(fresh);
  std::int64_t copied = 0;
  {
    // The damaged file is read through a connection of its own, so that
    // what its damage does to a read stays out of the copy's transaction.
    Connection damaged, out;
    std::vector<SchemaEntry> schema;
    bool ok = damaged.open(databasePath_, SQLITE_OPEN_READWRITE) && readSchema(damaged, schema) && !schema.empty() &&
              out.open(fresh, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) && out.exec("BEGIN");
    // Tables first, with their rows; then indexes, views and triggers.
    for (const auto& entry : schema) {
      if (!ok || entry.type != "table") continue;
      std::int64_t rows = out.exec(entry.sql) ? copyReadableRows(damaged, out, entry.name) : -1;
      ok = rows >= 0;
      copied += rows;
    }
    for (const auto& entry : schema) {
      if (ok && entry.type != "table") ok = out.exec(entry.sql);
    }
    ok = ok && out.exec("COMMIT") && out.sound();
    if (!ok) {
      if (out.handle) {
        sqlite3_close(out.handle);
        out.handle = nullptr;
        (void)deleteDatabaseFilesAtPath(fresh);
      }
      return false;
    }
  }
  // The damaged file, which cannot move, then goes on to the caller's own
  // attempt (and its log line).
  auto aside = moveDatabaseFilesAside(databasePath_);
  if (!aside) {
    (void)deleteDatabaseFilesAtPath(fresh);
    return false;
  }
  // Should the copy not take its place, its rows stay in it beside the
  // damaged file, and the store starts from an empty file.
  if (!foundation::moveItem(fresh, databasePath_)) return false;
  log(4, 34024, absl::StrCat("Damaged database rebuilt from its ", copied, " readable rows; the damaged file is kept as"),
      *aside);
  return true;
}

bool QZMSqliteStore::closeAndMoveAsideDatabase() {
  closeDatabase();
  if (!foundation::fileExists(databasePath_)) return true;
  auto aside = moveDatabaseFilesAside(databasePath_);
  if (!aside) {
    log(1, 34019, "Failed to delete database. Error", aside.error().text());
    return false;
  }
  log(4, 34025, "Damaged database replaced by an empty one; the damaged file is kept as", *aside);
  return true;
}

Result<std::string> QZMSqliteStore::moveDatabaseFilesAside(const std::string& path) {
  (void)QZMSetFileImmutable(path, false);
  auto aside = foundation::moveAside(path, ".corrupt");
  if (!aside) return aside.error();
  // A journal belongs with its file: left here it would be played back into
  // the next file made at this path.
  for (const char* suffix : kCompanionSuffixes) {
    std::string companion = path + suffix;
    if (!foundation::fileExists(companion)) continue;
    if (!foundation::moveItem(companion, *aside + suffix)) (void)foundation::removeItem(companion);
  }
  return aside;
}

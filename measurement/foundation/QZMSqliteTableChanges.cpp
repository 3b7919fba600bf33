#include "measurement/foundation/QZMSqliteTableChanges.h"

#include <algorithm>
#include <iterator>

void QZMSqliteTableChanges::attach(sqlite3* handle) {
  detach();
  handle_ = handle;
  noteAnyChange();
  comparedTotalChanges_ = 0;
  hookedChanges_ = 0;
  dataVersion_.reset();
  versionSeenInTransaction_ = false;
  lookedInSharedLook_ = false;
  if (!handle_) return;
  sqlite3_update_hook(handle_, &QZMSqliteTableChanges::noteRowChange, this);
  sqlite3_rollback_hook(handle_, &QZMSqliteTableChanges::noteRollback, this);
}

void QZMSqliteTableChanges::detach() {
  if (!handle_) return;
  // A statement left alive would keep the connection from closing.
  sqlite3_finalize(dataVersionStatement_);
  dataVersionStatement_ = nullptr;
  sqlite3_update_hook(handle_, nullptr, nullptr);
  sqlite3_rollback_hook(handle_, nullptr, nullptr);
  handle_ = nullptr;
  noteAnyChange();
}

void QZMSqliteTableChanges::noteTransactionBegan() {
  if (!handle_) return;
  lookAtDataVersion();
  versionSeenInTransaction_ = true;
}

void QZMSqliteTableChanges::noteRowChange(void* changes, int, const char*, const char* table, sqlite3_int64) {
  auto* self = static_cast<QZMSqliteTableChanges*>(changes);
  ++self->hookedChanges_;
  for (TableCount& counted : self->tables_) {
    if (counted.table == table) ++counted.count;
  }
}

void QZMSqliteTableChanges::noteRollback(void* changes) {
  auto* self = static_cast<QZMSqliteTableChanges*>(changes);
  self->noteAnyChange();
  self->versionSeenInTransaction_ = false;
}

void QZMSqliteTableChanges::lookAtDataVersion() {
  if (!dataVersionStatement_ &&
      sqlite3_prepare_v3(handle_, "PRAGMA data_version", -1, SQLITE_PREPARE_PERSISTENT, &dataVersionStatement_,
                         nullptr) != SQLITE_OK) {
    sqlite3_finalize(dataVersionStatement_);
    dataVersionStatement_ = nullptr;
  }
  std::optional<std::int64_t> version;
  if (dataVersionStatement_) {
    if (sqlite3_step(dataVersionStatement_) == SQLITE_ROW) version = sqlite3_column_int64(dataVersionStatement_, 0);
    sqlite3_reset(dataVersionStatement_);
  }
  // A version not known before, as one that could not be read, may hide a
  // commit.
  if (!version || !dataVersion_ || *version != *dataVersion_) noteAnyChange();
  dataVersion_ = version;
  lookedInSharedLook_ = version && sharedLooks_ > 0;
}

std::uint64_t QZMSqliteTableChanges::changeCountOfTable(std::string_view table) {
  if (handle_) {
    const bool inTransaction = sqlite3_get_autocommit(handle_) == 0;
    const bool seen = inTransaction ? versionSeenInTransaction_ : lookedInSharedLook_;
    if (!seen) lookAtDataVersion();
    versionSeenInTransaction_ = inTransaction;
    // A table emptied at once (DELETE without WHERE) changes its rows out of
    // the hook's sight, but not out of SQLite's total.
    sqlite3_int64 total = sqlite3_total_changes64(handle_);
    if (total != comparedTotalChanges_ + hookedChanges_) noteAnyChange();
    comparedTotalChanges_ = total;
    hookedChanges_ = 0;
  }
  auto found =
      std::find_if(tables_.begin(), tables_.end(), [&](const TableCount& counted) { return counted.table == table; });
  if (found == tables_.end()) {
    tables_.push_back({std::string(table), 0});
    found = std::prev(tables_.end());
  }
  return found->count + anyChanges_;
}

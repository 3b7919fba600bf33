// A count per table that moves whenever the table's rows may have changed,
// so that a reader may keep what it learnt of a table while the count stays
// put. Rows written or deleted through the connection are counted by
// SQLite's update hook, one per row; whatever escapes a row-by-row count
// moves every table's count at once: a rolled-back transaction, a table
// emptied at once, raw SQL, a reopened file, and any commit by another
// connection or process on the same file (which "PRAGMA data_version"
// reveals).
//
// Another connection can only commit while this one holds no transaction:
// the version is looked at when a transaction begins and at every count
// asked outside one, unless a shared look is open. Each look outside a
// transaction takes and drops the file's lock, so a caller taking a series
// of decisions opens one: its counts then share the last look made in it,
// and its decisions are taken as of that moment.
//
// Used by the store that owns the connection, on its one queue.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QZMSqliteTableChanges {
 public:
  QZMSqliteTableChanges() = default;
  ~QZMSqliteTableChanges() { detach(); }
  QZMSqliteTableChanges(const QZMSqliteTableChanges&) = delete;
  QZMSqliteTableChanges& operator=(const QZMSqliteTableChanges&) = delete;

  // Follows a newly opened connection; every count moves.
  void attach(sqlite3* handle);
  // Lets go of the connection before it closes; every count moves.
  void detach();

  // After this connection began a transaction, and when it ended one.
  void noteTransactionBegan();
  void noteTransactionEnded() { versionSeenInTransaction_ = false; }
  // Moves every table's count.
  void noteAnyChange() { ++anyChanges_; }
  // Shared looks nest; the first count or transaction after the outermost
  // opens looks again.
  void openSharedLook() { ++sharedLooks_; }
  void closeSharedLook() {
    if (sharedLooks_ > 0 && --sharedLooks_ == 0) lookedInSharedLook_ = false;
  }

  // The table's count now; counting starts at its first call.
  std::uint64_t changeCountOfTable(std::string_view table);

 private:
  struct TableCount {
    std::string table;
    std::uint64_t count = 0;
  };
  static void noteRowChange(void* changes, int operation, const char* database, const char* table,
                            sqlite3_int64 rowID);
  static void noteRollback(void* changes);
  // Moves every count when another connection committed since the last
  // look, or when the look fails (nothing is known then).
  void lookAtDataVersion();

  sqlite3* handle_ = nullptr;
  // "PRAGMA data_version", kept prepared; nullptr until first needed.
  sqlite3_stmt* dataVersionStatement_ = nullptr;
  std::optional<std::int64_t> dataVersion_;
  // Whether the version was looked at inside the current transaction, after
  // which no other connection can commit until it ends.
  bool versionSeenInTransaction_ = false;
  int sharedLooks_ = 0;
  bool lookedInSharedLook_ = false;
  std::vector<TableCount> tables_;
  std::uint64_t anyChanges_ = 0;
  // SQLite's total of changed rows when last compared, and the hook's calls
  // since: a difference means changes the hook did not see.
  sqlite3_int64 comparedTotalChanges_ = 0;
  sqlite3_int64 hookedChanges_ = 0;
};

// A dictionary held in memory and written as a property-list file in the
// measurement folder, at most once a second: the first change after a write
// schedules the next one a second later, and later changes ride along. The
// memory is the truth; the file follows. Safe from any thread.
//
// A file that does not parse is kept beside the store as "<file>.corrupt"
// and the store starts empty. A file that cannot be read, or a damaged one
// that cannot be kept aside, is left as it is: the store starts empty and
// never writes over it.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "measurement/foundation/QZMConfigStore.h"
#include "platform/dispatch/Queue.h"

class QZMPersistentDictionary final : public QZMConfigStore,
                                      public std::enable_shared_from_this<QZMPersistentDictionary> {
 public:
  // nullptr for an empty name, when no path can be formed, or when the
  // folder cannot be created (logged).
  static std::shared_ptr<QZMPersistentDictionary> initWithFileName(std::string_view fileName);
  // A store without a file, for an owner that must keep working when its
  // file cannot be made.
  static std::shared_ptr<QZMPersistentDictionary> inMemory();
  // Writes at once when a write is pending.
  ~QZMPersistentDictionary() override;

  std::optional<foundation::Object> objectForKey(std::string_view key) const override;
  void setObject(const foundation::Object& value, std::string_view key) override;
  void clearAllData() override;
  // Nothing to do: the store writes itself.
  void synchronize() override {}

  void schedulePersistToDisk();
  void persistToDisk();
  // Writes now, on the caller's thread, when a change is not yet on disk.
  void persistPendingChangesToDisk();

  // "" for a store in memory only.
  const std::string& filePath() const { return path_; }
  // The queue the file is written on.
  const std::shared_ptr<dispatch::Queue>& serialQueue() const { return serialQueue_; }

  struct Token {};
  QZMPersistentDictionary(Token, std::string path, foundation::Dictionary content, bool writable);

 private:
  void schedulePersistToDiskLocked();
  void writeWhileHoldingWriteMutex();

  const std::string path_;
  // False when the file holds data that could not be read nor kept aside.
  const bool writable_;
  const std::shared_ptr<dispatch::Queue> serialQueue_;
  mutable std::mutex mutex_;
  // Held across a write, so that of two writers the later one puts the
  // newer content in place.
  std::mutex writeMutex_;
  foundation::Dictionary content_;
  bool hasPendingPersistence_ = false;
};

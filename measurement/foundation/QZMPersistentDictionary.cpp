#include "measurement/foundation/QZMPersistentDictionary.h"

#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/foundation/QZMLogging.h"
#include "platform/foundation/Files.h"
#include "platform/foundation/PropertyList.h"

namespace {

constexpr double kPersistDelaySeconds = 1.0;

struct Loaded {
  foundation::Dictionary content;
  bool writable = true;
};

Loaded loadFile(const std::string& path) {
  if (!foundation::fileExists(path)) return {};
  auto read = foundation::readPropertyListDictionary(path);
  if (read) return {std::move(*read), true};
  // A file that cannot be read now (no access, an I/O error) may be sound:
  // it is not taken for damage, and nothing is written over it.
  // Nor is one too long to read.
  if (read.error().code == foundation::kPropertyListUnreadable ||
      read.error().code == foundation::kPropertyListTooLarge) {
    QZMLogStoreError(43005, "Cannot read configs from disk. The file is left as it is: " + read.error().description);
    return {{}, false};
  }
  // An earlier damaged copy keeps its name; this one gets the next.
  if (auto aside = foundation::moveAside(path, ".corrupt")) {
    QZMLogStoreError(43005, "Cannot read configs from disk. The file was kept as " + *aside);
    return {};
  }
  QZMLogStoreError(43005, "Cannot read configs from disk. The file is left as it is: " + read.error().description);
  return {{}, false};
}

}  // namespace

QZMPersistentDictionary::QZMPersistentDictionary(Token, std::string path, foundation::Dictionary content, bool writable)
    : path_(std::move(path)),
      writable_(writable),
      serialQueue_(dispatch::Queue::create("QZMPersistentDictionary")),
      content_(std::move(content)) {}

std::shared_ptr<QZMPersistentDictionary> QZMPersistentDictionary::initWithFileName(std::string_view fileName) {
  if (fileName.empty()) return nullptr;
  std::string path = QZMApplicationSupportPlistPath(fileName);
  if (path.empty()) return nullptr;
  if (!foundation::createDirectory(foundation::deletingLastPathComponent(path))) {
    QZMLogStoreError(43004, "Cannot create subdirectories for config plist files.");
    return nullptr;
  }
  Loaded loaded = loadFile(path);
  return std::make_shared<QZMPersistentDictionary>(Token{}, std::move(path), std::move(loaded.content), loaded.writable);
}

std::shared_ptr<QZMPersistentDictionary> QZMPersistentDictionary::inMemory() {
  return std::make_shared<QZMPersistentDictionary>(Token{}, "", foundation::Dictionary(), true);
}

QZMPersistentDictionary::~QZMPersistentDictionary() { persistPendingChangesToDisk(); }

std::optional<foundation::Object> QZMPersistentDictionary::objectForKey(std::string_view key) const {
  if (!isValidKey(key)) {
    QZMLogStoreWarning(43001, "Cannot get object for invalid config key.");
    return std::nullopt;
  }
  std::lock_guard lock(mutex_);
  auto it = content_.find(key);
  if (it == content_.end()) return std::nullopt;
  return it->second;
}

void QZMPersistentDictionary::setObject(const foundation::Object& value, std::string_view key) {
  if (!isValidKey(key)) {
    QZMLogStoreWarning(43002, "Cannot set object for invalid config key.");
    return;
  }
  if (value.isNull()) {
    std::lock_guard lock(mutex_);
    auto it = content_.find(key);
    if (it == content_.end()) return;
    content_.erase(it);
    schedulePersistToDiskLocked();
    return;
  }
  if (!isValidValue(value)) {
    QZMLogStoreWarning(43003, "Cannot set invalid object to config. Must be a string, number, array, dictionary, "
                              "date, or data. Value " + value.description());
    return;
  }
  std::lock_guard lock(mutex_);
  auto it = content_.find(key);
  if (it != content_.end()) {
    if (it->second == value) return;
    it->second = value;
  } else {
    content_.emplace(std::string(key), value);
  }
  schedulePersistToDiskLocked();
}

void QZMPersistentDictionary::clearAllData() {
  std::lock_guard lock(mutex_);
  if (content_.empty()) return;
  content_.clear();
  schedulePersistToDiskLocked();
}

void QZMPersistentDictionary::schedulePersistToDisk() {
  std::lock_guard lock(mutex_);
  schedulePersistToDiskLocked();
}

void QZMPersistentDictionary::schedulePersistToDiskLocked() {
  if (hasPendingPersistence_ || path_.empty()) return;
  hasPendingPersistence_ = true;
  std::weak_ptr<QZMPersistentDictionary> weak = weak_from_this();
  serialQueue_->asyncAfter(kPersistDelaySeconds, [weak] {
    if (auto self = weak.lock()) self->persistToDisk();
  });
}

void QZMPersistentDictionary::persistPendingChangesToDisk() {
  // Behind a write already under way: it may hold the newest content and
  // must be on disk before this returns.
  std::lock_guard writing(writeMutex_);
  bool pending;
  {
    std::lock_guard lock(mutex_);
    pending = hasPendingPersistence_;
  }
  if (pending) writeWhileHoldingWriteMutex();
}

void QZMPersistentDictionary::persistToDisk() {
  std::lock_guard writing(writeMutex_);
  writeWhileHoldingWriteMutex();
}

void QZMPersistentDictionary::writeWhileHoldingWriteMutex() {
  foundation::Dictionary snapshot;
  {
    std::lock_guard lock(mutex_);
    snapshot = content_;
    hasPendingPersistence_ = false;
  }
  if (path_.empty()) return;
  if (!writable_) {
    QZMLogStoreError(43000, "Cannot persist configs to disk");
    return;
  }
  if (!foundation::writePropertyListFile(path_, foundation::Object(std::move(snapshot)))) {
    QZMLogStoreError(43000, "Cannot persist configs to disk");
  }
}

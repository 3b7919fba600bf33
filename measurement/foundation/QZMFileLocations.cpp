#include "measurement/foundation/QZMFileLocations.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "measurement/foundation/QZMError.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "platform/foundation/Files.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/UserDefaults.h"

namespace {

// <root>/<folder>/<file name>; "" for an empty name, and "" with a line when
// the platform has no such root.
std::string pathUnder(const std::string& root, const char* folder, std::string_view fileName, std::int64_t code,
                      const char* missingRoot) {
  if (fileName.empty()) return {};
  if (root.empty()) {
    QZMMeasurementBase::monitor()->logWithLevel(2, code, missingRoot);
    return {};
  }
  return foundation::appendingPathComponent(foundation::appendingPathComponent(root, folder), std::string(fileName));
}

std::string measurementPath(std::string_view fileName) {
  return pathUnder(foundation::Paths::applicationSupportDirectory(), kQZMMeasurementDirectory, fileName, 19001,
                   "NSSearchPath for ApplicationSupport directory is empty");
}

}  // namespace

std::string QZMApplicationSupportFilePath(std::string_view fileName) { return measurementPath(fileName); }

std::string QZMApplicationSupportPlistPath(std::string_view name) {
  if (name.empty()) return {};
  std::string fileName(name);
  if (foundation::pathExtension(fileName) != "plist") fileName += ".plist";
  return measurementPath(fileName);
}

std::string QZMPreferencesPlistPath(std::string_view suiteName) {
  if (suiteName.empty()) return {};
  return pathUnder(foundation::Paths::libraryDirectory(), "Preferences", std::string(suiteName) + ".plist", 19000,
                   "NSSearchPath for Library directory is empty");
}

foundation::Status QZMExcludeFileFromBackup(const std::string& path) {
  return foundation::setExcludedFromBackup(path, true);
}

namespace {

// The inode flags of the file: FS_IOC_GETFLAGS and FS_IOC_SETFLAGS work on
// an int, whatever their declared type.
foundation::Result<int> inodeFlags(int fd, const std::string& path) {
  int flags = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
    if (errno == ENOTTY || errno == EOPNOTSUPP || errno == EINVAL) return 0;
    return foundation::posixError(errno, "cannot read the flags of " + path);
  }
  return flags;
}

}  // namespace

foundation::Result<bool> QZMIsFileImmutable(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return foundation::posixError(errno, "cannot open " + path);
  auto flags = inodeFlags(fd, path);
  ::close(fd);
  if (!flags) return flags.error();
  return (*flags & FS_IMMUTABLE_FL) != 0;
}

foundation::Status QZMSetFileImmutable(const std::string& path, bool immutable) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return foundation::posixError(errno, "cannot open " + path);
  auto flags = inodeFlags(fd, path);
  if (!flags) {
    ::close(fd);
    return flags.error();
  }
  int wanted = immutable ? (*flags | FS_IMMUTABLE_FL) : (*flags & ~FS_IMMUTABLE_FL);
  int result = wanted == *flags ? 0 : ::ioctl(fd, FS_IOC_SETFLAGS, &wanted);
  int error = errno;
  ::close(fd);
  if (result != 0) return foundation::posixError(error, "cannot change the immutable flag of " + path);
  return {};
}

foundation::Status QZMDeleteFileAtPath(const std::string& path) {
  if (path.empty()) return qzm_errorWithCode(1, "Received empty path for deleting file");
  return foundation::removeItem(path);
}

bool QZMMigratePreferencesSuiteToApplicationSupport(std::string_view suiteName) {
  if (suiteName.empty()) return false;
  std::string oldPath = QZMPreferencesPlistPath(suiteName);
  std::string newPath = QZMApplicationSupportPlistPath(suiteName);
  if (oldPath.empty() || newPath.empty()) return false;
  // Once the file has gone, the suite must not be written back from memory.
  auto releaseSuite = [&] { foundation::UserDefaults::forgetSuite(std::string(suiteName)); };

  if (!foundation::fileExists(oldPath)) {
    releaseSuite();
    return true;
  }
  if (foundation::isDirectory(oldPath)) return false;
  if (!foundation::fileExists(newPath)) {
    if (!foundation::createDirectory(foundation::deletingLastPathComponent(newPath))) return false;
    if (!foundation::moveItem(oldPath, newPath)) return false;
    releaseSuite();
    return true;
  }
  if (foundation::isDirectory(newPath)) return false;
  if (!QZMDeleteFileAtPath(oldPath)) return false;
  releaseSuite();
  return true;
}

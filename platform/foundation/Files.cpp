#include "platform/foundation/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

namespace foundation {
namespace {

constexpr const char* kBackupAttribute = "user.tolv.exclude-from-backup";

Status writeAll(int fd, const void* bytes, std::size_t length, const std::string& path) {
  const char* p = static_cast<const char*>(bytes);
  while (length > 0) {
    ssize_t n = ::write(fd, p, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return posixError(errno, "cannot write " + path);
    }
    p += n;
    length -= static_cast<std::size_t>(n);
  }
  return {};
}

// Temporaries are "<name>.tmp.XXXXXX" beside the target; a writer holds an
// exclusive lock on its own from creation to rename, so one that nobody holds
// was left by a writer that died.
constexpr const char* kTemporaryInfix = ".tmp.";
constexpr std::size_t kTemporaryRandomLength = 6;

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

void removeStaleTemporaries(const std::string& folder, const std::string& path) {
  const std::string prefix = lastPathComponent(path) + kTemporaryInfix;
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return;
  std::vector<std::string> candidates;
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.size() == prefix.size() + kTemporaryRandomLength && name.substr(0, prefix.size()) == prefix)
      candidates.push_back(appendingPathComponent(folder, std::string(name)));
  }
  ::closedir(dir);
  for (const auto& candidate : candidates) {
    int fd = ::open(candidate.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    struct stat held{}, named{};
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
        ::lstat(candidate.c_str(), &named) == 0 && sameFile(held, named)) {
      ::unlink(candidate.c_str());
    }
    ::close(fd);
  }
}

// A new temporary for the target, locked and still in place under its name
// (a cleaner that got to it before the lock took it away).
int createLockedTemporary(const std::string& path, std::string& temporary) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    temporary = path + kTemporaryInfix + std::string(kTemporaryRandomLength, 'X');
    int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    bool locked = ::flock(fd, LOCK_EX) == 0;
    struct stat held{}, named{};
    bool inPlace = ::fstat(fd, &held) == 0 && ::lstat(temporary.c_str(), &named) == 0 && sameFile(held, named);
    if (locked && inPlace) return fd;
    if (inPlace) ::unlink(temporary.c_str());
    ::close(fd);
  }
  errno = EAGAIN;
  return -1;
}

}  // namespace

bool fileExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Result<Data> readFile(const std::string& path, std::size_t maxLength) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return posixError(errno, "cannot open " + path);
  auto tooLong = [&] {
    ::close(fd);
    return posixError(EFBIG, "cannot read " + path + ": longer than " + std::to_string(maxLength) + " bytes");
  };
  struct stat st{};
  if (::fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) > maxLength) return tooLong();
  Data bytes;
  std::uint8_t buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      return posixError(e, "cannot read " + path);
    }
    if (n == 0) break;
    // A file that grows while it is read is held to the same limit.
    if (bytes.size() + static_cast<std::size_t>(n) > maxLength) return tooLong();
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  ::close(fd);
  return bytes;
}

Status writeFileAtomically(const std::string& path, const void* bytes, std::size_t length, int mode) {
  std::string folder = deletingLastPathComponent(path);
  if (!folder.empty() && !isDirectory(folder)) {
    if (auto made = createDirectory(folder); !made) return made;
  }
  removeStaleTemporaries(folder, path);
  std::string temporary;
  int fd = createLockedTemporary(path, temporary);
  if (fd < 0) return posixError(errno, "cannot create a temporary file for " + path);
  auto fail = [&](Error e) -> Status {
    ::close(fd);
    ::unlink(temporary.c_str());
    return e;
  };
  if (::fchmod(fd, static_cast<mode_t>(mode)) != 0) return fail(posixError(errno, "cannot set the mode of " + path));
  // The rename puts a new file in place; a file kept out of backups must stay out.
  if (isExcludedFromBackup(path) && ::fsetxattr(fd, kBackupAttribute, "1", 1, 0) != 0)
    return fail(posixError(errno, "cannot exclude " + path + " from backup"));
  if (auto written = writeAll(fd, bytes, length, path); !written) return fail(written.error());
  if (::fsync(fd) != 0) return fail(posixError(errno, "cannot flush " + path));
  if (::close(fd) != 0) {
    int e = errno;
    ::unlink(temporary.c_str());
    return posixError(e, "cannot close " + path);
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    int e = errno;
    ::unlink(temporary.c_str());
    return posixError(e, "cannot replace " + path);
  }
  // The rename itself is made durable with the folder.
  int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return {};
}

Status createDirectory(const std::string& path, int mode) {
  if (path.empty()) return Error(kFoundationErrorDomain, 1, "cannot create a folder with an empty path");
  std::error_code ec;
  bool created = std::filesystem::create_directories(path, ec);
  if (ec) return Error(kPOSIXErrorDomain, ec.value(), "cannot create " + path + ": " + ec.message());
  if (!isDirectory(path)) return posixError(ENOTDIR, "cannot create " + path);
  // A folder that was there already keeps its mode (it may be a shared one).
  if (created) ::chmod(path.c_str(), static_cast<mode_t>(mode));
  return {};
}

Status removeItem(const std::string& path) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0) return posixError(errno, "cannot remove " + path);
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (ec) return Error(kPOSIXErrorDomain, ec.value(), "cannot remove " + path + ": " + ec.message());
  return {};
}

Status moveItem(const std::string& from, const std::string& to) {
  if (fileExists(to)) return posixError(EEXIST, "cannot move " + from + " to " + to);
  if (::rename(from.c_str(), to.c_str()) != 0) return posixError(errno, "cannot move " + from + " to " + to);
  return {};
}

Result<std::string> moveAside(const std::string& path, const std::string& suffix) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0) return posixError(errno, "cannot move aside " + path);
  for (int n = 1; n <= 1000; ++n) {
    std::string target = path + suffix + (n == 1 ? "" : "." + std::to_string(n));
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return target;
    int e = errno;
    if (e == EINVAL || e == ENOSYS) {
      // A file system without no-replace renames: a new link refuses an
      // existing name just as well.
      if (::link(path.c_str(), target.c_str()) == 0) {
        ::unlink(path.c_str());
        return target;
      }
      e = errno;
    }
    if (e != EEXIST) return posixError(e, "cannot move " + path + " aside to " + target);
  }
  return posixError(EEXIST, "cannot move aside " + path + ": every name for it is taken");
}

Status copyItem(const std::string& from, const std::string& to) {
  if (fileExists(to)) return posixError(EEXIST, "cannot copy " + from + " to " + to);
  std::error_code ec;
  std::filesystem::copy(from, to, std::filesystem::copy_options::recursive, ec);
  if (ec) return Error(kPOSIXErrorDomain, ec.value(), "cannot copy " + from + " to " + to + ": " + ec.message());
  return {};
}

Result<std::vector<std::string>> contentsOfDirectory(const std::string& path) {
  std::error_code ec;
  std::vector<std::string> names;
  for (auto it = std::filesystem::directory_iterator(path, ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  if (ec) return Error(kPOSIXErrorDomain, ec.value(), "cannot list " + path + ": " + ec.message());
  return names;
}

Status setExcludedFromBackup(const std::string& path, bool excluded) {
  if (excluded) {
    if (::setxattr(path.c_str(), kBackupAttribute, "1", 1, 0) != 0)
      return posixError(errno, "cannot exclude " + path + " from backup");
  } else if (::removexattr(path.c_str(), kBackupAttribute) != 0 && errno != ENODATA) {
    return posixError(errno, "cannot include " + path + " in backup");
  }
  return {};
}

bool isExcludedFromBackup(const std::string& path) {
  char value[4];
  return ::getxattr(path.c_str(), kBackupAttribute, value, sizeof value) == 1 && value[0] == '1';
}

std::string appendingPathComponent(const std::string& path, const std::string& component) {
  if (path.empty()) return component;
  if (component.empty()) return path;
  bool slashEnd = path.back() == '/';
  bool slashStart = component.front() == '/';
  if (slashEnd && slashStart) return path + component.substr(1);
  if (slashEnd || slashStart) return path + component;
  return path + "/" + component;
}

std::string lastPathComponent(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  auto slash = p.rfind('/');
  return slash == std::string::npos || p == "/" ? p : p.substr(slash + 1);
}

std::string pathExtension(const std::string& path) {
  std::string last = lastPathComponent(path);
  auto dot = last.rfind('.');
  if (dot == std::string::npos || dot == 0) return "";
  return last.substr(dot + 1);
}

std::string deletingLastPathComponent(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  auto slash = p.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

}  // namespace foundation

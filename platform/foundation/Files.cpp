#include "platform/foundation/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace

bool fileExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Result<Data> readFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return posixError(errno, "cannot open " + path);
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
  std::string temporary = path + ".tmp.XXXXXX";
  int fd = ::mkstemp(temporary.data());
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

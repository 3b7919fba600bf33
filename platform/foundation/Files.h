// Files and folders: whole-file reads, atomic writes (temporary file, then
// rename), directory creation and removal, and the exclude-from-backup mark.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace foundation {

bool fileExists(const std::string& path);
bool isDirectory(const std::string& path);

foundation::Result<Data> readFile(const std::string& path);
// Writes the bytes to a temporary file beside the target, flushes it to disk
// and renames it over the target, creating missing parent folders: readers
// see the old contents or the new ones, never a part.
Status writeFileAtomically(const std::string& path, const void* bytes, std::size_t length, int mode = 0644);
inline Status writeFileAtomically(const std::string& path, std::string_view bytes, int mode = 0644) {
  return writeFileAtomically(path, bytes.data(), bytes.size(), mode);
}

// Creates the folder and any missing parents; the folder made gets the mode
// (0755 unless given), one that exists keeps its own.
Status createDirectory(const std::string& path, int mode = 0755);
// Removes a file or a folder with everything in it; a missing item is an error.
Status removeItem(const std::string& path);
// Renames; the target must not exist.
Status moveItem(const std::string& from, const std::string& to);
Status copyItem(const std::string& from, const std::string& to);
Result<std::vector<std::string>> contentsOfDirectory(const std::string& path);

// Backup exclusion is kept as an extended attribute of the file.
Status setExcludedFromBackup(const std::string& path, bool excluded);
bool isExcludedFromBackup(const std::string& path);

// Path text helpers ("a/b.plist": extension "plist", last component "b.plist").
std::string appendingPathComponent(const std::string& path, const std::string& component);
std::string pathExtension(const std::string& path);
std::string lastPathComponent(const std::string& path);
std::string deletingLastPathComponent(const std::string& path);

}  // namespace foundation

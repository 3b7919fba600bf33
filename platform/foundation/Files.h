// Files and folders: whole-file reads, atomic writes (temporary file, then
// rename), directory creation and removal, and the exclude-from-backup mark.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace foundation {

bool fileExists(const std::string& path);
bool isDirectory(const std::string& path);

// A file longer than maxLength is refused (EFBIG) before it is read.
foundation::Result<Data> readFile(const std::string& path, std::size_t maxLength = SIZE_MAX);

// The mode of what the program keeps for its user alone (settings, SDK data);
// files meant for others (generated resources) pass their own.
inline constexpr int kPrivateFileMode = 0600;
// Writes the bytes to a temporary file beside the target, flushes it to disk
// and renames it over the target, creating missing parent folders: readers
// see the old contents or the new ones, never a part. Temporaries of the same
// target left by a writer that died are removed first; one that a live writer
// holds is left alone.
Status writeFileAtomically(const std::string& path, const void* bytes, std::size_t length,
                           int mode = kPrivateFileMode);
inline Status writeFileAtomically(const std::string& path, std::string_view bytes, int mode = kPrivateFileMode) {
  return writeFileAtomically(path, bytes.data(), bytes.size(), mode);
}

// Creates the folder and any missing parents; the folder made gets the mode
// (0755 unless given), one that exists keeps its own.
Status createDirectory(const std::string& path, int mode = 0755);
// Removes a file or a folder with everything in it; a missing item is an error.
Status removeItem(const std::string& path);
// Renames; the target must not exist.
Status moveItem(const std::string& from, const std::string& to);
// Renames the item to the first free name of <path><suffix>, <path><suffix>.2,
// <path><suffix>.3, ..., never over anything there, and gives that name.
Result<std::string> moveAside(const std::string& path, const std::string& suffix);
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

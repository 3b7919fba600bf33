// Where the SDK keeps its files: one folder, "Dralix/Measurement", under the
// application-support directory, holding the databases and the persistent
// dictionaries; user-defaults suites once lived in the preferences folder and
// are moved into it. An empty path means that no path exists; callers treat
// it as a failure of their own operation.
#pragma once

#include <string>
#include <string_view>

#include "platform/foundation/Error.h"

inline constexpr const char* kQZMMeasurementDirectory = "Dralix/Measurement";

// <application support>/Dralix/Measurement/<file name>; "" for an empty name.
std::string QZMApplicationSupportFilePath(std::string_view fileName);
// The same, with the extension "plist" added unless the name already has it.
std::string QZMApplicationSupportPlistPath(std::string_view name);
// <library>/Preferences/<suite name>.plist; "" for an empty name.
std::string QZMPreferencesPlistPath(std::string_view suiteName);

foundation::Status QZMExcludeFileFromBackup(const std::string& path);
// The file system's immutable flag (no change, no removal, even by the owner).
// A file system without the flag reads as mutable.
foundation::Result<bool> QZMIsFileImmutable(const std::string& path);
foundation::Status QZMSetFileImmutable(const std::string& path, bool immutable);
// Removes the file (or folder) at the path; an empty path is an SDK error
// with code 1.
foundation::Status QZMDeleteFileAtPath(const std::string& path);

// Moves the suite's property list from the preferences folder to its place in
// the measurement folder (deleting the old one when the new one already
// exists) and lets the suite go from the app's preferences; answers whether
// the suite now lives in the measurement folder only.
bool QZMMigratePreferencesSuiteToApplicationSupport(std::string_view suiteName);

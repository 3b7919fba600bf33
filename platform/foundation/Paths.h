// Where the program keeps its files. Three roots, each settable so that a test
// runs in a home of its own:
// - the data home (application support, preferences, caches, documents, tmp),
//   from $TOLV_HOME, else $XDG_DATA_HOME/tolv, else ~/.local/share/tolv;
// - the keychain folder, outside the data home so that deleting the app's data
//   keeps it, from $TOLV_KEYCHAIN_HOME, else <data home>-keychain;
// - the resources folder (the main bundle), from $TOLV_RESOURCES, else the
//   folder of the running executable.
// Folders are created when first written to, not when asked for.
#pragma once

#include <string>

namespace foundation {

class Paths {
 public:
  static std::string home();
  static std::string libraryDirectory();             // <home>/Library
  static std::string applicationSupportDirectory();  // <home>/Library/Application Support
  static std::string preferencesDirectory();         // <home>/Library/Preferences
  static std::string cachesDirectory();              // <home>/Library/Caches
  static std::string documentsDirectory();           // <home>/Documents
  static std::string temporaryDirectory();           // <home>/tmp
  static std::string keychainDirectory();
  static std::string resourcesDirectory();

  // An empty path returns a root to its default.
  static void setHome(const std::string& path);
  static void setKeychainDirectory(const std::string& path);
  static void setResourcesDirectory(const std::string& path);
};

}  // namespace foundation

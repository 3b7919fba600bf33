// The process and the device it runs on: launch arguments, environment, OS
// name and version (settable, so tests can play another version), hardware
// model, preferred languages, local time zone and the vendor identifier.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace foundation {

class ProcessInfo {
 public:
  // Launch arguments, the program's name first: the process's own command
  // line, unless a caller set others (an empty list included).
  static std::vector<std::string> arguments();
  static void setArguments(int argc, const char* const* argv);
  static void setArguments(std::vector<std::string> arguments);
  static bool hasArgument(const std::string& argument);

  // The environment at the time of the call, with test overrides applied.
  static std::map<std::string, std::string> environment();
  static std::optional<std::string> environmentValue(const std::string& name);
  // Overrides one variable for this process's readers (nullopt removes the
  // override, not the variable).
  static void setEnvironmentOverride(const std::string& name, std::optional<std::string> value);
  static void clearEnvironmentOverrides();

  static std::string processName();
  static int processIdentifier();
};

class Device {
 public:
  static std::string systemName();     // "Linux"
  // The kernel release's leading numbers ("6.1.0"), unless one was set.
  static std::string systemVersion();
  static void setSystemVersion(std::optional<std::string> version);
  // The hardware model name; may be empty.
  static std::string model();
  // Languages from LANGUAGE, LC_ALL, LC_MESSAGES and LANG as BCP 47 tags
  // ("en-US"); the C and POSIX locales (and none set) give English ("en").
  // Settable for tests.
  static std::vector<std::string> preferredLanguages();
  static void setPreferredLanguages(std::optional<std::vector<std::string>> languages);
  // Seconds east of GMT of the local time zone now (TZ is honoured).
  static long timeZoneOffsetSeconds();
  // A random UUID string kept per data home; empty when it cannot be made.
  static std::string identifierForVendor();
};

}  // namespace foundation

#include "platform/foundation/ProcessInfo.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <mutex>

#include "platform/foundation/Files.h"
#include "platform/foundation/Random.h"
#include "platform/foundation/UserDefaults.h"

extern char** environ;

namespace foundation {
namespace {

struct State {
  std::mutex mutex;
  // Set by a caller; otherwise the process's own, read once.
  std::optional<std::vector<std::string>> arguments;
  std::optional<std::vector<std::string>> ownArguments;
  std::map<std::string, std::optional<std::string>> overrides;
  std::optional<std::string> systemVersion;
  std::optional<std::vector<std::string>> languages;
};
// Never destroyed: workers may still ask while the program ends.
State& state() {
  static auto* s = new State;
  return *s;
}

// The suite that keeps the vendor identifier in the data home.
constexpr const char* kDeviceSuite = "com.tolv.device";
constexpr const char* kVendorKey = "identifierForVendor";

std::string languageTag(std::string locale) {
  // "en_US.UTF-8@euro" -> "en-US"
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale.empty() || locale == "C" || locale == "POSIX") return "";
  for (char& c : locale)
    if (c == '_') c = '-';
  return locale;
}

// The C and POSIX locales speak English.
constexpr const char* kCLocaleLanguage = "en";

// The arguments the kernel keeps for this process, each ended by a NUL.
std::vector<std::string> commandLine() {
  std::vector<std::string> args;
  auto bytes = readFile("/proc/self/cmdline");
  if (!bytes) return args;
  std::string_view rest(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  while (!rest.empty()) {
    std::size_t end = rest.find('\0');
    args.emplace_back(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return args;
}

}  // namespace

std::vector<std::string> ProcessInfo::arguments() {
  std::lock_guard lock(state().mutex);
  if (state().arguments) return *state().arguments;
  if (!state().ownArguments) state().ownArguments = commandLine();
  return *state().ownArguments;
}

void ProcessInfo::setArguments(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
  setArguments(std::move(args));
}

void ProcessInfo::setArguments(std::vector<std::string> arguments) {
  std::lock_guard lock(state().mutex);
  state().arguments = std::move(arguments);
}

bool ProcessInfo::hasArgument(const std::string& argument) {
  auto args = arguments();
  for (std::size_t i = 1; i < args.size(); ++i)
    if (args[i] == argument) return true;
  return false;
}

std::map<std::string, std::string> ProcessInfo::environment() {
  std::map<std::string, std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string entry = *e;
    auto eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  std::lock_guard lock(state().mutex);
  for (const auto& [name, value] : state().overrides) {
    if (value) {
      env[name] = *value;
    } else {
      env.erase(name);
    }
  }
  return env;
}

std::optional<std::string> ProcessInfo::environmentValue(const std::string& name) {
  {
    std::lock_guard lock(state().mutex);
    auto it = state().overrides.find(name);
    if (it != state().overrides.end()) return it->second;
  }
  const char* value = std::getenv(name.c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

void ProcessInfo::setEnvironmentOverride(const std::string& name, std::optional<std::string> value) {
  std::lock_guard lock(state().mutex);
  state().overrides[name] = std::move(value);
}

void ProcessInfo::clearEnvironmentOverrides() {
  std::lock_guard lock(state().mutex);
  state().overrides.clear();
}

std::string ProcessInfo::processName() {
  auto args = arguments();
  if (!args.empty() && !args[0].empty()) return lastPathComponent(args[0]);
  return program_invocation_short_name;
}

int ProcessInfo::processIdentifier() { return static_cast<int>(::getpid()); }

std::string Device::systemName() { return "Linux"; }

std::string Device::systemVersion() {
  {
    std::lock_guard lock(state().mutex);
    if (state().systemVersion) return *state().systemVersion;
  }
  utsname u{};
  if (::uname(&u) != 0) return "";
  std::string release = u.release;
  auto end = release.find_first_not_of("0123456789.");
  release = release.substr(0, end);
  while (!release.empty() && release.back() == '.') release.pop_back();
  return release;
}

void Device::setSystemVersion(std::optional<std::string> version) {
  std::lock_guard lock(state().mutex);
  state().systemVersion = std::move(version);
}

std::string Device::model() {
  utsname u{};
  if (::uname(&u) != 0) return "";
  return u.machine;
}

std::vector<std::string> Device::preferredLanguages() {
  {
    std::lock_guard lock(state().mutex);
    if (state().languages) return *state().languages;
  }
  std::vector<std::string> out;
  if (auto list = ProcessInfo::environmentValue("LANGUAGE"); list && !list->empty()) {
    std::size_t start = 0;
    while (start <= list->size()) {
      auto colon = list->find(':', start);
      std::string tag = languageTag(list->substr(start, colon - start));
      if (!tag.empty()) out.push_back(tag);
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
    if (!out.empty()) return out;
  }
  // The first of these that is set decides, as for the C library; none set
  // is the C locale.
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    auto value = ProcessInfo::environmentValue(name);
    if (value && !value->empty()) {
      std::string tag = languageTag(*value);
      out.push_back(tag.empty() ? kCLocaleLanguage : tag);
      return out;
    }
  }
  out.push_back(kCLocaleLanguage);
  return out;
}

void Device::setPreferredLanguages(std::optional<std::vector<std::string>> languages) {
  std::lock_guard lock(state().mutex);
  state().languages = std::move(languages);
}

long Device::timeZoneOffsetSeconds() {
  ::tzset();
  std::time_t t = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&t, &local);
  return local.tm_gmtoff;
}

std::string Device::identifierForVendor() {
  static std::mutex m;
  std::lock_guard lock(m);
  auto suite = UserDefaults::suite(kDeviceSuite);
  if (auto existing = suite->stringForKey(kVendorKey); existing && UUID::fromString(*existing)) return *existing;
  auto uuid = UUID::random();
  if (!uuid) return "";
  std::string text = uuid->uuidString();
  (void)suite->setObject(text, kVendorKey);  // kept in memory for this run even if not written
  return text;
}

}  // namespace foundation

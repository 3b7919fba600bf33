#include "base/log.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/foundation/Log.h"

namespace base {
namespace {

std::atomic<int> g_min_severity{static_cast<int>(absl::LogSeverity::kInfo)};

char SeverityLetter(absl::LogSeverity severity) {
  switch (severity) {
    case absl::LogSeverity::kInfo: return 'I';
    case absl::LogSeverity::kWarning: return 'W';
    case absl::LogSeverity::kError: return 'E';
    case absl::LogSeverity::kFatal: return 'F';
  }
  return 'E';
}

const char* BaseName(const char* file) {
  if (file == nullptr) return "";
  const char* name = file;
  for (const char* p = file; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') name = p + 1;
  }
  return name;
}

// Month and day of a day count since 1970-01-01; gmtime_r may take the
// time-zone lock, which the raw-log hook must not.
void MonthDayFromDays(std::int64_t days, unsigned& month, unsigned& day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned mp = (5 * day_of_year + 2) / 153;
  day = day_of_year - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
}

// Fatal-message capture: claimed once, then recorded.
char g_fatal_buffer[512];
std::size_t g_fatal_length = 0;
std::atomic<bool> g_fatal_claimed{false};
std::atomic<bool> g_fatal_recorded{false};
std::atomic<bool> g_fatal_seen{false};

}  // namespace

void SetMinLogSeverity(absl::LogSeverity severity) {
  g_min_severity.store(static_cast<int>(severity), std::memory_order_relaxed);
}

absl::LogSeverity MinLogSeverity() {
  return static_cast<absl::LogSeverity>(g_min_severity.load(std::memory_order_relaxed));
}

bool IsLogSeverityEnabled(absl::LogSeverity severity) {
  return severity == absl::LogSeverity::kFatal ||
         static_cast<int>(severity) >= g_min_severity.load(std::memory_order_relaxed);
}

std::size_t FormatLogPrefix(absl::LogSeverity severity, const char* file, int line, char* buffer,
                            std::size_t size) {
  if (size == 0) return 0;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const std::int64_t seconds = now.tv_sec;
  std::int64_t days = seconds / 86400;
  std::int64_t second_of_day = seconds % 86400;
  if (second_of_day < 0) {
    second_of_day += 86400;
    days -= 1;
  }
  unsigned month = 0, day = 0;
  MonthDayFromDays(days, month, day);
  const int written = std::snprintf(
      buffer, size, "%c%02u%02u %02d:%02d:%02d.%06ld %5ld %s:%d] ", SeverityLetter(severity), month, day,
      static_cast<int>(second_of_day / 3600), static_cast<int>(second_of_day / 60 % 60),
      static_cast<int>(second_of_day % 60), static_cast<long>(now.tv_nsec / 1000), static_cast<long>(gettid()),
      BaseName(file), line);
  if (written < 0) {
    buffer[0] = '\0';
    return 0;
  }
  return std::min(static_cast<std::size_t>(written), size - 1);
}

void LogMessage(absl::LogSeverity severity, const char* file, int line, std::string_view text) {
  if (!IsLogSeverityEnabled(severity)) return;
  char prefix[256];
  const std::size_t prefix_length = FormatLogPrefix(severity, file, line, prefix, sizeof(prefix));
  std::string entry(prefix, prefix_length);
  entry.append(text);
  if (severity != absl::LogSeverity::kFatal) {
    foundation::logLine(entry);
    return;
  }
  OnFatalLogMessage(entry);
  foundation::logLine(entry);
  FlushLog();
  std::abort();
}

void FlushLog() { std::fflush(stderr); }

void OnFatalLogMessage(std::string_view prefixed_text) {
  g_fatal_seen.store(true, std::memory_order_release);
  bool expected = false;
  if (!g_fatal_claimed.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) return;
  if (!prefixed_text.empty() && prefixed_text.back() == '\n') prefixed_text.remove_suffix(1);
  std::size_t length = std::min(prefixed_text.size(), sizeof(g_fatal_buffer) - 1);
  std::memcpy(g_fatal_buffer, prefixed_text.data(), length);
  if (length == 0 || g_fatal_buffer[length - 1] != '\n') g_fatal_buffer[length++] = '\n';
  g_fatal_length = length;
  g_fatal_recorded.store(true, std::memory_order_release);
}

std::optional<std::string_view> FatalMessage() {
  if (!g_fatal_recorded.load(std::memory_order_acquire)) return std::nullopt;
  return std::string_view(g_fatal_buffer, g_fatal_length);
}

bool FatalMessageSeen() { return g_fatal_seen.load(std::memory_order_acquire); }

namespace internal {
void ResetFatalMessageForTesting() {
  g_fatal_recorded.store(false, std::memory_order_release);
  g_fatal_length = 0;
  g_fatal_seen.store(false, std::memory_order_release);
  g_fatal_claimed.store(false, std::memory_order_release);
}
}  // namespace internal

}  // namespace base

#include "base/flags.h"

#include <atomic>
#include <cstring>

#include <absl/container/internal/hashtablez_sampler.h>
#include <absl/flags/flag.h>
#include <absl/strings/internal/cordz_functions.h>
#include <absl/strings/numbers.h>
#include <absl/strings/str_format.h>

#include "base/check.h"
#include "base/log.h"

namespace base::internal {
namespace {

char debugger_command[1024];
std::atomic_flag debugger_command_lock = ATOMIC_FLAG_INIT;

class SpinLockHolder {
 public:
  explicit SpinLockHolder(std::atomic_flag& lock) : lock_(lock) {
    while (lock_.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~SpinLockHolder() { lock_.clear(std::memory_order_release); }

 private:
  std::atomic_flag& lock_;
};

}  // namespace

int DeadlockDetectionDefault(const char* value) {
  int parsed = 0;
  if (value != nullptr && absl::SimpleAtoi(value, &parsed)) return parsed;
  return 2;
}

absl::OnDeadlockCycle DeadlockModeFor(int value) {
  if (value <= 0) return absl::OnDeadlockCycle::kIgnore;
  if (value == 1) return absl::OnDeadlockCycle::kReport;
  return absl::OnDeadlockCycle::kAbort;
}

void ApplySynchDeadlockDetection() {
  absl::SetMutexDeadlockDetectionMode(DeadlockModeFor(absl::GetFlag(FLAGS_base_synch_deadlock_detection)));
}

void ApplyCordzMeanInterval() {
  absl::cord_internal::set_cordz_mean_interval(absl::GetFlag(FLAGS_base_cordz_mean_interval));
}

void ApplyHashtablezEnabled() {
  absl::container_internal::SetHashtablezEnabled(absl::GetFlag(FLAGS_base_hashtablez_enabled));
}

void ApplyHashtablezSampleRate() {
  const int rate = absl::GetFlag(FLAGS_base_hashtablez_sample_rate);
  if (rate < 1) {
    LogMessage(absl::LogSeverity::kWarning, __FILE__, __LINE__,
               absl::StrFormat("Invalid hashtablez sample rate: %lld", static_cast<long long>(rate)));
    return;
  }
  absl::container_internal::SetHashtablezSampleParameter(rate);
}

void ApplyHashtablezMaxSamples() {
  const int max_samples = absl::GetFlag(FLAGS_base_hashtablez_max_samples);
  if (max_samples < 1) {
    LogMessage(absl::LogSeverity::kWarning, __FILE__, __LINE__,
               absl::StrFormat("Invalid hashtablez max samples: %lld", static_cast<long long>(max_samples)));
    return;
  }
  absl::container_internal::SetHashtablezMaxSamples(max_samples);
}

void ApplyDebuggerCommand() {
  const std::string cmd = absl::GetFlag(FLAGS_base_debugger_command);
  SpinLockHolder hold(debugger_command_lock);
  BASE_CHECK(cmd.size() < sizeof(debugger_command));
  std::memcpy(debugger_command, cmd.c_str(), cmd.size() + 1);
}

std::string DebuggerCommand() {
  SpinLockHolder hold(debugger_command_lock);
  return std::string(debugger_command);
}

}  // namespace base::internal

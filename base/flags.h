// The base flags. Each flag with an effect applies its value from its update
// callback, which abseil runs when the callback is installed at process start
// and again after every change. Flags without a callback are kept so that
// setting them is accepted.
#pragma once

#include <string>

#include <absl/flags/declare.h>
#include <absl/synchronization/mutex.h>

ABSL_DECLARE_FLAG(bool, base_mutex_switch);
// Mutex lock-order cycles: <= 0 ignored, 1 reported, >= 2 abort. The default
// comes from DRALIX_SYNCH_DEADLOCK_DETECTION, else 2.
ABSL_DECLARE_FLAG(int, base_synch_deadlock_detection);
ABSL_DECLARE_FLAG(int, base_cordz_mean_interval);
ABSL_DECLARE_FLAG(int, base_cordz_interval_word);
ABSL_DECLARE_FLAG(bool, base_switch_one);
ABSL_DECLARE_FLAG(bool, base_switch_two);
ABSL_DECLARE_FLAG(bool, base_hashtablez_enabled);
ABSL_DECLARE_FLAG(int, base_hashtablez_sample_rate);
ABSL_DECLARE_FLAG(int, base_hashtablez_max_samples);
ABSL_DECLARE_FLAG(bool, base_legacy_hashtablez_enabled);
ABSL_DECLARE_FLAG(int, base_legacy_hashtablez_sample_rate);
ABSL_DECLARE_FLAG(int, base_legacy_hashtablez_max_samples);
// Kept in a 1023-character buffer; a longer value stops the process.
ABSL_DECLARE_FLAG(std::string, base_debugger_command);

namespace base::internal {

// The deadlock flag's default for the variable's text (null when unset).
int DeadlockDetectionDefault(const char* value);
absl::OnDeadlockCycle DeadlockModeFor(int value);

void ApplySynchDeadlockDetection();
void ApplyCordzMeanInterval();
void ApplyHashtablezEnabled();
void ApplyHashtablezSampleRate();
void ApplyHashtablezMaxSamples();
void ApplyDebuggerCommand();

// The command the last update stored.
std::string DebuggerCommand();

}  // namespace base::internal

// Process start of the base runtime. Everything here runs from static
// initialisers, in the order of this file: the flag-parsing modules, the base
// flags with their update callbacks (which abseil runs on installation, so
// each default takes effect now), then the logging hooks.
#include <cstdlib>

#include <absl/base/internal/raw_logging.h>
#include <absl/flags/flag.h>

#include "base/abseil_hooks.h"
#include "base/check.h"
#include "base/flags.h"
#include "base/module_initializer.h"

namespace {

void RequireCommandLineFlagsParsing() {
  const bool doing_command_line_flags_parsing = base::DoingCommandLineFlagsParsing();
  BASE_CHECK(doing_command_line_flags_parsing,
             "Can't call REQUIRE_MODULE_INITIALIZED(command_line_flags_parsing): InitDralix does it for you.");
}

void RequireCommandLineFlagsParsed() {
  const bool after_command_line_flags_parsing = base::AfterCommandLineFlagsParsing();
  BASE_CHECK(after_command_line_flags_parsing,
             "Can't call REQUIRE_MODULE_INITIALIZED(command_line_flags_parsed): InitDralix does it for you.");
}

const base::ModuleInitializer flags_parsing_module("module", "command_line_flags_parsing",
                                                   &RequireCommandLineFlagsParsing);
const base::ModuleInitializer flags_parsed_module("module", "command_line_flags_parsed",
                                                  &RequireCommandLineFlagsParsed);

}  // namespace

ABSL_FLAG(bool, base_mutex_switch, false, "");
ABSL_FLAG(int, base_synch_deadlock_detection,
          base::internal::DeadlockDetectionDefault(std::getenv("DRALIX_SYNCH_DEADLOCK_DETECTION")), "")
    .OnUpdate(&base::internal::ApplySynchDeadlockDetection);
ABSL_FLAG(int, base_cordz_mean_interval, 50000, "").OnUpdate(&base::internal::ApplyCordzMeanInterval);
ABSL_FLAG(int, base_cordz_interval_word, 512, "");
ABSL_FLAG(bool, base_switch_one, false, "");
ABSL_RETIRED_FLAG(bool, cord_enable_btree, false, "");
ABSL_RETIRED_FLAG(bool, cord_enable_ring_buffer, false, "");
ABSL_FLAG(bool, base_switch_two, false, "");

ABSL_FLAG(bool, base_hashtablez_enabled, true, "").OnUpdate(&base::internal::ApplyHashtablezEnabled);
ABSL_FLAG(int, base_hashtablez_sample_rate, 1024, "").OnUpdate(&base::internal::ApplyHashtablezSampleRate);
ABSL_FLAG(int, base_hashtablez_max_samples, 1048576, "").OnUpdate(&base::internal::ApplyHashtablezMaxSamples);
ABSL_FLAG(bool, base_legacy_hashtablez_enabled, true, "");
ABSL_FLAG(int, base_legacy_hashtablez_sample_rate, 1024, "");
ABSL_FLAG(int, base_legacy_hashtablez_max_samples, 1048576, "");

ABSL_FLAG(std::string, base_debugger_command, "", "").OnUpdate(&base::internal::ApplyDebuggerCommand);

namespace {

struct LogHooks {
  LogHooks() {
    absl::raw_logging_internal::RegisterInternalLogFunction(&base::internal::InternalLogHook);
    absl::raw_logging_internal::RegisterLogFilterAndPrefixHook(&base::internal::RawLogPrefixHook);
    absl::raw_logging_internal::RegisterAbortHook(&base::internal::RawLogAbortHook);
  }
};
const LogHooks log_hooks;

}  // namespace

// Referenced by the link options of every program that links the base
// runtime, so that this file, which nothing calls, is always linked.
extern "C" const int tolv_base_start_up = 1;

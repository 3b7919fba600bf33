#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <absl/container/internal/hashtablez_sampler.h>
#include <absl/flags/flag.h>
#include <absl/flags/reflection.h>
#include <absl/strings/internal/cordz_functions.h>
#include <absl/synchronization/mutex.h>

#include <cstdlib>
#include <string>

#include "base/flags.h"
#include "testing/LogCapture.h"

namespace base {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(BaseFlags, RegisteredUnderDistinctNamesWithTheirDefaults) {
  struct Case {
    const char* name;
    const char* default_value;
  } cases[] = {
      {"base_mutex_switch", "false"},
      {"base_cordz_mean_interval", "50000"},
      {"base_cordz_interval_word", "512"},
      {"base_switch_one", "false"},
      {"base_switch_two", "false"},
      {"base_hashtablez_enabled", "true"},
      {"base_hashtablez_sample_rate", "1024"},
      {"base_hashtablez_max_samples", "1048576"},
      {"base_legacy_hashtablez_enabled", "true"},
      {"base_legacy_hashtablez_sample_rate", "1024"},
      {"base_legacy_hashtablez_max_samples", "1048576"},
      {"base_debugger_command", ""},
  };
  for (const Case& c : cases) {
    const absl::CommandLineFlag* flag = absl::FindCommandLineFlag(c.name);
    ASSERT_NE(flag, nullptr) << c.name;
    EXPECT_EQ(flag->DefaultValue(), c.default_value) << c.name;
  }
  ASSERT_NE(absl::FindCommandLineFlag("base_synch_deadlock_detection"), nullptr);
  for (const char* retired : {"cord_enable_btree", "cord_enable_ring_buffer"}) {
    const absl::CommandLineFlag* flag = absl::FindCommandLineFlag(retired);
    ASSERT_NE(flag, nullptr) << retired;
    EXPECT_TRUE(flag->IsRetired()) << retired;
  }
}

TEST(BaseFlags, CallbacksAppliedTheDefaultsAtStart) {
  // abseil's own defaults differ for "enabled", so this shows the callback ran.
  EXPECT_TRUE(absl::container_internal::IsHashtablezEnabled());
  EXPECT_EQ(absl::container_internal::GetHashtablezSampleParameter(), 1024);
  EXPECT_EQ(absl::container_internal::GetHashtablezMaxSamples(), 1048576);
  EXPECT_EQ(absl::cord_internal::get_cordz_mean_interval(), 50000);
}

TEST(BaseFlags, LaterChangesApplyAndInvalidSamplingValuesAreRefused) {
  absl::SetFlag(&FLAGS_base_hashtablez_sample_rate, 77);
  EXPECT_EQ(absl::container_internal::GetHashtablezSampleParameter(), 77);
  absl::SetFlag(&FLAGS_base_cordz_mean_interval, 123);
  EXPECT_EQ(absl::cord_internal::get_cordz_mean_interval(), 123);
  absl::SetFlag(&FLAGS_base_hashtablez_enabled, false);
  EXPECT_FALSE(absl::container_internal::IsHashtablezEnabled());

  {
    testkit::LogCapture capture;
    absl::SetFlag(&FLAGS_base_hashtablez_sample_rate, 0);
    absl::SetFlag(&FLAGS_base_hashtablez_max_samples, 0);
    EXPECT_EQ(absl::container_internal::GetHashtablezSampleParameter(), 77);
    EXPECT_EQ(absl::container_internal::GetHashtablezMaxSamples(), 1048576);
    EXPECT_TRUE(capture.contains("Invalid hashtablez sample rate: 0"));
    EXPECT_TRUE(capture.contains("Invalid hashtablez max samples: 0"));
  }

  absl::SetFlag(&FLAGS_base_hashtablez_sample_rate, 1024);
  absl::SetFlag(&FLAGS_base_hashtablez_max_samples, 1048576);
  absl::SetFlag(&FLAGS_base_cordz_mean_interval, 50000);
  absl::SetFlag(&FLAGS_base_hashtablez_enabled, true);
}

TEST(BaseFlags, DeadlockDefaultComesFromTheEnvironment) {
  struct Case {
    const char* value;
    int expected;
    absl::OnDeadlockCycle mode;
  } cases[] = {
      {nullptr, 2, absl::OnDeadlockCycle::kAbort},  {"1", 1, absl::OnDeadlockCycle::kReport},
      {"0", 0, absl::OnDeadlockCycle::kIgnore},     {"-3", -3, absl::OnDeadlockCycle::kIgnore},
      {"7", 7, absl::OnDeadlockCycle::kAbort},      {"abc", 2, absl::OnDeadlockCycle::kAbort},
      {"1x", 2, absl::OnDeadlockCycle::kAbort},     {"", 2, absl::OnDeadlockCycle::kAbort},
  };
  for (const Case& c : cases) {
    const int value = internal::DeadlockDetectionDefault(c.value);
    EXPECT_EQ(value, c.expected) << (c.value ? c.value : "unset");
    EXPECT_EQ(internal::DeadlockModeFor(value), c.mode) << (c.value ? c.value : "unset");
  }
}

// Takes two mutexes in both orders on one thread: a cycle in the lock order.
void InvertLockOrder() {
  absl::Mutex first, second;
  first.Lock();
  second.Lock();
  second.Unlock();
  first.Unlock();
  second.Lock();
  first.Lock();
  first.Unlock();
  second.Unlock();
}

// Each case starts a fresh copy of this program, whose start-up reads the
// variable as a real process would.
TEST(BaseFlagsDeathTest, DeadlockHandlingFollowsTheVariableAtStart) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* kVariable = "DRALIX_SYNCH_DEADLOCK_DETECTION";
  struct Case {
    const char* value;
    absl::OnDeadlockCycle mode;
  } cases[] = {
      {"1", absl::OnDeadlockCycle::kReport}, {"0", absl::OnDeadlockCycle::kIgnore},
      {"-3", absl::OnDeadlockCycle::kIgnore}, {"soon", absl::OnDeadlockCycle::kAbort},
      {nullptr, absl::OnDeadlockCycle::kAbort},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "unset");
    if (c.value != nullptr) {
      setenv(kVariable, c.value, 1);
    } else {
      unsetenv(kVariable);
    }
    switch (c.mode) {
      case absl::OnDeadlockCycle::kReport:
        EXPECT_EXIT((InvertLockOrder(), std::exit(0)), ::testing::ExitedWithCode(0),
                    HasSubstr("Potential Mutex deadlock"));
        break;
      case absl::OnDeadlockCycle::kIgnore:
        EXPECT_EXIT((InvertLockOrder(), std::exit(0)), ::testing::ExitedWithCode(0),
                    Not(HasSubstr("Potential Mutex deadlock")));
        break;
      case absl::OnDeadlockCycle::kAbort:
        EXPECT_DEATH(InvertLockOrder(), "dying due to potential deadlock");
        break;
    }
  }
  unsetenv(kVariable);
}

TEST(BaseFlagsDeathTest, DebuggerCommandIsCopiedUpTo1023Characters) {
  absl::SetFlag(&FLAGS_base_debugger_command, "gdb --pid");
  EXPECT_EQ(internal::DebuggerCommand(), "gdb --pid");
  absl::SetFlag(&FLAGS_base_debugger_command, std::string(1023, 'c'));
  EXPECT_EQ(internal::DebuggerCommand(), std::string(1023, 'c'));
  EXPECT_DEATH(absl::SetFlag(&FLAGS_base_debugger_command, std::string(1024, 'c')),
               "Check cmd.size\\(\\) < sizeof\\(debugger_command\\) failed");
  absl::SetFlag(&FLAGS_base_debugger_command, "");
  EXPECT_EQ(internal::DebuggerCommand(), "");
}

}  // namespace
}  // namespace base

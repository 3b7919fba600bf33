#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMDatabaseSchema.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMPlatformUtilities.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/utilities/Endpoints.h"
#include "testing/ExitRace.h"
#include "testing/TemporaryHome.h"

namespace {

// The worker queue may be busy when the host program ends.
TEST(ProcessExit, AWorkerBlockStillRunningFindsTheSDKsSharedObjectsInPlace) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        testkit::ExitRace race;
        // A home where nothing can be created: the stores stay in memory.
        foundation::Paths::setHome("/dev/null/tolv");
        foundation::setLogSink([kept = std::make_shared<std::string>()](std::string_view line) { kept->assign(line); });
        race.exitWhileRunning([] {
          (void)QZMPersistedConfig::sharedInstance()->appInstanceID();
          (void)QZMUserDefaults::sharedUserDefaults()->boolForKey("k");
          (void)QZMEnvironmentInfo::sharedInstance()->deviceOSVersion();
          (void)QZMAppStaticConfig::sharedInstance()->screenReportingEnabled();
          (void)utilities::Endpoints::baseURL(utilities::kEndpointMeasurement);
        });
      },
      ::testing::ExitedWithCode(0), "");
}

// Namespace-scope constants of the database code are in use as long as the
// worker is.
TEST(ProcessExit, DatabaseWorkStillRunningFindsItsConstantsInPlace) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  testkit::TemporaryHome home;
  // The child runs this test again from the start: its home is made inside
  // this one and goes with it.
  const char* tmpdir = std::getenv("TMPDIR");
  const std::optional<std::string> savedTmpdir = tmpdir ? std::optional<std::string>(tmpdir) : std::nullopt;
  ::setenv("TMPDIR", home.root().c_str(), 1);
  EXPECT_EXIT(
      {
        testkit::ExitRace race;
        foundation::setLogSink([kept = std::make_shared<std::string>()](std::string_view line) { kept->assign(line); });
        auto opened = QZMDatabase::initWithDatabaseName(kQZMDatabaseName, QZMPersistedConfig::sharedInstance());
        if (!opened) std::_Exit(3);
        std::shared_ptr<QZMDatabase> database = *opened;
        // A constant that is gone shows as a query that fails.
        race.exitWhileRunning([database] {
          auto counts = database->dailyCounts();
          auto metadata = database->queryAppMetadata();
          foundation::Status updated;
          // Rolled back: no round waits for the disk.
          (void)database->performTransaction([&] {
            updated = database->updateRemoteConfigSuccessfulTimestamp(1);
            return false;
          });
          if (!counts.ok() || !metadata.ok() || !metadata->has_value() || !updated.ok()) std::_Exit(4);
        });
      },
      ::testing::ExitedWithCode(0), "");
  if (savedTmpdir) {
    ::setenv("TMPDIR", savedTmpdir->c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}

}  // namespace

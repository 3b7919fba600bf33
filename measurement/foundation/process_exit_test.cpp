#include <gtest/gtest.h>

#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMPlatformUtilities.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/utilities/Endpoints.h"
#include "testing/ExitRace.h"

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

}  // namespace

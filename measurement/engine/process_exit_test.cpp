#include <gtest/gtest.h>

#include "conversion/QZMIdentifierNormalization.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/model/QZMConditionalUserPropertyController.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/ui/Application.h"
#include "testing/ExitRace.h"

namespace {

// What the worker reaches while a host program ends outlives its static
// objects: shared instances, the application object and constants.
TEST(ProcessExit, AWorkerBlockStillRunningFindsTheEnginesConstantsInPlace) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        testkit::ExitRace race;
        // A home where nothing can be created: nothing is written.
        foundation::Paths::setHome("/dev/null/tolv");
        foundation::setLogSink([kept = std::make_shared<std::string>()](std::string_view line) { kept->assign(line); });
        race.exitWhileRunning([] {
          (void)QZMMeasurement::convertCoarseConversionValueFromProtoValue(3);
          (void)ui::Application::shared().backgroundTaskNames();
          (void)QZMConditionalUserPropertyController::sharedInstance();
          (void)QZMIsValidEmailAddress("someone@example.com");
          (void)QZMCurrentConsumerMailDomains();
        });
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace

#include "measurement/api/ZNHAnalytics.h"

#include "measurement/api/QZMAnalytics.h"
#include "measurement/foundation/QZMUtilities.h"

void ZNHAnalytics::load() {
  QZMUtilities::registerClassName("ZNHAnalytics");
  ZNHApp::setAnalyticsStart(&ZNHAnalytics::startWithConfiguration);
}

void ZNHAnalytics::startWithConfiguration(std::shared_ptr<ZNHAnalyticsConfiguration> /*configuration*/,
                                          const ZNHOptions& options) {
  foundation::Dictionary startOptions = {
      {kQZMStartOptionCollectionDeactivated, options.isAnalyticsCollectionDeactivated()},
      {kQZMStartOptionCollectionEnabled, options.isAnalyticsCollectionEnabled()},
      {kQZMStartOptionLogTag, kZNHLoggerAnalytics},
  };
  QZMAnalytics::startWithAppID(options.dralixAppID(), kQZMOriginZarnholt, startOptions);
}

std::string ZNHAnalytics::topLevelVersion() { return ZNHZarnholtVersion(); }

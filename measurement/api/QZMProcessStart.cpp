// The SDK's hooks at process start, run from static initialisers before
// main, as a platform runs its libraries' load hooks. They only record and
// register in memory: nothing here writes a file or starts the engine, which
// waits until a host configures the core app. Every hook the SDK needs at
// process start joins this list.
#include "measurement/api/QZMAnalytics.h"
#include "measurement/api/ZNHAnalytics.h"
#include "measurement/api/ZNHAnalyticsConnector.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/engine/reporters/QZMScreenViewReporter.h"

namespace {

struct ProcessStart {
  ProcessStart() {
    ZNHAnalyticsConnector::load();
    QZMAnalytics::load();
    QZMMeasurement::load();
    QZMLoadViewControllerHooks();
    ZNHAnalytics::load();
  }
};
const ProcessStart process_start;

}  // namespace

// Referenced by the link options of every program that links the SDK, so
// that this file, which nothing calls, is always linked.
extern "C" const int tolv_measurement_start_up = 1;

// A host program on a desktop, for the desktop host test: it configures the
// app through the public API with no life-cycle code of its own and ends by
// returning from main (or by calling exit from inside the SDK).
//
//   desktop_host burst <count>      logs <count> events, returns at once
//   desktop_host session            logs one event, returns at once
//   desktop_host session-still-clock  the same under a clock that stands
//                                   still, so no delayed write comes before
//                                   the exit
//   desktop_host exit-in-listener   calls exit from an event listener
//   desktop_host exit-in-interceptor  calls exit from the event interceptor
//   desktop_host stuck              returns while the worker queue is blocked
//   desktop_host unwritten <count>  blocks the worker queue once started,
//                                   logs <count> events, returns once the
//                                   engine has taken them all
//
// Other arguments are launch arguments for the SDK, which reads them from the
// process's command line. Roots come from $TOLV_HOME, $TOLV_KEYCHAIN_HOME and
// $TOLV_RESOURCES.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "measurement/api/ZNHAnalytics.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMScheduler.h"
#include "platform/foundation/Clock.h"

namespace {

constexpr const char* kAppID = "1:1234:ios:abcd";

// Set by SDK callbacks on other threads; plain atomics outlive the exit.
std::atomic<bool> gStored{false};
std::atomic<bool> gInterceptorBlocked{false};
std::atomic<bool> gWorkerHeld{false};

// Bounds a wait that a sound run ends early; an unsound one fails the test.
void waitFor(const std::atomic<bool>& flag) {
  for (int i = 0; i < 6000 && !flag.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void hang() {
  for (int i = 0; i < 6000; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: %s burst <count>|session|session-still-clock|exit-in-listener|exit-in-interceptor|stuck|"
                 "unwritten <count>\n",
                 argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  // However slowly the machine writes, the test decides by what was written,
  // not by how long it took; a host whose worker never finishes keeps the
  // SDK's own bound.
  if (mode != "stuck" && mode != "unwritten") QZMMeasurement::setExitWriteTimeLimit(3600);

  if (mode == "session-still-clock") {
    foundation::setClock(std::make_shared<foundation::FakeClock>(foundation::now(), foundation::uptimeNanos()));
  }
  if (!ZNHApp::configure(ZNHOptions(kAppID)).ok()) return 1;

  if (mode == "burst") {
    const long count = argc > 2 ? std::atol(argv[2]) : 0;
    for (long sequence = 0; sequence < count; ++sequence) {
      ZNHAnalytics::logEventWithName("burst", {{"seq", static_cast<std::int64_t>(sequence)}});
    }
    return 0;
  }
  if (mode == "session" || mode == "session-still-clock") {
    ZNHAnalytics::logEventWithName("ping", {});
    return 0;
  }
  if (mode == "unwritten") {
    const long count = argc > 2 ? std::atol(argv[2]) : 0;
    // Heard once the start-up and this event were handled.
    ZNHAnalytics::addLogEventListener([](const QZMEvent& event) {
      if (event.name() == "ready") gStored = true;
    });
    ZNHAnalytics::logEventWithName("ready", {});
    waitFor(gStored);
    auto engine = QZMMeasurement::sharedInstance();
    if (!gStored || !engine) return 4;
    engine->scheduler()->scheduleOnWorkerQueueBlockID("desktop_host:hold", [] {
      gWorkerHeld = true;
      hang();
    });
    waitFor(gWorkerHeld);
    for (long sequence = 0; sequence < count; ++sequence) {
      ZNHAnalytics::logEventWithName("burst", {{"seq", static_cast<std::int64_t>(sequence)}});
    }
    for (int i = 0; i < 6000 && QZMMeasurement::eventsNotYetHandled() < count; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return QZMMeasurement::eventsNotYetHandled() >= count ? 0 : 4;
  }
  if (mode == "exit-in-listener") {
    ZNHAnalytics::addLogEventListener([](const QZMEvent& event) {
      if (event.name() == "ping") std::exit(0);
    });
    ZNHAnalytics::logEventWithName("ping", {});
    hang();
    return 4;
  }
  if (mode == "exit-in-interceptor" || mode == "stuck") {
    const bool stuck = mode == "stuck";
    ZNHAnalytics::setLogEventInterceptor([stuck](const std::string&, const std::string& name, const QZMDictionary&,
                                                 double) {
      if (name != "ping") return;
      if (!stuck) std::exit(0);
      gInterceptorBlocked = true;
      hang();
    });
    ZNHAnalytics::logEventWithName("ping", {});
    if (!stuck) {
      hang();
      return 4;
    }
    waitFor(gInterceptorBlocked);
    return gInterceptorBlocked ? 0 : 4;
  }
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}

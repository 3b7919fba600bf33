// Most fuzzed inputs are refused or fail, and each would print its
// diagnostics: millions of lines that slow the run down and bury what it
// finds. silence() mutes them for the whole process.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "measurement/foundation/QZMLogging.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/proto/NANODiagnostics.h"
#include "platform/foundation/Log.h"

namespace fuzzkit {

class Quiet final : public QZMLogging {
 public:
  void logMessage(const std::string&, const std::string&, std::int64_t, std::int64_t) override {}
};

// What the monitor was told is recorded on its own queue: finished within
// each input, so the leak check after it sees no work in flight.
inline void settleMonitor() { (void)QZMMeasurementBase::monitor()->monitorQueue()->sync([] {}); }

// Once per process; later calls do nothing.
inline void silence() {
  static const bool done = [] {
    NANOSetOutputSink([](std::string_view) {});
    foundation::setLogSink([](std::string_view) {});
    QZMMeasurementBase::setMonitor(QZMMonitor::initWithLogLevel(0, std::make_shared<Quiet>(), 111400));
    // The monitor's own queue may still hold work when the fuzzer exits;
    // it ends before the leak check at exit looks.
    std::atexit(settleMonitor);
    return true;
  }();
  (void)done;
}

}  // namespace fuzzkit

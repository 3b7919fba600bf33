// A host program inside a test: a home, clock and monitor of its own (the
// foundation fixture), the SDK's process-wide state as at process start, and
// the app configured through the core framework as a host configures it, so
// the engine starts the way it starts in a program, and, for the roads that
// reach the network, an HTTPS server on 127.0.0.1 that every endpoint points
// at. Tests of the roads that need a running engine build on it.
#pragma once

#include <functional>
#include <memory>

#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"
#include "platform/core/ZNHApp.h"
#include "platform/foundation/Error.h"
#include "testing/TlsServer.h"

namespace testkit {

inline constexpr const char* kTestAppID = "1:1234:ios:abcd";

class MeasurementHost : public FoundationTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // ZNHApp::configure, then waits until the engine exists (unless refused)
  // and has run its first switch.
  foundation::Status configure(const ZNHOptions& options);
  foundation::Status configure() { return configure(ZNHOptions(kTestAppID)); }
  // Waits until the calls the facade let through, its queue and the
  // engine's worker queue have run what is due now.
  void settleEngine();
  std::shared_ptr<QZMMeasurement> engine() const {
    return std::dynamic_pointer_cast<QZMMeasurement>(QZMMeasurementBase::sharedInstance());
  }
  // Starts the server and points every endpoint and the CA bundle at it;
  // call before configure().
  TlsServer& startServer();
  // Runs the block on the engine's worker queue and waits for it.
  void onWorkerQueue(const std::function<void()>& block);

  std::unique_ptr<TlsServer> server;
};

}  // namespace testkit

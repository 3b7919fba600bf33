#include "testing/MeasurementHost.h"

#include <chrono>
#include <future>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/api/ZNHAnalytics.h"
#include "measurement/api/ZNHAnalyticsConnector.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/engine/reporters/QZMScreenViewReporter.h"
#include "measurement/experiments/QZMEManager.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/identity/QZMIdentity.h"
#include "platform/ui/Application.h"
#include "platform/utilities/Endpoints.h"

namespace testkit {

namespace {

// What the SDK's process-start hooks leave with the core framework.
void registerWithTheCore() {
  ZNHApp::resetForTests();
  ZNHAnalyticsConnector::load();
  ZNHAnalytics::load();
}

void forgetTheSDK() {
  ZNHAnalytics::resetForTests();
  QZMScreenViewReporter::setSharedInstance(nullptr);
  QZMMeasurementBase::setSharedInstance(nullptr);
  QZMIdentity::setSharedInstance(nullptr);
  QZMEManager::setSharedInstance(nullptr);
  QZMAnalytics::resetForTests();
  QZMConsentSettingsUtil::clearAllSettings();
}

}  // namespace

void MeasurementHost::SetUp() {
  FoundationTest::SetUp();
  // Tests post the life-cycle notifications themselves, and the test
  // program's exit has nothing to wait for.
  ui::Application::shared().setLaunchesWithoutUserInterface(false);
  QZMMeasurement::setExitWriteTimeLimit(0);
  // A host links the public API.
  utilities->addClass("ZNHAnalytics");
  forgetTheSDK();
  registerWithTheCore();
  QZMAnalytics::load();
  // Not started: no experiments fetch leaves a test.
  QZMEManager::setSharedInstance(QZMEManager::init());
}

void MeasurementHost::TearDown() {
  settleEngine();
  forgetTheSDK();
  registerWithTheCore();
  // After the engine, whose requests in flight end with it.
  server.reset();
  utilities::Endpoints::reset();
  FoundationTest::TearDown();
}

foundation::Status MeasurementHost::configure(const ZNHOptions& options) {
  foundation::Status configured = ZNHApp::configure(options);
  settleEngine();
  return configured;
}

TlsServer& MeasurementHost::startServer() {
  server = std::make_unique<TlsServer>();
  for (const char* name : {utilities::kEndpointMeasurement, utilities::kEndpointExperiments,
                           utilities::kEndpointConversionValues, utilities::kEndpointSearchAds,
                           utilities::kEndpointAdServices, utilities::kEndpointOnDeviceConversion}) {
    utilities::Endpoints::setOverride(name, server->baseURL());
  }
  utilities::Endpoints::setCABundleOverride(server->caBundlePath());
  return *server;
}

void MeasurementHost::onWorkerQueue(const std::function<void()>& block) {
  auto measurement = engine();
  ASSERT_TRUE(measurement) << "no engine";
  // On the queue's own thread, as the engine's work runs: a synchronous
  // call would run the block on this (the main) thread.
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  measurement->scheduler()->scheduleOnWorkerQueueBlockID("MeasurementHost", [block, done] {
    struct Signal {
      std::promise<void>* promise;
      ~Signal() { promise->set_value(); }
    } signal{done.get()};
    block();
  });
  ASSERT_EQ(finished.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "the worker queue is stuck";
}

void MeasurementHost::settleEngine() {
  // Once started, held calls reach the facade's queue in order; waiting for
  // the operation queue first lets the settle below cover them.
  if (auto held = QZMAnalytics::operationQueue(); !held->isSuspended()) held->waitUntilAllOperationsAreFinished();
  settle(QZMAnalytics::queue());
  if (auto measurement = QZMMeasurementBase::sharedInstance()) {
    // A failed start queues its switch-off behind itself.
    for (int i = 0; i < 3; ++i) settle(measurement->scheduler()->workerQueue());
  }
}

}  // namespace testkit

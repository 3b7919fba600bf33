// The audiences of a fetched configuration, taken in as a fetch takes them
// (the rest of the configuration first, whose limits then apply) and
// evaluated over a few events and user properties as bundling does: nothing
// crashes, the database never fails, and what bundling would send encodes.
#include <cstdint>
#include <cstdlib>
#include <future>
#include <memory>
#include <span>
#include <string>
#include <vector>


#include "fuzz/ConfigHarness.h"
#include "fuzz/FuzzCheck.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/model/QZMUserAttribute.h"
#include "measurement/model/audience/QZMAudience.h"
#include "measurement/model/audience/QZMAudienceTimestampsCache.h"
#include "measurement/proto/NANODiagnostics.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Clock.h"

namespace {

using fuzzkit::kAppID;

struct Harness {
  fuzzkit::ConfigHarness& base = fuzzkit::configHarness();
  std::shared_ptr<QZMDatabase> database = base.database;
  std::shared_ptr<QZMRemoteConfig> config = base.config;
  std::shared_ptr<QZMAudience> audience;
};

Harness& harness() {
  static Harness* made = [] {
    auto* h = new Harness;
    h->audience = QZMAudience::initWithDatabase(h->database);
    h->audience->setRemoteConfig(h->config);
    return h;
  }();
  return *made;
}

QZMValue text(const std::string& value) { return *QZMValue::initWithString(value); }

void evaluate(QZMAudience& audience) {
  double now = foundation::now();
  QZMAudienceTimestampsCache cache;
  struct Logged {
    const char* name;
    QZMParameters parameters;
  };
  const std::vector<Logged> events = {
      {"_s", {}},
      {"level_up", {{"level", QZMValue::initWithInt64(3)}, {"character", text("mage")}}},
      {"purchase", {{"value", QZMValue::initWithDouble(12.5)}, {"currency", text("EUR")}}},
  };
  std::int32_t count = 0;
  for (const Logged& event : events) {
    ++count;
    auto aggregates = QZMEventAggregates::initWithName(event.name, count, count, count, now);
    FUZZ_CHECK(aggregates.has_value(), "the aggregates are made");
    FUZZ_CHECK(audience.evaluateFiltersForEventName(event.name, event.parameters, *aggregates, now, &cache).ok(),
               "an event is evaluated");
  }
  const std::vector<std::pair<const char*, QZMValue>> properties = {
      {"favourite_food", text("pizza")},
      {"score", QZMValue::initWithDouble(2.5)},
      {"_lte", QZMValue::initWithInt64(100)},
  };
  for (const auto& [name, value] : properties) {
    auto attribute = QZMUserAttribute::initWithOrigin("app", name, value, now);
    FUZZ_CHECK(attribute.has_value(), "the property is made");
    FUZZ_CHECK(audience.evaluateFiltersForUserProperty(*attribute, &cache, now).ok(), "a property is evaluated");
  }
  auto results = audience.resultsForBundling();
  FUZZ_CHECK(results.ok(), "the results are read");
  for (const auto& result : *results) FUZZ_CHECK(result && result->protoBuffer(), "a result encodes");
  FUZZ_CHECK(audience.clearEvaluationResultsForSessionScopedFilters().ok(), "session-scoped results are cleared");
}

void run(std::span<const std::uint8_t> bytes) {
  Harness& h = harness();
  auto fetched = QZMPBMeasurementConfig::initWithBuffer(bytes);
  if (!fetched) return;
  NANOSetString(fetched.get(), QZMPBMeasurementConfig::kAppId, std::string_view(kAppID));
  auto audiences = NANOGetArray<QZMPBAudience>(fetched.get(), QZMPBMeasurementConfig::kAudiences)
                       .value_or(std::vector<std::shared_ptr<QZMPBAudience>>());
  NANOClearField(fetched.get(), QZMPBMeasurementConfig::kAudiences);
  foundation::Status stored = h.database->performTransaction([&] {
    if (!h.config->updateMeasurementConfig(fetched.get())) return false;
    FUZZ_CHECK(h.audience->updateAudiences(audiences).ok(), "the audiences are stored");
    return true;
  });
  if (stored.ok()) evaluate(*h.audience);
  h.config->reset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Audiences are the worker queue's to change, never the main thread's.
  std::async(std::launch::async, [bytes = std::span<const std::uint8_t>(data, size)] {
    run(bytes);
    fuzzkit::settleMonitor();
  }).get();
  return 0;
}

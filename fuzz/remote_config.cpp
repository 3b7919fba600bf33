// A measurement configuration from arbitrary bytes, applied to the engine's
// configuration over a real database and read back through every getter:
// nothing crashes, every setting stays within its bounds, what was applied
// is what is served, and a loaded program handles an event within its
// budget. The configuration is given the engine's app ID, so that inputs
// reach the parse instead of stopping at the app check.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <string_view>


#include "fuzz/ConfigHarness.h"
#include "fuzz/FuzzCheck.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/config/runtime/QZMPEventEditing.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/proto/NANODiagnostics.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"

namespace {

using fuzzkit::kAppID;

// Every setting lies within its bounds, in the unit it is served in.
void checkSettings(const QZMRemoteConfig& config) {
  auto settings = config.settings();
  for (const QZMSettingDescription& description : QZMSettingDescriptions()) {
    switch (description.kind) {
      case QZMSettingKind::interval: {
        double value = settings->interval(description.setting);
        FUZZ_CHECK(value >= description.minValue && value <= description.maxValue, "an interval within its bounds");
        break;
      }
      case QZMSettingKind::int64: {
        std::int64_t value = settings->int64Value(description.setting);
        FUZZ_CHECK(value >= description.minValue && value <= description.maxValue, "an int64 within its bounds");
        break;
      }
      default: {
        std::int32_t value = settings->intValue(description.setting);
        FUZZ_CHECK(value >= std::trunc(description.minValue) && value <= description.maxValue,
                   "an integer within its bounds");
      }
    }
  }
  FUZZ_CHECK(config.maxInternalEventParameterValueLength() >= 256, "the internal length is never below 256");
  FUZZ_CHECK(config.maxPSMStartCount() >= 0 && config.maxPSMStartCount() <= 10, "the start count within bounds");
}

void serveEverything(QZMRemoteConfig& config, const QZMPBMeasurementConfig& applied) {
  checkSettings(config);
  if (auto events = NANOGetArray<QZMPBEventConfig>(&applied, QZMPBMeasurementConfig::kEventConfig)) {
    for (const auto& event : *events) {
      std::string name = NANOGetString(event.get(), QZMPBEventConfig::kName).value_or("");
      for (std::string_view asked : {std::string_view(name), std::string_view("_vs")}) {
        (void)config.isEventBlocklisted(asked);
        (void)config.isEventCustomConversion(asked);
        (void)config.eventHasSamplingRate(asked);
        std::int32_t rate = config.samplingRateForEvent(asked);
        FUZZ_CHECK(rate >= 1 && rate <= 65535, "a sampling rate within its bounds");
        (void)config.eventConfigWithName(asked);
      }
    }
  }
  for (const auto& consent : {config.consentDefaults(), config.regionalDefaults()}) {
    for (const auto& [type, mode] : consent) {
      FUZZ_CHECK(mode == foundation::Object("granted") || mode == foundation::Object("denied"),
                 "a consent mode by its name");
    }
  }
  (void)config.consentDelegations();
  (void)config.corePlatformServices();
  (void)config.dataControls();
  (void)config.isDMARegion();
  (void)config.uploadURL();
  (void)config.uploadSubdomain();
  (void)config.remoteConfigURLWithPlatform("ios", 111400, 0);
  (void)config.KRPXUploadEnabled();
  (void)config.KRPXUploadURL();
  (void)config.KRPXUploadHTTPHeaders();
  (void)config.customerTypeEnabled();
  (void)config.sessionStitchingTokenFeatureEnabled();
  (void)config.experimentIDs();
  (void)config.isExpired();
  if (auto editing = config.eventEditing()) {
    QZMPError error;
    editing->handleEvent(QZMEditEvent{"purchase", 1000, {{"value", foundation::Object(2.5)}}}, error);
    FUZZ_CHECK(editing->runtime().getInstructionCount() <= editing->runtime().instructionLimit(),
               "a program stays within its budget");
  }
}

void run(std::span<const std::uint8_t> bytes) {
  fuzzkit::ConfigHarness& h = fuzzkit::configHarness();
  auto decoded = QZMPBMeasurementConfig::initWithBuffer(bytes);
  if (!decoded) return;
  NANOSetString(decoded.get(), QZMPBMeasurementConfig::kAppId, std::string_view(kAppID));
  bool applied = h.config->updateMeasurementConfig(decoded.get());
  if (applied) {
    std::int64_t version = NANOHasField(decoded.get(), QZMPBMeasurementConfig::kVersion)
                               ? NANOGetInt64(decoded.get(), QZMPBMeasurementConfig::kVersion)
                               : -1;
    FUZZ_CHECK(h.config->version() == version, "the applied configuration is the one served");
    auto stored = h.database->queryMeasurementConfigWithError();
    FUZZ_CHECK(stored.ok() && *stored, "the applied configuration is stored");
  }
  serveEverything(*h.config, *decoded);
  std::shared_ptr<QZMPEventEditing> program = h.config->eventEditing();
  h.config->reset();
  FUZZ_CHECK(h.config->version() == -1, "a reset leaves no configuration");
  FUZZ_CHECK(h.config->eventEditing() == program, "a reset keeps the event-editing program");
  checkSettings(*h.config);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The configuration is the worker queue's to change, never the main thread's.
  std::async(std::launch::async, [bytes = std::span<const std::uint8_t>(data, size)] {
    run(bytes);
    fuzzkit::settleMonitor();
  }).get();
  return 0;
}

#include "measurement/config/QZMRemoteConfigPrograms.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/config/runtime/QZMGlintLogger.h"
#include "measurement/config/runtime/QZMPEventEditing.h"
#include "measurement/config/runtime/QZMPModules.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Bundle.h"

namespace {

foundation::Dictionary appMetadata() {
  foundation::Dictionary metadata = {
      {"platform", "ios"},
      {"package_name", foundation::Bundle::main()->bundleIdentifier()},
      {"dxv_version", QZMLibraryVersionFromBuildString(kQZMLibraryBuildString)},
  };
  QZMRemoteConfigLinks links = QZMRemoteConfig::links();
  if (std::optional<std::string> appVersion = links.appVersion ? links.appVersion() : std::nullopt) {
    metadata["app_version"] = *appVersion;
  }
  return metadata;
}

}  // namespace

std::shared_ptr<QZMPEventEditing> QZMRemoteConfigLoadProgram(const QZMPBProgram& program,
                                                             std::shared_ptr<const QZMMeasurementSettings> settings) {
  auto editing = std::make_shared<QZMPEventEditing>();
  // The settings as delivered, whatever the typed getters have read: a
  // program sees the same answer in any order.
  editing->setModuleCreator(
      [settings] {
        return QZMPRuntimeValue(QZMPKeyValueStore(
            [settings](std::string_view key) -> std::optional<std::string> { return settings->deliveredText(key); }));
      },
      "internal.remoteConfig");
  editing->setModuleCreator([] { return QZMPRuntimeValue(QZMPObjectProvider(appMetadata)); }, "internal.appMetadata");
  editing->setModuleCreator(
      [] { return QZMPRuntimeValue(QZMPMessageLogger(std::make_shared<QZMGlintLogger>())); }, "internal.logger");
  QZMPError error;
  if (!editing->loadProgram(program, error)) {
    QZMMeasurementBase::monitor()->logWithLevel(1, 29026, "Failed to initiate event editing instance",
                                                error.isSet() ? QZMLogContext(error.error()) : QZMLogContext());
    return nullptr;
  }
  return editing;
}

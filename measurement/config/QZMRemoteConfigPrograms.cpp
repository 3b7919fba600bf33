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

bool readVarint(std::span<const std::uint8_t> data, std::size_t& at, std::uint64_t& value) {
  value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (at >= data.size()) return false;
    const std::uint8_t byte = data[at++];
    value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

// The message's top-level fields other than those of `tag`, as they were
// written; nullopt when the bytes are not well-formed fields.
std::optional<std::vector<std::uint8_t>> withoutField(std::span<const std::uint8_t> data, std::uint32_t tag) {
  std::vector<std::uint8_t> kept;
  kept.reserve(data.size());
  std::size_t at = 0;
  while (at < data.size()) {
    const std::size_t start = at;
    std::uint64_t key = 0;
    std::uint64_t length = 0;
    if (!readVarint(data, at, key)) return std::nullopt;
    switch (key & 7) {
      case 0:
        if (!readVarint(data, at, length)) return std::nullopt;
        break;
      case 1:
        length = 8;
        break;
      case 2:
        if (!readVarint(data, at, length)) return std::nullopt;
        break;
      case 5:
        length = 4;
        break;
      default:
        return std::nullopt;
    }
    if ((key & 7) != 0) {
      if (length > data.size() - at) return std::nullopt;
      at += static_cast<std::size_t>(length);
    }
    if ((key >> 3) != tag) kept.insert(kept.end(), data.begin() + start, data.begin() + at);
  }
  return kept;
}

}  // namespace

std::unique_ptr<QZMPBMeasurementConfig> QZMRemoteConfigDecode(std::span<const std::uint8_t> data) {
  if (auto config = QZMPBMeasurementConfig::initWithBuffer(data)) return config;
  const std::uint32_t programsTag =
      QZMPBMeasurementConfig::messageClass.schema->fields[QZMPBMeasurementConfig::kDynamicEventEditing].tag;
  const std::optional<std::vector<std::uint8_t>> rest = withoutField(data, programsTag);
  if (!rest || rest->size() == data.size()) return nullptr;
  auto config = QZMPBMeasurementConfig::initWithBuffer(*rest);
  if (config) QZMMeasurementBase::monitor()->logWithLevel(1, 29026, "Failed to initiate event editing instance");
  return config;
}

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

#include "conversion/ODCSerializationUtil.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "base/status.h"
#include "conversion/generated/PSMMessages.h"
#include "measurement/proto/NANOFieldAccess.h"

namespace odm = ads::conversion_tracking::app_conversion::odm;

absl::StatusOr<odm::UnencryptedMetadata> ODCUnencryptedMetadataFromBytes(std::string_view bytes) {
  std::unique_ptr<PSMOdmResponseUnencryptedMetadata> message = PSMOdmResponseUnencryptedMetadata::initWithBuffer(
      {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
  if (message == nullptr) return base::InternalError("Failed to deserialize the unencrypted Metadata.");
  return odm::UnencryptedMetadata{.rank = NANOGetInt64(message.get(), PSMOdmResponseUnencryptedMetadata::kRank),
                                  .kind = NANOGetInt32(message.get(), PSMOdmResponseUnencryptedMetadata::kKind)};
}

std::string ODCSerializedMVsFromValues(const std::vector<std::string>& values) {
  std::unique_ptr<PSMMVs> message = PSMMVs::initWithMessageInfo(nullptr);
  if (message == nullptr) return std::string();
  if (!values.empty()) {
    NANOObjectArray items;
    items.reserve(values.size());
    for (const std::string& value : values) {
      items.emplace_back(foundation::Object(foundation::Data(value.begin(), value.end())));
    }
    if (!NANOSetArray(message.get(), PSMMVs::kOdm2Values, &items)) return std::string();
  }
  std::optional<foundation::Data> bytes = message->protoBuffer();
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

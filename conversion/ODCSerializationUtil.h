// The wire forms the on-device measurement client adds to the membership
// messages: the metadata the server attaches to a value in the clear, and
// the list of matched values sent for validation.
#pragma once

#include <absl/status/statusor.h>

#include <string>
#include <string_view>
#include <vector>

#include "ads/conversion_tracking/app_conversion/odm/on_device_measurement_v2_client.h"

// Internal error when the bytes are not that message.
absl::StatusOr<ads::conversion_tracking::app_conversion::odm::UnencryptedMetadata> ODCUnencryptedMetadataFromBytes(
    std::string_view bytes);
// Empty for no values (and when encoding fails).
std::string ODCSerializedMVsFromValues(const std::vector<std::string>& values);

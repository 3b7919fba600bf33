// The membership client of on-device measurement: one lookup of the
// installation's matching id for one bucketed date, whose answer is reduced
// to one matched value per group for validation.
//
// Not thread-safe: the conversion service uses it on its own serial queue.
#pragma once

#include <absl/status/statusor.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "privacy/private_membership/shutters/client/private_membership_shutters_mini_client.h"

namespace ads::conversion_tracking::app_conversion::odm {

// What the server says about a value in the clear: among the values of one
// group the highest rank wins, and on equal ranks kind 1 beats kind 2.
struct UnencryptedMetadata {
  std::int64_t rank = 0;
  std::int32_t kind = 0;
};

using MetadataParser = absl::StatusOr<UnencryptedMetadata> (*)(std::string_view bytes);

class OnDeviceMeasurementV2Client {
 public:
  // The matching id is web-safe Base64 text; a parser of nullptr makes every
  // answer yield no values.
  static absl::StatusOr<std::unique_ptr<OnDeviceMeasurementV2Client>> Create(std::string_view matching_id,
                                                                             std::string_view bucketed_date,
                                                                             std::string_view bundle_id,
                                                                             std::int32_t prefix_length,
                                                                             MetadataParser metadata_parser);
  virtual ~OnDeviceMeasurementV2Client();
  OnDeviceMeasurementV2Client(const OnDeviceMeasurementV2Client&) = delete;
  OnDeviceMeasurementV2Client& operator=(const OnDeviceMeasurementV2Client&) = delete;

  absl::StatusOr<private_membership::shutters::PrivateMembershipShuttersRequest> CreateRequest();
  // The matched values, one per group of each member entry, in no
  // particular order; none when nothing matched.
  absl::StatusOr<std::vector<std::string>> ProcessResponse(
      const private_membership::shutters::PrivateMembershipShuttersResponse& response);

 private:
  OnDeviceMeasurementV2Client(
      std::unique_ptr<private_membership::shutters::PrivateMembershipShuttersMiniClient> mini_client,
      MetadataParser metadata_parser);

  std::unique_ptr<private_membership::shutters::PrivateMembershipShuttersMiniClient> mini_client_;
  MetadataParser metadata_parser_;
};

}  // namespace ads::conversion_tracking::app_conversion::odm

#include <absl/status/status.h>

#include "ads/conversion_tracking/app_conversion/odm/on_device_measurement_v2_client.h"
#include "conversion/ODCPSMClient.h"
#include "conversion/ODCSerializationUtil.h"
#include "conversion/QZMSerializationUtil.h"

namespace {

namespace odm = ads::conversion_tracking::app_conversion::odm;

struct DecodedResponse final : ODCPSMResponse {
  private_membership::shutters::PrivateMembershipShuttersResponse record;
};

// The ODM v2 membership client on the PSM wire format.
class ODMV2PSMClient final : public ODCPSMClient {
 public:
  explicit ODMV2PSMClient(std::unique_ptr<odm::OnDeviceMeasurementV2Client> client) : client_(std::move(client)) {}

  absl::StatusOr<std::string> CreateSerializedRequest() override {
    auto request = client_->CreateRequest();
    if (!request.ok()) return request.status();
    return QZMSerializePSMRequest(*request);
  }

  absl::StatusOr<std::unique_ptr<ODCPSMResponse>> ParseResponse(std::string_view serialized) override {
    auto record = QZMParsePSMResponse(serialized);
    if (!record.ok()) return record.status();
    auto response = std::make_unique<DecodedResponse>();
    response->record = std::move(*record);
    return response;
  }

  absl::StatusOr<std::vector<std::string>> ProcessResponse(const ODCPSMResponse& response) override {
    const auto* decoded = dynamic_cast<const DecodedResponse*>(&response);
    if (decoded == nullptr) return absl::InvalidArgumentError("not a response this client decoded");
    return client_->ProcessResponse(decoded->record);
  }

  std::string SerializedMVsFromValues(const std::vector<std::string>& values) override {
    return ODCSerializedMVsFromValues(values);
  }

 private:
  std::unique_ptr<odm::OnDeviceMeasurementV2Client> client_;
};

}  // namespace

ODCPSMClientFactory ODCDefaultPSMClientFactory() {
  return [](std::string_view matchingID, std::string_view bucketizedDate, std::string_view bundleID,
            std::int32_t prefixLength) -> absl::StatusOr<std::unique_ptr<ODCPSMClient>> {
    auto client = odm::OnDeviceMeasurementV2Client::Create(matchingID, bucketizedDate, bundleID, prefixLength,
                                                           ODCUnencryptedMetadataFromBytes);
    if (!client.ok()) return client.status();
    return std::unique_ptr<ODCPSMClient>(new ODMV2PSMClient(std::move(*client)));
  };
}

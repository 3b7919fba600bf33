// What one conversion run needs of the private-set-membership protocol: a
// client made from the server's configuration that writes the membership
// request and reads the answer into matched values, in their wire forms.
// Behind it stand the ODM v2 membership client (Create, CreateRequest,
// ProcessResponse), the PSM serialisation bridge (QZMSerializePSMRequest,
// QZMParsePSMResponse) and ODCSerializedMVsFromValues.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <absl/status/statusor.h>

// A decoded membership response; only the client that decoded it reads it.
class ODCPSMResponse {
 public:
  virtual ~ODCPSMResponse() = default;
};

class ODCPSMClient {
 public:
  virtual ~ODCPSMClient() = default;

  // The serialised membership request; empty when it could not be encoded.
  virtual absl::StatusOr<std::string> CreateSerializedRequest() = 0;
  // Decodes the serialised response.
  virtual absl::StatusOr<std::unique_ptr<ODCPSMResponse>> ParseResponse(std::string_view serialized) = 0;
  // The matched values of a decoded response (possibly none).
  virtual absl::StatusOr<std::vector<std::string>> ProcessResponse(const ODCPSMResponse& response) = 0;
  // The serialised list of matched values sent for validation; empty for no
  // values.
  virtual std::string SerializedMVsFromValues(const std::vector<std::string>& values) = 0;
};

// Makes the client for one configuration: the matching id (web-safe Base64
// text), the bucketed date and the app's bundle id as the server and the
// bundle give them, and the id prefix length in bits.
using ODCPSMClientFactory = std::function<absl::StatusOr<std::unique_ptr<ODCPSMClient>>(
    std::string_view matchingID, std::string_view bucketizedDate, std::string_view bundleID,
    std::int32_t prefixLength)>;

// The factory the service uses unless it is given another.
ODCPSMClientFactory ODCDefaultPSMClientFactory();

#include "conversion/ODCConfigFetcher.h"

#include <limits>

#include <absl/strings/escaping.h>

#include "conversion/ODCError.h"
#include "platform/utilities/Endpoints.h"

using foundation::Data;
using foundation::Error;

std::string ODCConfigFetcher::configRequestURL() const {
  return utilities::Endpoints::baseURL(utilities::kEndpointOnDeviceConversion) + "/odm/config?" +
         commonQueryParameters();
}

void ODCConfigFetcher::executeTask() {
  ODCLogDebug(kODCLogFetchingConfig, "Fetching config");
  updateODM2RetryCount();
  sendRequest(configRequestURL(), std::nullopt, [](ODCAsyncTask& task, const auto& response, const auto& body,
                                                   const auto& error) {
    static_cast<ODCConfigFetcher&>(task).handlePSMConfigResponse(response, body, error);
  });
}

void ODCConfigFetcher::updateODM2RetryCount() {
  const auto& store = context()->conversionStore();
  if (!store) return;
  std::optional<std::int64_t> count = store->odm2RetryCount();
  if (!count) {
    store->setOdm2RetryCount(0);
  } else if (*count < std::numeric_limits<std::int64_t>::max()) {
    store->setOdm2RetryCount(*count + 1);
  }
}

void ODCConfigFetcher::handlePSMConfigResponse(const DRKHTTPURLResponse& response, const Data& body,
                                               const std::optional<Error>& networkError) {
  std::optional<Error> error = networkError;
  if (!error) error = checkHTTPResponse(response);
  if (!error && body.empty()) {
    ODCLogDebug(kODCLogEmptyConfig, "Skipping PSM. Received empty config.");
    finishWithoutConversionInfoAndMeasurementInfo();
    return;
  }
  if (!error) error = createPSMRequestWithData(body);
  finishTaskWithError(error);
}

std::optional<Error> ODCConfigFetcher::parsePSMConfigData(const Data& data) {
  auto config = ODCDictionaryFromJSONData(&data);
  if (!config) return config.error();
  auto find = [&](const char* key) -> const foundation::Object* {
    auto found = config->find(key);
    return found == config->end() ? nullptr : &found->second;
  };
  const foundation::Object* matchingID = find("matching_id");
  if (!matchingID || !matchingID->isString()) {
    return ODCErrorWithCode(kODCErrorMatchingIDNotString, "Matching ID is not a string.");
  }
  const foundation::Object* bucketedDate = find("bucketed_date");
  if (!bucketedDate || !bucketedDate->isString()) {
    return ODCErrorWithCode(kODCErrorBucketedDateNotString, "Bucketed date is not a string.");
  }
  // A length that does not fit 32 bits would reach the client wrapped round.
  const foundation::Object* prefixLength = find("prefix_length");
  if (!prefixLength || !prefixLength->isNumber() ||
      prefixLength->int64Value() < std::numeric_limits<std::int32_t>::min() ||
      prefixLength->int64Value() > std::numeric_limits<std::int32_t>::max()) {
    return ODCErrorWithCode(kODCErrorPrefixLengthNotNumber, "Prefix length is not a number.");
  }
  matchingID_ = *matchingID->string();
  bucketizedDate_ = *bucketedDate->string();
  prefixLength_ = static_cast<std::int32_t>(prefixLength->int64Value());
  const foundation::Object* extensionData = find("extension_data");
  if (extensionData && extensionData->isString()) {
    extensionData_ = *extensionData->string();
  } else {
    ODCLogWarning(kODCLogExtensionDataNotString, "Extension data is not a string.");
    extensionData_ = std::nullopt;
  }
  return std::nullopt;
}

std::optional<Error> ODCConfigFetcher::createPSMRequestWithData(const Data& data) {
  if (auto error = parsePSMConfigData(data)) return error;
  const auto& factory = context()->PSMClientFactory();
  if (!factory) return ODCErrorWithCode(kODCErrorPSMClientNotCreated, "Failed to create PSM client.");
  auto client = factory(matchingID_, bucketizedDate_, context()->bundleID(), prefixLength_);
  if (!client.ok() || !*client) return ODCErrorWithCode(kODCErrorPSMClientNotCreated, "Failed to create PSM client.");
  auto request = (*client)->CreateSerializedRequest();
  if (!request.ok()) return ODCErrorWithCode(kODCErrorPSMRequestNotCreated, "Failed to create PSM request.");
  context()->setPSMRequest(absl::WebSafeBase64Escape(*request));
  context()->setPSMClient(std::move(*client));
  context()->setExtensionData(extensionData_);
  // Base64 text always exists here; only an empty request can fail.
  if (context()->PSMRequest()->empty()) return ODCErrorWithCode(kODCErrorEmptyPSMRequest, "Empty PSM request.");
  auto payload = ODCJSONDataFromDictionary({
      {"psm_request", *context()->PSMRequest()},
      {"odmed", context()->extensionData().value_or("")},
  });
  if (!payload) return ODCErrorWithCode(kODCErrorCandidatePayloadNotCreated, "Failed to create candidate request payload.");
  context()->setCandidateRequestPayload(std::move(*payload));
  return std::nullopt;
}

void ODCConfigFetcher::finishWithoutConversionInfoAndMeasurementInfo() {
  context()->setAggregateConversionInfo(std::nullopt);
  context()->setMeasurementInfo(std::nullopt);
  finishTaskChainWithError(std::nullopt);
}

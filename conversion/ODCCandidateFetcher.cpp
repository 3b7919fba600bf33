#include "conversion/ODCCandidateFetcher.h"

#include <algorithm>
#include <cmath>

#include <absl/strings/escaping.h>

#include "conversion/ODCError.h"
#include "platform/utilities/Endpoints.h"

using foundation::Data;
using foundation::Error;

std::int64_t ODCFirstLaunchMinute(const std::optional<foundation::Date>& firstLaunch) {
  // Far beyond any real date, and far enough from the int64 limits that the
  // arithmetic below cannot overflow.
  constexpr double kLimit = 1e15;
  double seconds = firstLaunch ? firstLaunch->secondsSince1970 : 0;
  if (!std::isfinite(seconds)) seconds = 0;
  seconds = std::clamp(seconds, -kLimit, kLimit);
  std::int64_t whole = static_cast<std::int64_t>(seconds);
  return (whole / 60 + 1) * 60;
}

std::string ODCCandidateFetcher::PSMRequestURL() const {
  std::optional<foundation::Date> firstLaunch;
  if (const auto& store = context()->conversionStore()) firstLaunch = store->firstLaunchTimestamp();
  return utilities::Endpoints::baseURL(utilities::kEndpointOnDeviceConversion) + "/odm/psm?" +
         commonQueryParameters() + "&tfo=" + std::to_string(ODCFirstLaunchMinute(firstLaunch));
}

void ODCCandidateFetcher::executeTask() {
  ODCLogDebug(kODCLogFetchingCandidates, "Fetching PSM candidates");
  sendRequest(PSMRequestURL(), context()->candidateRequestPayload().value_or(Data{}),
              [](ODCAsyncTask& task, const auto& response, const auto& body, const auto& error) {
                static_cast<ODCCandidateFetcher&>(task).handlePSMResponse(response, body, error);
              });
}

void ODCCandidateFetcher::handlePSMResponse(const DRKHTTPURLResponse& response, const Data& body,
                                            const std::optional<Error>& networkError) {
  std::optional<Error> error = networkError;
  if (!error) error = checkHTTPResponse(response);
  if (!error) error = findPSMMatchesWithData(body);
  finishTaskWithError(error);
}

foundation::Result<std::string> ODCCandidateFetcher::PSMResponseFromData(const Data& data) {
  auto body = ODCDictionaryFromJSONData(&data);
  if (!body) return body.error();
  auto found = body->find("psm_response");
  if (found == body->end() || !found->second.isString()) {
    return ODCErrorWithCode(kODCErrorPSMResponseNotString, "PSM response is not a string.");
  }
  std::string bytes;
  if (!absl::WebSafeBase64Unescape(*found->second.string(), &bytes)) {
    return ODCErrorWithCode(kODCErrorPSMResponseNotUnescaped, "Failed to unescape PSM response.");
  }
  return bytes;
}

std::optional<Error> ODCCandidateFetcher::findPSMMatchesWithData(const Data& data) {
  auto bytes = PSMResponseFromData(data);
  if (!bytes) return bytes.error();
  ODCPSMClient* client = context()->PSMClient();
  // Without a client (none was made this run) the answer cannot be read.
  auto response = client ? client->ParseResponse(*bytes) : absl::FailedPreconditionError("no client");
  if (!response.ok() || !*response) {
    return ODCErrorWithCode(kODCErrorPSMResponseNotDeserialized, "Failed to deserialize PSM response.");
  }
  auto values = client->ProcessResponse(**response);
  if (!values.ok()) return ODCErrorWithCode(kODCErrorPSMResponseNotProcessed, "Failed to process PSM response.");
  std::string MVs = absl::WebSafeBase64Escape(client->SerializedMVsFromValues(*values));
  if (MVs.empty()) return ODCErrorWithCode(kODCErrorEmptyMVs, "Empty MVs from PSM response conversion.");
  auto payload = ODCJSONDataFromDictionary({
      {"mvs", MVs},
      {"odmed", context()->extensionData().value_or("")},
  });
  if (!payload) return ODCErrorWithCode(kODCErrorValidationPayloadNotCreated, "Failed to create validation request data.");
  context()->setMatchRequestPayload(std::move(*payload));
  return std::nullopt;
}

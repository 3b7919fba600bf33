#include "conversion/ODCMatchValidator.h"

#include "conversion/ODCError.h"
#include "platform/utilities/Endpoints.h"

using foundation::Data;
using foundation::Error;

std::string ODCMatchValidator::validationRequestURL() const {
  return utilities::Endpoints::baseURL(utilities::kEndpointOnDeviceConversion) + "/odm/validate?" +
         commonQueryParameters();
}

void ODCMatchValidator::executeTask() {
  ODCLogDebug(kODCLogValidatingMatches, "Validating matches");
  sendRequest(validationRequestURL(), context()->matchRequestPayload().value_or(Data{}),
              [](ODCAsyncTask& task, const auto& response, const auto& body, const auto& error) {
                static_cast<ODCMatchValidator&>(task).handleValidateResponse(response, body, error);
              });
}

void ODCMatchValidator::handleValidateResponse(const DRKHTTPURLResponse& response, const Data& body,
                                               const std::optional<Error>& networkError) {
  std::optional<Error> error = networkError;
  if (!error) error = checkHTTPResponse(response);
  if (!error) error = storeValidatedPSMValue(body);
  finishTaskWithError(error);
}

std::optional<Error> ODCMatchValidator::storeValidatedPSMValue(const Data& data) {
  auto body = ODCDictionaryFromJSONData(&data);
  if (!body) return body.error();
  auto measurement = body->find("mv_qvz4f");
  if (measurement == body->end() || !measurement->second.isString()) {
    return ODCErrorWithCode(kODCErrorMeasurementInfoNotString, "Measurement info is not a string.");
  }
  auto aggregate = body->find("mv_aaps");
  if (aggregate == body->end() || !aggregate->second.isString()) {
    return ODCErrorWithCode(kODCErrorAggregateInfoNotString, "Aggregate conversion info is not a string.");
  }
  context()->setAggregateConversionInfo(*aggregate->second.string());
  context()->setMeasurementInfo(*measurement->second.string());
  return std::nullopt;
}

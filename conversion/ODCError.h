// The on-device conversion component's error domain, its message codes and
// its log channel, shared by the store, the tasks and the services.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

inline constexpr const char* kODCErrorDomain = "com.dralix.ads.OnDeviceConversion.ErrorDomain";
inline constexpr const char* kODCLogSubsystem = "com.dralix.appads";
inline constexpr const char* kODCLogCategory = "<OnDeviceConversion>";

// Error codes double as log message codes ("I-ODC%06ld").
enum ODCErrorCode : std::int64_t {
  kODCErrorApplicationSupportNotFound = 1000,
  kODCErrorJSONDataNil = 2000,
  kODCErrorJSONRootNotDictionary = 2001,
  kODCErrorStoreDirectoryNotCreated = 3000,
  kODCErrorStoreInvalidFirstLaunch = 3001,
  kODCErrorStoreInvalidMatchFound = 3002,
  kODCErrorStoreInvalidInfo = 3003,
  kODCErrorStoreNotPersisted = 3004,
  kODCErrorStoreNotExcludedFromBackup = 3005,
  kODCErrorStoreInvalidRetryCount = 3006,
  kODCErrorStoreSetAside = 3007,
  kODCErrorHTTPStatus = 4000,
  kODCErrorRequestNotAccepted = 4001,
  kODCErrorPSMClientNotCreated = 5000,
  kODCErrorPSMRequestNotCreated = 5001,
  kODCErrorMatchingIDNotString = 5002,
  kODCErrorBucketedDateNotString = 5003,
  kODCErrorPrefixLengthNotNumber = 5004,
  kODCLogFetchingConfig = 5005,
  kODCLogEmptyConfig = 5006,
  kODCErrorPSMRequestNotString = 5007,
  kODCErrorCandidatePayloadNotCreated = 5008,
  kODCLogExtensionDataNotString = 5009,
  kODCErrorEmptyPSMRequest = 5010,
  kODCErrorPSMResponseNotDeserialized = 6000,
  kODCErrorPSMResponseNotProcessed = 6001,
  kODCErrorPSMResponseNotString = 6002,
  kODCErrorPSMResponseNotUnescaped = 6003,
  kODCLogFetchingCandidates = 6004,
  kODCErrorMVsNotConverted = 6005,
  kODCErrorValidationPayloadNotCreated = 6006,
  kODCErrorEmptyMVs = 6007,
  kODCErrorMeasurementInfoNotString = 7000,
  kODCErrorAggregateInfoNotString = 7001,
  kODCLogValidatingMatches = 7002,
  kODCErrorUnknownAggregateInteraction = 8000,
  kODCErrorUnknownMeasurementInteraction = 8001,
  kODCLogMatchAlreadyFound = 8002,
  kODCLogNoFirstLaunch = 8003,
  kODCLogFirstLaunchTooOld = 8004,
  kODCLogPSMValuesAlreadyStored = 8005,
};

// "I-ODC005005" for 5005.
std::string ODCMessageCode(std::int64_t code);

void ODCLogError(std::int64_t code, std::string_view message);
void ODCLogWarning(std::int64_t code, std::string_view message);
void ODCLogDebug(std::int64_t code, std::string_view message);

// Logs the message at error level under the code, then answers the error of
// the component's domain.
foundation::Error ODCErrorWithCode(std::int64_t code, std::string_view message);

// The JSON object of a body. No body is error 2000, a root that is not an
// object 2001; a body that does not parse gives the JSON reader's own error.
foundation::Result<foundation::Dictionary> ODCDictionaryFromJSONData(const foundation::Data* data);
// The JSON text of an object; nullopt when it holds what JSON cannot carry.
std::optional<foundation::Data> ODCJSONDataFromDictionary(const foundation::Dictionary& dictionary);

// The vocabulary between public and internal names of events and
// parameters, the error codes of the internal error event "_err", and the
// forms in which names and parameters appear in debug log texts.
//
// The maps are built once per process and only read afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "measurement/model/QZMDataTypeValidator.h"
#include "measurement/model/QZMUserAttribute.h"
#include "measurement/model/QZMValue.h"

// Public event name -> internal name; 32 entries, "zarnholt_campaign" and
// "qvz_campaign" both map to "_cmp".
const QZMNameMap& QZMPublicToInternalEventNameMap();
// Internal event name -> public name, one entry per internal name; "_cmp"
// shows as "qvz_campaign".
const QZMNameMap& QZMInternalToPublicEventNameMap();
// The reserved public event names an app may still log: "ad_impression".
const QZMNameMap& QZMAllowedReservedEventNameMap();
// Long name of a reserved parameter -> its internal name; 55 entries.
const QZMNameMap& QZMInternalParameterNameMap();

// Codes of the internal error event; 24 to 27 have no name.
enum class QZMEventErrorCode : std::int64_t {
  kNoError = 0,
  kInvalidDXVAppID = 1,
  kInvalidEventName = 2,
  kInvalidParameterName = 3,
  kInvalidParameterValue = 4,
  kParameterLimitReached = 5,
  kInvalidUserPropertyName = 6,
  kUserPropertyValueTooLong = 7,
  kEventLimitReached = 8,
  kUserPropertyLimitReached = 9,
  kConversionEventLimitReached = 10,
  kEventIsBlocked = 11,
  kUserPropertyIsBlocked = 12,
  kEventNameIsReserved = 13,
  kParameterNameIsReserved = 14,
  kUserPropertyNameIsReserved = 15,
  kPublicEventLimitReached = 16,
  kTooManyExtraParamEvents = 17,
  kValueIsNotNumeric = 18,
  kCurrencyCodeIsMissingOrInvalid = 19,
  kInvalidArrayParamName = 20,
  kInvalidArrayParamEventName = 21,
  kInvalidArrayParamNesting = 22,
  kCustomParamsInArrayElement = 23,
  kItemScopedCustomParameterLimitReached = 28,
};
// Code -> name, for showing "_err" values; 25 entries.
const std::map<std::int64_t, std::string>& QZMEventErrorCodeNameMap();

// The 33 item parameters that do not count as custom parameters of an item.
bool QZMIsStandardItemParameterName(std::string_view name);

// A non-empty string whose first character is not "_". Logs 18002 for an
// object that is not a string and 18003 for an empty one.
bool QZMIsPublicName(const QZMValidatorInput& name);

// ---- Display forms for log texts ----
// Outside the monitor's debug mode, or when the public API class is absent,
// a name is shown as it is. In debug mode an internal name found among the
// map's values is shown as "public (internal)", preferring a public name
// without the "zarnholt_" prefix.
std::string QZMDisplayNameWithMap(const QZMValidatorInput& name, const QZMNameMap& map);
std::string QZMEventNameForLogging(std::string_view name);
std::string QZMParameterNameForLogging(std::string_view name);
// "_exp_..." names show as "experiment_id (name)".
std::string QZMUserPropertyNameForLogging(std::string_view name);

// In debug mode, one sorted line per entry with display names, arrays
// spelled out and "_err" codes named; otherwise the plain description.
std::string QZMParametersForLogging(const QZMObject& object);
std::string QZMParametersForLogging(const QZMParameters& parameters);
std::string QZMDictionaryDescriptionWithIndent(const QZMObject& object, std::string_view indent);
std::string QZMArrayDescription(const QZMObject& object);

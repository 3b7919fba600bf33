// Cleaning of event parameters and the error information an event carries.
//
// A parameter dictionary is cleaned before it becomes part of an event:
// names and values are checked, values are typed, "items" arrays are cleaned
// item by item, counts are capped, and instead of failing the event the first
// problem found is written into the parameters as "_err" (code), "_ev" (the
// offending name, cut to a limit with "...") and "_el" (the offending
// value's length). Entries are visited in ascending name order, so the same
// input always records the same problem and keeps the same parameters.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/model/QZMDataTypeValidator.h"
#include "measurement/model/QZMEventNames.h"
#include "measurement/model/QZMValue.h"

// ---- The internal error event ----

// Where internal events go: the analytics facade installs itself here and
// queues them on its ordered event road. Without one they are dropped.
using QZMInternalEventLogger =
    std::function<void(const std::string& origin, const std::string& name, const QZMDictionary& parameters)>;
// Answers the logger it replaced; an empty one uninstalls.
QZMInternalEventLogger QZMSetInternalEventLogger(QZMInternalEventLogger logger);

// Logs "_err" with origin "auto" and the parameter "_err" = code; nothing
// for code 0.
void QZMLogErrorEvent(std::int64_t code);
// As above, adding "_ev" = the name cut to maxLength characters and, when
// the value is longer than that or the code is 4 or 7, "_el" = its length.
void QZMLogErrorEventWithName(std::int64_t code, std::optional<std::string_view> name, std::int64_t maxLength,
                              const QZMObject* value);

// ---- Error information in a parameter dictionary ----

// Sets "_ev" (and "_el" when a value is given: a string's length in
// characters, an array's element count, else 0) unless either is present. A
// nil name shows as "(nil)"; a name longer than maxLength characters is cut
// and "..." appended.
void QZMAddErrorNameAndLength(QZMParameters& parameters, std::optional<std::string_view> name,
                              std::int64_t maxLength, const QZMObject* value);
// Sets "_err" unless it is present.
void QZMSetErrorCodeIfAbsent(QZMParameters& parameters, std::int64_t code);
// Records a first problem: only when none of "_err", "_ev", "_el" is present.
void QZMRecordParameterError(QZMParameters& parameters, std::int64_t code, std::optional<std::string_view> name,
                             std::int64_t maxLength, const QZMObject* value);
// The array failures as error codes: 10 -> 21 naming the event, 11 -> 20,
// 12 -> 17 and 13 -> 22 naming the parameter; others are ignored.
void QZMRecordArrayParameterError(QZMParameters& parameters, QZMValidationFailureCode failureCode,
                                  std::string_view paramName, const std::optional<std::string>& eventName);

// ---- Cleaning ----

// The cleaned parameters: every entry a typed value, plus the error
// information of the first problem. nullopt for an empty input. Internal
// value limits apply when the event name is internal ("_...") or a reserved
// public name; public names and values are checked when isPublic is set;
// isItem cleans one element of an "items" array.
std::optional<QZMParameters> QZMSanitizedEventParameters(const QZMDictionary& parameters,
                                                         const std::optional<std::string>& eventName, bool isPublic,
                                                         bool isItem);
// Whether the name passes the public (when asked) and internal name rules;
// a failure is recorded as 14 (reserved) or 3 unless "_err" is present.
bool QZMCheckEventParameterName(std::string_view name, bool isPublic, QZMParameters& errors);
// An "items" array with each dictionary element cleaned as an item (at most
// the first 200); other elements are dropped and recorded as 4 with the name
// "items[index]". nullopt when the array may not be used at all. The failure
// code of the array check is written through the pointer.
std::optional<QZMValue> QZMSanitizedArrayParameter(const QZMArray& array, std::string_view paramName,
                                                   const std::optional<std::string>& eventName, QZMParameters& errors,
                                                   bool isNested, bool isPublic,
                                                   QZMValidationFailureCode* failureCode);

// The number of public names among the keys; for an item, standard item
// parameters do not count.
std::int64_t QZMCountPublicParameters(const QZMParameters& parameters, bool isItem);
// While more than limit counted names remain, removes them from the end of
// the ascending name order.
void QZMTrimPublicParameters(QZMParameters& parameters, std::int64_t limit, bool isItem);
void QZMTrimEventParameters(QZMParameters& parameters, std::int64_t limit);

// A "value" parameter needs a numeric value and a three-letter "currency";
// otherwise "value" is removed and 18 or 19 recorded. YES when there is no
// "value" or both are fine.
bool QZMValidateValueAndCurrency(QZMParameters& parameters);

// Stateless helpers the engine uses on events and their parameters: the
// conversion of parameters to messages and to event editing's plain form,
// event classification, screen parameters and the session-start event.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/model/QZMEvent.h"
#include "measurement/model/QZMValue.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Object.h"

// ---- Conversions ----

// One message per typed entry (others are logged, 16005, and skipped): a
// double, an int64 or a string in its field, an array at the top level as
// one unnamed message per item holding the item's entries. Arrays are never
// nested (16007).
std::vector<std::shared_ptr<QZMPBEventParam>> QZMEventParamMessagesFromParameters(
    const QZMDictionary& parameters, std::string_view eventName, bool isNested);
std::vector<std::shared_ptr<QZMPBEventParam>> QZMEventParamMessagesFromParameters(
    const QZMParameters& parameters, std::string_view eventName, bool isNested);
// Plain numbers and strings, arrays of item dictionaries at the top level;
// anything untyped or nested deeper is left out.
foundation::Dictionary QZMEventParametersForEditing(const QZMDictionary& parameters, bool isNested);
foundation::Dictionary QZMEventParametersForEditing(const QZMParameters& parameters, bool isNested);
// Whether a message has the name (logged, 23156, when it does).
bool QZMEventParamsContainName(const std::vector<std::shared_ptr<QZMPBEventParam>>& params, std::string_view name);

// ---- Classification ----

// "_err"; an empty name is logged (18004) and answers NO.
bool QZMIsErrorEvent(const QZMEvent* event);
bool QZMIsNonErrorEventName(std::string_view name);
// "_assc", "_assr", and "_iap" with the int64 "subscription" parameter 1.
bool QZMIsSubscriptionEvent(const QZMEvent* event);
bool QZMIsDefaultConversionEventName(std::string_view name);
bool QZMIsPurchaseEventName(std::string_view name);
// Elements across the array-valued parameters; 0 for no event.
std::int64_t QZMEventArrayItemCount(const QZMEvent* event);

// ---- Parameter dictionaries ----

template <class Dictionary>
bool QZMHasScreenParameters(const Dictionary& parameters) {
  return parameters.contains("_si") || parameters.contains("_sc") || parameters.contains("_sn");
}

// Only the "_sn", "_sc" and "_si" entries.
template <class Dictionary>
Dictionary QZMScreenParametersFromParameters(const Dictionary& parameters) {
  Dictionary screen;
  for (const char* key : {"_sn", "_sc", "_si"}) {
    if (auto it = parameters.find(key); it != parameters.end()) screen.emplace(it->first, it->second);
  }
  return screen;
}

// Without the keys that begin with "dxd_".
template <class Dictionary>
Dictionary QZMParametersRemovingDxdKeys(const Dictionary& parameters) {
  Dictionary kept;
  for (const auto& entry : parameters) {
    if (!std::string_view(entry.first).starts_with("dxd_")) kept.insert(entry);
  }
  return kept;
}

// ---- Session start ----

// The current screen's parameters ("_si", "_sc", "_sn" as present); the
// screen-view reporter installs itself here. Answers the provider replaced.
using QZMScreenParametersProvider = std::function<QZMDictionary()>;
QZMScreenParametersProvider QZMSetScreenParametersProvider(QZMScreenParametersProvider provider);

// "_s" from "auto" with "_sid" = the whole seconds of the timestamp and
// "_sno" = the session number; "_aib" = 1 when started in the background,
// otherwise the current screen's parameters.
std::unique_ptr<QZMEvent> QZMSessionStartEvent(const QZMObject& sessionNumber, bool appInBackground,
                                               double timestamp);

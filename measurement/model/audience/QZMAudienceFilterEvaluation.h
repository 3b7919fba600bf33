// Whether one audience filter holds for one event or one user property:
// true, false, or nullopt when it cannot be evaluated (a malformed filter, a
// missing parameter, a value of the wrong kind), which leaves the stored
// result untouched. Every nullopt is logged.
#pragma once

#include <optional>
#include <string_view>

#include "measurement/model/QZMEvent.h"
#include "measurement/model/QZMUserAttribute.h"
#include "measurement/model/audience/QZMAudienceFilters.h"

class QZMPBEventFilter;
class QZMPBFilter;
class QZMPBPropertyFilter;
class QZMPBUserAttribute;

// One parameter filter against a value: a number filter takes numbers and
// decimal texts, a string filter texts; the complement flag inverts.
std::optional<bool> QZMEvaluateFilter(const QZMPBFilter* filter, const QZMValue& value);
// The event's name, then its count (this session's for a session-scoped
// filter) and every parameter filter, joined by AND. The aggregates already
// count this event.
std::optional<bool> QZMEvaluateEventFilter(const QZMPBEventFilter* filter, std::string_view eventName,
                                           const QZMParameters& parameters, const QZMEventAggregates& aggregates);
std::optional<bool> QZMEvaluatePropertyFilter(const QZMPBPropertyFilter* filter, const QZMUserAttribute* attribute);

// The same for a stored filter, whose message is decoded first.
std::optional<bool> QZMEvaluateStoredEventFilter(const QZMEventFilter& filter, const QZMParameters& parameters,
                                                 const QZMEventAggregates& aggregates);
// A true plain filter that no longer holds keeps its result (nullopt),
// except that a session-scoped one may turn false.
std::optional<bool> QZMEvaluateStoredPropertyFilter(bool wasTrue, const QZMPropertyFilter& filter,
                                                    const QZMUserAttribute& attribute);

// A filter already true is evaluated again only when it is dynamic,
// sequence or session scoped.
bool QZMShouldEvaluateFilter(const QZMAudienceFilter& filter, bool wasTrue);
// Only a dynamic property filter that is not session scoped turns false.
bool QZMShouldTakePropertyResult(const QZMPropertyFilter& filter, bool result);

// A user property from its message: no origin, the string, else the double,
// else the integer value, set at the message's time. nullopt without a value
// or when the rules refuse it.
std::optional<QZMUserAttribute> QZMUserAttributeFromNanoUserProperty(const QZMPBUserAttribute& property);

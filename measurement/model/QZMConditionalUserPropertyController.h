// Accepts conditional user properties from the interop entry points, keeps
// them in the measurement database, and is asked by the engine, for every
// event it writes, which stored properties that event triggers and which
// have timed out or expired since. Time-outs and expiries are noticed only
// when the next event is processed.
//
// Each change runs in one database transaction on the worker queue; the
// events a change produces are written only once it has committed.
#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "measurement/model/QZMConditionalUserProperty.h"
#include "measurement/model/QZMEvent.h"

// Whether the origin, the name and the value (when there is one) pass their
// checks, the value is no array, and the trigger timeout and time to live are
// numbers from 0.001 s to 180 days.
bool QZMIsValidConditionalUserProperty(const QZMConditionalUserProperty& property);

class QZMConditionalUserPropertyController {
 public:
  using Events = std::vector<std::unique_ptr<QZMEvent>>;

  static std::shared_ptr<QZMConditionalUserPropertyController> sharedInstance();
  virtual ~QZMConditionalUserPropertyController() = default;

  // ---- Any thread ----

  // Validates a copy named name and, on the worker queue, stores it (with a
  // value) or removes the stored one (without).
  void setConditionalUserProperty(const QZMConditionalUserProperty* property, std::string_view name);
  // Removes the stored property of the name, logging the clear event.
  void clearConditionalUserPropertyWithClearEvent(QZMConditionalUserProperty::EventPointer clearEvent,
                                                  std::string_view name);
  // The stored properties whose name begins with the prefix and whose origin
  // is the origin (each ignored when nil); both must be text. Waits for the
  // worker queue at most 30 seconds, and runs at once on the worker queue
  // itself. nullopt on failure or when the wait ran out.
  std::optional<std::vector<QZMConditionalUserProperty>> conditionalUserPropertiesWithNamePrefix(
      const QZMObject* namePrefix, const QZMObject* filterByOrigin);

  // ---- Worker queue ----

  void setConditionalUserPropertyOnWorkerQueue(const QZMConditionalUserProperty& property);
  // Removes the stored property of the name; the given property's expired
  // event, if any, is logged with the stored property's origin.
  void removeConditionalUserPropertyOnWorkerQueue(const QZMConditionalUserProperty& property);
  // Removes timed-out and expired properties (writing their events as they
  // are) and activates those the event triggers; the triggered events for
  // the engine to write, or nullopt when nothing changed.
  std::optional<Events> processEventOnWorkerQueue(const QZMEvent* event);
  // Each appends the events to write, and answers false on a database failure.
  bool removeTimedOutCUPWithTimedOutEvents(Events& timedOutEvents);
  bool removeExpiredCUPWithExpiredEvents(Events& expiredEvents);
  // Activates the properties waiting for the event name; their events.
  std::optional<Events> updateConditionalUserPropertiesWithEventNameOnWorkerQueue(std::string_view eventName);
};

// The same controller under the public API's name.
class ZNHAConditionalUserPropertyController final : public QZMConditionalUserPropertyController {};

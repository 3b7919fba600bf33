// The events event editing works on: a name, a timestamp and host-object
// parameters, made from the engine's edit form and read back into it. Values
// a program sets are matched to the type of the value they replace, so that
// an integer parameter stays an integer and a text parameter stays text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <absl/container/flat_hash_set.h>

#include "measurement/model/QZMEditEvent.h"
#include "platform/foundation/Object.h"

class QZMPEvent {
 public:
  QZMPEvent() = default;
  QZMPEvent(std::string name, double timestamp, foundation::Dictionary parameters);
  explicit QZMPEvent(QZMEditEvent event) : event_(std::move(event)) {}

  const std::string& name() const { return event_.name; }
  void setName(std::string name) { event_.name = std::move(name); }
  // The same, giving back the name replaced.
  std::string exchangeName(std::string name) { return std::exchange(event_.name, std::move(name)); }
  double timestamp() const { return event_.timestamp; }
  const foundation::Dictionary& parameters() const { return event_.parameters; }
  // The engine's form of the event.
  const QZMEditEvent& editEvent() const { return event_; }

  // nullptr when absent.
  const foundation::Object* parameterForName(std::string_view name) const;
  bool hasParameterName(std::string_view name) const { return parameterForName(name) != nullptr; }
  // A null value removes the parameter; any other is stored after type
  // matching against the parameter's current value.
  void setParameter(foundation::Object value, std::string_view name) { exchangeParameter(std::move(value), name); }
  // The same, giving back the value replaced (moved out, not copied; none
  // when the parameter was absent).
  std::optional<foundation::Object> exchangeParameter(foundation::Object value, std::string_view name);
  // Puts back what exchangeParameter gave: none removes the parameter.
  void restoreParameter(std::optional<foundation::Object> previous, std::string_view name);

  // Same name, timestamps no more than 2^-52 apart, and the same
  // parameters: the same names with equal values, and numbers of the same
  // storage (1 and 1.0 differ).
  bool isEqualToEvent(const QZMPEvent& other) const;

 private:
  QZMEditEvent event_;
};

// A number a program set, stored as the reference value's kind asks:
// "_syn", "_err" and "_el" always as integers; a number replacing an
// integer as an integer unless the name starts with "_"; a number replacing
// text as its text. Anything else is stored as it is.
foundation::Object QZMPTypeMatchedValue(std::string_view name, foundation::Object value,
                                        const foundation::Object* reference);

// Events a program may queue while one event is handled; later ones are
// refused with a log line.
inline constexpr std::size_t kQZMPMaxEventsToLog = 100;
inline constexpr std::int64_t kQZMPEventsToLogRefusedMessageCode = 29100;

// One handled event: what came in, the copy the program edits, and the new
// events it queues.
class QZMPEventContext {
 public:
  QZMPEventContext() = default;
  explicit QZMPEventContext(QZMPEvent event) { setInputEvent(std::move(event)); }

  const QZMPEvent& inputEvent() const { return inputEvent_; }
  const QZMPEvent& outputEvent() const { return outputEvent_; }
  QZMPEvent& outputEvent() { return outputEvent_; }
  void setOutputEvent(QZMPEvent event) { outputEvent_ = std::move(event); }

  // Changes a program makes to the output event. Between beginEdits and
  // endEdits the first change of the name and of each parameter keeps what
  // it replaced, so that undoEdits can put it back: taking back one
  // callback's changes costs what they did, however large the event is.
  void setOutputName(std::string name);
  void setOutputParameter(foundation::Object value, std::string_view name);
  void beginEdits();
  void endEdits();
  void undoEdits();
  const std::vector<QZMPEvent>& eventsToLog() const { return loggedEvents_; }

  // The output becomes a copy of the input; the queue is emptied.
  void setInputEvent(QZMPEvent event);

  // Queues a new event, each parameter type-matched against the input
  // event's parameter of that name. False, logged once per handled event,
  // when the queue is full.
  bool logEventWithName(std::string name, double timestamp, foundation::Dictionary parameters);

 private:
  // What one change replaced: a parameter's value (none when it was
  // absent), or the event's name.
  struct Replaced {
    std::string name;
    std::optional<foundation::Object> value;
    bool eventName = false;
  };

  QZMPEvent inputEvent_;
  QZMPEvent outputEvent_;
  std::vector<QZMPEvent> loggedEvents_;
  std::vector<Replaced> replaced_;
  absl::flat_hash_set<std::string> replacedNames_;
  bool nameReplaced_ = false;
  bool recording_ = false;
  bool refusalLogged_ = false;
};

#include "measurement/config/runtime/QZMPEvent.h"

#include <cfloat>
#include <cmath>

#include "measurement/config/runtime/QZMPNumberConversion.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"

namespace {

bool isIntegerStored(const foundation::Object& number) { return number.isInteger() || number.isBool(); }

std::string numberText(const foundation::Object& number) {
  if (isIntegerStored(number)) return std::to_string(number.int64Value());
  return QZMPNumberToString(number.doubleValue());
}

// Numbers compare by value, whatever their storage, as nested values do.
bool sameValue(const foundation::Object& a, const foundation::Object& b) {
  if (a.isNumber() || b.isNumber()) {
    if (!a.isNumber() || !b.isNumber()) return false;
    if (isIntegerStored(a) && isIntegerStored(b)) return a.int64Value() == b.int64Value();
    return a.doubleValue() == b.doubleValue();
  }
  if (a.kind() != b.kind()) return false;
  if (const foundation::Array* x = a.array()) {
    const foundation::Array& y = *b.array();
    if (x->size() != y.size()) return false;
    for (std::size_t i = 0; i < x->size(); ++i) {
      if (!sameValue((*x)[i], y[i])) return false;
    }
    return true;
  }
  if (const foundation::Dictionary* x = a.dictionary()) {
    const foundation::Dictionary& y = *b.dictionary();
    if (x->size() != y.size()) return false;
    for (const auto& [key, value] : *x) {
      const auto other = y.find(key);
      if (other == y.end() || !sameValue(value, other->second)) return false;
    }
    return true;
  }
  return a == b;
}

}  // namespace

foundation::Object QZMPTypeMatchedValue(std::string_view name, foundation::Object value,
                                        const foundation::Object* reference) {
  if (!value.isNumber()) return value;
  if (name == "_syn" || name == "_err" || name == "_el") return foundation::Object(value.int64Value());
  if (reference == nullptr) return value;
  if (reference->isNumber()) {
    if (!isIntegerStored(*reference) || name.starts_with("_")) return value;
    return foundation::Object(value.int64Value());
  }
  if (reference->isString()) return foundation::Object(numberText(value));
  return value;
}

QZMPEvent::QZMPEvent(std::string name, double timestamp, foundation::Dictionary parameters)
    : event_{std::move(name), timestamp, std::move(parameters)} {}

const foundation::Object* QZMPEvent::parameterForName(std::string_view name) const {
  const auto found = event_.parameters.find(name);
  return found == event_.parameters.end() ? nullptr : &found->second;
}

std::optional<foundation::Object> QZMPEvent::exchangeParameter(foundation::Object value, std::string_view name) {
  const auto found = event_.parameters.find(name);
  std::optional<foundation::Object> previous;
  if (value.isNull()) {
    if (found != event_.parameters.end()) {
      previous = std::move(found->second);
      event_.parameters.erase(found);
    }
    return previous;
  }
  foundation::Object matched =
      QZMPTypeMatchedValue(name, std::move(value), found == event_.parameters.end() ? nullptr : &found->second);
  if (found != event_.parameters.end()) {
    previous = std::exchange(found->second, std::move(matched));
  } else {
    event_.parameters.emplace(std::string(name), std::move(matched));
  }
  return previous;
}

void QZMPEvent::restoreParameter(std::optional<foundation::Object> previous, std::string_view name) {
  if (previous) {
    event_.parameters.insert_or_assign(std::string(name), std::move(*previous));
  } else if (const auto found = event_.parameters.find(name); found != event_.parameters.end()) {
    event_.parameters.erase(found);
  }
}

bool QZMPEvent::isEqualToEvent(const QZMPEvent& other) const {
  if (this == &other) return true;
  if (std::fabs(event_.timestamp - other.event_.timestamp) > DBL_EPSILON) return false;
  if (event_.name != other.event_.name) return false;
  // Both ways round: a parameter the other event lacks is a difference too,
  // so that removing one counts as an edit.
  if (event_.parameters.size() != other.event_.parameters.size()) return false;
  for (const auto& [name, value] : event_.parameters) {
    const foundation::Object* theirs = other.parameterForName(name);
    if (theirs == nullptr || !sameValue(value, *theirs)) return false;
    if (value.isNumber() && isIntegerStored(value) != isIntegerStored(*theirs)) return false;
  }
  return true;
}

void QZMPEventContext::setInputEvent(QZMPEvent event) {
  inputEvent_ = std::move(event);
  outputEvent_ = inputEvent_;
  loggedEvents_.clear();
  endEdits();
  refusalLogged_ = false;
}

void QZMPEventContext::setOutputName(std::string name) {
  std::string previous = outputEvent_.exchangeName(std::move(name));
  if (recording_ && !nameReplaced_) {
    nameReplaced_ = true;
    replaced_.push_back({std::move(previous), std::nullopt, true});
  }
}

void QZMPEventContext::setOutputParameter(foundation::Object value, std::string_view name) {
  std::optional<foundation::Object> previous = outputEvent_.exchangeParameter(std::move(value), name);
  // Later changes of the same parameter replace values this callback made.
  if (recording_ && replacedNames_.emplace(name).second) replaced_.push_back({std::string(name), std::move(previous)});
}

void QZMPEventContext::beginEdits() {
  endEdits();
  recording_ = true;
}

void QZMPEventContext::endEdits() {
  replaced_.clear();
  replacedNames_.clear();
  nameReplaced_ = false;
  recording_ = false;
}

void QZMPEventContext::undoEdits() {
  for (auto change = replaced_.rbegin(); change != replaced_.rend(); ++change) {
    if (change->eventName) {
      outputEvent_.setName(std::move(change->name));
    } else {
      outputEvent_.restoreParameter(std::move(change->value), change->name);
    }
  }
  endEdits();
}

bool QZMPEventContext::logEventWithName(std::string name, double timestamp, foundation::Dictionary parameters) {
  if (loggedEvents_.size() >= kQZMPMaxEventsToLog) {
    if (!refusalLogged_) {
      refusalLogged_ = true;
      QZMMeasurementBase::monitor()->logWithLevel(
          3, kQZMPEventsToLogRefusedMessageCode,
          "Event editing queued too many events; further ones are dropped. Event name", name);
    }
    return false;
  }
  foundation::Dictionary matched;
  for (auto& [key, value] : parameters) {
    matched.emplace(key, QZMPTypeMatchedValue(key, std::move(value), inputEvent_.parameterForName(key)));
  }
  loggedEvents_.emplace_back(std::move(name), timestamp, std::move(matched));
  return true;
}

#include "measurement/api/ZNHAnalyticsConnector.h"

#include <condition_variable>
#include <set>
#include <utility>

#include "measurement/api/ZNHAnalytics.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/model/QZMConditionalUserPropertyController.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/RegularExpression.h"

namespace {

using foundation::Dictionary;

class ConnectorLibrary final : public ZNHLibrary {
 public:
  std::vector<ZNHComponent> componentsToRegister() const override {
    return ZNHAnalyticsConnector::componentsToRegister();
  }
};

using Names = std::set<std::string, std::less<>>;

const Names& allowedListenerOrigins() {
  static const auto* set = new Names{"ombe", "crash", "pbt"};
  return *set;
}
const Names& blocklistedOrigins() {
  static const auto* set = new Names{"auto", "app", "am"};
  return *set;
}
const Names& blocklistedEventNames() {
  static const auto* set = new Names{"_e", "_f", "_iap", "_s", "_au"};
  return *set;
}
const Names& blocklistedParameters() {
  static const auto* set = new Names{"_r", "_dbg"};
  return *set;
}
const Names& blocklistedUserProperties() {
  static const auto* set = new Names{"_fot", "_ln", "_id", "_fi", "_lte", "_sid", "_sno"};
  return *set;
}
const Names& hiddenEventNames() {
  static const auto* set =
      new Names{"_xa", "_xu",      "_aq",        "_aa",           "_ai",          "_ac",        "campaign_details",
                "_ug", "_exp_set", "_exp_clear", "_exp_activate", "_exp_timeout", "_exp_expire"};
  return *set;
}
const std::vector<std::shared_ptr<foundation::RegularExpression>>& blocklistedUserPropertyPatterns() {
  static const auto* patterns = [] {
    auto* made = new std::vector<std::shared_ptr<foundation::RegularExpression>>;
    for (const char* pattern : {"^_ltv_[A-Z]{3}$", "^_cc[1-5]{1}$"}) {
      auto compiled = foundation::RegularExpression::make(pattern);
      if (compiled.ok()) made->push_back(*compiled);
    }
    return made;
  }();
  return *patterns;
}

bool contains(const Names& names, std::string_view name) { return names.find(name) != names.end(); }

std::shared_ptr<QZMMonitor> monitor() { return QZMMeasurement::monitor(); }

// Input another component sent that the connector cannot use.
void logDropped(std::string_view what, std::string_view key) {
  monitor()->logWithLevel(2, 25070, "Interop connector dropped an entry of unknown key or wrong type. What, key",
                          std::string(what), std::string(key));
}

std::optional<double> number(const QZMObject& object) {
  const foundation::Object* plain = object.plain();
  if (plain && (plain->isInteger() || plain->isFloating() || plain->isBool())) return plain->doubleValue();
  return std::nullopt;
}

}  // namespace

// ---- Rules ----

bool ZNHConnectorUtils::isOriginAllowed(std::string_view origin) { return !contains(blocklistedOrigins(), origin); }

bool ZNHConnectorUtils::isAppOrigin(std::string_view origin) { return origin == "app" || origin.starts_with("app+"); }

bool ZNHConnectorUtils::isListenerOriginAllowed(std::string_view origin) {
  return contains(allowedListenerOrigins(), origin);
}

bool ZNHConnectorUtils::isEventNameAllowedForListeners(std::string_view name) {
  return !contains(hiddenEventNames(), name);
}

bool ZNHConnectorUtils::isEventNameAllowedForListenerOrigin(std::string_view name, std::string_view origin) {
  return name == "_vs" && origin == "pbt";
}

bool ZNHConnectorUtils::shouldLogEventWithName(std::string_view name, const QZMDictionary& parameters) {
  if (name.empty() || contains(blocklistedEventNames(), name)) return false;
  for (const auto& key : blocklistedParameters()) {
    if (parameters.contains(key)) return false;
  }
  return true;
}

bool ZNHConnectorUtils::isUserPropertyAllowed(std::string_view name, std::string_view origin) {
  if (name.empty()) return false;
  if (name == "_ln") return origin == "wqm" || origin == "ombe";
  if (contains(blocklistedUserProperties(), name)) return false;
  for (const auto& pattern : blocklistedUserPropertyPatterns()) {
    auto found = pattern->isFound(name);
    // A search that cannot finish is no permission.
    if (!found.ok() || *found) return false;
  }
  return true;
}

bool ZNHConnectorUtils::isUserPropertyAllowedForQuery(std::string_view name) {
  return name == "_fot" || (!name.empty() && name.front() != '_');
}

// ---- Registration ----

void ZNHAnalyticsConnector::load() {
  ZNHApp::registerInternalLibrary(std::make_shared<ConnectorLibrary>(), kZNHAnalyticsLibraryName,
                                  kZNHAnalyticsLibraryVersion);
}

std::vector<ZNHComponent> ZNHAnalyticsConnector::componentsToRegister() {
  return {ZNHComponent::componentWithProtocol(kZNHAnalyticsInteropProtocol, [](ZNHApp&) -> std::shared_ptr<void> {
    return std::shared_ptr<ZNHAnalyticsInterop>(std::make_shared<ZNHAnalyticsConnector>());
  })};
}

std::shared_ptr<dispatch::Queue> ZNHAnalyticsConnector::connectorQueue() {
  static auto* queue = new std::shared_ptr<dispatch::Queue>(dispatch::Queue::create(kZNHAnalyticsConnectorQueueLabel));
  return *queue;
}

ZNHAnalyticsConnector::~ZNHAnalyticsConnector() {
  // The facade would otherwise keep calling a listener block for nobody.
  if (logEventListener_) ZNHAnalytics::removeLogEventListener(logEventListener_);
}

std::shared_ptr<ZNHAnalytics> ZNHAnalyticsConnector::analytics() const {
  std::lock_guard lock(mutex_);
  return analytics_.lock();
}

void ZNHAnalyticsConnector::setAnalytics(std::weak_ptr<ZNHAnalytics> analytics) {
  std::lock_guard lock(mutex_);
  analytics_ = std::move(analytics);
}

bool ZNHAnalyticsConnector::hasLogEventListener() const {
  std::lock_guard lock(mutex_);
  return logEventListener_.has_value();
}

// ---- Events and user properties ----

void ZNHAnalyticsConnector::logEventWithOrigin(const std::string& origin, const std::string& name,
                                               const QZMDictionary& parameters) {
  if (!ZNHConnectorUtils::isOriginAllowed(origin) || !ZNHConnectorUtils::shouldLogEventWithName(name, parameters)) {
    return;
  }
  QZMDictionary params = parameters;
  if (name == "_cmp") {
    if (origin == "wqm" || origin == "hwr" || origin == "ombe" || origin == "ysk")
      params["_cis"] = origin + "_integration";
  } else if (name == "_ae" && origin == "pbt") {
    params["_r"] = std::int64_t{1};
  }
  ZNHAnalytics::logInternalEventWithOrigin(origin, name, params);
}

void ZNHAnalyticsConnector::setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                                      const std::optional<QZMObject>& value) {
  if (!ZNHConnectorUtils::isOriginAllowed(origin) || !ZNHConnectorUtils::isUserPropertyAllowed(name, origin)) return;
  ZNHAnalytics::sharedInstance()->setInternalUserProperty(value, name, origin);
}

void ZNHAnalyticsConnector::getUserPropertiesWithCallback(std::function<void(const Dictionary&)> callback) {
  ZNHAnalytics::userPropertiesIncludingInternal(true, connectorQueue(),
                                                [callback = std::move(callback)](const Dictionary& properties) {
                                                  Dictionary allowed;
                                                  for (const auto& [name, value] : properties) {
                                                    if (ZNHConnectorUtils::isUserPropertyAllowedForQuery(name)) {
                                                      allowed.emplace(name, value);
                                                    }
                                                  }
                                                  if (callback) callback(allowed);
                                                });
}

std::optional<std::int64_t> ZNHAnalyticsConnector::maxUserProperties(const std::string& origin) {
  // Either queue would wait for itself until the time ran out.
  if (QZMAnalytics::isCurrentQueueSerialQueue() || dispatch::currentQueueLabel() == kZNHAnalyticsConnectorQueueLabel) {
    return std::nullopt;
  }
  struct Answer {
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<std::int64_t> value;
  };
  // Shared with the callback, which may come after the wait gave up.
  auto answer = std::make_shared<Answer>();
  ZNHAnalytics::sharedInstance()->maxUserPropertiesForOrigin(origin, connectorQueue(), [answer](std::int32_t value) {
    {
      std::lock_guard lock(answer->mutex);
      answer->value = value;
    }
    answer->changed.notify_all();
  });
  std::unique_lock lock(answer->mutex);
  foundation::waitUntil(answer->changed, lock, foundation::Deadline::afterSeconds(kZNHMaxUserPropertiesTimeout),
                        [&] { return answer->value.has_value(); });
  return answer->value;
}

// ---- Conditional user properties ----

std::unique_ptr<QZMEvent> ZNHAnalyticsConnector::eventFromDictionary(const QZMDictionary& dictionary) const {
  std::string origin;
  std::string name;
  double timestamp = foundation::now();
  QZMDictionary parameters;
  for (const auto& [key, value] : dictionary) {
    if (key == "origin" && value.string()) {
      origin = *value.string();
    } else if (key == "name" && value.string()) {
      name = *value.string();
    } else if (key == "timestamp" && number(value)) {
      timestamp = *number(value);
    } else if (key == "parameters" && value.dictionary()) {
      parameters = *value.dictionary();
    } else {
      logDropped("event", key);
    }
  }
  return QZMEvent::initWithOrigin(origin, false, name, timestamp, 0, parameters);
}

std::unique_ptr<QZMEvent> ZNHAnalyticsConnector::eventWithOrigin(const std::string& origin,
                                                                 const std::string& eventName,
                                                                 const QZMDictionary& params) const {
  return QZMEvent::initWithOrigin(origin, false, eventName, foundation::now(), 0, params);
}

void ZNHAnalyticsConnector::setConditionalUserProperty(const QZMDictionary& property) {
  if (property.empty()) return;
  QZMConditionalUserProperty record;
  for (const auto& [key, value] : property) {
    const std::string* text = value.string();
    std::optional<double> seconds = number(value);
    if (key == "expiredEvent" || key == "timedOutEvent" || key == "triggeredEvent") {
      if (!value.dictionary()) {
        logDropped("conditional user property", key);
        continue;
      }
      std::shared_ptr<const QZMEvent> event = eventFromDictionary(*value.dictionary());
      if (key == "expiredEvent") record.setExpiredEvent(event);
      if (key == "timedOutEvent") record.setTimedOutEvent(event);
      if (key == "triggeredEvent") record.setTriggeredEvent(event);
    } else if (key == "value" && (text || seconds)) {
      record.setValue(QZMValue::valueFromObject(&value));
    } else if (key == "name" && text) {
      record.setName(*text);
    } else if (key == "origin" && text) {
      record.setOrigin(*text);
    } else if (key == "triggerEventName" && text) {
      record.setTriggerEventName(*text);
    } else if (key == "creationTimestamp" && seconds) {
      record.setCreationTimestamp(*seconds);
    } else if (key == "triggeredTimestamp" && seconds) {
      record.setTriggeredTimestamp(*seconds);
    } else if (key == "triggerTimeout" && seconds) {
      record.setTriggerTimeout(*seconds);
    } else if (key == "timeToLive" && seconds) {
      record.setTimeToLive(*seconds);
    } else if (key == "active" && seconds) {
      record.setActive(*seconds != 0);
    } else {
      logDropped("conditional user property", key);
    }
  }
  ZNHAConditionalUserPropertyController::sharedInstance()->setConditionalUserProperty(&record, record.name());
}

void ZNHAnalyticsConnector::clearConditionalUserProperty(const std::string& userPropertyName, const std::string& origin,
                                                         const std::string& clearEventName,
                                                         const QZMDictionary& clearEventParameters) {
  if (userPropertyName.empty()) return;
  std::shared_ptr<const QZMEvent> clearEvent =
      clearEventName.empty() ? nullptr : eventWithOrigin(origin, clearEventName, clearEventParameters);
  ZNHAConditionalUserPropertyController::sharedInstance()->clearConditionalUserPropertyWithClearEvent(clearEvent,
                                                                                                      userPropertyName);
}

std::vector<Dictionary> ZNHAnalyticsConnector::conditionalUserProperties(
    const std::optional<std::string>& origin, const std::optional<std::string>& propertyNamePrefix) {
  std::optional<QZMObject> originObject, prefixObject;
  if (origin) originObject = QZMObject(*origin);
  if (propertyNamePrefix) prefixObject = QZMObject(*propertyNamePrefix);
  auto records = ZNHAConditionalUserPropertyController::sharedInstance()->conditionalUserPropertiesWithNamePrefix(
      prefixObject ? &*prefixObject : nullptr, originObject ? &*originObject : nullptr);
  std::vector<Dictionary> found;
  if (!records) return found;
  for (const auto& record : *records) {
    const std::string* value = record.value() ? record.value()->stringValue() : nullptr;
    if (record.name().empty() || !value) continue;
    found.push_back({{"name", record.name()}, {"value", *value}});
  }
  return found;
}

// ---- Listeners ----

void ZNHAnalyticsConnector::registerAnalyticsListener(std::shared_ptr<ZNHAnalyticsInteropListener> listener,
                                                      const std::string& origin) {
  if (!listener || !ZNHConnectorUtils::isListenerOriginAllowed(origin)) return;
  {
    std::lock_guard lock(mutex_);
    listeners_[origin] = std::move(listener);
    if (logEventListener_) return;
  }
  auto token = ZNHAnalytics::addLogEventListener([weak = weak_from_this()](const QZMEvent& event) {
    if (auto self = weak.lock()) self->deliverEvent(event);
  });
  std::optional<QZMLogEventListenerToken> dropped;
  {
    std::lock_guard lock(mutex_);
    // Two first registrations raced: the later token is not needed.
    if (logEventListener_ || listeners_.empty()) {
      dropped = token;
    } else {
      logEventListener_ = token;
    }
  }
  if (dropped) ZNHAnalytics::removeLogEventListener(dropped);
}

void ZNHAnalyticsConnector::unregisterAnalyticsListenerWithOrigin(const std::string& origin) {
  std::optional<QZMLogEventListenerToken> token;
  {
    std::lock_guard lock(mutex_);
    listeners_.erase(origin);
    if (!listeners_.empty()) return;
    token = std::exchange(logEventListener_, std::nullopt);
  }
  if (token) ZNHAnalytics::removeLogEventListener(token);
}

void ZNHAnalyticsConnector::deliverEvent(const QZMEvent& event) {
  if (!ZNHConnectorUtils::isEventNameAllowedForListeners(event.name())) return;
  std::vector<std::shared_ptr<ZNHAnalyticsInteropListener>> targets;
  {
    std::lock_guard lock(mutex_);
    if (auto own = listeners_.find(event.origin()); own != listeners_.end()) {
      targets.push_back(own->second);
    } else if (ZNHConnectorUtils::isAppOrigin(event.origin())) {
      for (const auto& [origin, listener] : listeners_) targets.push_back(listener);
    } else if (ZNHConnectorUtils::isEventNameAllowedForListenerOrigin(event.name(), "pbt")) {
      if (auto pbt = listeners_.find("pbt"); pbt != listeners_.end()) targets.push_back(pbt->second);
    }
  }
  if (targets.empty()) return;
  connectorQueue()->async([name = event.name(), parameters = event.parameters(), targets = std::move(targets)] {
    Dictionary simplified = simplifiedParametersFromEventParameters(parameters);
    dispatch::Queue::main()->async([name, simplified, targets] {
      for (const auto& target : targets) target->messageTriggered(name, simplified);
    });
  });
}

Dictionary ZNHAnalyticsConnector::simplifiedParametersFromEventParameters(const QZMParameters& parameters) {
  Dictionary simplified;
  for (const auto& [name, value] : parameters) {
    if (value.isDouble()) {
      simplified.emplace(name, value.doubleValue());
    } else if (value.isInt64()) {
      simplified.emplace(name, value.int64Value());
    } else if (value.isString()) {
      simplified.emplace(name, *value.stringValue());
    }
  }
  return simplified;
}

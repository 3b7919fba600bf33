// How other components of the family reach analytics: the core app framework
// resolves the interop protocol to a connector, which this library registers
// at process start. Components log events and set user properties under
// their own origin, read user properties, manage conditional user properties
// and hear the events logged; fixed rules keep them away from the app's and
// the SDK's own names. What they send is checked entry by entry: anything of
// an unknown key or type is dropped with a log line.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/model/QZMValue.h"
#include "platform/core/ZNHApp.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Object.h"

class ZNHAnalytics;

inline constexpr const char* kZNHAnalyticsInteropProtocol = "ZNHAnalyticsInterop";
inline constexpr const char* kZNHAnalyticsLibraryName = "zarn-analytics";
inline constexpr const char* kZNHAnalyticsLibraryVersion = "11.14.0";
inline constexpr const char* kZNHAnalyticsConnectorQueueLabel = "com.dralix.analytics_connector.queue";
// How long maxUserProperties waits for the engine's answer.
inline constexpr double kZNHMaxUserPropertiesTimeout = 10;

// Hears the events logged under its origin, on the main thread.
class ZNHAnalyticsInteropListener {
 public:
  virtual ~ZNHAnalyticsInteropListener() = default;
  virtual void messageTriggered(const std::string& name, const foundation::Dictionary& parameters) = 0;
};

// What a component resolves the interop protocol to.
class ZNHAnalyticsInterop {
 public:
  virtual ~ZNHAnalyticsInterop() = default;
  virtual void logEventWithOrigin(const std::string& origin, const std::string& name,
                                  const QZMDictionary& parameters) = 0;
  // nullopt removes the property.
  virtual void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                         const std::optional<QZMObject>& value) = 0;
  virtual void getUserPropertiesWithCallback(std::function<void(const foundation::Dictionary&)> callback) = 0;
  // Blocks the caller up to 10 s; nullopt when no answer came.
  virtual std::optional<std::int64_t> maxUserProperties(const std::string& origin) = 0;
  virtual void setConditionalUserProperty(const QZMDictionary& property) = 0;
  virtual void clearConditionalUserProperty(const std::string& userPropertyName, const std::string& origin,
                                            const std::string& clearEventName,
                                            const QZMDictionary& clearEventParameters) = 0;
  // {"name", "value"} of each stored property with a text value.
  virtual std::vector<foundation::Dictionary> conditionalUserProperties(
      const std::optional<std::string>& origin, const std::optional<std::string>& propertyNamePrefix) = 0;
  virtual void registerAnalyticsListener(std::shared_ptr<ZNHAnalyticsInteropListener> listener,
                                         const std::string& origin) = 0;
  virtual void unregisterAnalyticsListenerWithOrigin(const std::string& origin) = 0;
};

// The fixed rules for other components.
class ZNHConnectorUtils {
 public:
  static bool isOriginAllowed(std::string_view origin);
  // "app", or "app" followed by "+".
  static bool isAppOrigin(std::string_view origin);
  static bool isListenerOriginAllowed(std::string_view origin);
  static bool isEventNameAllowedForListeners(std::string_view name);
  static bool isEventNameAllowedForListenerOrigin(std::string_view name, std::string_view origin);
  static bool shouldLogEventWithName(std::string_view name, const QZMDictionary& parameters);
  static bool isUserPropertyAllowed(std::string_view name, std::string_view origin);
  static bool isUserPropertyAllowedForQuery(std::string_view name);
};

class ZNHAnalyticsConnector : public ZNHAnalyticsInterop, public std::enable_shared_from_this<ZNHAnalyticsConnector> {
 public:
  // At process start: registers the library and its version with the core.
  static void load();
  // One component for the interop protocol; each request makes a new
  // connector.
  static std::vector<ZNHComponent> componentsToRegister();
  // The one serial queue of every connector.
  static std::shared_ptr<dispatch::Queue> connectorQueue();

  ~ZNHAnalyticsConnector() override;

  void logEventWithOrigin(const std::string& origin, const std::string& name, const QZMDictionary& parameters) override;
  void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                 const std::optional<QZMObject>& value) override;
  void getUserPropertiesWithCallback(std::function<void(const foundation::Dictionary&)> callback) override;
  std::optional<std::int64_t> maxUserProperties(const std::string& origin) override;
  void setConditionalUserProperty(const QZMDictionary& property) override;
  // Clears the property of the name given, logging the clear event made
  // from the origin, the event name and the parameters.
  void clearConditionalUserProperty(const std::string& userPropertyName, const std::string& origin,
                                    const std::string& clearEventName,
                                    const QZMDictionary& clearEventParameters) override;
  std::vector<foundation::Dictionary> conditionalUserProperties(
      const std::optional<std::string>& origin, const std::optional<std::string>& propertyNamePrefix) override;
  // Only the origins "ombe", "crash" and "pbt" may listen; a second listener
  // of an origin replaces the first.
  void registerAnalyticsListener(std::shared_ptr<ZNHAnalyticsInteropListener> listener,
                                 const std::string& origin) override;
  void unregisterAnalyticsListenerWithOrigin(const std::string& origin) override;

  // An event of the dictionary's "origin", "name", "timestamp" (now when
  // absent) and "parameters"; nullptr (logged) for entries of the wrong
  // type or a refused origin or name.
  std::unique_ptr<QZMEvent> eventFromDictionary(const QZMDictionary& dictionary) const;
  std::unique_ptr<QZMEvent> eventWithOrigin(const std::string& origin, const std::string& eventName,
                                            const QZMDictionary& params) const;
  // Numbers and text only.
  static foundation::Dictionary simplifiedParametersFromEventParameters(const QZMParameters& parameters);

  // Kept for components that ask; the connector's own calls do not use it.
  std::shared_ptr<ZNHAnalytics> analytics() const;
  void setAnalytics(std::weak_ptr<ZNHAnalytics> analytics);
  bool hasLogEventListener() const;

 private:
  // On the facade's queue, with each logged event.
  void deliverEvent(const QZMEvent& event);

  // Listeners are registered on any thread and read on the facade's queue.
  mutable std::mutex mutex_;
  std::weak_ptr<ZNHAnalytics> analytics_;
  std::optional<QZMLogEventListenerToken> logEventListener_;
  std::map<std::string, std::shared_ptr<ZNHAnalyticsInteropListener>> listeners_;
};

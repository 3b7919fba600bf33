// The facade between the public API and the measurement engine. It is a set
// of class methods over process-wide state: the once-only start of the
// engine, an operation queue that holds calls until start, the serial queue
// on which every call reaches the engine, the facade's suite (reset
// bookkeeping, consent by source), listeners, the interceptor and the URL
// hooks. Names are checked on the caller's thread; what needs the engine runs
// on the serial queue.
//
// Where a call runs: "caller" synchronously on the calling thread; "serial"
// dispatched to "QZMAnalyticsQueue" at once (it runs even before start);
// "queued" held by the operation queue until start, then dispatched to
// "QZMAnalyticsQueue" in the order of the calls.
//
// Sources, one per concern:
//   QZMAnalytics.cpp                the queues, the start and the process hooks
//   QZMAnalyticsSettings.cpp        the suite's keys and consent bookkeeping
//   QZMAnalyticsEvents.cpp          the event road, listeners and the interceptor
//   QZMAnalyticsUserProperties.cpp  user properties, the user ID and their queries
//   QZMAnalyticsCollection.cpp      collection, sessions, reset, user data and links
//   QZMAnalyticsPurchases.cpp       the payment-queue observer and single transactions
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/model/QZMValue.h"
#include "platform/core/ZNHApp.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Object.h"
#include "platform/store/StoreKit.h"

// Start options, as the public API builds them. The configuration object
// travels beside them (the object model holds no objects of other classes).
inline constexpr const char* kQZMStartOptionConfiguration = "ZARNHOLT_ANALYTICS_CONFIGURATION";
inline constexpr const char* kQZMStartOptionCollectionEnabled = "ZARNHOLT_ANALYTICS_COLLECTION_ENABLED";
inline constexpr const char* kQZMStartOptionCollectionDeactivated = "ZARNHOLT_ANALYTICS_COLLECTION_DEACTIVATED";
inline constexpr const char* kQZMStartOptionLogTag = "kestro_meter_log_tag";
inline constexpr const char* kQZMStartOptionSafelistedEvents = "safelisted_events";
// Posted (no sender, no user info) once, when analytics starts.
inline constexpr const char* kZNHAnalyticsWillStartNotification = "kZNHAnalyticsWillStartNotification";
// The origin under which the core app framework starts analytics.
inline constexpr const char* kQZMOriginZarnholt = "zq";
inline constexpr const char* kQZMOriginApp = "app";
inline constexpr const char* kQZMOriginAuto = "auto";
inline constexpr const char* kQZMAnalyticsQueueLabel = "QZMAnalyticsQueue";
inline constexpr const char* kQZMAnalyticsOperationQueueName = "QZMAnalyticsOperationQueue";
// The user property that switches personalised ads, handled by the facade.
inline constexpr const char* kQZMAllowPersonalizedAdsPropertyName = "allow_personalized_ads";

// Keys of the facade's suite.
inline constexpr const char* kQZMResetRetryCountKey = "reset_retry_count";
inline constexpr const char* kQZMAppInstanceIDAfterResetKey = "app_instance_id_after_reset";
inline constexpr const char* kQZMNeedFirstOpenAfterResetKey = "need_first_open_after_reset";
inline constexpr const char* kQZMDeferredAnalyticsCollectionKey = "deferred_analytics_collection";
inline constexpr const char* kQZMConsentSettings1PKey = "consent_settings";
inline constexpr const char* kQZMConsentSettings3PKey = "consent_settings_3p";
inline constexpr const char* kQZMConsentSettingsTCFKey = "consent_settings_tcf";
inline constexpr const char* kQZMConsentSourceKey = "consent_source";
inline constexpr const char* kQZMConsentSettingsOnStartKey = "consent_settings_on_start";
inline constexpr const char* kQZMDeferredConsentResetKey = "deferred_consent_reset";

class QZMUserDefaults;

// Called with a copy of every event the engine logs, on the serial queue.
using QZMLogEventListener = std::function<void(const QZMEvent& event)>;
// Names one added listener; tokens are never reused.
using QZMLogEventListenerToken = std::uint64_t;
using QZMOpenURLListener = std::function<void(const std::string& url)>;

class QZMAnalytics : public store::SKPaymentTransactionObserver {
 public:
  using Dictionary = foundation::Dictionary;

  // The payment observer and target of the instance methods, made once.
  static std::shared_ptr<QZMAnalytics> sharedInstance();

  // ---- Load, queues and start (QZMAnalytics.cpp) ----

  // At process start: the load time is now, and internal events of the
  // SDK's components take the facade's road.
  static void load();
  static double loadTimestamp();
  static void setLoadTimestamp(double timestamp);

  // Starts analytics for the app once per process; later calls only apply
  // the log-tag option. The engine is made on the serial queue, then the
  // calls held since the process began run, in order.
  static void startWithAppID(const std::string& appID, const std::string& origin, const Dictionary& options,
                             std::shared_ptr<ZNHAnalyticsConfiguration> configuration = nullptr);
  // "QZMAnalyticsQueue", made once.
  static std::shared_ptr<dispatch::Queue> queue();
  static void dispatchAsyncOnSerialQueue(std::function<void()> block);
  // "QZMAnalyticsOperationQueue": one call at a time, suspended until start.
  static std::shared_ptr<dispatch::OperationQueue> operationQueue();
  // Holds the block until start, then dispatches it to the serial queue.
  static void queueOperationWithBlock(std::function<void()> block);
  // As above; after start the caller also waits until its block and every
  // call held before it have been dispatched, and the operation queue then
  // pauses for half a second. On the serial queue, which ends the pause, it
  // only queues.
  static void queueOperationWithBlockThenWait(std::function<void()> block);
  static void unsuspendOperationQueue();
  static bool isCurrentQueueSerialQueue();
  // Switches collection when the configuration object posts its change.
  static void observeNotificationsForAnalyticsConfiguration(std::shared_ptr<ZNHAnalyticsConfiguration> configuration);
  static void handleSetEnabled(const foundation::Notification& notification);
  // Once per process: the app delegate's events reach the SDK's interceptor.
  static void createAppDelegateProxy();
  // Starts the tag manager when the process has one.
  static void maybeEnableQrlManager();

  // ---- Collection, sessions, reset, user data and links (QZMAnalyticsCollection.cpp) ----

  // The facade's view of whether collection is on.
  static bool analyticsEnabled();
  // serial.
  static void setAnalyticsEnabled(bool enabled);
  // serial. Persisting stores the state for later launches; enabling is
  // refused for the process when collection was deactivated at start.
  static void setAnalyticsEnabled(bool enabled, bool persistSetting);
  // serial. Persisted until the engine's components run.
  static void setSessionTimeoutInterval(double seconds);
  // Answers on the global queue, error code 13 until the engine runs.
  static void sessionIDWithCompletion(QZMSessionIDCompletion completion);
  // nullopt while analytics storage is denied.
  static std::optional<std::string> appInstanceID();
  // caller, then queued: a new app instance ID now; the engine wipes its
  // data when the call runs, and the next start retries a failed wipe.
  static void resetAnalyticsData();
  // Main thread only.
  static void setScreenName(const std::optional<std::string>& screenName,
                            const std::optional<std::string>& screenClass);
  // queued; nullopt clears them.
  static void setDefaultEventParameters(const std::optional<QZMDictionary>& parameters);
  // queued, waits after start: the on-device conversion input.
  static void setUserData(const Dictionary& userData);
  static void setUserDataOnSerialQueue(const Dictionary& userData);
  static void handleEventsForBackgroundURLSession(const std::string& identifier,
                                                  const std::function<void()>& completionHandler);
  // A link that opened the running app; the open-URL listener hears it too.
  static void handleOpenURL(const std::string& url);
  static void handleUserActivity(const DRKUserActivity& activity);
  // serial.
  static void setOpenURLListener(QZMOpenURLListener listener);

  // Reset bookkeeping in the suite (QZMAnalyticsSettings.cpp).
  static std::shared_ptr<QZMUserDefaults> settingsStore();
  static std::int64_t resetRetryCount();
  // A count below 1 removes the key.
  static void setResetRetryCount(std::int64_t count);
  static bool needFirstOpenAfterReset();
  static void setNeedFirstOpenAfterReset(bool need);
  static void removeNeedFirstOpenAfterReset();
  static std::optional<std::string> appInstanceIDAfterReset();
  static void setAppInstanceIDAfterReset(const std::optional<std::string>& appInstanceID);
  // The collection state the app first asked for; nullopt until known.
  static std::optional<foundation::Object> deferredAnalyticsCollection();
  static void setDeferredAnalyticsCollection(const std::optional<foundation::Object>& value);

  // ---- Consent (QZMAnalyticsSettings.cpp) ----

  // The first party's settings (source 30).
  static void setConsent(const Dictionary& settings);
  // Applies the valid "granted"/"denied" entries with the source the key
  // gives ("consent_settings_tcf" 5, "consent_settings_3p" 10, any other 30)
  // when that source outranks the current one, and persists the result.
  static void setConsent(const Dictionary& settings, const std::string& key);
  // Restores the persisted settings and source into the consent state.
  static void loadPersistedConsentSettings();
  // Stored under the key of the source: TCF, host (below 21) or first party.
  static void persistConsentSettings(const std::optional<Dictionary>& settings, QZMConsentSource source);
  static QZMConsentSource persistedConsentSource();
  static std::optional<Dictionary> consentSettingsTCF();
  static std::optional<Dictionary> consentSettings3P();
  static std::optional<Dictionary> consentSettings1P();
  static std::optional<Dictionary> consentSettings1PStart();
  static std::optional<foundation::Object> deferredResetOnDeniedConsent();
  static void removeStartUpConsentSettings();
  static void removeDeferredResetOnDeniedConsent();
  // Forgets every persisted consent key and the consent state.
  static void clearConsent();

  // ---- Events (QZMAnalyticsEvents.cpp) ----

  // An app's event: origin "app".
  static void logEventWithName(const std::string& name, const QZMDictionary& parameters);
  // A public event: the name is checked here, and a refused one becomes an
  // error event.
  static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                 const QZMDictionary& parameters);
  // The SDK's and its family's own events: the name is not checked here.
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const QZMDictionary& parameters);
  // queued, with a time of the caller's choosing; no screen parameters.
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name, double timestamp,
                                         const QZMDictionary& parameters);
  // "screen_view" goes to the screen-view reporter; any other event is
  // stamped now and queued with the current screen's parameters.
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 const QZMDictionary& parameters);
  // queued.
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 const QZMDictionary& parameters, double timestamp, bool ignoreEnabled,
                                 bool ignoreInterceptor);
  // serial: hands the event to the engine with the facade's state.
  static void logEventOnSerialQueueWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                              QZMDictionary parameters, double timestamp, bool ignoreEnabled,
                                              bool ignoreInterceptor, QZMDictionary addedScreenParameters);
  // For components of the family, the instance counterpart of
  // logInternalEventWithOrigin: an "am" event's "_aeid" text becomes a
  // number when it is one.
  void logComponentEventWithOrigin(const std::string& origin, const std::string& name,
                                   const QZMDictionary& parameters);

  // Listeners and the interceptor: run at once on the serial queue, else queued.
  static void setLogEventInterceptor(QZMLogEventInterceptor interceptor);
  // The token at once; nullopt (logged) for an empty listener.
  static std::optional<QZMLogEventListenerToken> addLogEventListener(QZMLogEventListener listener);
  static void removeLogEventListener(std::optional<QZMLogEventListenerToken> token);
  // queued.
  static void notifyEventListeners(std::shared_ptr<const QZMEvent> event);
  static void notifyEventListenersOnSerialQueue(const QZMEvent& event);

  // ---- Purchases (QZMAnalyticsPurchases.cpp) ----

  // Main queue, once at start: the shared instance observes the default
  // payment queue.
  static void addPaymentTransactionObserver();
  ~QZMAnalytics() override;
  // The store's callback (main thread): handed to the class method.
  void paymentQueueUpdatedTransactions(store::SKPaymentQueue& queue,
                                       const store::SKPaymentTransactions& transactions) override;
  // queued: while collection is on, the purchases the engine has not seen
  // before go to the purchase reporter.
  static void paymentQueue(store::SKPaymentQueue& queue, const store::SKPaymentTransactions& updatedTransactions);
  // caller: one purchase described field by field, to the purchase reporter.
  static void logTransactionWithProductID(const std::string& productID, const std::string& transactionID,
                                          const std::string& originalTransactionID,
                                          const std::optional<std::string>& webOrderLineItemID,
                                          std::int64_t productType, bool isFreeTrial, bool isIntroductoryOffer,
                                          std::int64_t paymentQuantity,
                                          const std::optional<foundation::Date>& purchaseDate,
                                          const std::optional<foundation::Date>& originalPurchaseDate,
                                          const std::optional<foundation::Date>& subscriptionExpirationDate,
                                          const std::optional<foundation::Date>& cancellationDate,
                                          const std::string& environment);

  // ---- User properties (QZMAnalyticsUserProperties.cpp) ----

  // nullopt removes the property; a value must be text. The property
  // "allow_personalized_ads" switches personalised ads instead.
  static void setUserPropertyString(const std::optional<QZMObject>& value, const std::string& name);
  // nullopt removes the user ID; it must be text.
  static void setUserID(const std::optional<QZMObject>& userID);
  static void removeUserAttributeForName(const std::string& name);
  // A number under a public name, with the SDK's own origin.
  static void setUserAttributeNumber(const QZMObject& number, const std::string& name);
  static void removeInternalUserAttributeForName(const std::string& name);
  // Internal names; the origin has 1 to 32 characters.
  void setInternalUserProperty(const std::optional<QZMObject>& value, const std::string& name,
                               const std::string& origin);
  // queued: name -> value, answered on the queue.
  static void userPropertiesIncludingInternal(bool includeInternal, std::shared_ptr<dispatch::Queue> queue,
                                              std::function<void(const Dictionary&)> callback);
  void maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<dispatch::Queue> queue,
                                  std::function<void(std::int32_t)> callback);

  // Forgets the start, the held calls, the listeners and the facade's
  // flags, so a test may start again.
  static void resetForTests();
};

// ---- Helpers of the engine and the reporters ----

// An array of valid internal event names (logged when not).
bool QZMIsValidSafelistedEventsArray(const foundation::Object& value);
// Whether the application is in the foreground.
bool QZMIsAppActive();
// Whether the system launched the process ahead of the user ("ActivePrewarm").
bool QZMIsActivePrewarm();
// Whether the app declares scenes in its Info.plist.
bool QZMHasSceneManifest();

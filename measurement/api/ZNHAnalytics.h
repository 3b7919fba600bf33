// The public analytics API: the one header a host program includes. The
// host configures the app through the core framework, which starts
// analytics; then it logs events and sets user properties here:
//
//   ZNHApp::configure(ZNHOptions("1:1234:ios:abcd"));
//   ZNHAnalytics::logEventWithName("level_up", {{"level", 3}, {"character", "otter"}});
//   ZNHAnalytics::setUserPropertyString("pro", "plan");
//
// Every method may be called from any thread and returns at once; calls made
// before analytics starts wait and run after it, in order. Event and user
// property names are checked when called: a refused name is logged through
// the SDK's monitor and reported to the server as an error event.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/engine/reporters/QZMScreenViewReporter.h"
#include "measurement/identity/QZMIdentifiers.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/model/QZMUserAttribute.h"
#include "measurement/model/QZMValue.h"
#include "platform/core/ZNHApp.h"
#include "platform/foundation/Object.h"

// The SDK's classes under their public names.
using ZNHAMeasurement = QZMMeasurement;
using ZNHAScreenViewReporter = QZMScreenViewReporter;
using ZNHAEvent = QZMEvent;
using ZNHAValue = QZMValue;
using ZNHAUserAttribute = QZMUserAttribute;
using ZNHAIdentifiers = QZMIdentifiers;

// Keys of the on-device conversion input.
inline constexpr const char* kZNHUserDataEmailAddress = "email_address";
inline constexpr const char* kZNHUserDataPhoneNumber = "phone_number";
inline constexpr const char* kZNHUserDataHashedEmailAddress = "hashed_email_address";
inline constexpr const char* kZNHUserDataHashedPhoneNumber = "hashed_phone_number";

class ZNHAnalytics {
 public:
  using Parameters = QZMDictionary;

  // ---- For apps ----

  // Parameters map names to text, numbers or, for "items", arrays of
  // parameter maps. Needs the configured app.
  static void logEventWithName(const std::string& name, const Parameters& parameters = {});
  static void logEventWithOrigin(const std::string& origin, const std::string& name, const Parameters& parameters);
  // nullopt removes the property. Needs the configured app.
  static void setUserPropertyString(const std::optional<std::string>& value, const std::string& name);
  // nullopt removes the user ID.
  static void setUserID(const std::optional<std::string>& userID);
  // Kept for later launches.
  static void setAnalyticsCollectionEnabled(bool enabled);
  static void setSessionTimeoutInterval(double seconds);
  static void sessionIDWithCompletion(QZMSessionIDCompletion completion);
  // nullopt while analytics storage is denied.
  static std::optional<std::string> appInstanceID();
  static void resetAnalyticsData();
  // Consent type ("ad_storage", "analytics_storage", "ad_user_data",
  // "ad_personalization") -> "granted" or "denied".
  static void setConsent(const foundation::Dictionary& consentSettings);
  // Added to every later event; nullopt clears them.
  static void setDefaultEventParameters(const std::optional<Parameters>& parameters);
  // On-device conversion measurement with one identifier of the user. Hashed
  // inputs are the 32 bytes of a SHA-256 digest, or its 64 hexadecimal
  // characters. Need the configured app.
  static void initiateOnDeviceConversionMeasurementWithEmailAddress(const std::optional<std::string>& emailAddress);
  static void initiateOnDeviceConversionMeasurementWithPhoneNumber(const std::optional<std::string>& phoneNumber);
  static void initiateOnDeviceConversionMeasurementWithHashedEmailAddress(
      const std::optional<foundation::Data>& hashedEmailAddress);
  static void initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(
      const std::optional<foundation::Data>& hashedPhoneNumber);

  // ---- Store purchases (ZNHAnalyticsConveniences.cpp) ----

  // One purchase described field by field; productType is 0 non-consumable,
  // 1 consumable, 2 non-renewing or 3 auto-renewable subscription. The
  // environment is not used.
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
  // A transaction as the store hands it to the app.
  static void logStoreKitTransaction(const store::Transaction& transaction);

  // ---- For the app delegate ----

  static void handleEventsForBackgroundURLSession(const std::string& identifier,
                                                  const std::function<void()>& completionHandler);
  static void handleOpenURL(const std::string& url);
  static void handleUserActivity(const DRKUserActivity& activity);

  // ---- For components of the family ----

  static void setLogEventInterceptor(QZMLogEventInterceptor interceptor);
  static std::optional<QZMLogEventListenerToken> addLogEventListener(QZMLogEventListener listener);
  static void removeLogEventListener(std::optional<QZMLogEventListenerToken> token);
  static void notifyEventListeners(std::shared_ptr<const QZMEvent> event);
  static void setOpenURLListener(QZMOpenURLListener listener);
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const Parameters& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 const Parameters& parameters, double timestamp, bool ignoreEnabled,
                                 bool ignoreInterceptor);
  static void userPropertiesIncludingInternal(bool includeInternal, std::shared_ptr<dispatch::Queue> queue,
                                              std::function<void(const foundation::Dictionary&)> callback);
  static void dispatchAsyncOnSerialQueue(std::function<void()> block);
  static void queueOperationWithBlock(std::function<void()> block);
  static void unsuspendOperationQueue();
  static double loadTimestamp();

  static std::shared_ptr<ZNHAnalytics> sharedInstance();
  // The instance counterpart of logInternalEventWithOrigin.
  void logComponentEventWithOrigin(const std::string& origin, const std::string& name, const Parameters& parameters);
  void setInternalUserProperty(const std::optional<QZMObject>& value, const std::string& name,
                               const std::string& origin);
  void maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<dispatch::Queue> queue,
                                  std::function<void(std::int32_t)> callback);

  // ---- For the core framework ----

  // At process start: offers the start entry point to the core framework
  // and announces the class.
  static void load();
  // Builds the start options from the core options and starts the facade
  // with the "zq" origin; then keeps the installation identifier current.
  static void startWithConfiguration(std::shared_ptr<ZNHAnalyticsConfiguration> configuration,
                                     const ZNHOptions& options);
  // Hands the installation identifier to the SDK's identity.
  static void updateZarnholtInstallationID();
  // Updates it again whenever it changes; one registration however often called.
  static void observeZarnholtInstallationIDChanges();
  // The core framework's version text.
  static std::string topLevelVersion();

  // Stops observing the installation identifier and waits for requests in
  // flight, so none outlives a test.
  static void resetForTests();
};

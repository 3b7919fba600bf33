// The facade between the public API and the measurement engine. It is a set
// of class methods over process-wide state: the once-only start of the
// engine, the serial queue on which every call reaches the engine, the
// facade's suite (reset bookkeeping, consent by source) and the load time.
//
// QZMAnalytics.cpp holds the load time, the queue and the start;
// QZMAnalyticsSettings.cpp the suite's keys and consent bookkeeping.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Object.h"

// Start options, as the public API builds them.
inline constexpr const char* kQZMStartOptionCollectionEnabled = "ZARNHOLT_ANALYTICS_COLLECTION_ENABLED";
inline constexpr const char* kQZMStartOptionCollectionDeactivated = "ZARNHOLT_ANALYTICS_COLLECTION_DEACTIVATED";
inline constexpr const char* kQZMStartOptionLogTag = "kestro_meter_log_tag";
// Posted (no sender, no user info) once, when analytics starts.
inline constexpr const char* kZNHAnalyticsWillStartNotification = "kZNHAnalyticsWillStartNotification";
// The origin under which the core app framework starts analytics.
inline constexpr const char* kQZMOriginZarnholt = "zq";
inline constexpr const char* kQZMAnalyticsQueueLabel = "QZMAnalyticsQueue";

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

class QZMAnalytics {
 public:
  using Dictionary = foundation::Dictionary;

  // ---- Load, queue and start (QZMAnalytics.cpp) ----

  // At process start: the load time is now.
  static void load();
  static double loadTimestamp();
  static void setLoadTimestamp(double timestamp);

  // Starts analytics for the app once per process; later calls only apply
  // the log-tag option. The engine is made on the serial queue.
  static void startWithAppID(const std::string& appID, const std::string& origin, const Dictionary& options);
  // "QZMAnalyticsQueue", made once.
  static std::shared_ptr<dispatch::Queue> queue();
  static void dispatchAsyncOnSerialQueue(std::function<void()> block);
  static bool isCurrentQueueSerialQueue();
  // The facade's view of whether collection is on; serial queue state.
  static bool analyticsEnabled();

  // ---- The suite's bookkeeping (QZMAnalyticsSettings.cpp) ----

  // The suite "QZMAnalyticsSuiteName", made once.
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

  // Internal events of the SDK's components (origin, name, parameters).
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const Dictionary& parameters);

  // Forgets the start and the facade's flags, so a test may start again.
  static void resetForTests();
};

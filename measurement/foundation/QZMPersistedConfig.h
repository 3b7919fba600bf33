// The SDK's small settings that must survive restarts: identifiers, the
// configuration server's validators, upload and backoff times, session state,
// deep-link and conversion-value bookkeeping and the random midnight offset.
// A typed layer over one QZMPersistentDictionary file (the suite's name with
// "plist"), whose every access runs synchronously on the store's own serial
// queue, so callers see their own writes at once; a burst of writes leads to
// one synchronisation a second after the last. The collection switch alone
// lives in the shared user-defaults suite.
//
// Times are seconds since 1970 unless a name says milliseconds. Missing or
// wrongly typed values read as 0, 0.0, false or nullopt; setting nullopt
// removes a value.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/foundation/QZMConfigStore.h"
#include "measurement/foundation/QZMPersistentDictionary.h"
#include "platform/dispatch/Queue.h"

inline constexpr const char* kQZMPersistedConfigSuiteName = "com.dralix.dxv.measurement";

class QZMPersistedConfig : public std::enable_shared_from_this<QZMPersistedConfig> {
 public:
  using Object = foundation::Object;
  using Dictionary = foundation::Dictionary;

  // Made once over the suite "com.dralix.dxv.measurement".
  static std::shared_ptr<QZMPersistedConfig> sharedInstance();
  // Tests replace the shared instance; nullptr makes the next use make one.
  static void setSharedInstance(std::shared_ptr<QZMPersistedConfig> instance);
  // The shared instance if one was made; never makes one.
  static std::shared_ptr<QZMPersistedConfig> existingSharedInstance();
  // nullptr for an empty name. Moves an old preferences file of the suite
  // into the store's file first. When the store's file cannot be made the
  // settings are kept in memory only.
  static std::shared_ptr<QZMPersistedConfig> initWithSuiteName(std::string_view suiteName);
  ~QZMPersistedConfig();

  // ---- generic access; an empty key reads as the empty value ----
  bool boolForKey(std::string_view key);
  std::int64_t int64ForKey(std::string_view key);
  // The value of an integer number kept in another store, read on this queue.
  std::int64_t int64ForKey(std::string_view key, const QZMConfigStore& userDefault);
  double doubleForKey(std::string_view key);
  std::optional<std::string> stringForKey(std::string_view key);
  std::optional<Dictionary> dictionaryForKey(std::string_view key);
  // The stored object as it is, whatever its kind.
  std::optional<Object> numberForKey(std::string_view key);

  void setBool(bool value, std::string_view key);
  void setInt64(std::int64_t value, std::string_view key);
  void setDouble(double value, std::string_view key);
  void setString(const std::optional<std::string>& value, std::string_view key);
  // Only numbers are stored; anything else is refused with a log line.
  void setNumber(const std::optional<Object>& value, std::string_view key);
  // A dictionary holding something a property list cannot is refused.
  void setDictionary(const std::optional<Dictionary>& value, std::string_view key);
  // Empties the store; the collection switch in the shared suite stays.
  void clearValues();

  void cancelScheduledSynchronize();
  void scheduleSynchronizeToDisk();
  // Off the main thread only; there it schedules itself again.
  void synchronizeToDisk();
  // Writes what is not yet on disk at once, on the caller's thread whatever
  // it is, in place of the delayed synchronisation: for a normal exit, which
  // no delayed write outlives.
  void synchronizeToDiskNow();
  // How many synchronisations ran.
  std::int64_t synchronizeCount() const;

  const std::string& name() const { return name_; }
  const std::shared_ptr<QZMPersistentDictionary>& userDefaults() const { return userDefaults_; }
  const std::shared_ptr<dispatch::Queue>& serialQueue() const { return serialQueue_; }

  // ---- named settings ----
  double lastDeleteStaleBundlesTimestamp();
  void setLastDeleteStaleBundlesTimestamp(double value);
  // Read and written straight on the dictionary; the setter keeps numbers only.
  std::optional<Object> searchAdCampaignValue();
  void setSearchAdCampaignValue(const std::optional<Object>& value);
  double lastSearchAdLookUpTimestamp();
  void setLastSearchAdLookUpTimestamp(double value);
  std::int64_t searchAdRetryCount();
  void setSearchAdRetryCount(std::int64_t value);
  std::optional<std::string> appInstanceID();
  void setAppInstanceID(const std::optional<std::string>& value);
  std::optional<std::string> appIDFromDXV();
  void setAppIDFromDXV(const std::optional<std::string>& value);
  std::optional<std::string> appIDFromVornad();
  void setAppIDFromVornad(const std::optional<std::string>& value);
  std::optional<std::string> hashedResettableDeviceID();
  void setHashedResettableDeviceID(const std::optional<std::string>& value);
  std::optional<std::string> diversionKey();
  void setDiversionKey(const std::optional<std::string>& value);
  // In the shared user-defaults suite: 0 unset, 1 enabled, 2 disabled.
  std::int64_t measurementEnabledState();
  void setMeasurementEnabledState(std::int64_t value);
  double lastBackoffTimestamp();
  void setLastBackoffTimestamp(double value);
  double lastSuccessfulUploadTimestamp();
  void setLastSuccessfulUploadTimestamp(double value);
  double lastFailedUploadTimestamp();
  void setLastFailedUploadTimestamp(double value);
  std::optional<std::string> appVersion();
  void setAppVersion(const std::optional<std::string>& value);
  std::optional<std::string> osVersion();
  void setOsVersion(const std::optional<std::string>& value);
  // A per-installation random offset in [0, 86400) seconds with whole
  // milliseconds, drawn and stored on first read.
  double midnightOffset();
  double lastMonitorDataSampledTimestamp();
  void setLastMonitorDataSampledTimestamp(double value);
  std::int64_t firstOpenTimestampMilliseconds();
  void setFirstOpenTimestampMilliseconds(std::int64_t value);
  std::optional<Object> configServerLastModifiedString();
  void setConfigServerLastModifiedString(const std::optional<std::string>& value);
  std::optional<std::string> configServerETag();
  void setConfigServerETag(const std::optional<std::string>& value);
  std::int64_t configDXVVersion();
  void setConfigDXVVersion(std::int64_t value);
  std::optional<Object> loadTimestampValue();
  void setLoadTimestampValue(const std::optional<Object>& value);
  std::optional<Object> allowPersonalizedAds();
  void setAllowPersonalizedAds(const std::optional<Object>& value);
  std::optional<std::string> zarnholtFeatureRollouts();
  void setZarnholtFeatureRollouts(const std::optional<std::string>& value);
  std::optional<Object> deferredDeepLinkRetrievalComplete();
  void setDeferredDeepLinkRetrievalComplete(const std::optional<Object>& value);
  std::int64_t deferredDeepLinkRetryCount();
  void setDeferredDeepLinkRetryCount(std::int64_t value);
  // Kept as an integer; any non-zero value is true.
  bool shouldSetLastAdvertisingIDResetUserProperty();
  void setShouldSetLastAdvertisingIDResetUserProperty(bool value);
  bool unmatchedFirstOpenWithoutIDFA();
  void setUnmatchedFirstOpenWithoutIDFA(bool value);
  std::optional<Object> previousFirstOpenCount();
  void setPreviousFirstOpenCount(const std::optional<Object>& value);
  std::optional<std::string> previousBundledConsentSignals();
  void setPreviousBundledConsentSignals(const std::optional<std::string>& value);
  std::optional<Object> adCampaignInfoBuffer();
  void setAdCampaignInfoBuffer(const std::optional<Object>& value);
  double lastSessionActivityClockTime();
  void setLastSessionActivityClockTime(double value);
  std::int64_t sessionNumber();
  void setSessionNumber(std::int64_t value);
  std::optional<Object> sessionTimeoutValue();
  void setSessionTimeoutValue(const std::optional<Object>& value);
  std::optional<Dictionary> defaultEventParameters();
  void setDefaultEventParameters(const std::optional<Dictionary>& value);
  std::int64_t lastUploadedEventTimestampMillis();
  void setLastUploadedEventTimestampMillis(std::int64_t value);
  std::int64_t SKANEvaluationEventTimeMillis();
  void setSKANEvaluationEventTimeMillis(std::int64_t value);
  std::int64_t SKANEvaluationUpdateBackoffMillis();
  void setSKANEvaluationUpdateBackoffMillis(std::int64_t value);

  struct Token {};
  QZMPersistedConfig(Token, std::string name, std::shared_ptr<QZMPersistentDictionary> userDefaults);

 private:
  // Runs on the store's queue and waits; inline when already there.
  void syncOnQueue(const std::function<void()>& block);
  std::optional<Object> objectForKey(std::string_view key);
  // Stores (or, for nullopt, removes) the value and schedules a synchronisation.
  void writeObject(const std::optional<Object>& value, std::string_view key);
  // The object-typed settings go straight into the dictionary on the queue.
  void setRawObject(const std::optional<Object>& value, std::string_view key);

  const std::string name_;
  const std::shared_ptr<QZMPersistentDictionary> userDefaults_;
  const std::shared_ptr<dispatch::Queue> serialQueue_;
  mutable std::mutex lock_;  // guards synchronizeBlock_ and the count
  std::shared_ptr<dispatch::Timer> synchronizeBlock_;
  std::int64_t synchronizeCount_ = 0;
};

#include "measurement/foundation/QZMPersistedConfig.h"

#include <cmath>

#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/foundation/QZMLogging.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "measurement/foundation/QZMUtilities.h"

namespace {

constexpr double kSynchronizeDelaySeconds = 1.0;
constexpr std::uint32_t kMillisecondsPerDay = 86'400'000;

namespace key {
constexpr const char* lastDeleteStale = "/dralix/measurement/last_delete_stale";
constexpr const char* isSearchAdCampaign = "/dralix/measurement/is_search_ad_campaign";
constexpr const char* searchAdLastAttempt = "/dralix/measurement/search_ad_last_attempt_timestamp";
constexpr const char* searchAdRetries = "/dralix/measurement/search_ad_number_of_retries";
constexpr const char* appInstanceID = "/dralix/measurement/app_instance_id";
constexpr const char* dxvAppID = "/dralix/measurement/dxv_app_id";
constexpr const char* vornadAppID = "/dralix/measurement/vornad_app_id";
constexpr const char* hashedIDFA = "/dralix/measurement/hashed_idfa";
constexpr const char* diversionKey = "/dralix/measurement/diversion_key";
constexpr const char* measurementEnabledState = "/dralix/measurement/measurement_enabled_state";
constexpr const char* lastBackoff = "/dralix/measurement/last_backoff";
constexpr const char* lastSuccessfulUpload = "/dralix/measurement/last_successful_upload";
constexpr const char* lastFailedUpload = "/dralix/measurement/last_failed_upload";
constexpr const char* appVersion = "/dralix/measurement/app_version";
constexpr const char* osVersion = "/dralix/measurement/os_version";
constexpr const char* midnightOffset = "/dralix/measurement/midnight_offset";
constexpr const char* lastMonitorDataSampled = "/dralix/measurement/last_monitor_data_sampled_timestamp";
constexpr const char* firstOpenMillis = "/dralix/measurement/first_open_timestamp_ms";
constexpr const char* lastModifiedSince = "/dralix/measurement/last_modified_since_key";
constexpr const char* configETag = "/dralix/measurement/config_etag";
constexpr const char* configDXVVersion = "/dralix/measurement/config_dxv_version";
constexpr const char* loadTimestamp = "/dralix/measurement/load_timestamp";
constexpr const char* allowPersonalizedAds = "/dralix/measurement/allow_personalized_ads";
constexpr const char* featureRollouts = "/dralix/measurement/zarnholt_feature_rollouts";
constexpr const char* deepLinkRetrievalComplete = "/dralix/measurement/deep_link_retrieval_complete";
constexpr const char* deepLinkRetryCount = "/dralix/measurement/deep_link_retry_count";
constexpr const char* setLastAdvertisingIDReset = "/dralix/measurement/set_last_advertising_id_reset";
constexpr const char* unmatchedFirstOpen = "/dralix/measurement/unmatched_first_open";
constexpr const char* previousFirstOpenCount = "/dralix/measurement/previous_first_open_count";
constexpr const char* previousConsentSignals = "/dralix/measurement/previous_bundled_consent_signals";
constexpr const char* adCampaignInfoBuffer = "/dralix/measurement/ad_campaign_info_buffer";
constexpr const char* lastEngagementEnd = "/dralix/measurement/last_engagement_end";
constexpr const char* sessionNumber = "/dralix/measurement/session_number";
constexpr const char* sessionTimeout = "/dralix/measurement/session_timeout";
constexpr const char* defaultEventParameters = "/dralix/measurement/default_event_parameters";
constexpr const char* lastUploadedEventMillis = "/dralix/measurement/last_uploaded_event_millis";
constexpr const char* skanEvaluationEventTime = "/dralix/measurement/skan_evaluation_event_time_millis";
constexpr const char* skanEvaluationBackoff = "/dralix/measurement/skan_evaluation_update_backoff_millis";
}  // namespace key

// Never destroyed: the worker queue may still use the store while the
// program ends.
std::mutex& sharedMutex() {
  static auto* m = new std::mutex;
  return *m;
}
std::shared_ptr<QZMPersistedConfig>& sharedSlot() {
  static auto* slot = new std::shared_ptr<QZMPersistedConfig>;
  return *slot;
}

}  // namespace

// ---- life cycle ----

QZMPersistedConfig::QZMPersistedConfig(Token, std::string name, std::shared_ptr<QZMPersistentDictionary> userDefaults)
    : name_(std::move(name)),
      userDefaults_(std::move(userDefaults)),
      serialQueue_(dispatch::Queue::create("QZMPersistedConfig")) {}

std::shared_ptr<QZMPersistedConfig> QZMPersistedConfig::initWithSuiteName(std::string_view suiteName) {
  if (suiteName.empty()) return nullptr;
  (void)QZMMigratePreferencesSuiteToApplicationSupport(suiteName);
  auto dictionary = QZMPersistentDictionary::initWithFileName(suiteName);
  // Without its file the store still serves the values of this run.
  if (!dictionary) dictionary = QZMPersistentDictionary::inMemory();
  return std::make_shared<QZMPersistedConfig>(Token{}, std::string(suiteName), std::move(dictionary));
}

std::shared_ptr<QZMPersistedConfig> QZMPersistedConfig::sharedInstance() {
  std::lock_guard lock(sharedMutex());
  auto& slot = sharedSlot();
  if (!slot) slot = initWithSuiteName(kQZMPersistedConfigSuiteName);
  if (!slot) QZMMeasurementBase::monitor()->logWithLevel(1, 27001, "PersistedConfig's shared instance is nil");
  return slot;
}

void QZMPersistedConfig::setSharedInstance(std::shared_ptr<QZMPersistedConfig> instance) {
  std::lock_guard lock(sharedMutex());
  sharedSlot() = std::move(instance);
}

std::shared_ptr<QZMPersistedConfig> QZMPersistedConfig::existingSharedInstance() {
  std::lock_guard lock(sharedMutex());
  return sharedSlot();
}

QZMPersistedConfig::~QZMPersistedConfig() { cancelScheduledSynchronize(); }

void QZMPersistedConfig::syncOnQueue(const std::function<void()>& block) {
  if (serialQueue_->isCurrent()) {
    block();
    return;
  }
  (void)serialQueue_->sync(block);
}

// ---- synchronisation ----

void QZMPersistedConfig::cancelScheduledSynchronize() {
  std::lock_guard lock(lock_);
  if (synchronizeBlock_) synchronizeBlock_->cancel();
  synchronizeBlock_.reset();
}

void QZMPersistedConfig::scheduleSynchronizeToDisk() {
  std::lock_guard lock(lock_);
  if (synchronizeBlock_) synchronizeBlock_->cancel();
  std::weak_ptr<QZMPersistedConfig> weak = weak_from_this();
  synchronizeBlock_ = serialQueue_->asyncAfter(kSynchronizeDelaySeconds, [weak] {
    if (auto self = weak.lock()) self->synchronizeToDisk();
  });
}

void QZMPersistedConfig::synchronizeToDisk() {
  if (dispatch::isMainThread()) {
    scheduleSynchronizeToDisk();
    return;
  }
  userDefaults_->synchronize();
  std::lock_guard lock(lock_);
  ++synchronizeCount_;
}

void QZMPersistedConfig::synchronizeToDiskNow() {
  cancelScheduledSynchronize();
  // Straight to the file on this thread: a queued write would come too late.
  userDefaults_->persistPendingChangesToDisk();
  std::lock_guard lock(lock_);
  ++synchronizeCount_;
}

std::int64_t QZMPersistedConfig::synchronizeCount() const {
  std::lock_guard lock(lock_);
  return synchronizeCount_;
}

// ---- generic access ----

std::optional<foundation::Object> QZMPersistedConfig::objectForKey(std::string_view key) {
  std::optional<Object> value;
  syncOnQueue([&] { value = userDefaults_->objectForKey(key); });
  return value;
}

bool QZMPersistedConfig::boolForKey(std::string_view key) {
  if (key.empty()) return false;
  auto value = objectForKey(key);
  return value && value->isNumber() && value->boolValue();
}

std::int64_t QZMPersistedConfig::int64ForKey(std::string_view key) { return int64ForKey(key, *userDefaults_); }

std::int64_t QZMPersistedConfig::int64ForKey(std::string_view key, const QZMConfigStore& userDefault) {
  if (key.empty()) return 0;
  std::optional<Object> value;
  syncOnQueue([&] { value = userDefault.objectForKey(key); });
  return value && value->isNumber() ? value->int64Value() : 0;
}

double QZMPersistedConfig::doubleForKey(std::string_view key) {
  if (key.empty()) return 0.0;
  auto value = objectForKey(key);
  return value && value->isNumber() ? value->doubleValue() : 0.0;
}

std::optional<std::string> QZMPersistedConfig::stringForKey(std::string_view key) {
  if (key.empty()) return std::nullopt;
  auto value = objectForKey(key);
  if (!value || !value->isString()) return std::nullopt;
  return *value->string();
}

std::optional<foundation::Dictionary> QZMPersistedConfig::dictionaryForKey(std::string_view key) {
  if (key.empty()) return std::nullopt;
  auto value = objectForKey(key);
  if (!value || !value->isDictionary()) return std::nullopt;
  return *value->dictionary();
}

std::optional<foundation::Object> QZMPersistedConfig::numberForKey(std::string_view key) { return objectForKey(key); }

void QZMPersistedConfig::writeObject(const std::optional<Object>& value, std::string_view key) {
  syncOnQueue([&] { userDefaults_->setObject(value.value_or(Object()), key); });
  scheduleSynchronizeToDisk();
}

void QZMPersistedConfig::setBool(bool value, std::string_view key) { writeObject(Object(value), key); }
void QZMPersistedConfig::setInt64(std::int64_t value, std::string_view key) { writeObject(Object(value), key); }
void QZMPersistedConfig::setDouble(double value, std::string_view key) { writeObject(Object(value), key); }

void QZMPersistedConfig::setString(const std::optional<std::string>& value, std::string_view key) {
  writeObject(value ? std::optional<Object>(Object(*value)) : std::nullopt, key);
}

void QZMPersistedConfig::setNumber(const std::optional<Object>& value, std::string_view key) {
  if (value && !value->isNull() && !value->isNumber()) {
    QZMLogStoreWarning(43003, "Cannot set invalid object to config. Must be a string, number, array, dictionary, "
                              "date, or data. Value " + value->description());
    return;
  }
  writeObject(value, key);
}

void QZMPersistedConfig::setDictionary(const std::optional<Dictionary>& value, std::string_view key) {
  if (value && !QZMConfigStore::isValidValue(Object(*value))) {
    QZMMeasurementBase::monitor()->logWithLevel(1, 27002, "Unsupported value passed in dictionary");
    return;
  }
  writeObject(value ? std::optional<Object>(Object(*value)) : std::nullopt, key);
}

void QZMPersistedConfig::setRawObject(const std::optional<Object>& value, std::string_view key) {
  syncOnQueue([&] { userDefaults_->setObject(value.value_or(Object()), key); });
}

void QZMPersistedConfig::clearValues() {
  syncOnQueue([&] { userDefaults_->clearAllData(); });
}

// ---- named settings ----

double QZMPersistedConfig::lastDeleteStaleBundlesTimestamp() { return doubleForKey(key::lastDeleteStale); }
void QZMPersistedConfig::setLastDeleteStaleBundlesTimestamp(double v) { setDouble(v, key::lastDeleteStale); }

std::optional<foundation::Object> QZMPersistedConfig::searchAdCampaignValue() {
  return userDefaults_->objectForKey(key::isSearchAdCampaign);
}
void QZMPersistedConfig::setSearchAdCampaignValue(const std::optional<Object>& v) {
  if (v && v->isNumber()) userDefaults_->setObject(*v, key::isSearchAdCampaign);
}

double QZMPersistedConfig::lastSearchAdLookUpTimestamp() { return doubleForKey(key::searchAdLastAttempt); }
void QZMPersistedConfig::setLastSearchAdLookUpTimestamp(double v) { setDouble(v, key::searchAdLastAttempt); }
std::int64_t QZMPersistedConfig::searchAdRetryCount() { return int64ForKey(key::searchAdRetries); }
void QZMPersistedConfig::setSearchAdRetryCount(std::int64_t v) { setInt64(v, key::searchAdRetries); }

std::optional<std::string> QZMPersistedConfig::appInstanceID() { return stringForKey(key::appInstanceID); }
void QZMPersistedConfig::setAppInstanceID(const std::optional<std::string>& v) { setString(v, key::appInstanceID); }
std::optional<std::string> QZMPersistedConfig::appIDFromDXV() { return stringForKey(key::dxvAppID); }
void QZMPersistedConfig::setAppIDFromDXV(const std::optional<std::string>& v) { setString(v, key::dxvAppID); }
std::optional<std::string> QZMPersistedConfig::appIDFromVornad() { return stringForKey(key::vornadAppID); }
void QZMPersistedConfig::setAppIDFromVornad(const std::optional<std::string>& v) { setString(v, key::vornadAppID); }
std::optional<std::string> QZMPersistedConfig::hashedResettableDeviceID() { return stringForKey(key::hashedIDFA); }
void QZMPersistedConfig::setHashedResettableDeviceID(const std::optional<std::string>& v) {
  setString(v, key::hashedIDFA);
}
std::optional<std::string> QZMPersistedConfig::diversionKey() { return stringForKey(key::diversionKey); }
void QZMPersistedConfig::setDiversionKey(const std::optional<std::string>& v) { setString(v, key::diversionKey); }

std::int64_t QZMPersistedConfig::measurementEnabledState() {
  return int64ForKey(key::measurementEnabledState, *QZMUserDefaults::sharedUserDefaults());
}
void QZMPersistedConfig::setMeasurementEnabledState(std::int64_t v) {
  syncOnQueue([&] {
    auto shared = QZMUserDefaults::sharedUserDefaults();
    shared->setInteger(v, key::measurementEnabledState);
    shared->synchronize();
  });
}

double QZMPersistedConfig::lastBackoffTimestamp() { return doubleForKey(key::lastBackoff); }
void QZMPersistedConfig::setLastBackoffTimestamp(double v) { setDouble(v, key::lastBackoff); }
double QZMPersistedConfig::lastSuccessfulUploadTimestamp() { return doubleForKey(key::lastSuccessfulUpload); }
void QZMPersistedConfig::setLastSuccessfulUploadTimestamp(double v) { setDouble(v, key::lastSuccessfulUpload); }
double QZMPersistedConfig::lastFailedUploadTimestamp() { return doubleForKey(key::lastFailedUpload); }
void QZMPersistedConfig::setLastFailedUploadTimestamp(double v) { setDouble(v, key::lastFailedUpload); }
std::optional<std::string> QZMPersistedConfig::appVersion() { return stringForKey(key::appVersion); }
void QZMPersistedConfig::setAppVersion(const std::optional<std::string>& v) { setString(v, key::appVersion); }
std::optional<std::string> QZMPersistedConfig::osVersion() { return stringForKey(key::osVersion); }
void QZMPersistedConfig::setOsVersion(const std::optional<std::string>& v) { setString(v, key::osVersion); }

double QZMPersistedConfig::midnightOffset() {
  // Looked up, drawn and kept in one step on the queue, so that callers
  // racing to the first read all get the offset that is kept.
  double offset = 0;
  bool drawn = false;
  syncOnQueue([&] {
    auto stored = userDefaults_->objectForKey(key::midnightOffset);
    if (stored && stored->isNumber()) {
      offset = stored->doubleValue();
      return;
    }
    offset = QZMUtilities::shared()->uniformRandom(kMillisecondsPerDay) / 1000.0;
    userDefaults_->setObject(Object(offset), key::midnightOffset);
    drawn = true;
  });
  if (drawn) {
    // Daily counts in the database are kept by this boundary: a process
    // killed before the file caught up would draw another and lose them.
    const auto& storeQueue = userDefaults_->serialQueue();
    if (storeQueue->isCurrent()) {
      userDefaults_->persistToDisk();
    } else {
      (void)storeQueue->sync([this] { userDefaults_->persistToDisk(); });
    }
    scheduleSynchronizeToDisk();
  }
  return offset;
}

double QZMPersistedConfig::lastMonitorDataSampledTimestamp() { return doubleForKey(key::lastMonitorDataSampled); }
void QZMPersistedConfig::setLastMonitorDataSampledTimestamp(double v) { setDouble(v, key::lastMonitorDataSampled); }
std::int64_t QZMPersistedConfig::firstOpenTimestampMilliseconds() { return int64ForKey(key::firstOpenMillis); }
void QZMPersistedConfig::setFirstOpenTimestampMilliseconds(std::int64_t v) { setInt64(v, key::firstOpenMillis); }

std::optional<foundation::Object> QZMPersistedConfig::configServerLastModifiedString() {
  return objectForKey(key::lastModifiedSince);
}
void QZMPersistedConfig::setConfigServerLastModifiedString(const std::optional<std::string>& v) {
  setString(v, key::lastModifiedSince);
}
std::optional<std::string> QZMPersistedConfig::configServerETag() { return stringForKey(key::configETag); }
void QZMPersistedConfig::setConfigServerETag(const std::optional<std::string>& v) { setString(v, key::configETag); }
std::int64_t QZMPersistedConfig::configDXVVersion() { return int64ForKey(key::configDXVVersion); }
void QZMPersistedConfig::setConfigDXVVersion(std::int64_t v) { setInt64(v, key::configDXVVersion); }

std::optional<foundation::Object> QZMPersistedConfig::loadTimestampValue() { return objectForKey(key::loadTimestamp); }
void QZMPersistedConfig::setLoadTimestampValue(const std::optional<Object>& v) { setRawObject(v, key::loadTimestamp); }
std::optional<foundation::Object> QZMPersistedConfig::allowPersonalizedAds() {
  return objectForKey(key::allowPersonalizedAds);
}
void QZMPersistedConfig::setAllowPersonalizedAds(const std::optional<Object>& v) {
  setRawObject(v, key::allowPersonalizedAds);
}
std::optional<std::string> QZMPersistedConfig::zarnholtFeatureRollouts() { return stringForKey(key::featureRollouts); }
void QZMPersistedConfig::setZarnholtFeatureRollouts(const std::optional<std::string>& v) {
  setString(v, key::featureRollouts);
}
std::optional<foundation::Object> QZMPersistedConfig::deferredDeepLinkRetrievalComplete() {
  return objectForKey(key::deepLinkRetrievalComplete);
}
void QZMPersistedConfig::setDeferredDeepLinkRetrievalComplete(const std::optional<Object>& v) {
  setRawObject(v, key::deepLinkRetrievalComplete);
}
std::int64_t QZMPersistedConfig::deferredDeepLinkRetryCount() { return int64ForKey(key::deepLinkRetryCount); }
void QZMPersistedConfig::setDeferredDeepLinkRetryCount(std::int64_t v) { setInt64(v, key::deepLinkRetryCount); }

bool QZMPersistedConfig::shouldSetLastAdvertisingIDResetUserProperty() {
  return int64ForKey(key::setLastAdvertisingIDReset) != 0;
}
void QZMPersistedConfig::setShouldSetLastAdvertisingIDResetUserProperty(bool v) {
  setInt64(v ? 1 : 0, key::setLastAdvertisingIDReset);
}
bool QZMPersistedConfig::unmatchedFirstOpenWithoutIDFA() { return int64ForKey(key::unmatchedFirstOpen) != 0; }
void QZMPersistedConfig::setUnmatchedFirstOpenWithoutIDFA(bool v) { setInt64(v ? 1 : 0, key::unmatchedFirstOpen); }

std::optional<foundation::Object> QZMPersistedConfig::previousFirstOpenCount() {
  return numberForKey(key::previousFirstOpenCount);
}
void QZMPersistedConfig::setPreviousFirstOpenCount(const std::optional<Object>& v) {
  setNumber(v, key::previousFirstOpenCount);
}
std::optional<std::string> QZMPersistedConfig::previousBundledConsentSignals() {
  return stringForKey(key::previousConsentSignals);
}
void QZMPersistedConfig::setPreviousBundledConsentSignals(const std::optional<std::string>& v) {
  setString(v, key::previousConsentSignals);
}
std::optional<foundation::Object> QZMPersistedConfig::adCampaignInfoBuffer() {
  return objectForKey(key::adCampaignInfoBuffer);
}
void QZMPersistedConfig::setAdCampaignInfoBuffer(const std::optional<Object>& v) {
  setRawObject(v, key::adCampaignInfoBuffer);
}

double QZMPersistedConfig::lastSessionActivityClockTime() { return doubleForKey(key::lastEngagementEnd); }
void QZMPersistedConfig::setLastSessionActivityClockTime(double v) { setDouble(v, key::lastEngagementEnd); }
std::int64_t QZMPersistedConfig::sessionNumber() { return int64ForKey(key::sessionNumber); }
void QZMPersistedConfig::setSessionNumber(std::int64_t v) { setInt64(v, key::sessionNumber); }
std::optional<foundation::Object> QZMPersistedConfig::sessionTimeoutValue() { return numberForKey(key::sessionTimeout); }
void QZMPersistedConfig::setSessionTimeoutValue(const std::optional<Object>& v) { setNumber(v, key::sessionTimeout); }
std::optional<foundation::Dictionary> QZMPersistedConfig::defaultEventParameters() {
  return dictionaryForKey(key::defaultEventParameters);
}
void QZMPersistedConfig::setDefaultEventParameters(const std::optional<Dictionary>& v) {
  setDictionary(v, key::defaultEventParameters);
}
std::int64_t QZMPersistedConfig::lastUploadedEventTimestampMillis() { return int64ForKey(key::lastUploadedEventMillis); }
void QZMPersistedConfig::setLastUploadedEventTimestampMillis(std::int64_t v) {
  setInt64(v, key::lastUploadedEventMillis);
}
std::int64_t QZMPersistedConfig::SKANEvaluationEventTimeMillis() { return int64ForKey(key::skanEvaluationEventTime); }
void QZMPersistedConfig::setSKANEvaluationEventTimeMillis(std::int64_t v) {
  setInt64(v, key::skanEvaluationEventTime);
}
std::int64_t QZMPersistedConfig::SKANEvaluationUpdateBackoffMillis() { return int64ForKey(key::skanEvaluationBackoff); }
void QZMPersistedConfig::setSKANEvaluationUpdateBackoffMillis(std::int64_t v) {
  setInt64(v, key::skanEvaluationBackoff);
}

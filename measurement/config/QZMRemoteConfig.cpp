#include "measurement/config/QZMRemoteConfig.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "measurement/config/QZMRemoteConfigState.h"
#include "measurement/experiments/QZMEManager.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Clock.h"

namespace {

std::shared_ptr<QZMMonitor> monitor() { return QZMMeasurementBase::monitor(); }

struct LinksSlot {
  std::mutex mutex;
  QZMRemoteConfigLinks links;
};
// Never destroyed: the worker queue may still read through it while the
// program ends.
LinksSlot& linksSlot() {
  static auto* slot = new LinksSlot;
  return *slot;
}

bool isPublicEventName(std::string_view name) { return !name.empty() && name.front() != '_'; }

}  // namespace

std::shared_ptr<const QZMRemoteConfig::State> QZMRemoteConfig::State::empty() {
  static const auto* instance = new std::shared_ptr<const State>(std::make_shared<State>());
  return *instance;
}

// ---- Creation ----

QZMRemoteConfig::QZMRemoteConfig() : state_(State::empty()) {}

QZMRemoteConfig::~QZMRemoteConfig() = default;

std::shared_ptr<QZMRemoteConfig> QZMRemoteConfig::defaultInstance() {
  // Never destroyed: the worker queue may still read it while the program ends.
  static const auto* instance = new std::shared_ptr<QZMRemoteConfig>(std::make_shared<QZMRemoteConfig>());
  return *instance;
}

std::shared_ptr<QZMRemoteConfig> QZMRemoteConfig::current() {
  if (auto engine = QZMMeasurementBase::sharedInstance()) {
    if (auto running = engine->remoteConfigInstance()) return running;
  }
  return defaultInstance();
}

std::shared_ptr<QZMRemoteConfig> QZMRemoteConfig::initWithAppID(
    std::string appID, const std::shared_ptr<QZMDatabase>& database,
    std::shared_ptr<QZMPBMeasurementConfig> measurementConfig, std::shared_ptr<QZMPersistedConfig> persistedConfig,
    std::shared_ptr<QZMEManager> experimentManager) {
  auto config = std::make_shared<QZMRemoteConfig>();
  config->appID_ = std::move(appID);
  config->database_ = database;
  config->persistedConfig_ = std::move(persistedConfig);
  config->experimentManager_ = std::move(experimentManager);
  if (config->experimentManager_) config->registerWithExperimentManager();
  config->isDefaultInstance_ = !database && config->appID_.empty();
  if (config->isDefaultInstance_) return config;
  if (measurementConfig) {
    config->updateMeasurementConfig(measurementConfig.get());
  } else if (auto stored = config->measurementConfigFromDatabase()) {
    if (auto parsed = config->parse(*stored, *config->state())) config->putInForce(std::move(parsed));
  }
  return config;
}

foundation::Result<std::shared_ptr<QZMRemoteConfig>> QZMRemoteConfig::initWithAppID(
    std::string appID, const std::shared_ptr<QZMDatabase>& database,
    std::shared_ptr<QZMPersistedConfig> persistedConfig, std::shared_ptr<QZMEManager> experimentManager) {
  if (appID.empty()) {
    constexpr const char* kMessage = "Cannot init remote configuration without valid Dralix App ID";
    monitor()->logWithLevel(1, 29000, kMessage);
    return qzm_errorWithCode(29000, kMessage);
  }
  if (!database) {
    constexpr const char* kMessage = "Cannot init remote configuration without valid database";
    monitor()->logWithLevel(1, 29001, kMessage);
    return qzm_errorWithCode(29001, kMessage);
  }
  return initWithAppID(std::move(appID), database, nullptr, std::move(persistedConfig),
                       std::move(experimentManager));
}

foundation::Result<std::shared_ptr<QZMRemoteConfig>> QZMRemoteConfig::initWithAppID(
    std::string appID, const std::shared_ptr<QZMDatabase>& database, std::shared_ptr<QZMEManager> experimentManager) {
  return initWithAppID(std::move(appID), database, std::shared_ptr<QZMPersistedConfig>(),
                       std::move(experimentManager));
}

void QZMRemoteConfig::setLinks(QZMRemoteConfigLinks links) {
  LinksSlot& slot = linksSlot();
  std::lock_guard lock(slot.mutex);
  slot.links = std::move(links);
}

QZMRemoteConfigLinks QZMRemoteConfig::links() {
  LinksSlot& slot = linksSlot();
  std::lock_guard lock(slot.mutex);
  return slot.links;
}

std::shared_ptr<QZMPBMeasurementConfig> QZMRemoteConfig::measurementConfigFromDatabase() const {
  if (!QZMScheduler::checkOnBackgroundThreadWithMethodName("measurementConfigFromDatabase")) return nullptr;
  if (isDefaultInstance_) {
    monitor()->logWithLevel(
        2, 29015, "Cannot retrieve a measurement configuration from the database for the default instance");
    return nullptr;
  }
  std::shared_ptr<QZMDatabase> database = database_.lock();
  if (!database) return nullptr;
  auto stored = database->queryMeasurementConfigWithError();
  if (!stored) {
    monitor()->logWithLevel(2, 29016, "Cannot retrieve configuration data from database. Error", stored.error());
    return nullptr;
  }
  if (!*stored) {
    monitor()->logWithLevel(7, 29017,
                            "Configuration was not found in database. The configuration will be fetched from the "
                            "network when necessary");
    return nullptr;
  }
  return *stored;
}

// ---- Configuration ----

std::shared_ptr<const QZMRemoteConfig::State> QZMRemoteConfig::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void QZMRemoteConfig::swapState(std::shared_ptr<const State> state, std::uint64_t resets) {
  std::shared_ptr<const State> replaced;
  {
    std::lock_guard lock(mutex_);
    if (resets != resets_) return;
    replaced = std::exchange(state_, std::move(state));
  }
  // The old program, should this be its last holder, goes outside the lock.
}

void QZMRemoteConfig::putInForce(std::shared_ptr<const State> state) {
  std::uint64_t resets;
  {
    std::lock_guard lock(mutex_);
    resets = resets_;
  }
  std::shared_ptr<QZMDatabase> database = database_.lock();
  if (!database) {
    swapState(std::move(state), resets);
    return;
  }
  database->performAfterCommit([weak = weak_from_this(), state = std::move(state), resets]() mutable {
    if (auto self = weak.lock()) self->swapState(std::move(state), resets);
  });
}

bool QZMRemoteConfig::updateMeasurementConfig(const QZMPBMeasurementConfig* measurementConfig) {
  if (!QZMScheduler::checkOnBackgroundThreadWithMethodName("updateMeasurementConfig:")) return false;
  if (isDefaultInstance_) {
    monitor()->logWithLevel(2, 29002, "Cannot update the default measurement configuration");
    return false;
  }
  if (!measurementConfig) {
    monitor()->logWithLevel(5, 29003, "Cannot set empty measurement config to database");
    return false;
  }
  if (NANOGetString(measurementConfig, QZMPBMeasurementConfig::kAppId).value_or("") != appID_) {
    monitor()->logWithLevel(2, 29004, "Cannot set measurement config when Dralix App ID does not match");
    return false;
  }
  // Parsed before it is stored, so that what is stored is what comes into
  // force.
  std::shared_ptr<const State> parsed = parse(*measurementConfig, *state());
  if (!parsed) return false;
  std::shared_ptr<QZMDatabase> database = database_.lock();
  foundation::Status stored =
      database ? database->updateRemoteConfig(*measurementConfig) : foundation::Status(qzm_errorWithCode(2, "No database"));
  if (!stored) {
    monitor()->logWithLevel(1, 29005, "Cannot store config into the database", stored.error());
    return false;
  }
  putInForce(std::move(parsed));
  return true;
}

void QZMRemoteConfig::reset() {
  std::shared_ptr<const State> replaced;
  {
    std::lock_guard lock(mutex_);
    ++resets_;
    // The event-editing program outlives a reset: only a new configuration
    // replaces it.
    std::shared_ptr<QZMPEventEditing> program = state_->eventEditing;
    if (program) {
      auto cleared = std::make_shared<State>();
      cleared->eventEditing = std::move(program);
      replaced = std::exchange(state_, std::move(cleared));
    } else {
      replaced = std::exchange(state_, State::empty());
    }
    customerTypeFlag_.reset();
  }
  if (experimentManager_) experimentManager_->reset();
}

bool QZMRemoteConfig::hasConfiguration() const { return state()->hasConfiguration; }

std::int64_t QZMRemoteConfig::version() const { return state()->version.value_or(-1); }

double QZMRemoteConfig::lastRemoteConfigUpdateTimestamp() const {
  if (isDefaultInstance_) {
    monitor()->logWithLevel(2, 29008,
                            "Cannot fetch the last configuration update timestamp from the default instance");
    return 0;
  }
  std::shared_ptr<QZMDatabase> database = database_.lock();
  if (!database) return 0;
  auto timestamp = database->lastRemoteConfigUpdateTimestamp();
  if (!timestamp) {
    monitor()->logWithLevel(4, 29009, "Failed to query last configuration update timestamp. Error",
                            timestamp.error());
    return 0;
  }
  return timestamp->value_or(0);
}

bool QZMRemoteConfig::isExpired() const {
  if (isDefaultInstance_) {
    monitor()->logWithLevel(2, 29007, "Cannot fetch the last update timestamp from the default configuration");
    return false;
  }
  return std::fabs(foundation::now() - lastRemoteConfigUpdateTimestamp()) >= remoteConfigCacheTimeInterval();
}

// ---- Per-event rules ----

std::optional<QZMEventRule> QZMRemoteConfig::eventRuleWithName(std::string_view name) const {
  if (name.empty()) {
    monitor()->logWithLevel(5, 29006, "Cannot find event config with empty event name");
    return std::nullopt;
  }
  std::shared_ptr<const State> current = state();
  auto found = current->eventRules.find(name);
  if (found == current->eventRules.end()) return std::nullopt;
  return found->second;
}

std::shared_ptr<QZMPBEventConfig> QZMRemoteConfig::eventConfigWithName(std::string_view name) const {
  std::optional<QZMEventRule> rule = eventRuleWithName(name);
  if (!rule) return nullptr;
  std::shared_ptr<QZMPBEventConfig> config = QZMPBEventConfig::initWithBuffer({});
  if (!config) return nullptr;
  NANOSetString(config.get(), QZMPBEventConfig::kName, rule->name);
  if (rule->blocklisted) NANOSetBool(config.get(), QZMPBEventConfig::kBlocklisted, *rule->blocklisted);
  if (rule->customConversion) NANOSetBool(config.get(), QZMPBEventConfig::kCustomConversion, *rule->customConversion);
  if (rule->samplingRate) NANOSetInt32(config.get(), QZMPBEventConfig::kSamplingRate, *rule->samplingRate);
  return config;
}

bool QZMRemoteConfig::isEventBlocklisted(std::string_view name) const {
  std::optional<QZMEventRule> rule = eventRuleWithName(name);
  if (rule && rule->blocklisted.value_or(false)) return true;
  return isPublicEventName(name) ? blocklistPublic() : blocklistInternal();
}

bool QZMRemoteConfig::isEventCustomConversion(std::string_view name) const {
  std::optional<QZMEventRule> rule = eventRuleWithName(name);
  return rule && rule->customConversion.value_or(false);
}

bool QZMRemoteConfig::eventHasSamplingRate(std::string_view name) const {
  std::optional<QZMEventRule> rule = eventRuleWithName(name);
  return rule && rule->samplingRate.has_value();
}

std::int32_t QZMRemoteConfig::samplingRateForEvent(std::string_view name) const {
  std::optional<QZMEventRule> rule = eventRuleWithName(name);
  if (!rule || !rule->samplingRate) return 1;
  std::int32_t rate = *rule->samplingRate;
  return rate >= 2 && rate <= 65535 ? rate : 1;
}

// ---- Other caches ----

std::vector<std::string> QZMRemoteConfig::dataControls() const { return state()->dataControls; }
foundation::Dictionary QZMRemoteConfig::consentDefaults() const { return state()->consentDefaults; }
foundation::Dictionary QZMRemoteConfig::consentDelegations() const { return state()->consentDelegations; }
foundation::Dictionary QZMRemoteConfig::regionalDefaults() const { return state()->regionalDefaults; }
std::set<std::string> QZMRemoteConfig::corePlatformServices() const { return state()->corePlatformServices; }
bool QZMRemoteConfig::isDMARegion() const { return state()->isDMARegion; }
std::shared_ptr<QZMPEventEditing> QZMRemoteConfig::eventEditing() const { return state()->eventEditing; }
std::optional<std::string> QZMRemoteConfig::uploadSubdomain() const { return state()->uploadSubdomain; }

std::vector<std::int32_t> QZMRemoteConfig::experimentIDs() const {
  return experimentManager_ ? experimentManager_->experimentIDs() : std::vector<std::int32_t>();
}

// ---- Settings ----

std::shared_ptr<const QZMMeasurementSettings> QZMRemoteConfig::settings() const { return state()->settings; }

void QZMRemoteConfig::setSettings(std::shared_ptr<const QZMMeasurementSettings> settings) {
  if (!settings) settings = QZMMeasurementSettings::defaults();
  std::shared_ptr<const State> replaced;
  std::lock_guard lock(mutex_);
  auto changed = std::make_shared<State>(*state_);
  changed->settings = std::move(settings);
  replaced = std::exchange(state_, std::move(changed));
}

std::int32_t QZMRemoteConfig::maxInternalEventParameterValueLength() const {
  return std::max(maxPublicEventParameterValueLength(), std::int32_t{256});
}

std::int32_t QZMRemoteConfig::maxPSMStartCount() const {
  if (monitor()->isDebugModeEnabled()) return 10;
  return settings()->intValue(QZMSetting::maxPSMStartCount);
}

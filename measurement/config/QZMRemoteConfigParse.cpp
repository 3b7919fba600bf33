// A configuration message becomes a new state: the settings, the per-event
// rules, the event-editing program, data controls, consent and the tagging
// upload of this configuration. A program that does not load ends the parse
// there, so data controls and consent stay those of the state before; a
// configuration without programs keeps the program in force.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/config/QZMRemoteConfigPrograms.h"
#include "measurement/config/QZMRemoteConfigState.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"

namespace {

std::optional<std::string> consentTypeName(std::int32_t number) {
  switch (number) {
    case 1: return "ad_storage";
    case 2: return "analytics_storage";
    case 3: return "ad_user_data";
    case 4: return "ad_personalization";
    default: return std::nullopt;
  }
}

std::optional<std::string> consentModeName(std::int32_t number) {
  switch (number) {
    case 1: return "granted";
    case 2: return "denied";
    default: return std::nullopt;
  }
}

// Type -> mode of the entries whose type and mode both have names.
foundation::Dictionary consentEntries(const QZMPBConsentConfig& consent, std::int32_t field) {
  foundation::Dictionary entries;
  auto list = NANOGetArray<QZMPBConsentDefaultEntry>(&consent, field);
  if (!list) return entries;
  for (const auto& entry : *list) {
    auto type = consentTypeName(NANOGetInt32(entry.get(), QZMPBConsentDefaultEntry::kConsentType));
    auto mode = consentModeName(NANOGetInt32(entry.get(), QZMPBConsentDefaultEntry::kDefaultValue));
    if (type && mode) entries[*type] = *mode;
  }
  return entries;
}

void readConsent(const QZMPBConsentConfig& consent, QZMRemoteConfig::State& state) {
  state.isDMARegion = NANOGetBool(&consent, QZMPBConsentConfig::kIsDmaRegion);
  state.consentDefaults = consentEntries(consent, QZMPBConsentConfig::kDefaults);
  state.regionalDefaults = consentEntries(consent, QZMPBConsentConfig::kEnforcedDefaults);
  if (auto delegations = NANOGetArray<QZMPBConsentDelegationEntry>(&consent, QZMPBConsentConfig::kDelegations)) {
    for (const auto& entry : *delegations) {
      auto type = consentTypeName(NANOGetInt32(entry.get(), QZMPBConsentDelegationEntry::kConsentType));
      auto delegatedTo = consentTypeName(NANOGetInt32(entry.get(), QZMPBConsentDelegationEntry::kDelegatedTo));
      if (type && delegatedTo) state.consentDelegations[*type] = *delegatedTo;
    }
  }
  if (auto services =
          NANOGetArray<QZMPBCorePlatformServiceEntry>(&consent, QZMPBConsentConfig::kCorePlatformServices)) {
    for (const auto& entry : *services) {
      if (auto name = NANOGetString(entry.get(), QZMPBCorePlatformServiceEntry::kService)) {
        state.corePlatformServices.insert(*name);
      }
    }
  }
}

QZMKRPXSetting readKRPXSetting(const QZMPBKrpxSetting& krpx) {
  QZMKRPXSetting setting;
  setting.uploadURL = NANOGetString(&krpx, QZMPBKrpxSetting::kUploadUrl);
  setting.serverInfo = NANOGetString(&krpx, QZMPBKrpxSetting::kServerInfo);
  // The value goes out as an HTTP header: a line break would add headers of
  // the server's choosing.
  if (setting.serverInfo && setting.serverInfo->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    QZMMeasurementBase::monitor()->logWithLevel(2, 29029,
                                                "Server info holds a line break or NUL. It will not be sent");
    setting.serverInfo.reset();
  }
  setting.alternateUploadURL = NANOGetString(&krpx, QZMPBKrpxSetting::kAlternateUploadUrl);
  if (NANOHasField(&krpx, QZMPBKrpxSetting::kUploadPercentage)) {
    setting.uploadPercentage = NANOGetInt32(&krpx, QZMPBKrpxSetting::kUploadPercentage);
  }
  return setting;
}

}  // namespace

std::shared_ptr<const QZMRemoteConfig::State> QZMRemoteConfig::parse(const QZMPBMeasurementConfig& config,
                                                                     const State& previous) const {
  auto monitor = QZMMeasurementBase::monitor();
  auto settingsList = NANOGetArray<QZMPBSetting>(&config, QZMPBMeasurementConfig::kSettings);
  if (!settingsList) {
    monitor->logWithLevel(2, 29012, "Cannot parse empty measurement config. Using default values");
    return nullptr;
  }
  if (NANOGetString(&config, QZMPBMeasurementConfig::kAppId).value_or("") != appID_) return nullptr;

  auto state = std::make_shared<State>();
  state->hasConfiguration = true;

  // Settings; the private-set-membership values the configuration carries as
  // numbers replace the texts of their keys.
  std::vector<QZMMeasurementSettings::Text> texts;
  texts.reserve(settingsList->size());
  for (const auto& setting : *settingsList) {
    texts.push_back({NANOGetString(setting.get(), QZMPBSetting::kName).value_or(""),
                     NANOGetString(setting.get(), QZMPBSetting::kValue)});
  }
  std::map<std::string, double> numbers;
  if (auto psm = NANOGetMessage<QZMPBPsmSetting>(&config, QZMPBMeasurementConfig::kPsmSetting)) {
    const std::pair<std::int32_t, const char*> fields[] = {
        {QZMPBPsmSetting::kPsmPrefixEmail, "measurement.psm_prefix_email"},
        {QZMPBPsmSetting::kPsmPrefixPhone, "measurement.psm_prefix_phone"},
        {QZMPBPsmSetting::kPsmSigninDelay, "measurement.psm_signin_delay"},
    };
    for (const auto& [field, key] : fields) {
      if (NANOHasField(psm.get(), field)) numbers[key] = NANOGetInt32(psm.get(), field);
    }
  }
  state->settings = QZMMeasurementSettings::settingsWithTexts(texts, numbers);
  state->uploadSubdomain = NANOGetString(&config, QZMPBMeasurementConfig::kUploadSubdomain);
  if (auto krpx = NANOGetMessage<QZMPBKrpxSetting>(&config, QZMPBMeasurementConfig::kKrpxSetting)) {
    state->KRPXSetting = readKRPXSetting(*krpx);
  }

  // Per-event rules, under internal names; a later rule for a name wins.
  QZMRemoteConfigLinks links = QZMRemoteConfig::links();
  if (auto eventConfigs = NANOGetArray<QZMPBEventConfig>(&config, QZMPBMeasurementConfig::kEventConfig)) {
    for (const auto& eventConfig : *eventConfigs) {
      std::string name = NANOGetString(eventConfig.get(), QZMPBEventConfig::kName).value_or("");
      if (name.empty()) {
        monitor->logWithLevel(5, 29013, "Cannot cache event configuration with an empty configuration name");
        continue;
      }
      QZMEventRule rule;
      rule.name = name;
      if (NANOHasField(eventConfig.get(), QZMPBEventConfig::kBlocklisted)) {
        rule.blocklisted = NANOGetBool(eventConfig.get(), QZMPBEventConfig::kBlocklisted);
      }
      if (NANOHasField(eventConfig.get(), QZMPBEventConfig::kCustomConversion)) {
        rule.customConversion = NANOGetBool(eventConfig.get(), QZMPBEventConfig::kCustomConversion);
      }
      if (NANOHasField(eventConfig.get(), QZMPBEventConfig::kSamplingRate)) {
        rule.samplingRate = NANOGetInt32(eventConfig.get(), QZMPBEventConfig::kSamplingRate);
      }
      std::optional<std::string> internal = links.internalEventName ? links.internalEventName(name) : std::nullopt;
      state->eventRules.insert_or_assign(internal.value_or(name), std::move(rule));
    }
  }

  if (NANOHasField(&config, QZMPBMeasurementConfig::kVersion)) {
    state->version = NANOGetInt64(&config, QZMPBMeasurementConfig::kVersion);
    monitor->logWithLevel(7, 29014, "Successfully parsed a configuration. Version", *state->version);
  }

  // Only the first program runs; without programs the one in force stays.
  state->eventEditing = previous.eventEditing;
  if (auto programs = NANOGetArray<QZMPBProgram>(&config, QZMPBMeasurementConfig::kDynamicEventEditing);
      programs && !programs->empty()) {
    state->eventEditing = QZMRemoteConfigLoadProgram(*programs->front(), state->settings);
    if (!state->eventEditing) {
      // The parse ends here, before the private-set-membership numbers
      // replace their texts. The entries skipped above were logged already.
      std::erase_if(texts, [](const auto& text) { return text.name.empty() || !text.value; });
      state->settings = QZMMeasurementSettings::settingsWithTexts(texts);
      state->dataControls = previous.dataControls;
      state->consentDefaults = previous.consentDefaults;
      state->consentDelegations = previous.consentDelegations;
      state->regionalDefaults = previous.regionalDefaults;
      state->corePlatformServices = previous.corePlatformServices;
      state->isDMARegion = previous.isDMARegion;
      return state;
    }
    monitor->logWithLevel(7, 29027, "Loading Event Modification and Creation programs",
                          static_cast<std::int64_t>(programs->size()));
  }

  if (auto dataControls = NANOGetArray<QZMPBDataControl>(&config, QZMPBMeasurementConfig::kDataControls)) {
    for (const auto& dataControl : *dataControls) {
      if (auto name = NANOGetString(dataControl.get(), QZMPBDataControl::kName)) state->dataControls.push_back(*name);
    }
  }

  // Without a consent configuration the DMA region stays as it was.
  state->isDMARegion = previous.isDMARegion;
  if (auto consent = NANOGetMessage<QZMPBConsentConfig>(&config, QZMPBMeasurementConfig::kConsentConfig)) {
    readConsent(*consent, *state);
  }
  return state;
}

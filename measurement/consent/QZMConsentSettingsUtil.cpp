#include "measurement/consent/QZMConsentSettingsUtil.h"

#include <functional>
#include <map>
#include <memory>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Strings.h"

namespace {

using foundation::Dictionary;
using foundation::Object;

struct State {
  std::optional<Dictionary> consent;
  std::optional<Dictionary> defaults;
  std::optional<Dictionary> delegated;
  std::optional<Dictionary> regional;
  QZMConsentSource source = kQZMConsentSourceUnset;
  std::int64_t version = 1;
  std::optional<std::map<std::string, std::int64_t, std::less<>>> diagnostics;
};

struct Globals {
  std::shared_ptr<dispatch::Queue> queue = dispatch::Queue::create("QZMConsentSettingsUtilQueue");
  State state;  // touched only on the queue
};
// Never destroyed: the SDK's queues may still ask for consent while the
// program's static objects go away.
Globals& globals() {
  static auto* g = new Globals;
  return *g;
}

// Runs the block on the consent queue and waits; a call from the queue itself
// runs inline instead of waiting for itself.
void readState(const std::function<void(const State&)>& block) {
  Globals& g = globals();
  if (g.queue->isCurrent()) {
    block(g.state);
    return;
  }
  (void)g.queue->sync([&] { block(g.state); });
}

void writeState(std::function<void(State&)> block) {
  globals().queue->async([block = std::move(block)] { block(globals().state); });
}

const Object* findIn(const std::optional<Dictionary>& dictionary, std::string_view key) {
  if (!dictionary) return nullptr;
  auto it = dictionary->find(key);
  return it == dictionary->end() ? nullptr : &it->second;
}

bool valueIs(const Object* value, std::string_view expected) {
  return value && value->isString() && foundation::lowercased(*value->string()) == expected;
}

bool followsRegionalDefault(std::string_view consentType) {
  return consentType == kQZMConsentTypeAdUserData || consentType == kQZMConsentTypeAdPersonalization;
}

bool isEUPolicy(std::string_view consentType, const Object* value) {
  return followsRegionalDefault(consentType) && valueIs(value, kQZMConsentEUPolicy);
}

// What "eu_consent_policy" stands for: the regional default, else denied.
Object regionalResolution(const State& state, std::string_view consentType) {
  if (const Object* regional = findIn(state.regional, consentType)) return *regional;
  return Object(kQZMConsentDenied);
}

// The current value, with "eu_consent_policy" resolved.
std::optional<Object> resolvedCurrentValue(const State& state, std::string_view consentType) {
  const Object* value = findIn(state.consent, consentType);
  if (!value) return std::nullopt;
  if (isEUPolicy(consentType, value)) return regionalResolution(state, consentType);
  return *value;
}

std::int64_t digitForSource(QZMConsentSource source) {
  switch (source) {
    case kQZMConsentSourceTCF:
      return 7;
    case kQZMConsentSourceAPI:
    case kQZMConsentSourceOtherKey:
      return 5;
    case kQZMConsentSourceInfoPlist:
      return 3;
    case kQZMConsentSourceFirstParty:
      return 4;
    default:
      return 0;
  }
}

auto& diagnosticsOf(State& state) {
  if (!state.diagnostics) {
    state.diagnostics.emplace();
    for (const char* type : kQZMConsentTypes) (*state.diagnostics)[type] = 0;
  }
  return *state.diagnostics;
}

void refresh(State& state, bool fromSource) {
  auto& digits = diagnosticsOf(state);
  for (const char* type : kQZMConsentTypes) {
    const std::string_view name = type;
    if (const Object* value = findIn(state.consent, name)) {
      std::int64_t digit = fromSource ? digitForSource(state.source) : digits[type];
      if (isEUPolicy(name, value)) digit = 8;
      digits[type] = digit;
    } else if (name == kQZMConsentTypeAdUserData && findIn(state.delegated, name)) {
      digits[type] = 2;
    } else if (findIn(state.defaults, name) && !name.ends_with("_storage")) {
      digits[type] = 1;
    } else {
      digits[type] = 9;
    }
  }
}

bool adUserDataDenied(const State& state) {
  std::optional<Object> value = resolvedCurrentValue(state, kQZMConsentTypeAdUserData);
  if (!value) {
    const Object* delegate = findIn(state.delegated, kQZMConsentTypeAdUserData);
    if (delegate && delegate->isString()) {
      if (const Object* delegated = findIn(state.consent, *delegate->string()))
        return valueIs(delegated, kQZMConsentDenied);
    }
  }
  if (!value) {
    if (const Object* fallback = findIn(state.defaults, kQZMConsentTypeAdUserData)) value = *fallback;
  }
  return value && valueIs(&*value, kQZMConsentDenied);
}

bool equalPriority(QZMConsentSource current, QZMConsentSource given) {
  auto isTop = [](QZMConsentSource s) { return s == kQZMConsentSourceTCF || s == kQZMConsentSourceAPI; };
  return given == current || (isTop(given) && isTop(current));
}

char signalCharacter(const State& state, std::string_view consentType) {
  const Object* value = findIn(state.consent, consentType);
  if (valueIs(value, kQZMConsentDenied)) return '0';
  if (valueIs(value, kQZMConsentGranted)) return '1';
  return '-';
}

// The Boolean a string reads as on this platform: after blanks, a sign and
// leading zeros, "Y", "y", "T", "t" or a digit 1 to 9 mean true.
bool stringBoolValue(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  while (i < text.size() && text[i] == '0') ++i;
  if (i == text.size()) return false;
  const char c = text[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

}  // namespace

std::optional<Dictionary> QZMConsentSettingsUtil::consentSettings() {
  std::optional<Dictionary> out;
  readState([&](const State& s) { out = s.consent; });
  return out;
}

std::optional<Dictionary> QZMConsentSettingsUtil::defaultSettings() {
  std::optional<Dictionary> out;
  readState([&](const State& s) { out = s.defaults; });
  return out;
}

std::optional<Dictionary> QZMConsentSettingsUtil::delegatedSettings() {
  std::optional<Dictionary> out;
  readState([&](const State& s) { out = s.delegated; });
  return out;
}

std::optional<Dictionary> QZMConsentSettingsUtil::regionalDefaults() {
  std::optional<Dictionary> out;
  readState([&](const State& s) { out = s.regional; });
  return out;
}

QZMConsentSource QZMConsentSettingsUtil::consentSource() {
  QZMConsentSource out = kQZMConsentSourceUnset;
  readState([&](const State& s) { out = s.source; });
  return out;
}

std::int64_t QZMConsentSettingsUtil::version() {
  std::int64_t out = 1;
  readState([&](const State& s) { out = s.version; });
  return out;
}

bool QZMConsentSettingsUtil::isAdStorageDenied() {
  bool out = false;
  readState([&](const State& s) { out = valueIs(findIn(s.consent, kQZMConsentTypeAdStorage), kQZMConsentDenied); });
  return out;
}

bool QZMConsentSettingsUtil::isAnalyticsStorageDenied() {
  bool out = false;
  readState(
      [&](const State& s) { out = valueIs(findIn(s.consent, kQZMConsentTypeAnalyticsStorage), kQZMConsentDenied); });
  return out;
}

bool QZMConsentSettingsUtil::isAdUserDataDenied() {
  bool out = false;
  readState([&](const State& s) { out = adUserDataDenied(s); });
  return out;
}

std::optional<bool> QZMConsentSettingsUtil::adPersonalization() {
  std::optional<bool> out;
  readState([&](const State& s) {
    std::optional<Object> value = resolvedCurrentValue(s, kQZMConsentTypeAdPersonalization);
    if (!value) {
      if (const Object* fallback = findIn(s.defaults, kQZMConsentTypeAdPersonalization)) value = *fallback;
    }
    if (!value) return;
    if (valueIs(&*value, kQZMConsentDenied)) out = false;
    if (valueIs(&*value, kQZMConsentGranted)) out = true;
  });
  return out;
}

std::string QZMConsentSettingsUtil::consentSignals() {
  std::string out;
  readState([&](const State& s) {
    out = "G1";
    out += signalCharacter(s, kQZMConsentTypeAdStorage);
    out += signalCharacter(s, kQZMConsentTypeAnalyticsStorage);
  });
  return out;
}

std::string QZMConsentSettingsUtil::consentDiagnostics() {
  std::string out;
  // The refresh writes the table, so it runs as a write that is waited for.
  Globals& g = globals();
  auto block = [&] {
    refresh(g.state, false);
    out = "1";
    for (const char* type : kQZMConsentTypes) out += std::to_string(g.state.diagnostics->at(type));
  };
  if (g.queue->isCurrent()) {
    block();
  } else {
    (void)g.queue->sync(block);
  }
  return out;
}

std::string QZMConsentSettingsUtil::description() {
  std::string out;
  readState([&](const State& s) {
    auto shown = [&](const char* type) -> std::string {
      const Object* value = findIn(s.consent, type);
      if (!value) return kQZMConsentGranted;
      if (isEUPolicy(type, value)) return regionalResolution(s, type).description() + " (" + kQZMConsentEUPolicy + ")";
      return value->description();
    };
    out = std::string(kQZMConsentTypeAdStorage) + " is " + shown(kQZMConsentTypeAdStorage) + ". " +
          kQZMConsentTypeAnalyticsStorage + " is " + shown(kQZMConsentTypeAnalyticsStorage) + ".";
    for (const char* type : {kQZMConsentTypeAdUserData, kQZMConsentTypeAdPersonalization}) {
      if (findIn(s.consent, type)) out += std::string(" ") + type + " is " + shown(type) + ".";
    }
  });
  return out;
}

bool QZMConsentSettingsUtil::didAdUserDataConsentChange(bool previouslyDenied) {
  return isAdUserDataDenied() != previouslyDenied;
}

bool QZMConsentSettingsUtil::isConsentSourceEqualPriority(QZMConsentSource source) {
  return equalPriority(consentSource(), source);
}

bool QZMConsentSettingsUtil::isConsentSourceHigherPriority(QZMConsentSource source) {
  const QZMConsentSource current = consentSource();
  return equalPriority(current, source) || current >= source;
}

void QZMConsentSettingsUtil::setConsentSettings(const std::optional<Dictionary>& settings) {
  writeState([settings](State& s) {
    s.consent = settings;
    if (!settings) {
      s.source = kQZMConsentSourceUnset;
      refresh(s, true);
    }
  });
}

void QZMConsentSettingsUtil::setConsentSource(QZMConsentSource source) {
  writeState([source](State& s) {
    s.source = source;
    refresh(s, true);
  });
}

void QZMConsentSettingsUtil::setDefaultSettings(const std::optional<Dictionary>& settings) {
  writeState([settings](State& s) { s.defaults = settings; });
}

void QZMConsentSettingsUtil::setDelegatedSettings(const std::optional<Dictionary>& settings) {
  writeState([settings](State& s) { s.delegated = settings; });
}

void QZMConsentSettingsUtil::setRegionalDefaults(const std::optional<Dictionary>& settings) {
  writeState([settings](State& s) { s.regional = settings; });
}

void QZMConsentSettingsUtil::setVersion(std::int64_t version) {
  if (version != 1 && version != 2) return;
  writeState([version](State& s) { s.version = version; });
}

void QZMConsentSettingsUtil::updateSettings(const Dictionary& settings) {
  writeState([settings](State& s) {
    Dictionary merged = s.consent.value_or(Dictionary{});
    for (const auto& [type, value] : settings) merged[type] = value;
    s.consent = std::move(merged);
  });
}

void QZMConsentSettingsUtil::updateSettings(const Dictionary& settings, QZMConsentSource source) {
  writeState([settings, source](State& s) {
    Dictionary merged = s.consent.value_or(Dictionary{});
    for (const auto& [type, value] : settings) merged[type] = value;
    s.consent = std::move(merged);
    s.source = source;
    auto& digits = diagnosticsOf(s);
    for (const auto& entry : settings) {
      for (const char* type : kQZMConsentTypes)
        if (entry.first == type) digits[type] = digitForSource(source);
    }
  });
}

void QZMConsentSettingsUtil::setDiagnosticSource(std::int64_t digit, std::string_view consentType) {
  writeState([digit, type = std::string(consentType)](State& s) { diagnosticsOf(s)[type] = digit; });
}

void QZMConsentSettingsUtil::unsetAdPersonalization() {
  writeState([](State& s) {
    if (!s.consent || !s.consent->erase(kQZMConsentTypeAdPersonalization)) return;
    diagnosticsOf(s)[kQZMConsentTypeAdPersonalization] = 0;
  });
}

void QZMConsentSettingsUtil::clearAllSettings() {
  writeState([](State& s) {
    s.source = kQZMConsentSourceUnset;
    s.consent.reset();
    s.defaults.reset();
    s.delegated.reset();
    s.regional.reset();
    s.diagnostics.reset();
    diagnosticsOf(s);
  });
}

void QZMConsentSettingsUtil::resetDiagnosticSources() {
  writeState([](State& s) {
    s.diagnostics.reset();
    diagnosticsOf(s);
  });
}

void QZMConsentSettingsUtil::refreshDiagnosticSources(bool fromSource) {
  writeState([fromSource](State& s) { refresh(s, fromSource); });
}

Dictionary QZMConsentSettingsUtil::consentSettingsFromDictionary(const Dictionary& dictionary) {
  Dictionary out;
  for (const char* type : kQZMConsentTypes) {
    if (auto it = dictionary.find(std::string_view(type)); it != dictionary.end()) out[type] = it->second;
  }
  return out;
}

Dictionary QZMConsentSettingsUtil::consentSettingsFromPlist() {
  struct Key {
    const char* plistKey;
    const char* consentType;
  };
  static constexpr Key kKeys[] = {
      {"DRALIX_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", kQZMConsentTypeAdStorage},
      {"DRALIX_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE", kQZMConsentTypeAnalyticsStorage},
      {"DRALIX_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA", kQZMConsentTypeAdUserData},
      {"DRALIX_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS", kQZMConsentTypeAdPersonalization},
  };
  Dictionary out;
  auto bundle = foundation::Bundle::main();
  for (const Key& key : kKeys) {
    const Object* value = bundle->objectForInfoDictionaryKey(key.plistKey);
    if (!value) continue;
    const std::string_view type = key.consentType;
    // The Boolean form of the personalisation switch is the engine's
    // personalised-ads setting, not a consent default.
    if (type == kQZMConsentTypeAdPersonalization && !value->isString()) continue;
    if (valueIs(value, kQZMConsentEUPolicy)) {
      if (followsRegionalDefault(type)) out[key.consentType] = kQZMConsentEUPolicy;
      continue;
    }
    if (value->isNumber()) {
      out[key.consentType] = value->boolValue() ? kQZMConsentGranted : kQZMConsentDenied;
    } else if (value->isString()) {
      out[key.consentType] = stringBoolValue(*value->string()) ? kQZMConsentGranted : kQZMConsentDenied;
    }
  }
  return out;
}

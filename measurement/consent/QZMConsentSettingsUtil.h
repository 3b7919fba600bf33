// The process's consent state: the current settings of the four consent
// types, where they came from, the configuration's defaults, delegations and
// regional defaults, and per type a digit saying why it is in its state. The
// rest of the SDK asks it before storing or sending anything, and reads the
// consent signal and diagnostics strings from it at upload.
//
// Nothing is persisted here: the engine pushes in what it loaded and persists
// what it accepts. All state lives on one serial queue; getters wait for it,
// setters are queued, so a getter after a setter on the same thread sees the
// new state. Settings dictionaries map a consent type to its value, normally
// "granted", "denied" or "eu_consent_policy"; a value that is not a string
// matches nothing.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Object.h"

// The consent types, in the order of the diagnostics string.
inline constexpr const char* kQZMConsentTypeAdStorage = "ad_storage";
inline constexpr const char* kQZMConsentTypeAnalyticsStorage = "analytics_storage";
inline constexpr const char* kQZMConsentTypeAdUserData = "ad_user_data";
inline constexpr const char* kQZMConsentTypeAdPersonalization = "ad_personalization";
inline constexpr std::array<const char*, 4> kQZMConsentTypes = {
    kQZMConsentTypeAdStorage, kQZMConsentTypeAnalyticsStorage, kQZMConsentTypeAdUserData,
    kQZMConsentTypeAdPersonalization};

inline constexpr const char* kQZMConsentGranted = "granted";
inline constexpr const char* kQZMConsentDenied = "denied";
// Stands for the regional default of "ad_user_data" or "ad_personalization".
inline constexpr const char* kQZMConsentEUPolicy = "eu_consent_policy";

// Where settings came from; a smaller number is a higher priority, and TCF
// data and the host's API call rank equal.
using QZMConsentSource = std::int64_t;
inline constexpr QZMConsentSource kQZMConsentSourceTCF = 5;
inline constexpr QZMConsentSource kQZMConsentSourceAPI = 10;
inline constexpr QZMConsentSource kQZMConsentSourceInfoPlist = 20;
inline constexpr QZMConsentSource kQZMConsentSourceOtherKey = 30;
inline constexpr QZMConsentSource kQZMConsentSourceFirstParty = 40;
inline constexpr QZMConsentSource kQZMConsentSourceUnset = 100;

class QZMConsentSettingsUtil {
 public:
  using Dictionary = foundation::Dictionary;

  // ---- getters (wait for the consent queue; never call them from it) ----
  static std::optional<Dictionary> consentSettings();
  static std::optional<Dictionary> defaultSettings();
  static std::optional<Dictionary> delegatedSettings();
  static std::optional<Dictionary> regionalDefaults();
  static QZMConsentSource consentSource();
  static std::int64_t version();

  // Current settings only; defaults are not consulted.
  static bool isAdStorageDenied();
  static bool isAnalyticsStorageDenied();
  // Current value with its regional resolution, else the delegated type's
  // current value, else the default.
  static bool isAdUserDataDenied();
  // true granted, false denied, nullopt neither: the current value with its
  // regional resolution, else the default.
  static std::optional<bool> adPersonalization();
  // "G1" and one character each for ad and analytics storage: "0" denied,
  // "1" granted, "-" anything else.
  static std::string consentSignals();
  // "1" and the diagnostic digit of each type, refreshed first.
  static std::string consentDiagnostics();
  static std::string description();
  static bool didAdUserDataConsentChange(bool previouslyDenied);
  static bool isConsentSourceEqualPriority(QZMConsentSource source);
  // Whether settings from the source may replace the current ones.
  static bool isConsentSourceHigherPriority(QZMConsentSource source);

  // ---- setters (queued) ----
  // nullopt also resets the source to unset and refreshes the digits from it.
  static void setConsentSettings(const std::optional<Dictionary>& settings);
  static void setConsentSource(QZMConsentSource source);
  static void setDefaultSettings(const std::optional<Dictionary>& settings);
  static void setDelegatedSettings(const std::optional<Dictionary>& settings);
  static void setRegionalDefaults(const std::optional<Dictionary>& settings);
  // Only versions 1 and 2 are kept.
  static void setVersion(std::int64_t version);
  // Merges the entries over the current settings; source and digits stay.
  static void updateSettings(const Dictionary& settings);
  // Merges, sets the source and records its digit for every given type.
  static void updateSettings(const Dictionary& settings, QZMConsentSource source);
  static void setDiagnosticSource(std::int64_t digit, std::string_view consentType);
  static void unsetAdPersonalization();
  static void clearAllSettings();
  static void resetDiagnosticSources();
  static void refreshDiagnosticSources(bool fromSource);

  // ---- pure ----
  // Only the consent-type entries of the input.
  static Dictionary consentSettingsFromDictionary(const Dictionary& dictionary);
  // The consent defaults the main bundle's Info.plist declares.
  static Dictionary consentSettingsFromPlist();
};

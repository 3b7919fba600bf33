// Turns the app's TCF data into consent for the three advertising consent
// types. The engine makes one client at start and asks it to apply the data
// at start and before each upload; the data is read again every time, but
// acted on only when it changed since the last time: then an internal "_tcf"
// event describing the TCF state is logged, the values are remembered in the
// client's own suite, and, when TCF governs consent, the derived consent is
// handed to the facade with the TCF source.
//
// Calls may come from any queue; one lock serialises them, and the facade
// is called outside it.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "measurement/consent/QZMTCFData.h"
#include "platform/foundation/Object.h"

class QZMUserDefaults;

inline constexpr const char* kQZMTCFStringRepresentationKey = "tcf_StringRepresentation";
// The facade's key that gives consent the TCF source.
inline constexpr const char* kQZMTCFConsentSettingsKey = "consent_settings_tcf";

class QZMTCFClient {
 public:
  using Dictionary = foundation::Dictionary;

  // What the client hands on: consent to the facade's consent entry point
  // (consent type -> "granted" or "denied", and the key), and internal
  // events to its event road (origin, name, string parameters).
  struct Handlers {
    std::function<void(const Dictionary& consent, const std::string& key)> setConsent;
    std::function<void(const std::string& origin, const std::string& name, const Dictionary& parameters)>
        logInternalEvent;
  };

  explicit QZMTCFClient(Handlers handlers);

  // Reads the data and acts on it when it changed.
  void setConsentFromTCFData();
  // Reads the data again from the app's standard user defaults.
  void readTCFData();

  // TCF data enabled, advertiser consent mode on and GDPR applies.
  bool shouldApplyTCFData() const;
  // The remembered data predates this format, and TCF would apply but for
  // the SDK's vendor missing from the vendor consents.
  bool shouldApplyOneTimeTCFVendorFix() const;
  // Something beyond the enabled switch was read.
  bool hasTCFDataToRead() const;
  bool persistedValuesEqualCurrentData() const;
  // The consent the remembered data gave.
  Dictionary previousConsent() const;
  // Remembers the current data and its representation.
  void storeCurrentData();
  void clearPersistedValues();

  // The comparison key of the current data.
  std::string stringRepresentationFromTCFData() const;
  static std::string consentStatusFromEnabled(bool enabled);
  // "_tcfd": version, CMP identifier, policy version and flags.
  std::string tcfBundleParameterValue() const;
  // "_tcfd2": version and the reasons of purposes 1, 3, 4 and 7.
  std::string tcfd2ParamValue() const;
  std::string tcfd2ParamValueForPurposeID(std::int64_t purposeID) const;
  // "_tcfm": whether the vendor fix applied and whether consent changed.
  static std::string tcfdMigrationParamValueForMigrationDidOccur(bool migrationDidOccur,
                                                                 bool didMigrationChangeConsent);
  void logTCFChangedEventShouldApplyOneTimeVendorFix(bool shouldApplyOneTimeVendorFix,
                                                     bool isCurrentSameAsPreviousTCFConsent);

  QZMTCFData tcfData() const;
  const std::shared_ptr<QZMUserDefaults>& userDefaults() const { return userDefaults_; }
  bool isDMARegion() const;
  void setIsDMARegion(bool isDMARegion);

  // The three consent types the data grants or denies.
  static Dictionary consentFromTCFData(const QZMTCFData& data);
  static std::string stringRepresentation(const QZMTCFData& data);

 private:
  Dictionary previousConsentLocked() const;
  bool shouldApplyOneTimeTCFVendorFixLocked() const;
  Dictionary tcfEventParametersLocked(bool shouldApplyOneTimeVendorFix, bool isCurrentSameAsPreviousTCFConsent) const;
  void storeCurrentDataLocked();

  const Handlers handlers_;
  const std::shared_ptr<QZMUserDefaults> userDefaults_;
  mutable std::mutex mutex_;
  QZMTCFData tcfData_;
  bool isDMARegion_ = true;
};

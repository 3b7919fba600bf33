#include "measurement/consent/QZMTCFClient.h"

#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/foundation/QZMUserDefaults.h"

namespace {

using foundation::Dictionary;
using foundation::Object;

constexpr std::string_view kAlphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";
constexpr const char* kNothingToRead = "_v_=2,isTCFDataEnabled=1";

char alphabetCharacter(std::int64_t value) {
  return value >= 0 && value < static_cast<std::int64_t>(kAlphabet.size()) ? kAlphabet[value] : '0';
}

std::string bundleParameter(const QZMTCFData& d, bool isDMARegion) {
  std::string out = "1";
  const std::int64_t cmp = d.cmpSDKID().value_or(0);
  if (cmp >= 0 && cmp < 4096) {
    out += kAlphabet[(cmp >> 6) & 63];
    out += kAlphabet[cmp & 63];
  } else {
    out += "00";
  }
  out += alphabetCharacter(d.policyVersion().value_or(0));
  const int flags = (d.isAdvertiserConsentModeEnabled().value_or(false) ? 8 : 0) + (d.isTCFDataEnabled() ? 4 : 0) +
                    (d.gdprApplies().value_or(false) ? 2 : 0) + (isDMARegion ? 1 : 0);
  out += kAlphabet[flags];
  return out;
}

std::string reasonDigits(const QZMTCFData& d, std::initializer_list<std::int64_t> purposes) {
  std::string out;
  for (std::int64_t purpose : purposes)
    out += std::to_string(d.consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(purpose));
  return out;
}

template <class T>
Object objectOrNull(const std::optional<T>& value) {
  return value ? Object(*value) : Object();
}

}  // namespace

QZMTCFClient::QZMTCFClient(Handlers handlers)
    : handlers_(std::move(handlers)), userDefaults_(QZMUserDefaults::initWithSuiteName(kQZMTCFSuiteName)) {}

std::string QZMTCFClient::consentStatusFromEnabled(bool enabled) {
  return enabled ? kQZMConsentGranted : kQZMConsentDenied;
}

Dictionary QZMTCFClient::consentFromTCFData(const QZMTCFData& data) {
  return {
      {kQZMConsentTypeAdStorage, consentStatusFromEnabled(data.isAdStoragePurposeGranted())},
      {kQZMConsentTypeAdPersonalization, consentStatusFromEnabled(data.isAdPersonalizationPurposeGranted())},
      {kQZMConsentTypeAdUserData, consentStatusFromEnabled(data.isAdUserDataPurposeGranted())},
  };
}

std::string QZMTCFClient::stringRepresentation(const QZMTCFData& data) {
  std::string out = "_v_=2";
  auto part = [&](const std::string& text) { out += "," + text; };
  part("isTCFDataEnabled=" + std::to_string(data.isTCFDataEnabled() ? 1 : 0));
  if (data.isAdvertiserConsentModeEnabled())
    part("isAdvertiserConsentModeEnabled=" + std::to_string(*data.isAdvertiserConsentModeEnabled() ? 1 : 0));
  if (data.cmpSDKID()) part("cmpSDKID=" + std::to_string(*data.cmpSDKID()));
  if (data.vendorConsents()) part("hasDralixInVendorConsents=" + std::to_string(data.hasDralixInVendorConsents()));
  if (data.vendorLegitimateInterests())
    part("hasDralixInVendorLegitimateInterests=" + std::to_string(data.hasDralixInVendorLegitimateInterests()));
  if (data.gdprApplies()) part("gdprApplies=" + std::to_string(*data.gdprApplies() ? 1 : 0));
  if (data.policyVersion()) part("policyVersion=" + std::to_string(*data.policyVersion()));
  if (data.purposeConsents()) part("purposeConsents=" + *data.purposeConsents());
  if (data.purposeLegitimateInterests()) part("purposeLegitimateInterests=" + *data.purposeLegitimateInterests());
  bool anyRestriction = false;
  std::string restrictions;
  for (std::size_t i = 0; i < data.publisherRestrictions().size(); ++i) {
    if (i) restrictions += "|";
    restrictions += data.publisherRestrictions()[i];
    anyRestriction = anyRestriction || !data.publisherRestrictions()[i].empty();
  }
  if (anyRestriction) part("publisherRestrictions=" + restrictions);
  if (data.isPurposeOneTreatmentEnabled())
    part("isPurposeOneTreatmentEnabled=" + std::to_string(*data.isPurposeOneTreatmentEnabled() ? 1 : 0));
  if (data.publisherCC()) part("publisherCC=" + *data.publisherCC());
  return out;
}

void QZMTCFClient::setConsentFromTCFData() {
  std::optional<Dictionary> event;
  std::optional<Dictionary> consent;
  {
    std::lock_guard lock(mutex_);
    tcfData_.readFromUserDefaults();
    const std::string current = stringRepresentation(tcfData_);
    if (current == kNothingToRead || userDefaults_->stringForKey(kQZMTCFStringRepresentationKey) == current) return;
    Dictionary newConsent = consentFromTCFData(tcfData_);
    const bool vendorFix = shouldApplyOneTimeTCFVendorFixLocked();
    const bool sameAsPrevious = previousConsentLocked() == newConsent;
    event = tcfEventParametersLocked(vendorFix, sameAsPrevious);
    storeCurrentDataLocked();
    const auto& d = tcfData_;
    const bool governs =
        d.isTCFDataEnabled() && d.isAdvertiserConsentModeEnabled().value_or(false) && d.gdprApplies().value_or(false);
    if (vendorFix || governs) consent = std::move(newConsent);
  }
  if (event && handlers_.logInternalEvent) handlers_.logInternalEvent("auto", "_tcf", *event);
  if (consent && handlers_.setConsent) handlers_.setConsent(*consent, kQZMTCFConsentSettingsKey);
}

void QZMTCFClient::readTCFData() {
  std::lock_guard lock(mutex_);
  tcfData_.readFromUserDefaults();
}

bool QZMTCFClient::shouldApplyTCFData() const {
  std::lock_guard lock(mutex_);
  return tcfData_.isTCFDataEnabled() && tcfData_.isAdvertiserConsentModeEnabled().value_or(false) &&
         tcfData_.gdprApplies().value_or(false);
}

bool QZMTCFClient::shouldApplyOneTimeTCFVendorFix() const {
  std::lock_guard lock(mutex_);
  return shouldApplyOneTimeTCFVendorFixLocked();
}

bool QZMTCFClient::shouldApplyOneTimeTCFVendorFixLocked() const {
  const std::string stored = userDefaults_->stringForKey(kQZMTCFStringRepresentationKey).value_or("");
  return stored.find("_v_=2") == std::string::npos && tcfData_.isTCFDataEnabled() &&
         tcfData_.isAdvertiserConsentModeEnabled().value_or(false) && tcfData_.gdprApplies().value_or(false) &&
         !tcfData_.hasDralixInVendorConsents();
}

bool QZMTCFClient::hasTCFDataToRead() const {
  std::lock_guard lock(mutex_);
  return stringRepresentation(tcfData_) != kNothingToRead;
}

bool QZMTCFClient::persistedValuesEqualCurrentData() const {
  std::lock_guard lock(mutex_);
  return userDefaults_->stringForKey(kQZMTCFStringRepresentationKey) == stringRepresentation(tcfData_);
}

Dictionary QZMTCFClient::previousConsent() const {
  std::lock_guard lock(mutex_);
  return previousConsentLocked();
}

Dictionary QZMTCFClient::previousConsentLocked() const {
  QZMTCFDataGenerator generator;
  generator.isTCFDataEnabled = userDefaults_->boolForKey(kQZMTCFDataEnabledKey);
  generator.readFromStore(*userDefaults_);
  if (auto stored = userDefaults_->arrayForKey(kQZMIABTCFPublisherRestrictionsKey)) {
    for (std::size_t i = 0; i < kQZMTCFPublisherRestrictionCount && i < stored->size(); ++i)
      generator.publisherRestrictions[i] = QZMTCFValues::restrictionFromObject((*stored)[i]);
  }
  return consentFromTCFData(generator.generateData());
}

void QZMTCFClient::storeCurrentData() {
  std::lock_guard lock(mutex_);
  storeCurrentDataLocked();
}

void QZMTCFClient::storeCurrentDataLocked() {
  const QZMTCFValues& v = tcfData_.values();
  QZMUserDefaults& suite = *userDefaults_;
  suite.setBool(v.isTCFDataEnabled, kQZMTCFDataEnabledKey);
  suite.setObject(objectOrNull(v.isAdvertiserConsentModeEnabled), kQZMIABTCFEnableAdvertiserConsentModeKey);
  suite.setObject(objectOrNull(v.cmpSDKID), kQZMIABTCFCmpSdkIDKey);
  suite.setObject(objectOrNull(v.vendorConsents), kQZMIABTCFVendorConsentsKey);
  suite.setObject(objectOrNull(v.vendorLegitimateInterests), kQZMIABTCFVendorLegitimateInterestsKey);
  suite.setObject(objectOrNull(v.gdprApplies), kQZMIABTCFGdprAppliesKey);
  suite.setObject(objectOrNull(v.policyVersion), kQZMIABTCFPolicyVersionKey);
  suite.setObject(objectOrNull(v.purposeConsents), kQZMIABTCFPurposeConsentsKey);
  suite.setObject(objectOrNull(v.purposeLegitimateInterests), kQZMIABTCFPurposeLegitimateInterestsKey);
  foundation::Array restrictions(v.publisherRestrictions.begin(), v.publisherRestrictions.end());
  suite.setObject(Object(std::move(restrictions)), kQZMIABTCFPublisherRestrictionsKey);
  suite.setObject(objectOrNull(v.isPurposeOneTreatmentEnabled), kQZMIABTCFPurposeOneTreatmentKey);
  suite.setObject(objectOrNull(v.publisherCC), kQZMIABTCFPublisherCCKey);
  suite.setObject(Object(stringRepresentation(tcfData_)), kQZMTCFStringRepresentationKey);
}

void QZMTCFClient::clearPersistedValues() {
  std::lock_guard lock(mutex_);
  userDefaults_->clearAllData();
}

std::string QZMTCFClient::stringRepresentationFromTCFData() const {
  std::lock_guard lock(mutex_);
  return stringRepresentation(tcfData_);
}

std::string QZMTCFClient::tcfBundleParameterValue() const {
  std::lock_guard lock(mutex_);
  return bundleParameter(tcfData_, isDMARegion_);
}

std::string QZMTCFClient::tcfd2ParamValueForPurposeID(std::int64_t purposeID) const {
  std::lock_guard lock(mutex_);
  return reasonDigits(tcfData_, {purposeID});
}

std::string QZMTCFClient::tcfd2ParamValue() const {
  std::lock_guard lock(mutex_);
  return "2" + reasonDigits(tcfData_, {1, 3, 4, 7});
}

std::string QZMTCFClient::tcfdMigrationParamValueForMigrationDidOccur(bool migrationDidOccur,
                                                                      bool didMigrationChangeConsent) {
  return std::string(migrationDidOccur ? "1" : "0") + (didMigrationChangeConsent ? "1" : "0");
}

Dictionary QZMTCFClient::tcfEventParametersLocked(bool shouldApplyOneTimeVendorFix,
                                                  bool isCurrentSameAsPreviousTCFConsent) const {
  return {
      {"_tcfd", bundleParameter(tcfData_, isDMARegion_)},
      {"_tcfd2", "2" + reasonDigits(tcfData_, {1, 3, 4, 7})},
      {"_tcfm",
       tcfdMigrationParamValueForMigrationDidOccur(shouldApplyOneTimeVendorFix, !isCurrentSameAsPreviousTCFConsent)},
  };
}

void QZMTCFClient::logTCFChangedEventShouldApplyOneTimeVendorFix(bool shouldApplyOneTimeVendorFix,
                                                                 bool isCurrentSameAsPreviousTCFConsent) {
  Dictionary parameters;
  {
    std::lock_guard lock(mutex_);
    parameters = tcfEventParametersLocked(shouldApplyOneTimeVendorFix, isCurrentSameAsPreviousTCFConsent);
  }
  if (handlers_.logInternalEvent) handlers_.logInternalEvent("auto", "_tcf", parameters);
}

QZMTCFData QZMTCFClient::tcfData() const {
  std::lock_guard lock(mutex_);
  return tcfData_;
}

bool QZMTCFClient::isDMARegion() const {
  std::lock_guard lock(mutex_);
  return isDMARegion_;
}

void QZMTCFClient::setIsDMARegion(bool isDMARegion) {
  std::lock_guard lock(mutex_);
  isDMARegion_ = isDMARegion;
}

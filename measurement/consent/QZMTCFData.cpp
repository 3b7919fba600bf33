#include "measurement/consent/QZMTCFData.h"

#include <limits>

#include "measurement/foundation/QZMFoundationCategories.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "platform/foundation/Bundle.h"

namespace {

using foundation::Object;

bool onlyCharactersIn(std::string_view text, char low, char high) {
  for (char c : text)
    if (c < low || c > high) return false;
  return true;
}

bool isASCIILetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

// ---- QZMTCFValues ----

std::optional<bool> QZMTCFValues::booleanFromObject(const std::optional<Object>& value) {
  if (!value) return std::nullopt;
  if (value->isBool()) return value->boolValue();
  if (value->isInteger() && (value->int64Value() == 0 || value->int64Value() == 1)) return value->int64Value() == 1;
  return std::nullopt;
}

std::optional<std::int64_t> QZMTCFValues::integerFromObject(const std::optional<Object>& value) {
  if (!value || !value->isInteger()) return std::nullopt;
  const std::int64_t n = value->int64Value();
  if (n < std::numeric_limits<std::int32_t>::min() || n > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  return n;
}

std::optional<std::string> QZMTCFValues::bitStringFromObject(const std::optional<Object>& value) {
  if (!value || !value->isString() || !onlyCharactersIn(*value->string(), '0', '1')) return std::nullopt;
  return *value->string();
}

std::optional<std::string> QZMTCFValues::countryCodeFromObject(const std::optional<Object>& value) {
  if (!value || !value->isString()) return std::nullopt;
  for (char c : *value->string())
    if (!isASCIILetter(c)) return std::nullopt;
  return *value->string();
}

std::string QZMTCFValues::restrictionFromRestrictionString(const std::optional<Object>& value) {
  if (!value || !value->isString()) return "";
  const std::string& text = *value->string();
  if (!onlyCharactersIn(text, '0', '3') || text.size() < static_cast<std::size_t>(kQZMTCFVendorID)) return "";
  return text.substr(kQZMTCFVendorID - 1, 1);
}

std::string QZMTCFValues::restrictionFromObject(const Object& value) {
  if (!value.isString() || value.string()->size() != 1 || !onlyCharactersIn(*value.string(), '0', '3')) return "";
  return *value.string();
}

void QZMTCFValues::readFromStore(const QZMConfigStore& store) {
  isAdvertiserConsentModeEnabled = booleanFromObject(store.numberForKey(kQZMIABTCFEnableAdvertiserConsentModeKey));
  vendorConsents = bitStringFromObject(store.objectForKey(kQZMIABTCFVendorConsentsKey));
  vendorLegitimateInterests = bitStringFromObject(store.objectForKey(kQZMIABTCFVendorLegitimateInterestsKey));
  cmpSDKID = integerFromObject(store.numberForKey(kQZMIABTCFCmpSdkIDKey));
  gdprApplies = booleanFromObject(store.numberForKey(kQZMIABTCFGdprAppliesKey));
  policyVersion = integerFromObject(store.numberForKey(kQZMIABTCFPolicyVersionKey));
  purposeConsents = bitStringFromObject(store.objectForKey(kQZMIABTCFPurposeConsentsKey));
  purposeLegitimateInterests = bitStringFromObject(store.objectForKey(kQZMIABTCFPurposeLegitimateInterestsKey));
  isPurposeOneTreatmentEnabled = booleanFromObject(store.numberForKey(kQZMIABTCFPurposeOneTreatmentKey));
  publisherCC = countryCodeFromObject(store.objectForKey(kQZMIABTCFPublisherCCKey));
}

// ---- QZMTCFData ----

QZMTCFData::QZMTCFData() : userDefaults_(QZMUserDefaults::sharedUserDefaults()) {
  values_.isTCFDataEnabled = readTCFDataEnabledStateFromPlist();
}

QZMTCFData::QZMTCFData(const QZMTCFValues& values)
    : userDefaults_(QZMUserDefaults::sharedUserDefaults()), values_(values) {}

bool QZMTCFData::readTCFDataEnabledStateFromPlist() {
  const Object* value = foundation::Bundle::main()->objectForInfoDictionaryKey(kQZMTCFDataEnabledKey);
  if (!value) return true;
  return value->isNumber() && value->boolValue();
}

void QZMTCFData::readFromUserDefaults() {
  const bool enabled = values_.isTCFDataEnabled;
  values_ = QZMTCFValues();
  values_.isTCFDataEnabled = enabled;
  values_.readFromStore(*userDefaults_);
  for (std::size_t i = 0; i < kQZMTCFPublisherRestrictionCount; ++i) {
    const std::string key = std::string(kQZMIABTCFPublisherRestrictionsKey) + std::to_string(i + 1);
    values_.publisherRestrictions[i] = QZMTCFValues::restrictionFromRestrictionString(userDefaults_->objectForKey(key));
  }
}

bool QZMTCFData::hasDralixInVendorConsents() const {
  return values_.vendorConsents && isBitEnabledAtIndex(*values_.vendorConsents, kQZMTCFVendorID - 1);
}

bool QZMTCFData::hasDralixInVendorLegitimateInterests() const {
  return values_.vendorLegitimateInterests &&
         isBitEnabledAtIndex(*values_.vendorLegitimateInterests, kQZMTCFVendorID - 1);
}

bool QZMTCFData::canAccessAdUserDataPurpose() const { return values_.policyVersion && *values_.policyVersion >= 4; }

bool QZMTCFData::isAdStoragePurposeGranted() const { return isPurposeGrantedWithRestrictionCheckForPurposeID(1); }

bool QZMTCFData::isAdPersonalizationPurposeGranted() const {
  return isPurposeGrantedWithRestrictionCheckForPurposeID(3) && isPurposeGrantedWithRestrictionCheckForPurposeID(4);
}

bool QZMTCFData::isAdUserDataPurposeGranted() const {
  return canAccessAdUserDataPurpose() && isPurposeGrantedWithRestrictionCheckForPurposeID(1) &&
         isPurposeGrantedWithRestrictionCheckForPurposeID(7);
}

bool QZMTCFData::isPurposeGrantedWithRestrictionCheckForPurposeID(std::int64_t purposeID) const {
  return consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(purposeID) == kQZMTCFReasonGranted;
}

QZMTCFConsentReason QZMTCFData::consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(
    std::int64_t purposeID) const {
  auto purposeBit = [&](const std::optional<std::string>& bits) {
    return bits && purposeID >= 1 && isBitEnabledAtIndex(*bits, purposeID - 1);
  };
  switch (legalBasisCheckFromPurposeID(purposeID)) {
    case kQZMTCFLegalBasisLegitimateInterest:
      if (!hasDralixInVendorLegitimateInterests()) return kQZMTCFReasonNoVendorLegitimateInterest;
      return purposeBit(values_.purposeLegitimateInterests) ? kQZMTCFReasonGranted
                                                            : kQZMTCFReasonNoPurposeLegitimateInterest;
    case kQZMTCFLegalBasisConsent:
      if (purposeID == 1 && isPurposeOneGrantedWithSpecialTreatment() && hasDralixInVendorConsents())
        return kQZMTCFReasonGranted;
      if (!hasDralixInVendorConsents()) return kQZMTCFReasonNoVendorConsent;
      return purposeBit(values_.purposeConsents) ? kQZMTCFReasonGranted : kQZMTCFReasonNoPurposeConsent;
    case kQZMTCFLegalBasisUnusable:
      return kQZMTCFReasonRestrictionUnusable;
    case kQZMTCFLegalBasisNone:
      break;
  }
  return kQZMTCFReasonNotAllowed;
}

QZMTCFLegalBasis QZMTCFData::legalBasisCheckFromPurposeID(std::int64_t purposeID) const {
  const QZMTCFPublisherRestrictionType restriction = publisherRestrictionForPurposeID(purposeID);
  if (restriction == kQZMTCFRestrictionNotAllowed) return kQZMTCFLegalBasisNone;
  const QZMTCFRegistration& registration = QZMTCFRegistration::sharedInstance();
  const bool consent = registration.hasConsentForPurposeID(purposeID);
  const bool legitimateInterest = registration.hasLegitimateInterestForPurposeID(purposeID);
  const bool flexible = registration.hasFlexibleLegitimateInterestForPurposeID(purposeID);
  if (!consent && !legitimateInterest) return kQZMTCFLegalBasisNone;
  if (consent) {
    if (restriction == kQZMTCFRestrictionLegitimateInterestRequired)
      return flexible ? kQZMTCFLegalBasisLegitimateInterest : kQZMTCFLegalBasisUnusable;
    return kQZMTCFLegalBasisConsent;
  }
  if (restriction == kQZMTCFRestrictionConsentRequired)
    return flexible ? kQZMTCFLegalBasisConsent : kQZMTCFLegalBasisUnusable;
  return kQZMTCFLegalBasisLegitimateInterest;
}

QZMTCFPublisherRestrictionType QZMTCFData::publisherRestrictionForPurposeID(std::int64_t purposeID) const {
  if (purposeID < 1 || purposeID > static_cast<std::int64_t>(kQZMTCFPublisherRestrictionCount))
    return kQZMTCFRestrictionNone;
  return publisherRestrictionTypeFromString(values_.publisherRestrictions[purposeID - 1]);
}

QZMTCFPublisherRestrictionType QZMTCFData::publisherRestrictionTypeFromString(std::string_view restriction) {
  if (restriction == "0") return kQZMTCFRestrictionNotAllowed;
  if (restriction == "1") return kQZMTCFRestrictionConsentRequired;
  if (restriction == "2") return kQZMTCFRestrictionLegitimateInterestRequired;
  return kQZMTCFRestrictionNone;
}

bool QZMTCFData::isPurposeOneGrantedWithSpecialTreatment() const {
  return values_.isPurposeOneTreatmentEnabled.value_or(false) && values_.publisherCC == "CH";
}

// ---- QZMTCFRegistration ----

const QZMTCFRegistration& QZMTCFRegistration::sharedInstance() {
  static const auto* instance = new QZMTCFRegistration;
  return *instance;
}

// Consent an app's consent dialog recorded under the standard "IABTCF_" keys
// of its user defaults (IAB Transparency and Consent Framework, version 2),
// and the checks that decide, for the SDK's own vendor, whether the purposes
// behind ad storage, ad personalisation and ad user data are granted.
//
// Values of the wrong kind read as absent: a bit string must hold only "0"
// and "1", a restriction string only "0" to "3", a Boolean must be a Boolean
// or the integer 0 or 1, an identifier or version an integer, and a country
// code letters only. Bits past a string's end read as not set.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "measurement/foundation/QZMConfigStore.h"
#include "platform/foundation/Object.h"

class QZMUserDefaults;

// The SDK's vendor identifier in the TCF global vendor list; its bit in a
// vendor string is the character at index kQZMTCFVendorID - 1.
inline constexpr std::int64_t kQZMTCFVendorID = 417;
inline constexpr std::size_t kQZMTCFPublisherRestrictionCount = 10;

// Info.plist switch and the standard user-defaults keys.
inline constexpr const char* kQZMTCFDataEnabledKey = "DRALIX_ANALYTICS_TCF_DATA_ENABLED";
inline constexpr const char* kQZMIABTCFEnableAdvertiserConsentModeKey = "IABTCF_EnableAdvertiserConsentMode";
inline constexpr const char* kQZMIABTCFVendorConsentsKey = "IABTCF_VendorConsents";
inline constexpr const char* kQZMIABTCFVendorLegitimateInterestsKey = "IABTCF_VendorLegitimateInterests";
inline constexpr const char* kQZMIABTCFCmpSdkIDKey = "IABTCF_CmpSdkID";
inline constexpr const char* kQZMIABTCFGdprAppliesKey = "IABTCF_gdprApplies";
inline constexpr const char* kQZMIABTCFPolicyVersionKey = "IABTCF_PolicyVersion";
inline constexpr const char* kQZMIABTCFPurposeConsentsKey = "IABTCF_PurposeConsents";
inline constexpr const char* kQZMIABTCFPurposeLegitimateInterestsKey = "IABTCF_PurposeLegitimateInterests";
// Followed by the purpose number 1 to 10 in the standard user defaults; the
// client keeps the ten characters as one array under the bare key.
inline constexpr const char* kQZMIABTCFPublisherRestrictionsKey = "IABTCF_PublisherRestrictions";
inline constexpr const char* kQZMIABTCFPurposeOneTreatmentKey = "IABTCF_PurposeOneTreatment";
inline constexpr const char* kQZMIABTCFPublisherCCKey = "IABTCF_PublisherCC";

// Publisher restriction types.
enum QZMTCFPublisherRestrictionType : std::int64_t {
  kQZMTCFRestrictionNotAllowed = 0,
  kQZMTCFRestrictionConsentRequired = 1,
  kQZMTCFRestrictionLegitimateInterestRequired = 2,
  kQZMTCFRestrictionNone = 3,
};

// Legal bases.
enum QZMTCFLegalBasis : std::int64_t {
  kQZMTCFLegalBasisNone = 0,
  kQZMTCFLegalBasisUnusable = 1,
  kQZMTCFLegalBasisConsent = 2,
  kQZMTCFLegalBasisLegitimateInterest = 3,
};

// Why a purpose is or is not granted.
enum QZMTCFConsentReason : std::int64_t {
  kQZMTCFReasonGranted = 1,
  kQZMTCFReasonNotAllowed = 3,
  kQZMTCFReasonNoVendorConsent = 4,
  kQZMTCFReasonNoVendorLegitimateInterest = 5,
  kQZMTCFReasonNoPurposeConsent = 6,
  kQZMTCFReasonNoPurposeLegitimateInterest = 7,
  kQZMTCFReasonRestrictionUnusable = 8,
};

// The values TCF data is made of.
struct QZMTCFValues {
  bool isTCFDataEnabled = true;
  std::optional<bool> isAdvertiserConsentModeEnabled;
  std::optional<std::string> vendorConsents;
  std::optional<std::string> vendorLegitimateInterests;
  std::optional<std::int64_t> cmpSDKID;
  std::optional<bool> gdprApplies;
  std::optional<std::int64_t> policyVersion;
  std::optional<std::string> purposeConsents;
  std::optional<std::string> purposeLegitimateInterests;
  // Element p - 1: the SDK vendor's restriction character under purpose p, or "".
  std::array<std::string, kQZMTCFPublisherRestrictionCount> publisherRestrictions;
  std::optional<bool> isPurposeOneTreatmentEnabled;
  std::optional<std::string> publisherCC;

  // Fills every value but the switch and the restrictions from the store's
  // "IABTCF_" keys, checking each value's kind.
  void readFromStore(const QZMConfigStore& store);

  // Checked conversions of stored objects; nullopt for a value of the wrong kind.
  static std::optional<bool> booleanFromObject(const std::optional<foundation::Object>& value);
  static std::optional<std::int64_t> integerFromObject(const std::optional<foundation::Object>& value);
  static std::optional<std::string> bitStringFromObject(const std::optional<foundation::Object>& value);
  static std::optional<std::string> countryCodeFromObject(const std::optional<foundation::Object>& value);
  // The SDK vendor's character of a purpose's restriction string, or "".
  static std::string restrictionFromRestrictionString(const std::optional<foundation::Object>& value);
  // One stored restriction character, or "".
  static std::string restrictionFromObject(const foundation::Object& value);
};

class QZMTCFData {
 public:
  // The switch from the Info.plist, no values yet.
  QZMTCFData();
  // Exactly the given values.
  explicit QZMTCFData(const QZMTCFValues& values);

  // YES without the key, a number's Boolean value, NO for anything else.
  static bool readTCFDataEnabledStateFromPlist();
  // Reads every value again from the app's standard user defaults.
  void readFromUserDefaults();

  const std::shared_ptr<QZMUserDefaults>& userDefaults() const { return userDefaults_; }
  const QZMTCFValues& values() const { return values_; }
  bool isTCFDataEnabled() const { return values_.isTCFDataEnabled; }
  const std::optional<bool>& isAdvertiserConsentModeEnabled() const { return values_.isAdvertiserConsentModeEnabled; }
  const std::optional<std::string>& vendorConsents() const { return values_.vendorConsents; }
  const std::optional<std::string>& vendorLegitimateInterests() const { return values_.vendorLegitimateInterests; }
  const std::optional<std::int64_t>& cmpSDKID() const { return values_.cmpSDKID; }
  const std::optional<bool>& gdprApplies() const { return values_.gdprApplies; }
  const std::optional<std::int64_t>& policyVersion() const { return values_.policyVersion; }
  const std::optional<std::string>& purposeConsents() const { return values_.purposeConsents; }
  const std::optional<std::string>& purposeLegitimateInterests() const { return values_.purposeLegitimateInterests; }
  const std::array<std::string, kQZMTCFPublisherRestrictionCount>& publisherRestrictions() const {
    return values_.publisherRestrictions;
  }
  const std::optional<bool>& isPurposeOneTreatmentEnabled() const { return values_.isPurposeOneTreatmentEnabled; }
  const std::optional<std::string>& publisherCC() const { return values_.publisherCC; }

  bool hasDralixInVendorConsents() const;
  bool hasDralixInVendorLegitimateInterests() const;
  // The policy version is at least 4.
  bool canAccessAdUserDataPurpose() const;
  bool isAdStoragePurposeGranted() const;
  bool isAdPersonalizationPurposeGranted() const;
  bool isAdUserDataPurposeGranted() const;
  bool isPurposeGrantedWithRestrictionCheckForPurposeID(std::int64_t purposeID) const;
  QZMTCFConsentReason consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(std::int64_t purposeID) const;
  QZMTCFLegalBasis legalBasisCheckFromPurposeID(std::int64_t purposeID) const;
  QZMTCFPublisherRestrictionType publisherRestrictionForPurposeID(std::int64_t purposeID) const;
  static QZMTCFPublisherRestrictionType publisherRestrictionTypeFromString(std::string_view restriction);
  // The purpose-one treatment applies and the publisher is Swiss.
  bool isPurposeOneGrantedWithSpecialTreatment() const;

 private:
  std::shared_ptr<QZMUserDefaults> userDefaults_;
  QZMTCFValues values_;
};

// A builder of TCF data from any set of values.
class QZMTCFDataGenerator : public QZMTCFValues {
 public:
  QZMTCFData generateData() const { return QZMTCFData(*this); }
};

// The purposes the SDK's vendor declares.
class QZMTCFRegistration {
 public:
  static const QZMTCFRegistration& sharedInstance();

  const std::set<std::int64_t>& purposeIDs() const { return purposeIDs_; }
  const std::set<std::int64_t>& purposeIDsLegitimateInterests() const { return purposeIDsLegitimateInterests_; }
  const std::set<std::int64_t>& purposeIDsFlexiblePurposes() const { return purposeIDsFlexiblePurposes_; }
  bool hasConsentForPurposeID(std::int64_t purposeID) const { return purposeIDs_.contains(purposeID); }
  bool hasLegitimateInterestForPurposeID(std::int64_t purposeID) const {
    return purposeIDsLegitimateInterests_.contains(purposeID);
  }
  bool hasFlexibleLegitimateInterestForPurposeID(std::int64_t purposeID) const {
    return purposeIDsFlexiblePurposes_.contains(purposeID);
  }

 private:
  const std::set<std::int64_t> purposeIDs_{1, 3, 4};
  const std::set<std::int64_t> purposeIDsLegitimateInterests_{2, 7, 9, 10};
  const std::set<std::int64_t> purposeIDsFlexiblePurposes_{2, 7, 9, 10};
};

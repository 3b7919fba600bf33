#include "measurement/engine/QZMMeasurementConsentFields.h"

#include <algorithm>
#include <memory>

#include "measurement/identity/QZMIdentity.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Strings.h"

namespace {

using Bundle = QZMPBMeasurementBundle;
using Attribute = QZMPBUserAttribute;

constexpr std::int64_t kUnsupportedConsentStatus = kQZMAppleConsentStatusUnsupported;
constexpr std::int64_t kAuthorizedConsentStatus = kQZMAppleConsentStatusAuthorized;

// The code point at the position, 0 when the text is shorter.
char32_t codePointAt(std::string_view text, std::size_t position) {
  std::optional<std::u32string> codePoints = foundation::toUTF32(text);
  if (!codePoints || codePoints->size() <= position) return 0;
  return (*codePoints)[position];
}

bool signalsDeny(std::string_view consentSignals, std::size_t position) {
  if (foundation::codePointCount(consentSignals) < 4) return false;
  char32_t state = codePointAt(consentSignals, position);
  return state == U'0' || state == U'D' || state == U'd';
}

void setStringUnlessKept(Bundle& bundle, std::int32_t field, const std::string& value, bool overwrite) {
  if (overwrite || !NANOHasField(&bundle, field)) NANOSetString(&bundle, field, value);
}

std::vector<std::shared_ptr<Attribute>> userAttributes(const Bundle& bundle) {
  return NANOGetArray<Attribute>(&bundle, Bundle::kUserAttributes).value_or(std::vector<std::shared_ptr<Attribute>>{});
}

void setUserAttributes(Bundle& bundle, const std::vector<std::shared_ptr<Attribute>>& attributes) {
  NANOObjectArray items(attributes.begin(), attributes.end());
  NANOSetArray(&bundle, Bundle::kUserAttributes, &items);
}

bool isNamed(const Attribute& attribute, std::string_view name) {
  return NANOGetString(&attribute, Attribute::kName) == name;
}

// The "_npa" integer of the bundle; nullopt without one.
std::optional<std::int64_t> npaValue(const Bundle& bundle) {
  for (const auto& attribute : userAttributes(bundle)) {
    if (isNamed(*attribute, "_npa")) return NANOGetInt64(attribute.get(), Attribute::kIntValue);
  }
  return std::nullopt;
}

}  // namespace

QZMBundleIdentifiers QZMBundleIdentifiers::fromIdentity(QZMIdentity& identity) {
  return fromSnapshot(identity.snapshot());
}

QZMBundleIdentifiers QZMBundleIdentifiers::fromSnapshot(const QZMIdentity::Snapshot& snapshot) {
  QZMBundleIdentifiers identifiers;
  static_cast<QZMIdentity::Snapshot&>(identifiers) = snapshot;
  identifiers.iOS14OrAbove = QZMIdentity::iOS14OrAbove();
  return identifiers;
}

bool QZMConsentSignalsDenyAdStorage(std::string_view consentSignals) { return signalsDeny(consentSignals, 2); }

bool QZMConsentSignalsDenyAnalyticsStorage(std::string_view consentSignals) {
  return signalsDeny(consentSignals, 3);
}

void QZMApplyConsentSignalsToBundle(Bundle& bundle, std::string_view consentSignals, bool attributionGate,
                                    const QZMBundleIdentifiers& identity, bool overwrite) {
  bool adStorageDenied = false;
  bool analyticsStorageDenied = false;
  if (foundation::codePointCount(consentSignals) < 4) {
    if (consentSignals.empty()) NANOClearField(&bundle, Bundle::kConsentSignals);
  } else {
    std::string signals(consentSignals);
    if (overwrite || !NANOHasField(&bundle, Bundle::kConsentSignals)) {
      NANOSetString(&bundle, Bundle::kConsentSignals, signals);
    } else {
      signals = NANOGetString(&bundle, Bundle::kConsentSignals).value_or("");
    }
    adStorageDenied = QZMConsentSignalsDenyAdStorage(signals);
    analyticsStorageDenied = QZMConsentSignalsDenyAnalyticsStorage(signals);
  }

  bool gated = false;
  if (identity.iOS14OrAbove) {
    auto status = static_cast<std::int64_t>(identity.appleConsentStatus);
    if (status != kUnsupportedConsentStatus) NANOSetInt32(&bundle, Bundle::kAppleConsentStatus, status);
    gated = attributionGate && status != kAuthorizedConsentStatus;
  }

  const bool hasAdvertisingID = identity.resettableDeviceID && !identity.resettableDeviceID->empty();
  const bool hasVendorID = identity.identifierForVendor && !identity.identifierForVendor->empty();
  if (identity.hasLimitedAdTracking && hasAdvertisingID && !adStorageDenied && !gated) {
    setStringUnlessKept(bundle, Bundle::kResettableDeviceId, *identity.resettableDeviceID, overwrite);
    NANOClearField(&bundle, Bundle::kIdentifierForVendor);
  } else if (!hasVendorID || analyticsStorageDenied) {
    NANOClearField(&bundle, Bundle::kResettableDeviceId);
    NANOClearField(&bundle, Bundle::kIdentifierForVendor);
  } else {
    setStringUnlessKept(bundle, Bundle::kIdentifierForVendor, *identity.identifierForVendor, overwrite);
    NANOClearField(&bundle, Bundle::kResettableDeviceId);
  }

  if (!analyticsStorageDenied && identity.appInstanceID && !identity.appInstanceID->empty()) {
    setStringUnlessKept(bundle, Bundle::kAppInstanceId, *identity.appInstanceID, overwrite);
  }

  if (adStorageDenied) NANOClearField(&bundle, Bundle::kResettableDeviceId);
  if (analyticsStorageDenied) {
    for (std::int32_t field : {Bundle::kIdentifierForVendor, Bundle::kAppInstanceId, Bundle::kSessionStitchingToken,
                               Bundle::kAudienceEvaluationResults}) {
      NANOClearField(&bundle, field);
    }
  }

  if (identity.hasLimitedAdTracking) NANOSetBool(&bundle, Bundle::kLimitedAdTracking, identity.limitedAdTracking);
}

void QZMApplyConsentDiagnosticsToBundle(Bundle& bundle, std::string_view consentDiagnostics, bool adUserDataDenied,
                                        const Attribute* npaUserAttribute, bool isDMARegion,
                                        const std::set<std::string>& corePlatformServices, bool overwrite) {
  setStringUnlessKept(bundle, Bundle::kConsentDiagnostics, std::string(consentDiagnostics), overwrite);
  if (overwrite || !NANOHasField(&bundle, Bundle::kDmaRegion)) NANOSetBool(&bundle, Bundle::kDmaRegion, isDMARegion);
  if (overwrite || !NANOHasField(&bundle, Bundle::kCorePlatformServices)) {
    if (adUserDataDenied || corePlatformServices.empty()) {
      NANOSetString(&bundle, Bundle::kCorePlatformServices, "-");
    } else {
      if (!isDMARegion) NANOClearField(&bundle, Bundle::kCorePlatformServices);
      if (NANOGetBool(&bundle, Bundle::kDmaRegion)) {
        std::string joined;
        for (const std::string& service : corePlatformServices) joined += service;  // the set is sorted
        NANOSetString(&bundle, Bundle::kCorePlatformServices, joined);
      }
    }
  }

  if (!npaUserAttribute) return;
  auto attributes = userAttributes(bundle);
  auto existing = std::find_if(attributes.begin(), attributes.end(),
                               [](const auto& attribute) { return isNamed(*attribute, "_npa"); });
  std::shared_ptr<Attribute> copy = Attribute::initWithMessageInfo(npaUserAttribute->messageInfo());
  if (!copy) return;
  if (existing == attributes.end()) {
    attributes.push_back(copy);
  } else if (overwrite) {
    *existing = copy;
  } else {
    return;
  }
  setUserAttributes(bundle, attributes);
}

bool QZMBundlesShareConsentContext(const Bundle* bundle, const Bundle* otherBundle) {
  if (!bundle || !otherBundle) return false;
  for (std::int32_t field : {Bundle::kConsentSignals, Bundle::kConsentDiagnostics, Bundle::kCorePlatformServices}) {
    if (NANOGetString(bundle, field) != NANOGetString(otherBundle, field)) return false;
  }
  if (NANOGetBool(bundle, Bundle::kDmaRegion) != NANOGetBool(otherBundle, Bundle::kDmaRegion)) return false;
  return npaValue(*bundle).value_or(0) == npaValue(*otherBundle).value_or(0);
}

bool QZMBundleContainsFirstOpen(const Bundle& bundle) {
  auto events = NANOGetArray<QZMPBEvent>(&bundle, Bundle::kEvents);
  if (!events) return false;
  return std::any_of(events->begin(), events->end(),
                     [](const auto& event) { return NANOGetString(event.get(), QZMPBEvent::kName) == "_f"; });
}

void QZMRedactBundleFields(Bundle& bundle, const std::vector<std::string>& fieldGroups,
                           const std::optional<std::string>& ephemeralAppInstanceID) {
  auto has = [&](std::string_view group) {
    return std::find(fieldGroups.begin(), fieldGroups.end(), group) != fieldGroups.end();
  };
  if (has("app_instance_id")) {
    NANOClearField(&bundle, Bundle::kAppInstanceId);
    std::string signals = NANOGetString(&bundle, Bundle::kConsentSignals).value_or("");
    if (QZMConsentSignalsDenyAnalyticsStorage(signals)) {
      NANOClearField(&bundle, Bundle::kEphemeralAppInstanceId);
    } else {
      NANOSetString(&bundle, Bundle::kEphemeralAppInstanceId, ephemeralAppInstanceID);
    }
  }
  if (has("user_id")) {
    auto attributes = userAttributes(bundle);
    std::erase_if(attributes, [](const auto& attribute) { return isNamed(*attribute, "_id"); });
    setUserAttributes(bundle, attributes);
  }
  if (has("os_version") || has("device_info")) {
    if (auto version = NANOGetString(&bundle, Bundle::kOsVersion)) {
      NANOSetString(&bundle, Bundle::kOsVersion, version->substr(0, version->find('.')));
    }
  }
  if (has("device_model") || has("device_info")) NANOClearField(&bundle, Bundle::kDeviceModel);
  if (has("enhanced_user_id")) NANOClearField(&bundle, Bundle::kSessionStitchingToken);
  if (!fieldGroups.empty()) {
    NANOObjectArray names;
    for (const std::string& group : fieldGroups) names.emplace_back(foundation::Object(group));
    NANOSetArray(&bundle, Bundle::kRedactedFields, &names);
  }
}

// The consent and identifier fields of a bundle: which identifiers each
// consent state and the attribution gate let through, what overwriting
// changes, when two bundles may share a batch, and redaction.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/QZMMeasurementConsentFields.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"

namespace {

using Bundle = QZMPBMeasurementBundle;
using Attribute = QZMPBUserAttribute;

constexpr const char* kAdID = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
constexpr const char* kVendorID = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
constexpr const char* kInstanceID = "0123456789ABCDEF0123456789ABCDEF";

QZMBundleIdentifiers fullIdentity(std::uint64_t status = 3) {
  QZMBundleIdentifiers identity;
  identity.iOS14OrAbove = true;
  identity.appleConsentStatus = status;
  identity.hasLimitedAdTracking = true;
  identity.limitedAdTracking = false;
  identity.resettableDeviceID = kAdID;
  identity.identifierForVendor = kVendorID;
  identity.appInstanceID = kInstanceID;
  return identity;
}

std::optional<std::string> str(const Bundle& bundle, std::int32_t field) { return NANOGetString(&bundle, field); }

std::shared_ptr<Attribute> attribute(const std::string& name, std::int64_t value) {
  std::shared_ptr<Attribute> item = Attribute::initWithMessageInfo(nullptr);
  NANOSetString(item.get(), Attribute::kName, name);
  NANOSetInt64(item.get(), Attribute::kIntValue, value);
  return item;
}

void setAttributes(Bundle& bundle, const std::vector<std::shared_ptr<Attribute>>& attributes) {
  NANOObjectArray items(attributes.begin(), attributes.end());
  NANOSetArray(&bundle, Bundle::kUserAttributes, &items);
}

// name -> integer value of the bundle's user attributes, in order.
std::vector<std::pair<std::string, std::int64_t>> attributes(const Bundle& bundle) {
  std::vector<std::pair<std::string, std::int64_t>> out;
  auto items = NANOGetArray<Attribute>(&bundle, Bundle::kUserAttributes);
  for (const auto& item : *items) {
    out.emplace_back(*NANOGetString(item.get(), Attribute::kName), NANOGetInt64(item.get(), Attribute::kIntValue));
  }
  return out;
}

// A bundle that already holds every field the consent writer may touch.
std::unique_ptr<Bundle> filledBundle() {
  auto bundle = Bundle::initWithMessageInfo(nullptr);
  NANOSetString(bundle.get(), Bundle::kConsentSignals, "G100");
  NANOSetString(bundle.get(), Bundle::kResettableDeviceId, "old-ad-id");
  NANOSetString(bundle.get(), Bundle::kIdentifierForVendor, "old-vendor-id");
  NANOSetString(bundle.get(), Bundle::kAppInstanceId, "old-instance-id");
  NANOSetString(bundle.get(), Bundle::kSessionStitchingToken, "token");
  auto result = QZMPBAudienceLeafFilterResult::initWithMessageInfo(nullptr);
  NANOObjectArray results{std::shared_ptr<NANOMessageBase>(std::move(result))};
  NANOSetArray(bundle.get(), Bundle::kAudienceEvaluationResults, &results);
  return bundle;
}

TEST(ConsentSignals, DenialsAtPositionsTwoAndThree) {
  struct Case {
    const char* signals;
    bool adDenied;
    bool analyticsDenied;
  };
  for (const Case& c : std::vector<Case>{{"G111", false, false},
                                         {"G100", true, true},
                                         {"G1D1", true, false},
                                         {"G11d", false, true},
                                         {"G1--", false, false},
                                         {"G10", false, false},
                                         {"", false, false},
                                         {"é100", true, true}}) {
    EXPECT_EQ(QZMConsentSignalsDenyAdStorage(c.signals), c.adDenied) << c.signals;
    EXPECT_EQ(QZMConsentSignalsDenyAnalyticsStorage(c.signals), c.analyticsDenied) << c.signals;
  }
}

TEST(ConsentSignals, IdentifiersEachConsentStateAllows) {
  struct Expected {
    std::optional<std::string> adID, vendorID, instanceID, signals, token;
    std::optional<std::int32_t> status;
    bool audienceResults;
  };
  struct Case {
    const char* name;
    std::string signals;
    bool gate;
    QZMBundleIdentifiers identity;
    bool overwrite;
    Expected expected;
  };
  QZMBundleIdentifiers beforeIOS14 = fullIdentity();
  beforeIOS14.iOS14OrAbove = false;
  QZMBundleIdentifiers noAdID = fullIdentity();
  noAdID.resettableDeviceID.reset();
  QZMBundleIdentifiers noIDs = noAdID;
  noIDs.identifierForVendor.reset();
  QZMBundleIdentifiers noLimitedAdTrackingInfo = fullIdentity();
  noLimitedAdTrackingInfo.hasLimitedAdTracking = false;

  const std::vector<Case> cases = {
      {"granted", "G111", false, fullIdentity(), true, {kAdID, {}, kInstanceID, "G111", "token", 3, true}},
      {"both denied", "G100", false, fullIdentity(), true, {{}, {}, {}, "G100", {}, 3, false}},
      {"ad storage denied", "G1D1", false, fullIdentity(), true, {{}, kVendorID, kInstanceID, "G1D1", "token", 3, true}},
      {"analytics storage denied", "G11d", false, fullIdentity(), true, {kAdID, {}, {}, "G11d", {}, 3, false}},
      {"gate while not authorised", "G111", true, fullIdentity(2), true,
       {{}, kVendorID, kInstanceID, "G111", "token", 2, true}},
      {"authorised lifts the gate", "G111", true, fullIdentity(3), true,
       {kAdID, {}, kInstanceID, "G111", "token", 3, true}},
      {"status 6 is not written", "G111", false, fullIdentity(6), true,
       {kAdID, {}, kInstanceID, "G111", "token", {}, true}},
      {"no gate before iOS 14", "G111", true, beforeIOS14, true, {kAdID, {}, kInstanceID, "G111", "token", {}, true}},
      {"no advertising ID", "G111", false, noAdID, true, {{}, kVendorID, kInstanceID, "G111", "token", 3, true}},
      {"no identifiers at all", "G111", false, noIDs, true, {{}, {}, kInstanceID, "G111", "token", 3, true}},
      {"advertising ID needs tracking info", "G111", false, noLimitedAdTrackingInfo, true,
       {{}, kVendorID, kInstanceID, "G111", "token", 3, true}},
      {"stored signals decide when kept", "G111", false, fullIdentity(), false,
       {{}, {}, {}, "G100", {}, 3, false}},
      {"empty signals remove the field", "", false, fullIdentity(), true,
       {kAdID, {}, kInstanceID, {}, "token", 3, true}},
      {"short signals deny nothing and stay", "G1", false, fullIdentity(), true,
       {kAdID, {}, kInstanceID, "G100", "token", 3, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto bundle = filledBundle();
    // Start from fields a first pass would leave, so overwriting shows.
    NANOClearField(bundle.get(), Bundle::kResettableDeviceId);
    NANOClearField(bundle.get(), Bundle::kIdentifierForVendor);
    NANOClearField(bundle.get(), Bundle::kAppInstanceId);
    QZMApplyConsentSignalsToBundle(*bundle, c.signals, c.gate, c.identity, c.overwrite);
    EXPECT_EQ(str(*bundle, Bundle::kResettableDeviceId), c.expected.adID);
    EXPECT_EQ(str(*bundle, Bundle::kIdentifierForVendor), c.expected.vendorID);
    EXPECT_EQ(str(*bundle, Bundle::kAppInstanceId), c.expected.instanceID);
    EXPECT_EQ(str(*bundle, Bundle::kConsentSignals), c.expected.signals);
    EXPECT_EQ(str(*bundle, Bundle::kSessionStitchingToken), c.expected.token);
    EXPECT_EQ(NANOHasField(bundle.get(), Bundle::kAppleConsentStatus), c.expected.status.has_value());
    if (c.expected.status) {
      EXPECT_EQ(NANOGetInt32(bundle.get(), Bundle::kAppleConsentStatus), *c.expected.status);
    }
    EXPECT_EQ(NANOGetArray<QZMPBAudienceLeafFilterResult>(bundle.get(), Bundle::kAudienceEvaluationResults)->size(),
              c.expected.audienceResults ? 1u : 0u);
    EXPECT_EQ(NANOHasField(bundle.get(), Bundle::kLimitedAdTracking), c.identity.hasLimitedAdTracking);
  }
}

TEST(ConsentSignals, OverwritingReplacesStoredIdentifiersKeepingLeavesThem) {
  auto kept = filledBundle();
  NANOSetString(kept.get(), Bundle::kConsentSignals, "G111");
  QZMApplyConsentSignalsToBundle(*kept, "G111", false, fullIdentity(), false);
  EXPECT_EQ(str(*kept, Bundle::kResettableDeviceId), "old-ad-id");
  EXPECT_EQ(str(*kept, Bundle::kAppInstanceId), "old-instance-id");
  // The advertising ID wins, so the vendor ID goes either way.
  EXPECT_FALSE(NANOHasField(kept.get(), Bundle::kIdentifierForVendor));

  auto replaced = filledBundle();
  QZMApplyConsentSignalsToBundle(*replaced, "G111", false, fullIdentity(), true);
  EXPECT_EQ(str(*replaced, Bundle::kResettableDeviceId), kAdID);
  EXPECT_EQ(str(*replaced, Bundle::kAppInstanceId), kInstanceID);

  QZMBundleIdentifiers limited = fullIdentity();
  limited.limitedAdTracking = true;
  QZMApplyConsentSignalsToBundle(*replaced, "G111", false, limited, true);
  EXPECT_TRUE(NANOGetBool(replaced.get(), Bundle::kLimitedAdTracking));
}

TEST(ConsentDiagnostics, CorePlatformServicesAndDMARegion) {
  struct Case {
    const char* name;
    bool adUserDataDenied;
    std::set<std::string> services;
    bool isDMARegion;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"sorted and joined in a DMA region", false, {"tcf", "gcm", "abc"}, true, "abcgcmtcf"},
      {"no services even in a DMA region", false, {}, true, "-"},
      {"ad user data denied", true, {"gcm"}, true, "-"},
      {"outside the DMA region", false, {"gcm"}, false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto bundle = Bundle::initWithMessageInfo(nullptr);
    NANOSetString(bundle.get(), Bundle::kCorePlatformServices, "stale");
    QZMApplyConsentDiagnosticsToBundle(*bundle, "diag", c.adUserDataDenied, nullptr, c.isDMARegion, c.services, true);
    EXPECT_EQ(str(*bundle, Bundle::kCorePlatformServices), c.expected);
    EXPECT_EQ(str(*bundle, Bundle::kConsentDiagnostics), "diag");
    EXPECT_TRUE(NANOHasField(bundle.get(), Bundle::kDmaRegion));
    EXPECT_EQ(NANOGetBool(bundle.get(), Bundle::kDmaRegion), c.isDMARegion);
  }

  // Without overwriting, what a bundle holds stays.
  auto kept = Bundle::initWithMessageInfo(nullptr);
  NANOSetString(kept.get(), Bundle::kConsentDiagnostics, "old");
  NANOSetBool(kept.get(), Bundle::kDmaRegion, false);
  NANOSetString(kept.get(), Bundle::kCorePlatformServices, "old");
  QZMApplyConsentDiagnosticsToBundle(*kept, "new", true, nullptr, true, {}, false);
  EXPECT_EQ(str(*kept, Bundle::kConsentDiagnostics), "old");
  EXPECT_FALSE(NANOGetBool(kept.get(), Bundle::kDmaRegion));
  EXPECT_EQ(str(*kept, Bundle::kCorePlatformServices), "old");
}

TEST(ConsentDiagnostics, NonPersonalisedAdsAttribute) {
  auto npa = attribute("_npa", 1);
  auto none = Bundle::initWithMessageInfo(nullptr);
  setAttributes(*none, {attribute("_id", 5)});
  QZMApplyConsentDiagnosticsToBundle(*none, "", false, npa.get(), true, {}, false);
  EXPECT_EQ(attributes(*none), (std::vector<std::pair<std::string, std::int64_t>>{{"_id", 5}, {"_npa", 1}}));

  auto stored = Bundle::initWithMessageInfo(nullptr);
  setAttributes(*stored, {attribute("_npa", 0), attribute("_id", 5)});
  QZMApplyConsentDiagnosticsToBundle(*stored, "", false, npa.get(), true, {}, false);
  EXPECT_EQ(attributes(*stored), (std::vector<std::pair<std::string, std::int64_t>>{{"_npa", 0}, {"_id", 5}}));
  QZMApplyConsentDiagnosticsToBundle(*stored, "", false, npa.get(), true, {}, true);
  EXPECT_EQ(attributes(*stored), (std::vector<std::pair<std::string, std::int64_t>>{{"_npa", 1}, {"_id", 5}}));
}

TEST(BundleConsentContext, WhichBundlesShareABatch) {
  auto make = [](std::optional<std::string> signals, bool dma, std::optional<std::int64_t> npa) {
    auto bundle = Bundle::initWithMessageInfo(nullptr);
    NANOSetString(bundle.get(), Bundle::kConsentSignals, signals);
    NANOSetString(bundle.get(), Bundle::kConsentDiagnostics, "diag");
    NANOSetBool(bundle.get(), Bundle::kDmaRegion, dma);
    if (npa) setAttributes(*bundle, {attribute("_id", 9), attribute("_npa", *npa)});
    return std::shared_ptr<Bundle>(std::move(bundle));
  };
  struct Case {
    const char* name;
    std::shared_ptr<Bundle> a, b;
    bool shared;
  };
  const std::vector<Case> cases = {
      {"equal", make("G111", true, 1), make("G111", true, 1), true},
      {"both without signals", make({}, true, {}), make({}, true, {}), true},
      {"signals differ", make("G111", true, {}), make("G100", true, {}), false},
      {"signals set on one only", make("G111", true, {}), make({}, true, {}), false},
      {"DMA region differs", make("G111", true, {}), make("G111", false, {}), false},
      {"absent _npa counts as 0", make("G111", true, 0), make("G111", true, {}), true},
      {"_npa differs", make("G111", true, 1), make("G111", true, {}), false},
      {"a missing bundle", make("G111", true, {}), nullptr, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QZMBundlesShareConsentContext(c.a.get(), c.b.get()), c.shared) << c.name;
    EXPECT_EQ(QZMBundlesShareConsentContext(c.b.get(), c.a.get()), c.shared) << c.name;
  }
}

TEST(BundleConsentContext, FirstOpen) {
  auto bundle = Bundle::initWithMessageInfo(nullptr);
  EXPECT_FALSE(QZMBundleContainsFirstOpen(*bundle));
  NANOObjectArray events;
  for (const char* name : {"_s", "_f"}) {
    std::shared_ptr<QZMPBEvent> event = QZMPBEvent::initWithMessageInfo(nullptr);
    NANOSetString(event.get(), QZMPBEvent::kName, name);
    events.emplace_back(std::static_pointer_cast<NANOMessageBase>(event));
    NANOSetArray(bundle.get(), Bundle::kEvents, &events);
    EXPECT_EQ(QZMBundleContainsFirstOpen(*bundle), std::string(name) == "_f");
  }
}

TEST(BundleRedaction, FieldGroups) {
  auto make = [](const char* signals) {
    auto bundle = Bundle::initWithMessageInfo(nullptr);
    NANOSetString(bundle.get(), Bundle::kConsentSignals, signals);
    NANOSetString(bundle.get(), Bundle::kOsVersion, "17.2.1");
    NANOSetString(bundle.get(), Bundle::kDeviceModel, "iPhone15,2");
    NANOSetString(bundle.get(), Bundle::kAppInstanceId, kInstanceID);
    NANOSetString(bundle.get(), Bundle::kSessionStitchingToken, "token");
    setAttributes(*bundle, {attribute("_id", 1), attribute("_npa", 0), attribute("_id", 2)});
    return bundle;
  };

  auto all = make("G111");
  QZMRedactBundleFields(*all, {"app_instance_id", "user_id", "device_info", "enhanced_user_id"}, "EPHEMERAL");
  EXPECT_FALSE(NANOHasField(all.get(), Bundle::kAppInstanceId));
  EXPECT_EQ(str(*all, Bundle::kEphemeralAppInstanceId), "EPHEMERAL");
  EXPECT_EQ(attributes(*all), (std::vector<std::pair<std::string, std::int64_t>>{{"_npa", 0}}));
  EXPECT_EQ(str(*all, Bundle::kOsVersion), "17");
  EXPECT_FALSE(NANOHasField(all.get(), Bundle::kDeviceModel));
  EXPECT_FALSE(NANOHasField(all.get(), Bundle::kSessionStitchingToken));
  auto groups = NANOGetArray(all.get(), Bundle::kRedactedFields);
  ASSERT_EQ(groups->size(), 4u);
  EXPECT_EQ(*std::get<foundation::Object>((*groups)[2]).string(), "device_info");

  auto denied = make("G100");
  NANOSetString(denied.get(), Bundle::kEphemeralAppInstanceId, "left over");
  QZMRedactBundleFields(*denied, {"app_instance_id", "os_version"}, "EPHEMERAL");
  EXPECT_FALSE(NANOHasField(denied.get(), Bundle::kAppInstanceId));
  EXPECT_FALSE(NANOHasField(denied.get(), Bundle::kEphemeralAppInstanceId));
  EXPECT_EQ(str(*denied, Bundle::kOsVersion), "17");
  EXPECT_EQ(str(*denied, Bundle::kDeviceModel), "iPhone15,2");

  auto untouched = make("G111");
  QZMRedactBundleFields(*untouched, {}, "EPHEMERAL");
  EXPECT_EQ(str(*untouched, Bundle::kAppInstanceId), kInstanceID);
  EXPECT_EQ(str(*untouched, Bundle::kOsVersion), "17.2.1");
  EXPECT_TRUE(NANOGetArray(untouched.get(), Bundle::kRedactedFields)->empty());
}

}  // namespace

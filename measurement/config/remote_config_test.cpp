#include <gtest/gtest.h>
#include <sqlite3.h>

#include <array>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/config/QZMRemoteConfigEnvironment.h"
#include "measurement/config/runtime/QZMPEventEditing.h"
#include "measurement/config/runtime/testkit/QZMPAssembler.h"
#include "measurement/experiments/ExperimentsTestKit.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"
#include "measurement/identity/QZMIdentitySupport.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Bundle.h"
#include "platform/utilities/Endpoints.h"

// The configurations below name only the fields they set.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using foundation::Dictionary;
using foundation::Object;

constexpr const char* kAppID = "1:1234:ios:abcd";

// ---- Configurations, field by field ----

struct EventShape {
  std::string name;
  std::optional<bool> blocklisted;
  std::optional<bool> customConversion;
  std::optional<std::int32_t> samplingRate;
};

struct ConsentShape {
  // (consent type, mode or delegated type) as the server numbers them.
  std::vector<std::pair<int, int>> defaults;
  std::vector<std::pair<int, int>> delegations;
  std::vector<std::pair<int, int>> regional;
  std::vector<std::optional<std::string>> services;
  std::optional<bool> isDMARegion;
};

struct ConfigShape {
  std::string appID = kAppID;
  std::optional<std::int64_t> version;
  std::vector<std::pair<std::string, std::string>> settings;
  std::vector<EventShape> events;
  std::vector<std::string> dataControls;
  std::optional<ConsentShape> consent;
  // Email prefix, phone prefix, sign-in delay.
  std::optional<std::array<std::optional<std::int32_t>, 3>> psm;
  std::optional<QZMKRPXSetting> krpx;
  std::optional<std::string> subdomain;
  // Assembler texts.
  std::vector<std::string> programs;
};

template <class M>
std::shared_ptr<M> message() {
  std::shared_ptr<M> made = M::initWithBuffer({});
  EXPECT_TRUE(made);
  return made;
}

void setList(NANOMessageBase* owner, std::int32_t field, const NANOObjectArray& items) {
  EXPECT_TRUE(NANOSetArray(owner, field, &items));
}

std::shared_ptr<QZMPBConsentDefaultEntry> consentEntry(std::pair<int, int> entry) {
  auto made = message<QZMPBConsentDefaultEntry>();
  NANOSetInt32(made.get(), QZMPBConsentDefaultEntry::kConsentType, entry.first);
  NANOSetInt32(made.get(), QZMPBConsentDefaultEntry::kDefaultValue, entry.second);
  return made;
}

std::shared_ptr<QZMPBMeasurementConfig> build(const ConfigShape& shape) {
  auto config = message<QZMPBMeasurementConfig>();
  NANOSetString(config.get(), QZMPBMeasurementConfig::kAppId, shape.appID);
  if (shape.version) NANOSetInt64(config.get(), QZMPBMeasurementConfig::kVersion, *shape.version);
  NANOObjectArray settings;
  for (const auto& [name, value] : shape.settings) {
    auto setting = message<QZMPBSetting>();
    NANOSetString(setting.get(), QZMPBSetting::kName, name);
    NANOSetString(setting.get(), QZMPBSetting::kValue, value);
    settings.emplace_back(std::shared_ptr<NANOMessageBase>(setting));
  }
  setList(config.get(), QZMPBMeasurementConfig::kSettings, settings);
  NANOObjectArray events;
  for (const EventShape& event : shape.events) {
    auto made = message<QZMPBEventConfig>();
    NANOSetString(made.get(), QZMPBEventConfig::kName, event.name);
    if (event.blocklisted) NANOSetBool(made.get(), QZMPBEventConfig::kBlocklisted, *event.blocklisted);
    if (event.customConversion) NANOSetBool(made.get(), QZMPBEventConfig::kCustomConversion, *event.customConversion);
    if (event.samplingRate) NANOSetInt32(made.get(), QZMPBEventConfig::kSamplingRate, *event.samplingRate);
    events.emplace_back(std::shared_ptr<NANOMessageBase>(made));
  }
  setList(config.get(), QZMPBMeasurementConfig::kEventConfig, events);
  NANOObjectArray controls;
  for (const std::string& name : shape.dataControls) {
    auto made = message<QZMPBDataControl>();
    NANOSetString(made.get(), QZMPBDataControl::kName, name);
    controls.emplace_back(std::shared_ptr<NANOMessageBase>(made));
  }
  setList(config.get(), QZMPBMeasurementConfig::kDataControls, controls);
  if (shape.consent) {
    auto consent = message<QZMPBConsentConfig>();
    NANOObjectArray defaults, regional, delegations, services;
    for (auto entry : shape.consent->defaults) defaults.emplace_back(std::shared_ptr<NANOMessageBase>(consentEntry(entry)));
    for (auto entry : shape.consent->regional) regional.emplace_back(std::shared_ptr<NANOMessageBase>(consentEntry(entry)));
    for (auto [type, delegatedTo] : shape.consent->delegations) {
      auto made = message<QZMPBConsentDelegationEntry>();
      NANOSetInt32(made.get(), QZMPBConsentDelegationEntry::kConsentType, type);
      NANOSetInt32(made.get(), QZMPBConsentDelegationEntry::kDelegatedTo, delegatedTo);
      delegations.emplace_back(std::shared_ptr<NANOMessageBase>(made));
    }
    for (const auto& name : shape.consent->services) {
      auto made = message<QZMPBCorePlatformServiceEntry>();
      if (name) NANOSetString(made.get(), QZMPBCorePlatformServiceEntry::kService, *name);
      services.emplace_back(std::shared_ptr<NANOMessageBase>(made));
    }
    setList(consent.get(), QZMPBConsentConfig::kDefaults, defaults);
    setList(consent.get(), QZMPBConsentConfig::kEnforcedDefaults, regional);
    setList(consent.get(), QZMPBConsentConfig::kDelegations, delegations);
    setList(consent.get(), QZMPBConsentConfig::kCorePlatformServices, services);
    if (shape.consent->isDMARegion) NANOSetBool(consent.get(), QZMPBConsentConfig::kIsDmaRegion, *shape.consent->isDMARegion);
    NANOSetMessage(config.get(), QZMPBMeasurementConfig::kConsentConfig, consent.get());
  }
  if (shape.psm) {
    auto psm = message<QZMPBPsmSetting>();
    const std::int32_t fields[] = {QZMPBPsmSetting::kPsmPrefixEmail, QZMPBPsmSetting::kPsmPrefixPhone,
                                   QZMPBPsmSetting::kPsmSigninDelay};
    for (int i = 0; i < 3; ++i) {
      if ((*shape.psm)[i]) NANOSetInt32(psm.get(), fields[i], *(*shape.psm)[i]);
    }
    NANOSetMessage(config.get(), QZMPBMeasurementConfig::kPsmSetting, psm.get());
  }
  if (shape.krpx) {
    auto krpx = message<QZMPBKrpxSetting>();
    NANOSetString(krpx.get(), QZMPBKrpxSetting::kUploadUrl, shape.krpx->uploadURL);
    NANOSetString(krpx.get(), QZMPBKrpxSetting::kServerInfo, shape.krpx->serverInfo);
    NANOSetString(krpx.get(), QZMPBKrpxSetting::kAlternateUploadUrl, shape.krpx->alternateUploadURL);
    if (shape.krpx->uploadPercentage) {
      NANOSetInt32(krpx.get(), QZMPBKrpxSetting::kUploadPercentage, *shape.krpx->uploadPercentage);
    }
    NANOSetMessage(config.get(), QZMPBMeasurementConfig::kKrpxSetting, krpx.get());
  }
  if (shape.subdomain) NANOSetString(config.get(), QZMPBMeasurementConfig::kUploadSubdomain, *shape.subdomain);
  NANOObjectArray programs;
  for (const std::string& text : shape.programs) {
    auto program = QZMPAssembleProgram(text);
    EXPECT_TRUE(program.ok()) << text;
    if (program.ok()) programs.emplace_back(std::shared_ptr<NANOMessageBase>(*program));
  }
  setList(config.get(), QZMPBMeasurementConfig::kDynamicEventEditing, programs);
  return config;
}

// Configuration work belongs off the main thread.
template <class F>
auto offMain(F&& work) {
  return std::async(std::launch::async, std::forward<F>(work)).get();
}

// A program that copies what its modules give into every event it edits.
constexpr const char* kReportingProgram = R"(
    (const "register" ($require "internal.registerCallback")
           "rc" ($require "internal.remoteConfig")
           "am" ($require "internal.appMetadata"))
    (function "edit" (array "e")
      (call (get "e") "setParamValue"
        (array "interval" (call (get "rc") "getValue" (array "measurement.upload.interval" "none"))))
      (call (get "e") "setParamValue" (array "platform" (prop ($am) "platform")))
      (return 0))
    ($register 0 (get "edit") (map "type" "edit")))";
// Fails to load: its top level ends in a return.
constexpr const char* kBrokenProgram = "(return 1)";

// What the platform says of tracking authorisation.
class TrackingStatus : public QZMIdentitySupport {
 public:
  explicit TrackingStatus(std::uint64_t status) : status_(status) {}
  bool hasAppDataConsentStatus() override { return true; }
  std::uint64_t appDataConsentStatus() override { return status_; }
  bool hasLimitedAdTracking() override { return false; }
  bool limitedAdTracking() override { return false; }
  std::optional<std::string> resettableDeviceID() override { return std::nullopt; }

 private:
  std::uint64_t status_;
};

class RemoteConfigTest : public testkit::FoundationTest {
 protected:
  void SetUp() override {
    FoundationTest::SetUp();
    persisted = QZMPersistedConfig::initWithSuiteName(kQZMPersistedConfigSuiteName);
    auto opened = QZMDatabase::initWithDatabaseName("config_test.sql", persisted);
    ASSERT_TRUE(opened.ok()) << opened.error().text();
    database = *opened;
    QZMRemoteConfigInstallEnvironment();
  }

  void TearDown() override {
    QZMRemoteConfig::setLinks({});
    QZMESDKProperty::setIdentityDiversionKeyProvider(nullptr);
    QZMDefaultIdentitySupport::setSharedInstance(nullptr);
    QZMMeasurementBase::setKRPXPreviewHeaders(std::nullopt);
    foundation::Bundle::setMain(nullptr);
    utilities::Endpoints::reset();
    FoundationTest::TearDown();
  }

  // The engine's configuration over the fixture's database.
  std::shared_ptr<QZMRemoteConfig> make(std::shared_ptr<QZMEManager> manager = nullptr) {
    return offMain([&] {
      auto made = QZMRemoteConfig::initWithAppID(kAppID, database, persisted, manager);
      EXPECT_TRUE(made.ok());
      return made.ok() ? *made : nullptr;
    });
  }

  static bool update(QZMRemoteConfig& config, const ConfigShape& shape) {
    auto built = build(shape);
    return offMain([&] { return config.updateMeasurementConfig(built.get()); });
  }

  std::shared_ptr<QZMRemoteConfig> configured(const ConfigShape& shape) {
    auto config = make();
    EXPECT_TRUE(update(*config, shape));
    return config;
  }

  std::optional<std::int64_t> storedVersion() {
    auto stored = database->queryMeasurementConfigWithError();
    if (!stored.ok() || !*stored) return std::nullopt;
    return NANOGetInt64(stored->get(), QZMPBMeasurementConfig::kVersion);
  }

  std::shared_ptr<QZMPersistedConfig> persisted;
  std::shared_ptr<QZMDatabase> database;
};

// ---- Served values ----

TEST_F(RemoteConfigTest, PerEventRulesFollowTheirConfigurationThenTheSwitchOfTheirKind) {
  struct Expected {
    bool blocklisted;
    bool customConversion;
    bool hasSamplingRate;
    std::int32_t samplingRate;
  };
  const struct Row {
    std::vector<EventShape> events;
    std::vector<std::pair<std::string, std::string>> settings;
    const char* name;
    Expected expected;
  } rows[] = {
      {{{"purchase", true}}, {}, "purchase", {true, false, false, 1}},
      // An explicit false falls through to the switch.
      {{{"purchase", false}}, {{"measurement.upload.blacklist_public", "1"}}, "purchase", {true, false, false, 1}},
      {{}, {{"measurement.upload.blacklist_public", "1"}}, "purchase", {true, false, false, 1}},
      {{}, {{"measurement.upload.blacklist_public", "1"}}, "_internal", {false, false, false, 1}},
      {{}, {{"measurement.upload.blacklist_internal", "1"}}, "_internal", {true, false, false, 1}},
      {{}, {{"measurement.upload.blacklist_internal", "1"}}, "purchase", {false, false, false, 1}},
      {{{"purchase", std::nullopt, true, 2}}, {}, "purchase", {false, true, true, 2}},
      {{{"purchase", std::nullopt, std::nullopt, 65535}}, {}, "purchase", {false, false, true, 65535}},
      {{{"purchase", std::nullopt, std::nullopt, 1}}, {}, "purchase", {false, false, true, 1}},
      {{{"purchase", std::nullopt, std::nullopt, 0}}, {}, "purchase", {false, false, true, 1}},
      {{{"purchase", std::nullopt, std::nullopt, -5}}, {}, "purchase", {false, false, true, 1}},
      {{{"purchase", std::nullopt, std::nullopt, 70000}}, {}, "purchase", {false, false, true, 1}},
      // A later configuration of a name replaces the earlier one.
      {{{"purchase", std::nullopt, std::nullopt, 5}, {"purchase", std::nullopt, std::nullopt, 7}},
       {},
       "purchase",
       {false, false, true, 7}},
      // Rules are kept under internal names.
      {{{"screen_view", true, true}}, {}, "_vs", {true, true, false, 1}},
      {{{"screen_view", true, true}}, {}, "screen_view", {false, false, false, 1}},
      {{{"", true}}, {}, "", {false, false, false, 1}},
  };
  for (const Row& row : rows) {
    auto config = configured({.settings = row.settings, .events = row.events});
    SCOPED_TRACE(row.name);
    EXPECT_EQ(config->isEventBlocklisted(row.name), row.expected.blocklisted);
    EXPECT_EQ(config->isEventCustomConversion(row.name), row.expected.customConversion);
    EXPECT_EQ(config->eventHasSamplingRate(row.name), row.expected.hasSamplingRate);
    EXPECT_EQ(config->samplingRateForEvent(row.name), row.expected.samplingRate);
  }
  EXPECT_EQ(linesWithCode(29013).size(), 1u);
  EXPECT_FALSE(linesWithCode(29006).empty());

  auto config = configured({.events = {{"screen_view", true, std::nullopt, 9}}});
  auto found = config->eventConfigWithName("_vs");
  ASSERT_TRUE(found);
  EXPECT_EQ(NANOGetString(found.get(), QZMPBEventConfig::kName), "screen_view");
  EXPECT_TRUE(NANOGetBool(found.get(), QZMPBEventConfig::kBlocklisted));
  EXPECT_FALSE(NANOHasField(found.get(), QZMPBEventConfig::kCustomConversion));
  EXPECT_EQ(NANOGetInt32(found.get(), QZMPBEventConfig::kSamplingRate), 9);
}

TEST_F(RemoteConfigTest, ConsentEntriesWithKnownNumbersAreServedByName) {
  const struct Row {
    std::optional<ConsentShape> consent;
    Dictionary defaults;
    Dictionary delegations;
    Dictionary regional;
    std::set<std::string> services;
    bool isDMARegion;
  } rows[] = {
      {ConsentShape{.defaults = {{1, 1}, {2, 2}, {5, 1}, {3, 0}, {4, 3}},
                   .delegations = {{3, 1}, {4, 9}, {0, 2}},
                   .regional = {{4, 2}, {2, 7}},
                   .services = {"svc", std::nullopt, "other"},
                   .isDMARegion = false},
       {{"ad_storage", "granted"}, {"analytics_storage", "denied"}},
       {{"ad_user_data", "ad_storage"}},
       {{"ad_personalization", "denied"}},
       {"other", "svc"},
       false},
      {ConsentShape{.isDMARegion = true}, {}, {}, {}, {}, true},
      // A consent configuration without the flag says the app is outside.
      {ConsentShape{.defaults = {{2, 1}}}, {{"analytics_storage", "granted"}}, {}, {}, {}, false},
  };
  for (const Row& row : rows) {
    auto config = configured({.consent = row.consent});
    EXPECT_EQ(config->consentDefaults(), row.defaults);
    EXPECT_EQ(config->consentDelegations(), row.delegations);
    EXPECT_EQ(config->regionalDefaults(), row.regional);
    EXPECT_EQ(config->corePlatformServices(), row.services);
    EXPECT_EQ(config->isDMARegion(), row.isDMARegion);
  }

  auto config = configured({.consent = ConsentShape{.isDMARegion = false}});
  ASSERT_TRUE(update(*config, {.dataControls = {"a"}}));
  EXPECT_FALSE(config->isDMARegion()) << "a configuration without consent keeps the region";
  EXPECT_TRUE(config->consentDefaults().empty());
  config->reset();
  EXPECT_TRUE(config->isDMARegion());
}

TEST_F(RemoteConfigTest, SettingsComeFromTheListAndThePrivateSetMembershipNumbersAllBounded) {
  auto config = configured({.version = 42,
                            .settings = {{"measurement.upload.interval", "900000"},
                                         {"measurement.psm_prefix_email", "9"},
                                         {"measurement.psm_prefix_phone", "12"}},
                            .psm = std::array<std::optional<std::int32_t>, 3>{8, 40, std::nullopt}});
  EXPECT_EQ(config->version(), 42);
  EXPECT_EQ(linesWithCode(29014).size(), 1u);
  EXPECT_EQ(config->uploadingInterval(), 900);
  EXPECT_EQ(config->hashPrefixBitLengthEmail(), 8);
  EXPECT_EQ(config->hashPrefixBitLengthPhone(), 11) << "40 is above the maximum";
  EXPECT_EQ(config->maxSignInDelayInDays(), 60);

  // An empty list puts every setting back to its default.
  ASSERT_TRUE(update(*config, {}));
  EXPECT_EQ(config->uploadingInterval(), 3600);
  EXPECT_EQ(config->hashPrefixBitLengthEmail(), 14);
  EXPECT_EQ(config->version(), -1) << "a configuration without a version";
}

TEST_F(RemoteConfigTest, RolloutsPlaceAppInstancesByAStableHash) {
  // FNV-1a known answers.
  EXPECT_EQ(QZMRolloutHash(""), 0xcbf29ce484222325ULL);
  EXPECT_EQ(QZMRolloutHash("a"), 0xaf63dc4c8601ec8cULL);
  EXPECT_EQ(QZMRolloutHash("foobar"), 0x85944171f73967e8ULL);

  const std::string instance = "6F1A3B2C4D5E6F708192A3B4C5D6E7F8";
  const std::int32_t place = static_cast<std::int32_t>(QZMRolloutHash(instance) % 100);
  auto optedIn = [](Object value) {
    foundation::Bundle::setMain(
        std::make_shared<foundation::Bundle>("/nowhere", Dictionary{{"DRALIX_ANALYTICS_KRPX_UPLOAD_ENABLED", value}}));
  };
  const QZMKRPXSetting tagging{.uploadURL = "https://tagging.example.test/a"};
  const struct Row {
    const char* what;
    std::optional<Object> optIn;
    std::optional<QZMKRPXSetting> krpx;
    std::optional<std::int32_t> percentage;
    std::optional<std::string> appInstanceID;
    bool previewHeaders;
    std::vector<std::pair<std::string, std::string>> settings;
    bool enabled;
  } rows[] = {
      {"every instance", Object(true), tagging, 100, instance, false, {}, true},
      {"none", Object(true), tagging, 0, instance, false, {}, false},
      {"preview headers win", Object(true), tagging, 0, instance, true, {}, true},
      {"just inside", Object(true), tagging, place + 1, instance, false, {}, true},
      {"just outside", Object(true), tagging, place, instance, false, {}, false},
      {"a negative share is none", Object(true), tagging, -5, instance, false, {}, false},
      {"no instance ID", Object(true), tagging, 99, std::nullopt, false, {}, false},
      {"the host did not opt in", std::nullopt, tagging, 100, instance, false, {}, false},
      {"the opt-in is no number", Object("YES"), tagging, 100, instance, false, {}, false},
      {"the opt-in is a number", Object(1), tagging, 100, instance, false, {}, true},
      {"the switch is off", Object(true), tagging, 100, instance, false, {{"measurement.krpx_upload_enabled", "0"}},
       false},
      {"no upload URL", Object(true), QZMKRPXSetting{.uploadURL = ""}, 100, instance, true, {}, false},
      {"no setting", Object(true), std::nullopt, 100, instance, true, {}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.optIn) {
      optedIn(*row.optIn);
    } else {
      foundation::Bundle::setMain(std::make_shared<foundation::Bundle>("/nowhere", Dictionary{}));
    }
    persisted->setAppInstanceID(row.appInstanceID);
    QZMMeasurementBase::setKRPXPreviewHeaders(row.previewHeaders ? std::optional(Dictionary{{"x-preview", "1"}})
                                                                 : std::nullopt);
    std::optional<QZMKRPXSetting> krpx = row.krpx;
    if (krpx) krpx->uploadPercentage = row.percentage;
    auto config = configured({.settings = row.settings, .krpx = krpx});
    EXPECT_EQ(config->KRPXUploadEnabled(), row.enabled);
  }
}

// ---- Addresses ----

TEST_F(RemoteConfigTest, AddressesComeFromTheEndpointsAndTheConfiguration) {
  utilities::Endpoints::setOverride(utilities::kEndpointMeasurement, "https://config.example.test");
  utilities::Endpoints::setOverride(utilities::kEndpointMeasurementAuthorized, "https://authorised.example.test:8443");

  auto config = make();
  EXPECT_EQ(config->remoteConfigURLWithPlatform("ios", 111400, 0),
            "https://config.example.test/config/app/1:1234:ios:abcd?dxv_version=111400&platform=ios&runtime_version=0");
  EXPECT_EQ(config->remoteConfigURLWithPlatform(std::nullopt, 1, 0), std::nullopt);
  EXPECT_EQ(config->remoteConfigURLWithPlatform("", 1, 0), std::nullopt);
  EXPECT_EQ(linesWithCode(29010).size(), 2u);
  auto odd = offMain([&] {
    return QZMRemoteConfig::initWithAppID("1:2/../x y?", database, persisted, std::shared_ptr<QZMEManager>());
  });
  ASSERT_TRUE(odd.ok());
  EXPECT_EQ((*odd)->remoteConfigURLWithPlatform("ios", 1, 0),
            "https://config.example.test/config/app/1:2%2F..%2Fx%20y%3F?dxv_version=1&platform=ios&runtime_version=0");
  EXPECT_EQ(QZMRemoteConfig::defaultInstance()->remoteConfigURLWithPlatform("ios", 1, 0), std::nullopt);
  EXPECT_EQ(linesWithCode(29021).size(), 1u);

  const struct Row {
    std::optional<std::uint64_t> trackingStatus;
    std::optional<std::string> subdomain;
    std::string uploadURL;
    std::optional<std::string> KRPXUploadURL;
  } rows[] = {
      {std::nullopt, std::nullopt, "https://config.example.test/a", "https://tagging.example.test/a"},
      {2, "eu", "https://eu.config.example.test/a", "https://tagging.example.test/a"},
      {3, std::nullopt, "https://authorised.example.test:8443/a", "https://tracked.example.test/a"},
      {3, "eu", "https://eu.authorised.example.test:8443/a", "https://tracked.example.test/a"},
      {std::nullopt, "", "https://config.example.test/a", "https://tagging.example.test/a"},
      {std::nullopt, "evil.test/x?", "https://config.example.test/a", "https://tagging.example.test/a"},
      {std::nullopt, "a..b", "https://config.example.test/a", "https://tagging.example.test/a"},
  };
  for (const Row& row : rows) {
    QZMDefaultIdentitySupport::setSharedInstance(
        row.trackingStatus ? QZMDefaultIdentitySupport::initWithPlatformIdentitySupport(
                                 std::make_shared<TrackingStatus>(*row.trackingStatus))
                           : QZMDefaultIdentitySupport::initWithPlatformIdentitySupport(nullptr));
    auto configured = this->configured({.krpx = QZMKRPXSetting{.uploadURL = "https://tagging.example.test/a",
                                                               .serverInfo = "srv-1",
                                                               .alternateUploadURL = "https://tracked.example.test/a"},
                                        .subdomain = row.subdomain});
    EXPECT_EQ(configured->uploadURL(), row.uploadURL);
    EXPECT_EQ(configured->KRPXUploadURL(), row.KRPXUploadURL);
    EXPECT_EQ(configured->KRPXUploadHTTPHeaders(), (Dictionary{{"x-krpx-server-info", "srv-1"}}));
  }

  // Texts that make no URL are no upload target.
  QZMDefaultIdentitySupport::setSharedInstance(
      QZMDefaultIdentitySupport::initWithPlatformIdentitySupport(std::make_shared<TrackingStatus>(3)));
  auto broken = configured(
      {.krpx = QZMKRPXSetting{.uploadURL = "https://ok.example.test/a", .alternateUploadURL = "not a url"}});
  EXPECT_EQ(broken->KRPXUploadURL(), "https://ok.example.test/a");
  EXPECT_EQ(broken->KRPXUploadHTTPHeaders(), std::nullopt);
  auto none = configured({.krpx = QZMKRPXSetting{.uploadURL = "//no-scheme"}});
  EXPECT_EQ(none->KRPXUploadURL(), std::nullopt);
  EXPECT_EQ(make()->KRPXUploadURL(), std::nullopt);

  // A server info that would split the upload's headers is dropped; the
  // tagged upload itself stays.
  for (std::string serverInfo : {std::string("srv-1\r\nX-Injected: yes"), std::string("srv-1\nX"),
                                 std::string("srv-1\r"), std::string("srv\0-1", 6)}) {
    clearMonitorLines();
    auto split =
        configured({.krpx = QZMKRPXSetting{.uploadURL = "https://ok.example.test/a", .serverInfo = serverInfo}});
    EXPECT_EQ(split->KRPXUploadHTTPHeaders(), std::nullopt);
    EXPECT_EQ(split->KRPXUploadURL(), "https://ok.example.test/a");
    EXPECT_FALSE(linesWithCode(29029).empty());
  }
}

// ---- Storing and life cycle ----

TEST_F(RemoteConfigTest, ARefusedConfigurationLeavesThePreviousOneInForce) {
  auto config = configured({.version = 1, .dataControls = {"kept"}});

  EXPECT_FALSE(update(*config, {.appID = "1:9999:ios:other", .version = 2}));
  EXPECT_EQ(linesWithCode(29004).size(), 1u);
  EXPECT_FALSE(offMain([&] { return config->updateMeasurementConfig(nullptr); }));
  EXPECT_EQ(linesWithCode(29003).size(), 1u);
  EXPECT_FALSE(config->updateMeasurementConfig(build({.version = 3}).get())) << "on the main thread";
  auto defaults = QZMRemoteConfig::defaultInstance();
  EXPECT_FALSE(update(*defaults, {.appID = "", .version = 4}));
  EXPECT_EQ(linesWithCode(29002).size(), 1u);
  EXPECT_EQ(defaults->version(), -1);

  EXPECT_EQ(config->version(), 1);
  EXPECT_EQ(config->dataControls(), std::vector<std::string>{"kept"});
  EXPECT_EQ(storedVersion(), 1);

  // A configuration the database refuses to keep never comes into force.
  auto unnamed = offMain([&] {
    return QZMRemoteConfig::initWithAppID("", database, nullptr, persisted, std::shared_ptr<QZMEManager>());
  });
  EXPECT_FALSE(update(*unnamed, {.appID = "", .version = 5}));
  EXPECT_EQ(linesWithCode(29005).size(), 1u);
  EXPECT_EQ(unnamed->version(), -1);
  EXPECT_EQ(storedVersion(), 1);

  // So does one whose database is gone.
  database.reset();
  EXPECT_FALSE(update(*config, {.version = 6}));
  EXPECT_EQ(linesWithCode(29005).size(), 2u);
  EXPECT_EQ(config->version(), 1);
}

TEST_F(RemoteConfigTest, TheStoredConfigurationIsInForceAtTheNextStart) {
  auto first = make();
  EXPECT_EQ(first->version(), -1);
  EXPECT_EQ(linesWithCode(29017).size(), 1u);
  ASSERT_TRUE(update(*first, {.version = 7, .settings = {{"measurement.upload.retry_count", "3"}}}));

  auto next = make();
  EXPECT_EQ(next->version(), 7);
  EXPECT_EQ(next->uploadingRetryCount(), 3);

  // A configuration given at creation is stored and in force.
  auto given = offMain([&] {
    return QZMRemoteConfig::initWithAppID(kAppID, database, build({.version = 8}), persisted, nullptr);
  });
  EXPECT_EQ(given->version(), 8);
  EXPECT_EQ(storedVersion(), 8);

  // Another app's stored configuration is not this app's.
  auto other = offMain([&] { return *QZMRemoteConfig::initWithAppID("1:9999:ios:other", database, persisted, nullptr); });
  EXPECT_EQ(other->version(), -1);

  // Stored bytes that do not decode are reported, and nothing is in force.
  ASSERT_EQ(sqlite3_exec(database->sqliteStore()->sqliteHandle(),
                         "UPDATE app_metadata SET remote_config_data = x'ffff'", nullptr, nullptr, nullptr),
            SQLITE_OK);
  auto damaged = make();
  EXPECT_EQ(linesWithCode(29016).size(), 1u);
  EXPECT_EQ(damaged->version(), -1);
  EXPECT_FALSE(damaged->hasConfiguration());
}

TEST_F(RemoteConfigTest, OnlyACommittedConfigurationComesIntoForce) {
  auto config = configured({.version = 1, .dataControls = {"first"}});
  for (bool commit : {false, true}) {
    SCOPED_TRACE(commit ? "commit" : "roll back");
    std::optional<std::int64_t> seenInside;
    auto transaction = offMain([&] {
      return database->performTransaction([&] {
        EXPECT_TRUE(config->updateMeasurementConfig(build({.version = 2, .dataControls = {"second"}}).get()));
        seenInside = config->version();
        return commit;
      });
    });
    EXPECT_EQ(transaction.ok(), commit);
    EXPECT_EQ(seenInside, 1) << "not before the commit";
    EXPECT_EQ(config->version(), commit ? 2 : 1);
    EXPECT_EQ(config->dataControls(), std::vector<std::string>{commit ? "second" : "first"});
    EXPECT_EQ(storedVersion(), commit ? 2 : 1);
  }

  // Of two in one transaction the later one is in force.
  auto twice = offMain([&] {
    return database->performTransaction([&] {
      EXPECT_TRUE(config->updateMeasurementConfig(build({.version = 4}).get()));
      EXPECT_TRUE(config->updateMeasurementConfig(build({.version = 5}).get()));
      return true;
    });
  });
  EXPECT_TRUE(twice.ok());
  EXPECT_EQ(config->version(), 5);

  // A reset before the commit is not undone by it.
  auto committed = offMain([&] {
    return database->performTransaction([&] {
      EXPECT_TRUE(config->updateMeasurementConfig(build({.version = 3}).get()));
      config->reset();
      return true;
    });
  });
  EXPECT_TRUE(committed.ok());
  EXPECT_EQ(config->version(), -1);
}

TEST_F(RemoteConfigTest, TheProgramComesWithItsConfigurationAndStaysUntilAnotherReplacesIt) {
  auto config = configured({.version = 1,
                            .settings = {{"measurement.upload.interval", "900000"}},
                            .dataControls = {"first"},
                            .programs = {kReportingProgram, kBrokenProgram}});
  EXPECT_EQ(linesWithCode(29027).size(), 1u);
  ASSERT_TRUE(config->eventEditing());
  // The program reads the text the server sent, whatever was read before.
  EXPECT_EQ(config->uploadingInterval(), 900);
  offMain([&] {
    QZMPError error;
    EXPECT_TRUE(config->eventEditing()->handleEvent(QZMEditEvent{"purchase", 1, {}}, error));
    EXPECT_FALSE(error.isSet());
  });
  const Dictionary& edited = config->eventEditing()->eventContext().outputEvent().parameters();
  // The text as the server sent it (which the event then holds as a number),
  // not the 900 seconds the typed getter serves.
  EXPECT_EQ(edited.at("interval"), Object(900000.0));
  EXPECT_EQ(edited.at("platform"), Object("ios"));

  // Without programs the loaded one stays, while the rest is this
  // configuration's.
  std::shared_ptr<QZMPEventEditing> program = config->eventEditing();
  ASSERT_TRUE(update(*config, {.version = 2,
                               .dataControls = {"second"},
                               .consent = ConsentShape{.defaults = {{3, 1}}, .isDMARegion = false}}));
  EXPECT_EQ(config->eventEditing(), program);
  EXPECT_EQ(config->version(), 2);
  EXPECT_EQ(config->dataControls(), std::vector<std::string>{"second"});
  EXPECT_EQ(config->uploadingInterval(), 3600);

  // A program that does not load ends the parse there: its settings, rules
  // and addresses are in force, without event editing, while data controls,
  // consent and the DMA flag stay those of the configuration before, and
  // the private-set-membership numbers that come after are not applied.
  ASSERT_TRUE(update(*config, {.version = 3,
                               .settings = {{"measurement.psm_prefix_email", "9"}},
                               .events = {{"purchase", true}},
                               .dataControls = {"third"},
                               .consent = ConsentShape{.defaults = {{2, 2}}, .isDMARegion = true},
                               .psm = std::array<std::optional<std::int32_t>, 3>{8, 7, std::nullopt},
                               .subdomain = "eu",
                               .programs = {kBrokenProgram}}));
  EXPECT_EQ(linesWithCode(29026).size(), 1u);
  EXPECT_EQ(linesWithCode(29027).size(), 1u);
  EXPECT_EQ(config->eventEditing(), nullptr);
  EXPECT_EQ(config->version(), 3);
  EXPECT_TRUE(config->isEventBlocklisted("purchase"));
  EXPECT_EQ(config->uploadSubdomain(), "eu");
  EXPECT_EQ(config->hashPrefixBitLengthEmail(), 9);
  EXPECT_EQ(config->hashPrefixBitLengthPhone(), 11);
  EXPECT_EQ(config->dataControls(), std::vector<std::string>{"second"});
  EXPECT_EQ(config->consentDefaults(), (Dictionary{{"ad_user_data", "granted"}}));
  EXPECT_FALSE(config->isDMARegion());
  EXPECT_EQ(storedVersion(), 3);

  // A reset keeps the program too.
  ASSERT_TRUE(update(*config, {.programs = {kReportingProgram}}));
  program = config->eventEditing();
  ASSERT_TRUE(program);
  config->reset();
  EXPECT_EQ(config->eventEditing(), program);
  EXPECT_EQ(config->version(), -1);
  EXPECT_TRUE(config->dataControls().empty());
}

TEST_F(RemoteConfigTest, ProgramsNestedAsDeepAsTheInterpreterGoesArriveWithTheirConfiguration) {
  // A constant set to 999 negations of 1: with the statement that holds
  // them, as deep as evaluation goes.
  std::string chain = "1";
  for (int i = 0; i < 999; ++i) chain = "(neg " + chain + ")";
  const std::string deep = std::string(R"(
      (const "register" ($require "internal.registerCallback") "depth" )") +
                           chain + R"()
      (function "edit" (array "e") (call (get "e") "setParamValue" (array "depth" (get "depth"))) (return 0))
      ($register 0 (get "edit") (map "type" "edit")))";
  std::optional<foundation::Data> bytes =
      build({.version = 4, .dataControls = {"deep"}, .programs = {deep}})->protoBuffer();
  ASSERT_TRUE(bytes);
  std::unique_ptr<QZMPBMeasurementConfig> decoded = QZMPBMeasurementConfig::initWithBuffer(*bytes);
  ASSERT_TRUE(decoded);
  auto config = make();
  ASSERT_TRUE(offMain([&] { return config->updateMeasurementConfig(decoded.get()); }));
  ASSERT_TRUE(config->eventEditing());
  offMain([&] {
    QZMPError error;
    EXPECT_TRUE(config->eventEditing()->handleEvent(QZMEditEvent{"purchase", 1, {}}, error));
    EXPECT_FALSE(error.isSet());
  });
  EXPECT_EQ(config->eventEditing()->eventContext().outputEvent().parameters().at("depth"), Object(-1.0));
  EXPECT_TRUE(linesWithCode(29026).empty());
}

TEST_F(RemoteConfigTest, ResetEmptiesEveryCacheAndTheExpiryFollowsTheFetchTime) {
  EXPECT_FALSE(QZMRemoteConfig::defaultInstance()->isExpired());
  EXPECT_EQ(QZMRemoteConfig::defaultInstance()->lastRemoteConfigUpdateTimestamp(), 0);
  EXPECT_EQ(linesWithCode(29007).size(), 1u);
  EXPECT_EQ(linesWithCode(29008).size(), 1u);

  auto config = make();
  EXPECT_TRUE(config->isExpired()) << "never fetched";
  auto full = ConfigShape{.version = 5,
                   .settings = {{"measurement.config.cache_time", "120000"}},
                   .events = {{"purchase", true}},
                   .dataControls = {"dc"},
                   .consent = ConsentShape{.defaults = {{1, 2}}, .delegations = {{3, 1}}, .regional = {{4, 1}},
                                          .services = {"svc"}, .isDMARegion = false},
                   .krpx = QZMKRPXSetting{.uploadURL = "https://tagging.example.test/a"},
                   .subdomain = "eu"};
  ASSERT_TRUE(update(*config, full));
  EXPECT_EQ(config->lastRemoteConfigUpdateTimestamp(), clock->now());
  clock->advance(119);
  EXPECT_FALSE(config->isExpired());
  clock->advance(1);
  EXPECT_TRUE(config->isExpired());

  config->reset();
  EXPECT_FALSE(config->hasConfiguration());
  EXPECT_EQ(config->version(), -1);
  EXPECT_EQ(config->remoteConfigCacheTimeInterval(), 3600);
  EXPECT_FALSE(config->isEventBlocklisted("purchase"));
  EXPECT_TRUE(config->dataControls().empty());
  EXPECT_TRUE(config->consentDefaults().empty());
  EXPECT_TRUE(config->consentDelegations().empty());
  EXPECT_TRUE(config->regionalDefaults().empty());
  EXPECT_TRUE(config->corePlatformServices().empty());
  EXPECT_TRUE(config->isDMARegion());
  EXPECT_EQ(config->uploadSubdomain(), std::nullopt);
  EXPECT_EQ(config->KRPXUploadURL(), std::nullopt);
  EXPECT_EQ(storedVersion(), 5) << "the stored configuration is the database's to drop";
}

// ---- Experiments ----

class RemoteConfigExperiments : public experimentskit::ExperimentsTest {
 protected:
  void SetUp() override {
    ExperimentsTest::SetUp();
    startManager();
  }

  std::shared_ptr<QZMRemoteConfig> makeConfig() {
    return offMain([&] { return QZMRemoteConfig::initWithAppID(kAppID, nullptr, nullptr, nullptr, manager); });
  }

  // A fetch that brought this snapshot of the SDK's own flags.
  void fetched(const experimentskit::ExperimentList& experiments) {
    manager->taskManagerDidFinishFetching(
        *taskManager, std::vector<QZMESnapshot>{experimentskit::snapshot(kQZMRemoteConfigSDKName, experiments)},
        std::nullopt);
    flush();
    dispatch::drainMainQueue();
  }
};

TEST_F(RemoteConfigExperiments, FlagsComeBeforeTheSwitchesOnceTheirSnapshotIsActivated) {
  auto config = makeConfig();
  flush();
  ASSERT_TRUE(config->experimentClient());
  EXPECT_EQ(manager->clientForSDKName(kQZMRemoteConfigSDKName), config->experimentClient());
  EXPECT_TRUE(config->customerTypeEnabled());
  EXPECT_FALSE(config->sessionStitchingTokenFeatureEnabled());
  EXPECT_FALSE(config->activateNewSnapshot()) << "nothing announced";

  fetched({{7, {{"customer_type_enabled", Object(false)}, {"session_stitching_token_feature_enabled", Object(1)}}}});
  EXPECT_TRUE(config->hasNewSnapshot());
  EXPECT_TRUE(config->customerTypeEnabled()) << "not before activation";
  ASSERT_TRUE(config->activateNewSnapshot());
  EXPECT_FALSE(config->hasNewSnapshot());
  EXPECT_FALSE(config->customerTypeEnabled());
  EXPECT_TRUE(config->sessionStitchingTokenFeatureEnabled());
  EXPECT_EQ(config->experimentIDs(), std::vector<std::int32_t>{7});

  // A snapshot without the flags gives the switches back.
  fetched({{8, {}}});
  ASSERT_TRUE(config->activateNewSnapshot());
  EXPECT_TRUE(config->customerTypeEnabled());
  EXPECT_FALSE(config->sessionStitchingTokenFeatureEnabled());

  // A reset forgets the experiments and the cached flag.
  fetched({{9, {{"customer_type_enabled", Object(false)}}}});
  ASSERT_TRUE(config->activateNewSnapshot());
  config->reset();
  flush();
  EXPECT_TRUE(config->customerTypeEnabled());
  EXPECT_TRUE(config->experimentIDs().empty());
}

TEST_F(RemoteConfigExperiments, StoredSnapshotsReachTheFlagsWhicheverOfLoadAndRegistrationComesFirst) {
  struct Case {
    const char* title;
    bool activatedLastRun;  // else announced and left waiting when the run ended
    bool registerFirst;
  } cases[] = {
      {"activated, loaded first", true, false},
      {"activated, registered first", true, true},
      {"left waiting, loaded first", false, false},
      {"left waiting, registered first", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    // The last run.
    {
      auto config = makeConfig();
      flush();
      fetched({{7, {{"customer_type_enabled", Object(false)}}}});
      ASSERT_TRUE(config->hasNewSnapshot());
      if (c.activatedLastRun) {
        ASSERT_TRUE(config->activateNewSnapshot());
      }
      flush();
    }

    // The restart.
    manager.reset();
    makeTaskManager();
    manager = QZMEManager::initWithTaskManager(taskManager);
    std::shared_ptr<QZMRemoteConfig> config;
    if (c.registerFirst) {
      config = makeConfig();
      flush();
      EXPECT_TRUE(config->customerTypeEnabled()) << "nothing loaded yet";
      taskManager->startTaskManager();
    } else {
      taskManager->startTaskManager();
      flush();
      config = makeConfig();
    }
    flush();
    dispatch::drainMainQueue();

    EXPECT_FALSE(config->customerTypeEnabled());
    EXPECT_EQ(config->experimentIDs(), std::vector<std::int32_t>{7});
    EXPECT_FALSE(manager->pendingSnapshotOfSDKName(kQZMRemoteConfigSDKName));
    flush();
    foundation::Result<std::vector<QZMESnapshot>> pending = foundation::Error();
    onWorker([&] { pending = taskManager->database()->fetchAllPendingSnapshots(); });
    ASSERT_TRUE(pending);
    EXPECT_TRUE(pending->empty()) << "no longer waiting in storage either";

    // The next case starts from nothing stored.
    config->reset();
    flush();
  }
}

TEST_F(RemoteConfigExperiments, TheObserverLogsFetchErrorsAndFetchesWhileTheEngineIsEnabled) {
  auto config = makeConfig();
  config->clientDidReceiveFetchError(config->experimentClient(), foundation::Error("test", 5, "refused"));
  EXPECT_EQ(linesWithCode(29025).size(), 1u);

  EXPECT_FALSE(config->shouldFetchExperimentsForClient(config->experimentClient())) << "no engine";
  auto engine = std::make_shared<testkit::MeasurementDouble>();
  QZMMeasurementBase::setSharedInstance(engine);
  EXPECT_TRUE(config->shouldFetchExperimentsForClient(config->experimentClient()));
  engine->enabled = false;
  EXPECT_FALSE(config->shouldFetchExperimentsForClient(config->experimentClient()));
  QZMMeasurementBase::setSharedInstance(nullptr);
}

}  // namespace


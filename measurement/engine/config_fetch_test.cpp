// The measurement configuration fetch against an HTTPS server on 127.0.0.1:
// each answer in turn, the conditional headers and what is kept of a
// fetched configuration.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "measurement/config/runtime/testkit/QZMPAssembler.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/engine/EngineTestKit.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/identity/QZMIdentity.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Application.h"

namespace {

using testkit::Answer;
using testkit::RecordedRequest;

constexpr const char* kConfigPath = "/config/app/1:1234:ios:abcd";
constexpr const char* kEventsPerBundle = "measurement.upload.max_events_per_bundle";

Answer configurationAnswer(const std::string& eventsPerBundle, const std::string& etag,
                           const std::string& appID = testkit::kTestAppID) {
  Answer answer{200};
  std::optional<foundation::Data> bytes =
      testkit::configuration({{kEventsPerBundle, eventsPerBundle}}, {}, 2, appID)->protoBuffer();
  answer.body.assign(bytes->begin(), bytes->end());
  answer.headers.emplace("ETag", etag);
  answer.headers.emplace("Last-Modified", "Tue, 14 Nov 2023 22:13:20 GMT");
  return answer;
}

class ConfigFetch : public testkit::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    startServer();
    start();
  }

  // The request of the fetch.
  RecordedRequest fetch() {
    std::size_t before = server->requests().size();
    onWorkerQueue([&] { engine()->fetchRemoteConfig(); });
    waitForNetwork();
    std::vector<RecordedRequest> requests = server->requests();
    EXPECT_EQ(requests.size(), before + 1);
    return requests.empty() ? RecordedRequest() : requests.back();
  }

  // Configuration fetches so far: becoming active may also upload the
  // session it starts, and only fetches count.
  std::size_t configFetches() const {
    std::size_t count = 0;
    for (const RecordedRequest& request : server->requests()) count += request.method == "GET";
    return count;
  }

  // The app becomes active; whatever request that starts is answered.
  void becomeActive() {
    foundation::NotificationCenter::defaultCenter().postNotificationName(
        ui::notificationName(ui::Notification::applicationDidBecomeActive));
    settleEngine();
    auto measurement = engine();
    ASSERT_TRUE(measurement);
    if (measurement->isNetworkRequestPending()) waitForNetwork();
  }
};

TEST_F(ConfigFetch, EachAnswerInTurn) {
  struct Step {
    const char* title;
    Answer answer;
    std::int64_t libraryVersionBefore;  // 0: as stored by the last step
    // What the request carried.
    std::string ifNoneMatch;
    std::string ifModifiedSince;
    // What follows.
    std::int64_t eventsPerBundle;
    std::string storedETag;
    std::int64_t logged;
    bool backsOff;
  };
  const std::string modified = "Tue, 14 Nov 2023 22:13:20 GMT";
  Answer unavailable{503};
  const std::vector<Step> steps = {
      {"not found: the defaults stay", Answer{404}, 0, "", "", 1000, "", 23130, false},
      {"a configuration that changes a limit", configurationAnswer("7", "\"v1\""), 0, "", "", 7, "\"v1\"", 23133, false},
      {"not modified", Answer{304}, 0, "\"v1\"", modified, 7, "\"v1\"", 23131, false},
      {"another app's configuration is refused", configurationAnswer("9", "\"v2\"", "1:9:ios:ffff"), 0, "\"v1\"",
       modified, 7, "\"v1\"", 23136, false},
      {"after a library update the whole configuration is asked for", configurationAnswer("5", "\"v3\""), 1, "", "", 5,
       "\"v3\"", 23133, false},
      {"unavailable: back off", unavailable, 0, "\"v3\"", modified, 5, "\"v3\"", 23128, true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.title);
    if (step.libraryVersionBefore != 0) persistedConfig()->setConfigDXVVersion(step.libraryVersionBefore);
    persistedConfig()->setLastBackoffTimestamp(0);
    server->answer("GET", kConfigPath, step.answer);
    clearMonitorLines();
    RecordedRequest request = fetch();
    EXPECT_EQ(request.path, kConfigPath);
    EXPECT_EQ(request.header("If-None-Match"), step.ifNoneMatch);
    EXPECT_EQ(request.header("If-Modified-Since"), step.ifModifiedSince);
    EXPECT_EQ(config()->uploadMaxEventsPerBundle(), step.eventsPerBundle);
    EXPECT_EQ(persistedConfig()->configServerETag().value_or(""), step.storedETag);
    EXPECT_FALSE(linesWithCode(step.logged).empty());
    EXPECT_EQ(persistedConfig()->lastBackoffTimestamp(), step.backsOff ? clock->now() : 0);
    EXPECT_EQ(persistedConfig()->lastFailedUploadTimestamp(), step.backsOff ? clock->now() : 0);
    if (!step.backsOff) {
      EXPECT_FALSE(config()->isExpired());
    }
    clock->advance(10);
  }
  EXPECT_EQ(persistedConfig()->configDXVVersion(), QZMIdentity::kestrometerLibraryVersion());
}

TEST_F(ConfigFetch, AConfigurationAWeekOldIsFetchedAgainWhenTheAppBecomesActive) {
  server->answer("GET", kConfigPath, Answer{404});
  fetch();
  std::size_t requests = configFetches();
  // The block-list switches are off: they do not hold the refresh back.
  ASSERT_FALSE(config()->blocklistInternal());
  clock->advance(604800 - 1);
  becomeActive();
  EXPECT_EQ(configFetches(), requests);

  clock->advance(1);
  becomeActive();
  EXPECT_EQ(configFetches(), requests + 1);

  // Not while another request is in flight.
  clock->advance(604800);
  auto measurement = engine();
  ASSERT_TRUE(measurement);
  measurement->setNetworkRequestPending(true);
  foundation::NotificationCenter::defaultCenter().postNotificationName(
      ui::notificationName(ui::Notification::applicationDidBecomeActive));
  settleEngine();
  measurement->setNetworkRequestPending(false);
  EXPECT_EQ(configFetches(), requests + 1);
  EXPECT_EQ(linesWithCode(23143).size(), 1u);
}

TEST_F(ConfigFetch, AConfigurationWithFarMoreItemsThanAnAppUsesIsNotRead) {
  struct Case {
    std::size_t emptyRules;
    bool kept;
  } cases[] = {{10001, false}, {10000, true}};
  std::int64_t limit = 3;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.emptyRules);
    clearMonitorLines();
    Answer answer = configurationAnswer(std::to_string(++limit), "\"v\"");
    for (std::size_t i = 0; i < c.emptyRules; ++i) answer.body += std::string("\x2a\x00", 2);
    server->answer("GET", kConfigPath, answer);
    fetch();
    EXPECT_EQ(linesWithCode(23149).size(), c.kept ? 0u : 1u);
    EXPECT_EQ(config()->uploadMaxEventsPerBundle(), c.kept ? limit : 1000);
    clock->advance(10);
  }
}

TEST_F(ConfigFetch, AConfigurationWhoseProgramsDoNotDecodeIsRefusedAndTheOneInForceStays) {
  auto withProgram = testkit::configuration({{kEventsPerBundle, "7"}}, {}, 2);
  auto program = QZMPAssembleProgram(R"(
      (const "register" ($require "internal.registerCallback"))
      (function "edit" (array "e") (return 0))
      ($register 0 (get "edit") (map "type" "edit")))");
  ASSERT_TRUE(program.ok());
  NANOObjectArray programs{std::shared_ptr<NANOMessageBase>(*program)};
  NANOSetArray(withProgram.get(), QZMPBMeasurementConfig::kDynamicEventEditing, &programs);
  Answer kept{200};
  std::optional<foundation::Data> bytes = withProgram->protoBuffer();
  ASSERT_TRUE(bytes);
  kept.body.assign(bytes->begin(), bytes->end());
  kept.headers.emplace("ETag", "\"v1\"");
  server->answer("GET", kConfigPath, kept);
  fetch();
  std::shared_ptr<QZMPEventEditing> loaded = config()->eventEditing();
  ASSERT_TRUE(loaded);
  ASSERT_EQ(config()->uploadMaxEventsPerBundle(), 7);

  // A program nested deeper than any message decodes, after an otherwise
  // sound configuration.
  std::string chain = "1";
  for (int i = 0; i < 1100; ++i) chain = "(neg " + chain + ")";
  auto tooDeep = QZMPAssembleProgramBytes(chain);
  ASSERT_TRUE(tooDeep.ok());
  Answer refused = configurationAnswer("9", "\"v2\"");
  const std::uint32_t tag =
      QZMPBMeasurementConfig::messageClass.schema->fields[QZMPBMeasurementConfig::kDynamicEventEditing].tag;
  for (std::uint64_t value : {std::uint64_t{tag} << 3 | 2, std::uint64_t{tooDeep->size()}}) {
    for (; value >= 0x80; value >>= 7) refused.body.push_back(static_cast<char>(value | 0x80));
    refused.body.push_back(static_cast<char>(value));
  }
  refused.body += *tooDeep;
  server->answer("GET", kConfigPath, refused);
  clock->advance(10);
  clearMonitorLines();
  fetch();
  EXPECT_EQ(linesWithCode(23135).size(), 1u);
  EXPECT_TRUE(linesWithCode(29026).empty());
  EXPECT_EQ(config()->uploadMaxEventsPerBundle(), 7);
  EXPECT_EQ(config()->version(), 2);
  EXPECT_EQ(config()->eventEditing(), loaded);
  EXPECT_EQ(persistedConfig()->configServerETag().value_or(""), "\"v1\"");
  std::optional<foundation::Data> stored;
  onWorkerQueue([&] {
    auto config = database()->queryMeasurementConfigWithError();
    ASSERT_TRUE(config.ok() && *config);
    stored = (*config)->protoBuffer();
  });
  EXPECT_EQ(stored, bytes);
}

TEST_F(ConfigFetch, TheActivationRefreshWaitsOutTheBackOffOfAnUnavailableServer) {
  server->answer("GET", kConfigPath, Answer{503});
  fetch();
  ASSERT_EQ(persistedConfig()->lastBackoffTimestamp(), clock->now());
  ASSERT_EQ(config()->uploadingBackoffInterval(), 43200);
  // Never fetched, so always stale: only the back-off holds it.
  for (int minute = 1; minute <= 3; ++minute) {
    clock->advance(60);
    becomeActive();
  }
  EXPECT_EQ(configFetches(), 1u);
  EXPECT_EQ(linesWithCode(23146).size(), 3u);

  clock->advance(43200 - 180);
  becomeActive();
  EXPECT_EQ(configFetches(), 2u);
}


TEST_F(ConfigFetch, TheConsentDefaultsOfAKeptConfigurationTakeEffect) {
  auto answerFor = [](const std::string& appID) {
    auto made = testkit::configuration({}, {}, 3, appID);
    auto consent = QZMPBConsentConfig::initWithMessageInfo(nullptr);
    NANOObjectArray defaults;
    // Ad personalisation (4) denied (2).
    std::shared_ptr<QZMPBConsentDefaultEntry> entry = QZMPBConsentDefaultEntry::initWithMessageInfo(nullptr);
    NANOSetInt32(entry.get(), QZMPBConsentDefaultEntry::kConsentType, 4);
    NANOSetInt32(entry.get(), QZMPBConsentDefaultEntry::kDefaultValue, 2);
    defaults.emplace_back(std::static_pointer_cast<NANOMessageBase>(entry));
    NANOSetArray(consent.get(), QZMPBConsentConfig::kDefaults, &defaults);
    NANOSetMessage(made.get(), QZMPBMeasurementConfig::kConsentConfig, consent.get());
    Answer answer{200};
    std::optional<foundation::Data> bytes = made->protoBuffer();
    answer.body.assign(bytes->begin(), bytes->end());
    return answer;
  };
  struct Step {
    const char* title;
    std::string appID;
    bool denied;
  };
  const std::vector<Step> steps = {
      {"refused: another app's defaults do nothing", "1:9:ios:ffff", false},
      {"kept: its defaults are in force", testkit::kTestAppID, true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.title);
    server->answer("GET", kConfigPath, answerFor(step.appID));
    fetch();
    EXPECT_EQ(QZMConsentSettingsUtil::adPersonalization(), step.denied ? std::optional<bool>(false) : std::nullopt);
    // The "_npa" property follows at the next bundle.
    EXPECT_EQ(engine()->shouldUpdateNPAUserProperty(), step.denied);
  }
  auto npa = [&] {
    std::optional<std::int64_t> value;
    onWorkerQueue([&] {
      auto stored = database()->userAttributeWithName("_npa");
      ASSERT_TRUE(stored.ok());
      if (*stored) value = (*stored)->value.int64Value();
    });
    return value;
  };
  EXPECT_EQ(npa(), std::nullopt);
  storeEvent(storeMetadata(), "level_up", clock->now());
  ASSERT_EQ(bundleAll(), 1);
  EXPECT_EQ(npa(), 1);
  EXPECT_FALSE(engine()->shouldUpdateNPAUserProperty());
}
}  // namespace

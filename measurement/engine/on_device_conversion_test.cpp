// On-device conversion in the running engine: the membership lookup of an
// identifier the app gives (guards, the lookup over HTTPS, retries, what a
// match leaves behind) and the conversion service asked after configuration
// fetches. The lookup client is a stand-in class registered the way a linked
// library registers its own, so each test decides which initialisers exist
// and what an answer means; the server is a real one on 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "absl/strings/escaping.h"
#include "conversion/ODCConversionService.h"
#include "conversion/QZMPrivateSetMembershipClient.h"
#include "measurement/api/ZNHAnalytics.h"
#include "measurement/config/QZMMeasurementSettings.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/engine/EngineTestKit.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/foundation/QZMUtilities.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/model/QZMUserAttribute.h"
#include "measurement/model/audience/QZMRawEventData.h"
#include "platform/utilities/Endpoints.h"
#include "testing/MeasurementHost.h"
#include "testing/TlsServer.h"

namespace {

using foundation::Data;
using foundation::Dictionary;
using foundation::Object;

constexpr const char* kLookupPath = "/pagead/conversion/app/psm";
constexpr double kDay = 86400;

// What the engine asked of the client class.
struct Made {
  std::string initializer;
  std::string identifier;
  std::string appID;
  std::int32_t prefixBitLength = -1;
  bool operator==(const Made&) const = default;
};

// A lookup whose request names its identifier and whose answer "match:V"
// is the value V; anything else is no match.
class StandInClient : public QZMPrivateSetMembershipClient {
 public:
  StandInClient(std::int64_t inputType, std::string identifier, std::string baseURL)
      : inputType_(inputType), identifier_(std::move(identifier)), baseURL_(std::move(baseURL)) {}

  std::int64_t inputType() const override { return inputType_; }
  std::int32_t prefixBitLength() const override { return 0; }
  std::optional<std::string> PSMRequestURLWithRetryCount(std::int32_t retryCount) override {
    return baseURL_ + kLookupPath + "?psm_request=" + identifier_ + "&retry_count=" + std::to_string(retryCount);
  }
  std::optional<std::string> parsedPSMValueFromResponse(std::string_view body) override {
    if (body.substr(0, 6) != "match:") return std::nullopt;
    return std::string(body.substr(6));
  }
  std::optional<std::string> debugKey() const override { return "key-" + identifier_; }

 private:
  std::int64_t inputType_;
  std::string identifier_;
  std::string baseURL_;
};

std::string queryValue(const std::string& target, const std::string& key) {
  std::size_t at = target.find(key + "=");
  while (at != std::string::npos && at > 0 && target[at - 1] != '?' && target[at - 1] != '&') {
    at = target.find(key + "=", at + 1);
  }
  if (at == std::string::npos) return "<none>";
  std::size_t start = at + key.size() + 1;
  return target.substr(start, target.find('&', start) - start);
}

testkit::Answer reply(int status, std::string body = "") {
  testkit::Answer answer;
  answer.status = status;
  answer.body = std::move(body);
  return answer;
}

class OnDeviceConversion : public testkit::MeasurementHost {
 protected:
  void SetUp() override {
    MeasurementHost::SetUp();
    server = std::make_unique<testkit::TlsServer>();
    for (const char* name : {utilities::kEndpointMeasurement, utilities::kEndpointExperiments,
                             utilities::kEndpointConversionValues, utilities::kEndpointSearchAds,
                             utilities::kEndpointAdServices, utilities::kEndpointOnDeviceConversion}) {
      utilities::Endpoints::setOverride(name, server->baseURL());
    }
    utilities::Endpoints::setCABundleOverride(server->caBundlePath());
  }

  void TearDown() override {
    MeasurementHost::TearDown();
    server.reset();
    utilities::Endpoints::reset();
    QZMUtilities::registerClassObject(kQZMPSMClientClassName, {});
    QZMRegisterLinkedOnDeviceConversionClasses();
  }

  // A client class whose instances answer every initialiser; tests remove
  // the ones a class should lack.
  QZMPSMClientClass standInClass() {
    auto make = [this](std::string initializer, std::int64_t type) {
      return [this, initializer, type](std::string_view identifier, std::string_view appID,
                                       std::int32_t bits) -> QZMPSMClientClass::Client {
        std::string shown = type >= 3 ? absl::BytesToHexString(std::string(identifier)) : std::string(identifier);
        {
          std::lock_guard lock(mutex_);
          made_.push_back({initializer, shown, std::string(appID), bits});
        }
        if (shown == "refused") return nullptr;
        return std::make_shared<StandInClient>(type, shown, server->baseURL());
      };
    };
    auto plain = [make](std::string initializer, std::int64_t type) {
      auto withPrefix = make(initializer, type);
      return [withPrefix](std::string_view identifier, std::string_view appID) {
        return withPrefix(identifier, appID, -1);
      };
    };
    return QZMPSMClientClass{
        .initWithEmailAddress = plain("email", 1),
        .initWithEmailAddressPrefixBitLength = make("email", 1),
        .initWithPhoneNumber = plain("phone", 2),
        .initWithPhoneNumberPrefixBitLength = make("phone", 2),
        .initWithHashedEmailAddress = make("hashed email", 3),
        .initWithHashedPhoneNumber = make("hashed phone", 4),
    };
  }

  // Links the class under the current component's name and starts the app.
  void startWithClient(const QZMPSMClientClass& clientClass) {
    utilities->addClass(kODCPSMClientClassName);
    QZMUtilities::registerClassObject(kODCPSMClientClassName, clientClass);
    ASSERT_TRUE(configure().ok());
  }

  std::vector<Made> made() {
    std::lock_guard lock(mutex_);
    return made_;
  }

  void setSettings(std::vector<QZMMeasurementSettings::Text> texts) {
    engine()->remoteConfigInstance()->setSettings(QZMMeasurementSettings::settingsWithTexts(texts));
  }

  void onWorker(const std::function<void()>& block) {
    engine()->scheduler()->dispatchSyncOnWorkerQueueBlockID("test", block);
  }

  QZMPSMContext context() {
    QZMPSMContext copy;
    onWorker([&] {
      if (engine()->ODM1Context()) copy = *engine()->ODM1Context();
    });
    return copy;
  }

  // As the facade hands it over.
  void initiate(const Dictionary& userData) {
    engine()->setUserData(userData);
    settleEngine();
  }

  // Waits, bounded in real time, until no lookup is out.
  void waitForLookups() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      settleEngine();
      QZMPSMContext now = context();
      if (!now.isPSMRequestInProgress) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    FAIL() << "the lookup was not answered";
  }

  void waitForLookupCount(std::size_t count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (lookups().size() < count && std::chrono::steady_clock::now() < deadline) {
      settleEngine();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  std::vector<testkit::RecordedRequest> lookups() {
    std::vector<testkit::RecordedRequest> found;
    for (auto& request : server->requests()) {
      if (request.path == kLookupPath) found.push_back(request);
    }
    return found;
  }

  std::optional<Object> userProperty(const std::string& name) {
    auto stored = engine()->database()->userAttributeWithName(name);
    if (!stored.ok() || !*stored) return std::nullopt;
    return (*stored)->value;
  }

  void setUserProperty(const std::string& name, Object value, double setTimestamp) {
    ASSERT_TRUE(engine()->database()->updateUserAttribute({"auto", name, std::move(value), setTimestamp}).ok());
  }

  std::optional<std::string> odmValue(const std::string& name) {
    auto row = engine()->database()->ODMValueWithName(name);
    if (!row.ok() || row->empty()) return std::nullopt;
    return row->at("value").description();
  }

  // Returns once the engine has handled the server's answer.
  // Uploads the fetch sets off are answered and awaited too.
  void fetchConfiguration(const testkit::Answer& answer) {
    server->answer("GET", std::string("/config/app/") + testkit::kTestAppID, answer);
    server->answer("POST", "/a", uploadAnswer);
    waitForNetwork();
    std::size_t fetched = linesWithCode(23127).size();
    onWorker([&] { engine()->fetchRemoteConfig(); });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (linesWithCode(23127).size() == fetched && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_GT(linesWithCode(23127).size(), fetched) << "the fetch was not answered";
    settleEngine();
    waitForNetwork();
  }

  void waitForNetwork() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (engine()->isNetworkRequestPending() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      settleEngine();
    }
    ASSERT_FALSE(engine()->isNetworkRequestPending()) << "a request of the engine was not answered";
  }

  // The "_fxs" source of each "_fx" event kept, raw or already bundled;
  // every one must be real-time.
  std::vector<std::string> conversionEventSources() {
    std::vector<std::string> sources;
    onWorker([&] {
      auto stored = engine()->database()->allRawEventsWithError<QZMRawEventData>(QZMRawEventDataFromDictionary);
      ASSERT_TRUE(stored.ok());
      for (const QZMRawEventData& row : *stored) {
        const auto& event = *row.rawEvent();
        if (event.name() != "_fx") continue;
        EXPECT_TRUE(event.isRealtime());
        EXPECT_EQ(event.origin(), "auto");
        auto source = event.parameters().find("_fxs");
        sources.push_back(source == event.parameters().end() ? "<none>" : source->second.description());
      }
      auto queued = engine()->database()->queryBundlesWithCountLimit(1000, 100'000'000);
      ASSERT_TRUE(queued.ok());
      for (const QZMQueuedBundle& bundle : *queued) {
        for (const auto& event : NANOGetArray<QZMPBEvent>(bundle.bundle.get(), QZMPBMeasurementBundle::kEvents)
                                     .value_or(std::vector<std::shared_ptr<QZMPBEvent>>())) {
          if (NANOGetString(event.get(), QZMPBEvent::kName) != "_fx") continue;
          EXPECT_EQ(testkit::intParameter(*event, "_r"), 1);
          std::string source = "<none>";
          for (const auto& parameter : NANOGetArray<QZMPBEventParam>(event.get(), QZMPBEvent::kParams)
                                           .value_or(std::vector<std::shared_ptr<QZMPBEventParam>>())) {
            if (NANOGetString(parameter.get(), QZMPBEventParam::kName) == "_fxs") {
              source = NANOGetString(parameter.get(), QZMPBEventParam::kStringValue).value_or("");
            }
          }
          sources.push_back(source);
        }
      }
    });
    return sources;
  }

  // What uploads are answered with; a refused upload keeps its bundles.
  testkit::Answer uploadAnswer = reply(204);

  std::unique_ptr<testkit::TlsServer> server;

 private:
  std::mutex mutex_;
  std::vector<Made> made_;
};

const Data kDigest(32, 0xab);


// ---- Which identifier is looked up ----

TEST_F(OnDeviceConversion, TheFirstIdentifierItsGuardAcceptsGetsAClientMadeWithTheConfiguredPrefix) {
  struct Case {
    const char* name;
    Dictionary userData;
    std::vector<Made> made;
    std::vector<std::int64_t> refusals;
    bool initiated;
  };
  const std::string digestHex = absl::BytesToHexString(std::string(kDigest.begin(), kDigest.end()));
  const std::vector<Case> cases = {
      {"e-mail before phone", {{"email_address", "otter@example.com"}, {"phone_number", "+15550100"}},
       {{"email", "otter@example.com", "", 14}}, {}, true},
      {"empty e-mail falls to the phone", {{"email_address", ""}, {"phone_number", "+15550100"}},
       {{"phone", "+15550100", "", 11}}, {23234}, true},
      {"an e-mail the class refuses falls to the phone", {{"email_address", "refused"}, {"phone_number", "+15550100"}},
       {{"email", "refused", "", 14}, {"phone", "+15550100", "", 11}}, {}, true},
      {"empty phone", {{"phone_number", ""}}, {}, {23239}, false},
      {"hashed e-mail", {{"hashed_email_address", Object(kDigest)}}, {{"hashed email", digestHex, "", 14}}, {}, true},
      {"hashed phone", {{"hashed_phone_number", Object(kDigest)}}, {{"hashed phone", digestHex, "", 11}}, {}, true},
      {"empty digest", {{"hashed_email_address", Object(Data())}}, {}, {23264}, false},
      {"a value of the wrong kind is no identifier", {{"email_address", Object(kDigest)}}, {}, {}, false},
  };
  startWithClient(standInClass());
  setSettings({{"measurement.psm_start_count", "10"}});
  server->answer("GET", kLookupPath, reply(204));
  std::string appID = engine()->identity()->appID();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::size_t before = made().size();
    clearMonitorLines();
    initiate(c.userData);
    waitForLookups();
    std::vector<Made> expected = c.made;
    for (Made& m : expected) m.appID = appID;
    std::vector<Made> all = made();
    EXPECT_EQ(std::vector<Made>(all.begin() + before, all.end()), expected);
    std::vector<std::int64_t> refusals;
    for (const auto& line : monitorLines()) {
      bool refusal = line.level == 1 && line.messageCode >= 23233 && line.messageCode <= 23265;
      if (refusal) refusals.push_back(line.messageCode);
    }
    EXPECT_EQ(refusals, c.refusals);
    EXPECT_EQ(linesWithCode(23225).size(), c.initiated ? 1u : 0u);
  }
}

TEST_F(OnDeviceConversion, AClassLackingAnInitialiserGetsTheOneItHasOrRefusesTheKind) {
  QZMPSMClientClass older = standInClass();
  older.initWithEmailAddressPrefixBitLength = nullptr;
  older.initWithPhoneNumber = nullptr;
  older.initWithPhoneNumberPrefixBitLength = nullptr;
  older.initWithHashedEmailAddress = nullptr;
  older.initWithHashedPhoneNumber = nullptr;
  startWithClient(older);
  server->answer("GET", kLookupPath, reply(204));

  initiate({{"phone_number", "+15550100"}});
  EXPECT_EQ(linesWithCode(23262).size(), 1u);
  initiate({{"hashed_email_address", Object(kDigest)}});
  EXPECT_EQ(linesWithCode(23265).size(), 1u);
  EXPECT_TRUE(made().empty());

  initiate({{"email_address", "otter@example.com"}});
  waitForLookups();
  ASSERT_EQ(made().size(), 1u);
  EXPECT_EQ(made()[0].prefixBitLength, -1) << "the initialiser without a prefix length";
  EXPECT_EQ(lookups().size(), 1u);
}

// ---- Guards ----

TEST_F(OnDeviceConversion, GuardsRefuseOutsideTheFirstOpenWindowAndAfterAMatch) {
  startWithClient(standInClass());
  server->answer("GET", kLookupPath, reply(204));
  double now = foundation::now();
  auto firstOpenDaysAgo = [&](double days) {
    engine()->persistedConfig()->setFirstOpenTimestampMilliseconds(
        static_cast<std::int64_t>((now - days * kDay) * 1000));
  };

  firstOpenDaysAgo(61);
  initiate({{"email_address", "otter@example.com"}});
  EXPECT_EQ(linesWithCode(23261).size(), 1u);
  EXPECT_TRUE(made().empty());

  setSettings({{"measurement.psm_signin_delay", "90"}});
  initiate({{"email_address", "otter@example.com"}});
  waitForLookups();
  EXPECT_EQ(made().size(), 1u);

  firstOpenDaysAgo(1);
  setUserProperty("_psmvalue", Object("earlier"), now);
  initiate({{"email_address", "otter@example.com"}});
  EXPECT_EQ(linesWithCode(23237).size(), 1u);
  EXPECT_EQ(made().size(), 1u);
}

TEST_F(OnDeviceConversion, WithoutAClientClassThereIsNoContextAndTheGuardSaysSo) {
  ASSERT_TRUE(configure().ok());
  onWorker([&] { EXPECT_FALSE(engine()->ODM1Context()); });
  initiate({{"email_address", "otter@example.com"}});
  EXPECT_EQ(linesWithCode(23233).size(), 1u);
  EXPECT_TRUE(lookups().empty());
}

TEST_F(OnDeviceConversion, AnAppRunAllowsThreeInitiationsOrTenInDebugMode) {
  startWithClient(standInClass());
  server->answer("GET", kLookupPath, reply(200, "no"));
  auto initiateUntilRefused = [&](int expectedStarts) {
    for (int i = context().PSMStartCount; i < expectedStarts; ++i) {
      initiate({{"email_address", "otter" + std::to_string(i) + "@example.com"}});
      waitForLookups();
    }
    std::size_t refusals = linesWithCode(23236).size();
    initiate({{"email_address", "one-more@example.com"}});
    EXPECT_EQ(linesWithCode(23236).size(), refusals + 1);
    EXPECT_EQ(context().PSMStartCount, expectedStarts);
    EXPECT_EQ(lookups().size(), static_cast<std::size_t>(expectedStarts));
  };
  initiateUntilRefused(3);
  monitor->setDebugModeEnabled(true);
  initiateUntilRefused(10);
  EXPECT_EQ(linesWithCode(23230).size(), 10u);
  EXPECT_EQ(userProperty("_psmcount"), Object(std::int64_t{10}));
}

// ---- The lookup URL ----

TEST_F(OnDeviceConversion, TheLookupCarriesItsCountTheFirstOpenMinuteAndInDebugRunsTheKey) {
  struct Case {
    const char* name;
    Dictionary userData;
    std::int64_t firstOpenMillis;
    bool debug;
    std::vector<std::string> launchArguments;
    std::string countKey, count, firstOpen, debugKey;
  };
  // 1700000040 s lies on a whole minute.
  const std::vector<Case> cases = {
      {"e-mail 40.5 s past a minute", {{"email_address", "otter@example.com"}}, 1'700'000'080'500, false, {},
       "psm_count", "0", "1700000100", "<none>"},
      {"phone on a whole minute", {{"phone_number", "+15550100"}}, 1'700'000'040'000, false, {},
       "psm_phone_count", "0", "1700000100", "<none>"},
      {"no first open recorded", {{"email_address", "otter@example.com"}}, 0, false, {}, "psm_count", "1", "<none>",
       "<none>"},
      {"debug run", {{"email_address", "otter@example.com"}}, 0, true, {"tolv", "-DebugOnDeviceConversionMeasurement"},
       "psm_count", "2", "<none>", "key-otter@example.com"},
      {"debug mode without the argument", {{"email_address", "otter@example.com"}}, 0, true, {"tolv"}, "psm_count",
       "3", "<none>", "<none>"},
  };
  startWithClient(standInClass());
  setSettings({{"measurement.psm_start_count", "10"}});
  server->answer("GET", kLookupPath, reply(204));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine()->persistedConfig()->setFirstOpenTimestampMilliseconds(c.firstOpenMillis);
    monitor->setDebugModeEnabled(c.debug);
    utilities->setLaunchArguments(c.launchArguments);
    std::size_t before = lookups().size();
    initiate(c.userData);
    waitForLookups();
    ASSERT_EQ(lookups().size(), before + 1);
    const std::string target = lookups().back().target;
    EXPECT_EQ(queryValue(target, c.countKey), c.count) << target;
    EXPECT_EQ(queryValue(target, "timestamp_first_open"), c.firstOpen) << target;
    EXPECT_EQ(queryValue(target, "debug_psm_key"), c.debugKey) << target;
    EXPECT_EQ(queryValue(target, "retry_count"), "0");
  }
}

// ---- Answers ----

TEST_F(OnDeviceConversion, AMatchIsKeptAsTheRowAndTheUserPropertyAndEveryAnswerEndsTheAttempt) {
  struct Case {
    const char* name;
    int status;
    const char* body;
    std::optional<std::string> kept;
  };
  const std::vector<Case> cases = {
      {"204 without a body", 204, "", std::nullopt},
      {"an answer the client cannot read", 200, "garbage", std::nullopt},
      // HTTP gives a 304 no body; it still ends the attempt as an answer.
      {"304 is an answer, not a failure", 304, "", std::nullopt},
      {"200 with a match", 200, "match:dmFsdWU", "dmFsdWU"},
  };
  startWithClient(standInClass());
  setSettings({{"measurement.psm_start_count", "10"}});
  std::int64_t lookupsSoFar = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(engine()->database()->deleteUserAttributeWithName("_psmvalue").ok());
    clearMonitorLines();
    server->answer("GET", kLookupPath, reply(c.status, c.body));
    initiate({{"email_address", "otter@example.com"}});
    waitForLookups();
    ++lookupsSoFar;

    EXPECT_EQ(linesWithCode(c.kept ? 23229 : 23230).size(), 1u);
    EXPECT_TRUE(linesWithCode(23228).empty());
    if (c.kept) {
      EXPECT_EQ(odmValue("odm1_value"), c.kept);
      EXPECT_EQ(userProperty("_psmvalue"), Object(*c.kept));
      EXPECT_EQ(conversionEventSources(), std::vector<std::string>{"psm"});
    } else {
      EXPECT_EQ(userProperty("_psmvalue"), std::nullopt);
      EXPECT_TRUE(conversionEventSources().empty());
    }
    EXPECT_EQ(userProperty("_psmcount"), Object(lookupsSoFar));
    QZMPSMContext after = context();
    EXPECT_FALSE(after.PSMClient) << "an answered lookup ends the attempt";
    EXPECT_FALSE(after.isPSMRequestInProgress);
  }
}

TEST_F(OnDeviceConversion, FailedLookupsAreRetriedWithADoublingIntervalUntilTheLimit) {
  startWithClient(standInClass());
  fetchConfiguration(reply(404));
  server->answer("GET", kLookupPath, reply(503));
  initiate({{"phone_number", "+15550100"}});
  waitForLookups();

  for (double interval : {300.0, 600.0, 1200.0, 2400.0}) {
    SCOPED_TRACE(interval);
    QZMPSMContext now = context();
    ASSERT_TRUE(now.PSMRetryAlarm && now.PSMRetryAlarm->hasActiveTimer());
    EXPECT_EQ(now.PSMRetryAlarm->name(), "On-device conversion measurement timer");
    EXPECT_NEAR(now.PSMRetryAlarm->scheduledTimestamp()->secondsSince1970 - foundation::now(), interval, 1);
    EXPECT_TRUE(now.PSMClient) << "the client is kept for the retry";
    std::size_t before = lookups().size();
    clock->advance(interval - 1);
    settleEngine();
    EXPECT_EQ(lookups().size(), before);
    clock->advance(1);
    // An upload due at the same time may hold the lookup back until it ends.
    waitForLookupCount(before + 1);
    waitForLookups();
    ASSERT_EQ(lookups().size(), before + 1);
    EXPECT_EQ(queryValue(lookups().back().target, "retry_count"), std::to_string(before));
  }
  EXPECT_EQ(linesWithCode(23228).size(), 5u);
  EXPECT_EQ(linesWithCode(23231).size(), 1u);
  EXPECT_FALSE(context().PSMRetryAlarm->hasActiveTimer());
  EXPECT_EQ(userProperty("_psmcountph"), Object(std::int64_t{5})) << "failed lookups count too";
  for (const auto& request : lookups()) EXPECT_EQ(queryValue(request.target, "psm_request"), "+15550100");
}

TEST_F(OnDeviceConversion, ALookupWaitsWhileAnUploadIsPendingAndGoesWhenTheUploadEnds) {
  startWithClient(standInClass());
  // A fresh configuration: an expired one would be fetched first.
  fetchConfiguration(reply(404));
  server->answer("GET", kLookupPath, reply(204));
  server->answer("POST", "/a", reply(204));
  onWorker([&] {
    auto measurement = engine();
    ASSERT_TRUE(measurement);
    measurement->setNetworkRequestPending(true);
  });
  initiate({{"email_address", "otter@example.com"}});
  EXPECT_EQ(linesWithCode(23232).size(), 1u);
  EXPECT_TRUE(context().isPSMRequestPostponed);
  EXPECT_TRUE(lookups().empty());

  // The upload ends well; stored events, if any, go first, and the last
  // upload's end sends the lookup.
  DRKHTTPURLResponse ok;
  ok.statusCode = 204;
  onWorker([&] {
    auto measurement = engine();
    ASSERT_TRUE(measurement);
    measurement->setNetworkRequestPending(false);
    measurement->networkUploadCompletionHandlerWithResponse(ok, std::nullopt);
  });
  waitForLookupCount(1);
  waitForLookups();
  EXPECT_EQ(lookups().size(), 1u);
  EXPECT_FALSE(context().isPSMRequestPostponed);
}

TEST_F(OnDeviceConversion, AWipeStartsTheLookupsAfreshAndTheOldRetryNeverFires) {
  startWithClient(standInClass());
  fetchConfiguration(reply(404));
  server->answer("GET", kLookupPath, reply(503));
  initiate({{"email_address", "otter@example.com"}});
  waitForLookups();
  ASSERT_TRUE(context().PSMRetryAlarm && context().PSMRetryAlarm->hasActiveTimer());
  std::shared_ptr<QZMAlarm> oldRetry = context().PSMRetryAlarm;

  ASSERT_TRUE(engine()->resetAnalyticsDataWithAppInstanceID("wiped-instance"));
  settleEngine();
  QZMPSMContext fresh = context();
  EXPECT_FALSE(fresh.PSMClient);
  EXPECT_EQ(fresh.PSMStartCount, 0);
  EXPECT_EQ(fresh.PSMRetryCount, 0);
  EXPECT_FALSE(oldRetry->hasActiveTimer());

  clock->advance(300);
  waitForNetwork();
  EXPECT_EQ(lookups().size(), 1u);
  EXPECT_TRUE(linesWithCode(23227).empty()) << "no retry looked for a client in the new context";
}

// ---- Where the written behaviour is not followed ----

TEST_F(OnDeviceConversion, ARefusedInitiationNeverSendsTheClientKeptFromAFailedLookup) {
  startWithClient(standInClass());
  setSettings({{"measurement.psm_retry_count", "1"}});
  server->answer("GET", kLookupPath, reply(503));
  initiate({{"email_address", "otter@example.com"}});
  waitForLookups();
  ASSERT_EQ(linesWithCode(23231).size(), 1u) << "one failure reaches the limit of one";
  ASSERT_TRUE(context().PSMClient);

  initiate({{"email_address", "badger@example.com"}});
  EXPECT_EQ(linesWithCode(23238).size(), 1u);
  // A phone number is not even looked at while a client is held.
  initiate({{"phone_number", "+15550100"}});
  settleEngine();
  EXPECT_EQ(lookups().size(), 1u);
  EXPECT_EQ(made().size(), 1u);
  EXPECT_EQ(context().PSMRetryCount, 1);
  EXPECT_EQ(context().PSMStartCount, 1);
}

TEST_F(OnDeviceConversion, AnInitiationWhileALookupIsOutNeitherResetsNorResendsIt) {
  startWithClient(standInClass());
  server->answer("GET", kLookupPath, reply(204));
  // The answer cannot come back before the block ends.
  onWorker([&] {
    engine()->initiateODM1ProtocolWithUserData({{"email_address", "otter@example.com"}});
    engine()->initiateODM1ProtocolWithUserData({{"email_address", "badger@example.com"}});
  });
  EXPECT_EQ(linesWithCode(23235).size(), 1u);
  waitForLookups();
  EXPECT_EQ(lookups().size(), 1u);
  EXPECT_EQ(context().PSMStartCount, 1);
  EXPECT_EQ(made().size(), 1u);
}

TEST_F(OnDeviceConversion, ALookupTheNetworkRefusesAtOnceFreesTheNetworkAndIsRetried) {
  QZMPSMClientClass plainHTTP = standInClass();
  plainHTTP.initWithEmailAddressPrefixBitLength = [](std::string_view address, std::string_view,
                                                     std::int32_t) -> QZMPSMClientClass::Client {
    return std::make_shared<StandInClient>(1, std::string(address), "http://127.0.0.1:1");
  };
  startWithClient(plainHTTP);
  initiate({{"email_address", "otter@example.com"}});
  QZMPSMContext after = context();
  EXPECT_FALSE(after.isPSMRequestInProgress);
  EXPECT_FALSE(engine()->isNetworkRequestPending());
  std::vector<testkit::MonitorLine> refused = linesWithCode(23228);
  ASSERT_EQ(refused.size(), 1u);
  ASSERT_EQ(refused[0].contexts.size(), 2u);
  EXPECT_NE(refused[0].contexts[1].find("http://127.0.0.1:1/"), std::string::npos) << refused[0].contexts[1];
  // The endpoint only: the query carries the lookup.
  for (const testkit::MonitorLine& line : monitorLines()) {
    std::string text = line.message;
    for (const std::string& context : line.contexts) text += " " + context;
    EXPECT_EQ(text.find("psm_request"), std::string::npos) << text;
    EXPECT_EQ(text.find("otter@example.com"), std::string::npos) << text;
  }
  ASSERT_TRUE(after.PSMRetryAlarm);
  EXPECT_TRUE(after.PSMRetryAlarm->hasActiveTimer());
  EXPECT_EQ(after.PSMRetryCount, 1);
}

// ---- Start-up ----

TEST_F(OnDeviceConversion, StartUpForgetsAMatchAfterNinetyDaysAndRestoresAMissingRow) {
  struct Case {
    const char* name;
    std::optional<double> rowAgeDays;  // nullopt: no row
    double propertyAgeDays;
    std::optional<std::string> rowAfter;
    bool propertyAfter;
  };
  const std::vector<Case> cases = {
      {"old row, younger property: the row goes and is not copied back", 91, 30, std::nullopt, true},
      {"an old property goes with its counts", 10, 91, "row", false},
      {"a property without its row gets it back", std::nullopt, 30, "kept", true},
      {"both young", 10, 30, "row", true},
  };
  startWithClient(standInClass());
  auto database = engine()->database();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    double now = foundation::now();
    (void)database->deleteODMValueWithName("odm1_value");
    if (c.rowAgeDays) {
      ASSERT_TRUE(database->updateODMValue("row", "odm1_value", now - *c.rowAgeDays * kDay).ok());
    }
    for (const char* name : {"_psmvalue", "_psmcount", "_psmcounthph"}) {
      setUserProperty(name, name == std::string("_psmvalue") ? Object("kept") : Object(std::int64_t{2}),
                      now - c.propertyAgeDays * kDay);
    }
    onWorker([&] { engine()->maybeDeleteExpiredPSMValueOnWorkerQueue(); });
    EXPECT_EQ(odmValue("odm1_value"), c.rowAfter);
    EXPECT_EQ(userProperty("_psmvalue").has_value(), c.propertyAfter);
    EXPECT_EQ(userProperty("_psmcount").has_value(), c.propertyAfter);
    EXPECT_EQ(userProperty("_psmcounthph").has_value(), c.propertyAfter);
  }
}

// ---- The conversion service ----

// Answers on a thread of its own, as the service does; tests wait for it.
class StandInService : public ODCConversionServiceProtocol {
 public:
  explicit StandInService(std::int64_t version = 20000) : version_(version) {}
  ~StandInService() override { join(); }

  void setFirstLaunchTime(const std::optional<foundation::Date>& date) override {
    std::lock_guard lock(mutex);
    firstLaunch = date;
  }
  void fetchAggregateConversionInfoForInteraction(ODCInteractionType, ODCConversionInfoCompletion) override {}
  void fetchMeasurementInfoForInteraction(ODCInteractionType interaction,
                                          ODCConversionInfoCompletion completion) override {
    std::lock_guard lock(mutex);
    interactions.push_back(interaction);
    threads_.emplace_back([completion, value = answer, error = failure] { completion(value, error); });
  }
  std::string versionString() const override { return "2.0.0"; }
  std::int64_t versionNumber() const override { return version_; }

  void join() {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(mutex);
      threads.swap(threads_);
    }
    for (auto& thread : threads) thread.join();
  }

  std::mutex mutex;
  std::optional<foundation::Date> firstLaunch;
  std::vector<ODCInteractionType> interactions;
  std::optional<std::string> answer;
  std::optional<foundation::Error> failure;

 private:
  std::int64_t version_;
  std::vector<std::thread> threads_;
};

class ConversionService : public OnDeviceConversion {
 protected:
  void startWithService(std::shared_ptr<StandInService> service) {
    service_ = service;
    utilities->addClass(kODCConversionServiceClassName);
    QZMUtilities::registerClassObject(
        kODCConversionServiceClassName,
        QZMConversionServiceClass{.sharedInstance = [service]() -> std::shared_ptr<ODCConversionServiceProtocol> {
          return service;
        }});
    ASSERT_TRUE(configure().ok());
  }

  // A configuration fetch from the server, whose configuration switches the
  // service on or off; returns once the service's answer is handled.
  void fetch(bool remotelyEnabled) {
    testkit::Answer answer;
    answer.status = 200;
    std::optional<Data> bytes =
        testkit::configuration({{"measurement.odm2_enabled", remotelyEnabled ? "1" : "0"}}, {}, ++configVersion_)
            ->protoBuffer();
    answer.body.assign(bytes->begin(), bytes->end());
    fetchConfiguration(answer);
    if (service_) service_->join();
    settleEngine();
  }

  double setTimestamp(const std::string& name) {
    auto stored = engine()->database()->userAttributeWithName(name);
    return stored.ok() && *stored ? (*stored)->setTimestamp : -1;
  }

  std::shared_ptr<StandInService> service_;
  std::int64_t configVersion_ = 0;
};

TEST_F(ConversionService, TheServicesAnswerIsKeptChangedOrClearedAfterEachFetch) {
  auto service = std::make_shared<StandInService>();
  startWithService(service);
  engine()->persistedConfig()->setFirstOpenTimestampMilliseconds(1'699'000'000'250);

  uploadAnswer = reply(503);
  service->answer = "first";
  fetch(true);
  EXPECT_EQ(odmValue("odm2_value"), "first");
  EXPECT_EQ(userProperty("_psmvalue_dxds"), Object("first"));
  EXPECT_EQ(conversionEventSources(), std::vector<std::string>{"psm_dxds"});
  {
    std::lock_guard lock(service->mutex);
    EXPECT_EQ(service->interactions, std::vector<ODCInteractionType>{0});
    EXPECT_EQ(service->firstLaunch, foundation::Date{1'699'000'000.25});
  }

  double firstSet = setTimestamp("_psmvalue_dxds");
  clock->advance(60);
  fetch(true);
  EXPECT_EQ(linesWithCode(23282).size(), 1u);
  EXPECT_EQ(setTimestamp("_psmvalue_dxds"), firstSet) << "the same value changes nothing";

  service->failure = foundation::Error("ODC", 4001, "offline");
  fetch(true);
  EXPECT_EQ(linesWithCode(23269).size(), 1u);
  EXPECT_EQ(odmValue("odm2_value"), "first") << "an error keeps what was there";
  service->failure.reset();

  service->answer = "second";
  fetch(true);
  EXPECT_EQ(odmValue("odm2_value"), "second");
  EXPECT_EQ(userProperty("_psmvalue_dxds"), Object("second"));

  service->answer = "";
  fetch(true);
  EXPECT_EQ(linesWithCode(23281).size(), 1u);
  EXPECT_EQ(odmValue("odm2_value"), std::nullopt);
  EXPECT_EQ(userProperty("_psmvalue_dxds"), std::nullopt);
}

struct ClearingCase {
  const char* name;
  bool remotelyEnabled;
  bool adStorageDenied;
  bool serviceAnswers;
  std::int64_t code;
};

class ConversionServiceClearing : public ConversionService, public ::testing::WithParamInterface<ClearingCase> {};

TEST_P(ConversionServiceClearing, AServiceThatMayNotOrCannotAnswerClearsTheValue) {
  const ClearingCase& c = GetParam();
  auto service = c.serviceAnswers ? std::make_shared<StandInService>() : nullptr;
  startWithService(service);
  ASSERT_TRUE(engine()->database()->updateODMValue("earlier", "odm2_value", foundation::now()).ok());
  setUserProperty("_psmvalue_dxds", Object("earlier"), foundation::now());
  if (c.adStorageDenied) QZMConsentSettingsUtil::setConsentSettings(Dictionary{{"ad_storage", "denied"}});
  fetch(c.remotelyEnabled);
  EXPECT_EQ(linesWithCode(c.code).size(), 1u);
  EXPECT_EQ(odmValue("odm2_value"), std::nullopt);
  EXPECT_EQ(userProperty("_psmvalue_dxds"), std::nullopt);
  if (service) {
    std::lock_guard lock(service->mutex);
    EXPECT_TRUE(service->interactions.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ConversionServiceClearing,
                         ::testing::Values(ClearingCase{"switched off remotely", false, false, true, 23275},
                                           ClearingCase{"ad storage denied", true, true, true, 23276},
                                           ClearingCase{"no shared instance", true, false, false, 23268}),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           std::replace(name.begin(), name.end(), ' ', '_');
                           return name;
                         });

TEST_F(ConversionService, TheServicesVersionTellsWhichGenerationIsLinked) {
  startWithService(std::make_shared<StandInService>());
  for (auto [version, alpha, current] :
       std::vector<std::tuple<std::int64_t, bool, bool>>{{10000, true, false}, {10001, false, true}}) {
    SCOPED_TRACE(version);
    onWorker([&] {
      engine()->setConversionService(std::make_shared<StandInService>(version));
      EXPECT_EQ(engine()->isAlphaAppAdsOnDeviceConversionLinked(), alpha);
      EXPECT_EQ(engine()->isDralixAdsOnDeviceConversionLinked(), current);
    });
  }
}

struct LinkedCase {
  const char* name;
  std::vector<const char*> classes;
  std::vector<std::int64_t> codes;
};

class LinkedComponents : public ConversionService, public ::testing::WithParamInterface<LinkedCase> {};

TEST_P(LinkedComponents, StartUpSaysWhichComponentsAreLinked) {
  const LinkedCase& c = GetParam();
  for (const char* name : c.classes) utilities->addClass(name);
  QZMUtilities::registerClassObject(kQZMPSMClientClassName, standInClass());
  startWithService(std::make_shared<StandInService>());
  std::vector<std::int64_t> codes;
  for (const auto& line : monitorLines()) {
    for (std::int64_t code : {23253, 23254, 23278, 23279, 23292, 23298}) {
      if (line.messageCode == code) codes.push_back(code);
    }
  }
  EXPECT_EQ(codes, c.codes);
  onWorker([&] { EXPECT_EQ(engine()->ODM1Context() != nullptr, c.codes[0] == 23253); });
}

// startWithService links the service in every case; the client classes vary.
INSTANTIATE_TEST_SUITE_P(
    Cases, LinkedComponents,
    ::testing::Values(LinkedCase{"service_alone", {}, {23278}},
                      LinkedCase{"current_client", {kODCPSMClientClassName}, {23253, 23278}},
                      LinkedCase{"older_client", {kQZMPSMClientClassName}, {23253, 23298, 23278}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OnDeviceConversion, StartUpWithoutAClientWarnsOnlyWhenEarlierRunsCountedLookups) {
  ASSERT_TRUE(configure().ok());
  EXPECT_EQ(linesWithCode(23279).size(), 1u);
  EXPECT_TRUE(linesWithCode(23254).empty());
  setUserProperty("_psmcountph", Object(std::int64_t{1}), foundation::now());
  onWorker([&] { engine()->checkPSMDependencyOnWorkerQueue(); });
  EXPECT_EQ(linesWithCode(23254).size(), 1u);
}

}  // namespace

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "conversion/ODCCandidateFetcher.h"
#include "conversion/ODCConfigFetcher.h"
#include "conversion/ODCError.h"
#include "conversion/ODCMatchValidator.h"
#include "conversion/odc_test_kit.h"

namespace {

using foundation::Data;
using foundation::Dictionary;
using odctest::FakePSM;
using odctest::json;

Data bytes(const std::string& text) { return Data(text.begin(), text.end()); }
Dictionary parsed(const std::optional<Data>& data) {
  if (!data) return {{"<none>", true}};
  return *foundation::parseJSON(std::string(data->begin(), data->end()))->dictionary();
}

// The steps' request building and answer reading, called directly as the
// steps' own handlers call them.
class ODCRequestsTest : public odctest::ODCTest {
 protected:
  void SetUp() override {
    ODCTest::SetUp();
    home.setInfoPlist({{"CFBundleIdentifier", "com.example.app"}});
    store = ODCConversionStore::create();
    context = std::make_shared<ODCContext>(nullptr, queue, store, FakePSM::factory(psm));
  }

  std::shared_ptr<dispatch::Queue> queue = dispatch::Queue::create("com.tolv.test.odc");
  std::shared_ptr<ODCConversionStore> store;
  std::shared_ptr<ODCContext> context;
};

TEST_F(ODCRequestsTest, ConfigFieldsAreCheckedInOrder) {
  struct Case {
    const char* name;
    std::string body;
    std::int64_t code;  // 0: accepted
  } cases[] = {
      {"empty object", "{}", 5002},
      {"matching id a number", json({{"matching_id", 5}, {"bucketed_date", "d"}, {"prefix_length", 1}}), 5002},
      {"no bucketed date", json({{"matching_id", "AAEC"}, {"prefix_length", 1}}), 5003},
      {"prefix length a string", json({{"matching_id", "AAEC"}, {"bucketed_date", "d"}, {"prefix_length", "12"}}), 5004},
      {"prefix length beyond 32 bits",
       json({{"matching_id", "AAEC"}, {"bucketed_date", "d"}, {"prefix_length", std::int64_t{1} << 40}}), 5004},
      {"array root", "[]", 2001},
      {"complete", json({{"matching_id", "AAEC"}, {"bucketed_date", "d"}, {"prefix_length", 9}}), 0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    ODCConfigFetcher fetcher(context);
    auto error = fetcher.parsePSMConfigData(bytes(c.body));
    EXPECT_EQ(error ? error->code : 0, c.code);
    if (error) {
      EXPECT_EQ(error->domain, kODCErrorDomain);
    }
  }
}

TEST_F(ODCRequestsTest, AConfigBuildsTheClientTheRequestAndTheCandidateBody) {
  ODCConfigFetcher fetcher(context);
  std::string body = json({{"matching_id", "AAEC"}, {"bucketed_date", "2024-01-15"}, {"prefix_length", 12},
                           {"extension_data", "ext-1"}});
  ASSERT_FALSE(fetcher.createPSMRequestWithData(bytes(body)));
  ASSERT_EQ(psm->creations.size(), 1u);
  EXPECT_EQ(psm->creations[0].matchingID, "AAEC");
  EXPECT_EQ(psm->creations[0].bucketizedDate, "2024-01-15");
  EXPECT_EQ(psm->creations[0].bundleID, "com.example.app");
  EXPECT_EQ(psm->creations[0].prefixLength, 12);
  EXPECT_NE(context->PSMClient(), nullptr);
  EXPECT_EQ(context->PSMRequest(), absl::WebSafeBase64Escape("psm-request"));
  EXPECT_EQ(context->extensionData(), "ext-1");
  EXPECT_EQ(parsed(context->candidateRequestPayload()),
            (Dictionary{{"psm_request", absl::WebSafeBase64Escape("psm-request")}, {"odmed", "ext-1"}}));

  // Without extension data the body carries an empty one; a new client
  // replaces the old.
  body = json({{"matching_id", "AAEC"}, {"bucketed_date", "2024-01-15"}, {"prefix_length", 12},
               {"extension_data", 3}});
  ASSERT_FALSE(fetcher.createPSMRequestWithData(bytes(body)));
  EXPECT_TRUE(logged(5009, "Extension data is not a string."));
  EXPECT_EQ(psm->liveClients, 1);
  EXPECT_FALSE(context->extensionData());
  EXPECT_EQ(parsed(context->candidateRequestPayload())["odmed"], foundation::Object(""));
}

TEST_F(ODCRequestsTest, MembershipClientFailuresHaveTheirOwnCodes) {
  std::string body = json({{"matching_id", "AAEC"}, {"bucketed_date", "d"}, {"prefix_length", 1}});
  struct Case {
    const char* name;
    std::function<void(FakePSM&)> setUp;
    std::int64_t code;
  } cases[] = {
      {"client not made", [](FakePSM& p) { p.createStatus = absl::InternalError("matching_id_unescape_error"); }, 5000},
      {"request not made", [](FakePSM& p) { p.request = absl::InternalError("no"); }, 5001},
      {"empty request", [](FakePSM& p) { p.request = std::string(); }, 5010},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    psm = std::make_shared<FakePSM>();
    c.setUp(*psm);
    context = std::make_shared<ODCContext>(nullptr, queue, store, FakePSM::factory(psm));
    ODCConfigFetcher fetcher(context);
    auto error = fetcher.createPSMRequestWithData(bytes(body));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, c.code);
    EXPECT_FALSE(context->candidateRequestPayload());
  }
}

TEST_F(ODCRequestsTest, TheCandidateURLCarriesTheMinuteAfterTheFirstLaunch) {
  struct Case {
    std::optional<double> firstLaunch;
    std::int64_t minute;
  } cases[] = {
      {1000.7, 1020}, {1020.0, 1080}, {1079.99, 1080}, {std::nullopt, 60},
      {std::numeric_limits<double>::quiet_NaN(), 60}, {1e300, 1000000000000020},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.minute);
    std::optional<foundation::Date> date;
    if (c.firstLaunch) date = foundation::Date{*c.firstLaunch};
    EXPECT_EQ(ODCFirstLaunchMinute(date), c.minute);
  }
  store->setFirstLaunchTimestamp(foundation::Date{1000.7});
  utilities::Endpoints::setOverride(utilities::kEndpointOnDeviceConversion, "https://odm.example.test");
  ODCCandidateFetcher fetcher(context);
  std::string url = fetcher.PSMRequestURL();
  utilities::Endpoints::reset();
  EXPECT_EQ(url, "https://odm.example.test/odm/psm?" + fetcher.commonQueryParameters() + "&tfo=1020");
}

TEST_F(ODCRequestsTest, CandidateAnswersBecomeTheValidationBody) {
  auto answer = [](const std::string& response) { return json({{"psm_response", response}}); };
  struct Case {
    const char* name;
    std::string body;
    std::function<void(FakePSM&)> setUp;
    std::int64_t code;
  } cases[] = {
      {"response not a string", json({{"psm_response", 4}}), nullptr, 6002},
      {"no response", "{}", nullptr, 6002},
      {"standard Base64", answer("a+b/"), nullptr, 6003},
      {"undecodable", answer(absl::WebSafeBase64Escape("undecodable")), nullptr, 6000},
      {"not processed", answer(absl::WebSafeBase64Escape("v1")),
       [](FakePSM& p) { p.processStatus = absl::InvalidArgumentError("x"); }, 6001},
      {"nothing matched", answer(""), nullptr, 6007},
      {"array root", "[]", nullptr, 2001},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    psm = std::make_shared<FakePSM>();
    if (c.setUp) c.setUp(*psm);
    context = std::make_shared<ODCContext>(nullptr, queue, store, FakePSM::factory(psm));
    context->setPSMClient(std::move(*FakePSM::factory(psm)("AAEC", "d", "b", 1)));
    ODCCandidateFetcher fetcher(context);
    auto error = fetcher.findPSMMatchesWithData(bytes(c.body));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, c.code);
    EXPECT_FALSE(context->matchRequestPayload());
  }

  context->setExtensionData("ext-2");
  ODCCandidateFetcher fetcher(context);
  ASSERT_FALSE(fetcher.findPSMMatchesWithData(bytes(answer(absl::WebSafeBase64Escape("v1,v2")))));
  EXPECT_EQ(parsed(context->matchRequestPayload()),
            (Dictionary{{"mvs", absl::WebSafeBase64Escape("v1|v2")}, {"odmed", "ext-2"}}));
}

TEST_F(ODCRequestsTest, ValidationKeepsBothResultsOrNeither) {
  struct Case {
    const char* name;
    std::string body;
    std::int64_t code;
  } cases[] = {
      {"only aggregate", json({{"mv_aaps", "a"}}), 7000},
      {"only measurement", json({{"mv_qvz4f", "m"}}), 7001},
      {"measurement a number", json({{"mv_qvz4f", 1}, {"mv_aaps", "a"}}), 7000},
      {"empty body", "", 0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    ODCMatchValidator validator(context);
    auto error = validator.storeValidatedPSMValue(bytes(c.body));
    ASSERT_TRUE(error);
    if (c.code) {
      EXPECT_EQ(error->code, c.code);
    }
    EXPECT_FALSE(context->measurementInfo());
    EXPECT_FALSE(context->aggregateConversionInfo());
  }
  ODCMatchValidator validator(context);
  ASSERT_FALSE(validator.storeValidatedPSMValue(bytes(json({{"mv_qvz4f", ""}, {"mv_aaps", "a"}}))));
  EXPECT_EQ(context->measurementInfo(), "");
  EXPECT_EQ(context->aggregateConversionInfo(), "a");
}

}  // namespace

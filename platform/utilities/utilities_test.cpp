#include <gtest/gtest.h>
#include <zlib.h>

#include <thread>
#include <vector>

#include "platform/foundation/Files.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Random.h"
#include "platform/utilities/DRKAppDelegateSwizzler.h"
#include "platform/utilities/DRKAppEnvironmentUtil.h"
#include "platform/utilities/DRKLogger.h"
#include "platform/utilities/DRKMutableDictionary.h"
#include "platform/utilities/Endpoints.h"
#include "platform/utilities/Gzip.h"
#include "testing/LogCapture.h"
#include "testing/TemporaryHome.h"

namespace {

using foundation::Data;
using foundation::Object;

Data text(const std::string& s) { return Data(s.begin(), s.end()); }

TEST(Gzip, RoundTripsAndInflatesWhatZlibWrote) {
  Data large = *foundation::secureRandomBytes(1 << 20);
  for (const Data& original : {Data{}, text("a"), text(std::string(100000, 'x')), large}) {
    auto packed = drk_dataByGzippingData(original);
    ASSERT_TRUE(packed.ok());
    ASSERT_GE(packed->size(), 18u);
    EXPECT_EQ((*packed)[0], 0x1f);
    EXPECT_EQ((*packed)[1], 0x8b);
    auto unpacked = drk_dataByInflatingGzippedData(*packed);
    ASSERT_TRUE(unpacked.ok()) << unpacked.error().description;
    EXPECT_EQ(*unpacked, original);
  }
  // Two members back to back inflate to both contents.
  Data two = *drk_dataByGzippingData(text("one "));
  Data second = *drk_dataByGzippingData(text("two"));
  two.insert(two.end(), second.begin(), second.end());
  EXPECT_EQ(*drk_dataByInflatingGzippedData(two), text("one two"));
}

TEST(Gzip, DamagedOrOversizedInputIsAnError) {
  Data packed = *drk_dataByGzippingData(text(std::string(5000, 'q')));
  Data truncated(packed.begin(), packed.begin() + static_cast<long>(packed.size() / 2));
  Data flipped = packed;
  flipped[flipped.size() - 5] ^= 0xFF;  // the CRC no longer matches
  struct Case {
    const char* name;
    Data input;
    std::size_t limit;
    DRKGzipError code;
  } cases[] = {
      {"empty", {}, kDRKGzipDefaultInflateLimit, kDRKGzipCorrupt},
      {"not gzip", text("plain text"), kDRKGzipDefaultInflateLimit, kDRKGzipCorrupt},
      {"truncated", truncated, kDRKGzipDefaultInflateLimit, kDRKGzipCorrupt},
      {"bad checksum", flipped, kDRKGzipDefaultInflateLimit, kDRKGzipCorrupt},
      {"over the limit", packed, 4999, kDRKGzipTooLarge},
  };
  for (const auto& c : cases) {
    auto result = drk_dataByInflatingGzippedData(c.input, c.limit);
    ASSERT_FALSE(result.ok()) << c.name;
    EXPECT_EQ(result.error().code, c.code) << c.name;
  }
  EXPECT_TRUE(drk_dataByInflatingGzippedData(packed, 5000).ok());
}

TEST(DRKLogger, LevelsFilterAndForceShows) {
  testkit::LogCapture log;
  DRKSetLoggerLevel(DRKLoggerLevelNotice);
  DRKOSLogBasic(DRKLoggerLevelNotice, "com.dralix.zarnholt.analytics", "<Kestrometer>", false, "I-ACS041001",
                "shown");
  DRKOSLogBasic(DRKLoggerLevelDebug, "s", "<c>", false, "I-ACS000001", "hidden");
  DRKOSLogBasic(DRKLoggerLevelDebug, "s", "<c>", true, "I-ACS000002", "forced");
  DRKOSLogWarning("s", "<c>", "I-ACS041003", "warned");
  EXPECT_TRUE(DRKIsLoggableLevel(DRKLoggerLevelError));
  EXPECT_FALSE(DRKIsLoggableLevel(DRKLoggerLevelInfo));
  DRKSetLoggerLevel(DRKLoggerLevelDebug);
  EXPECT_TRUE(DRKIsLoggableLevel(DRKLoggerLevelDebug));
  DRKSetLoggerLevel(DRKLoggerLevelNotice);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "notice com.dralix.zarnholt.analytics <Kestrometer>[I-ACS041001] shown",
                             "debug s <c>[I-ACS000002] forced",
                             "warning s <c>[I-ACS041003] warned",
                         }));
}

TEST(DRKMutableDictionary, SerialisesAccessesAndHandsOutSnapshots) {
  DRKMutableDictionary d;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&d, t] {
      for (int i = 0; i < 200; ++i) {
        d.setObject(i, "k" + std::to_string(t) + "_" + std::to_string(i));
        (void)d.dictionary();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(d.count(), 800u);
  auto snapshot = d.dictionary();
  d.removeObjectForKey("k0_0");
  d.setObject(Object(), "k0_1");
  EXPECT_EQ(d.count(), 798u);
  EXPECT_EQ(snapshot.size(), 800u);
  EXPECT_EQ(*d.objectForKey("k3_199"), Object(199));
  d.removeAllObjects();
  EXPECT_EQ(d.count(), 0u);
}

TEST(DRKAppEnvironmentUtil, ReportsTheSettableOSVersion) {
  foundation::Device::setSystemVersion("16.2");
  EXPECT_EQ(DRKAppEnvironmentUtil::systemVersion(), "16.2");
  foundation::Device::setSystemVersion(std::nullopt);
  EXPECT_FALSE(DRKAppEnvironmentUtil::deviceModel().empty());
  EXPECT_FALSE(DRKAppEnvironmentUtil::isSimulator());
}

TEST(Endpoints, LayersFromDefaultsToTests) {
  testkit::TemporaryHome home;
  utilities::Endpoints::reset();
  // 1. Defaults never resolve.
  EXPECT_EQ(utilities::Endpoints::baseURL(utilities::kEndpointMeasurement), "https://measurement.endpoints.invalid");
  EXPECT_EQ(utilities::Endpoints::caBundle(), utilities::kDefaultCABundle);

  // 2. The service property list.
  foundation::Dictionary service{
      {"DRALIX_APP_ID", "1:123:ios:abc"},
      {"TOLV_ENDPOINTS", foundation::Dictionary{{"measurement", "https://plist.example/"},
                                                {"experiments", "https://plist-exp.example"},
                                                {"CA_BUNDLE", "/plist/ca.pem"}}}};
  ASSERT_TRUE(foundation::writePropertyListFile(home.bundleDirectory() + "/DralixService-Info.plist", service).ok());
  home.relaunch();
  EXPECT_EQ(utilities::Endpoints::baseURL("measurement"), "https://plist.example");
  EXPECT_EQ(utilities::Endpoints::caBundle(), "/plist/ca.pem");

  // 3. A file named by the environment wins over the list.
  std::string file = home.root() + "/endpoints.json";
  ASSERT_TRUE(foundation::writeFileAtomically(file, std::string_view(R"({"measurement": "https://file.example"})")).ok());
  foundation::ProcessInfo::setEnvironmentOverride(utilities::kEndpointsFileVariable, file);
  utilities::Endpoints::reset();
  EXPECT_EQ(utilities::Endpoints::baseURL("measurement"), "https://file.example");
  EXPECT_EQ(utilities::Endpoints::baseURL("experiments"), "https://plist-exp.example");

  // 4. Tests win over everything.
  utilities::Endpoints::setOverride("measurement", "https://127.0.0.1:4443/");
  utilities::Endpoints::setCABundleOverride("/test/ca.pem");
  EXPECT_EQ(utilities::Endpoints::baseURL("measurement"), "https://127.0.0.1:4443");
  EXPECT_EQ(utilities::Endpoints::caBundle(), "/test/ca.pem");

  // A corrupt file is logged and ignored.
  ASSERT_TRUE(foundation::writeFileAtomically(file, std::string_view("{broken")).ok());
  testkit::LogCapture log;
  utilities::Endpoints::reset();
  EXPECT_EQ(utilities::Endpoints::baseURL("measurement"), "https://plist.example");
  EXPECT_TRUE(log.contains("Endpoints: ignoring $TOLV_ENDPOINTS_FILE"));

  foundation::ProcessInfo::clearEnvironmentOverrides();
  utilities::Endpoints::reset();
}

class LinkCatcher : public DRKAppDelegateInterceptor {
 public:
  bool applicationOpenURL(const std::string& url, const foundation::Dictionary&) override {
    urls.push_back(url);
    return false;
  }
  std::vector<std::string> urls;
};

TEST(DRKAppDelegateSwizzler, EventsReachLiveInterceptorsUnlessTheProxyIsOff) {
  testkit::TemporaryHome home;
  auto catcher = std::make_shared<LinkCatcher>();
  std::string id = DRKAppDelegateSwizzler::registerAppDelegateInterceptor(catcher);
  ASSERT_FALSE(id.empty());
  EXPECT_FALSE(DRKAppDelegateSwizzler::applicationOpenURL("tolv://open?x=1"));
  int completions = 0;
  DRKAppDelegateSwizzler::applicationHandleEventsForBackgroundURLSession("s", [&] { ++completions; });
  EXPECT_EQ(completions, 1);
  DRKAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(id);
  DRKAppDelegateSwizzler::applicationOpenURL("tolv://after");
  EXPECT_EQ(catcher->urls, (std::vector<std::string>{"tolv://open?x=1"}));

  home.setInfoPlist({{"ZarnholtAppDelegateProxyEnabled", false}});
  EXPECT_FALSE(DRKAppDelegateSwizzler::isAppDelegateProxyEnabled());
  EXPECT_EQ(DRKAppDelegateSwizzler::registerAppDelegateInterceptor(catcher), "");
}

}  // namespace

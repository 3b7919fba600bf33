#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>

#include "measurement/foundation/QZMFoundationCategories.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMPlatformUtilities.h"
#include "measurement/foundation/QZMUtilities.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyList.h"
#include "platform/utilities/DRKLogger.h"
#include "testing/LogCapture.h"

namespace {

using foundation::Data;
using foundation::Object;

TEST(DataMD5, LeastSignificantBitsAndFingerprints) {
  EXPECT_EQ(qzm_64LeastSignificantBits(Data{}), 0u);
  EXPECT_EQ(qzm_64LeastSignificantBits(Data{0x01, 0x02}), 258u);
  Data sixteen;
  for (std::uint8_t i = 0; i < 16; ++i) sixteen.push_back(i);
  EXPECT_EQ(qzm_64LeastSignificantBits(sixteen), 0x08090A0B0C0D0E0FULL);

  // RFC 1321: MD5("abc") = 900150983cd24fb0 d6963f7d28e17f72.
  Data abc{'a', 'b', 'c'};
  auto digest = qzm_MD5Data(abc);
  EXPECT_EQ(digest[0], 0x90);
  EXPECT_EQ(digest[15], 0x72);
  EXPECT_EQ(qzm_64LSBMD5(abc), static_cast<std::int64_t>(0xd6963f7d28e17f72ULL));
  EXPECT_LT(qzm_64LSBMD5(abc), 0);
}

TEST(StringCategories, DigestsBitsAndLengths) {
  EXPECT_EQ(qzm_MD5String("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(qzm_MD5String(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(qzm_MD5String("\xff"), std::nullopt);

  struct BitCase {
    std::int64_t index;
    bool enabled;
  } bits[] = {{0, false}, {1, true}, {3, true}, {4, false}, {-1, false}, {INT64_MIN, false}};
  for (const auto& c : bits) EXPECT_EQ(isBitEnabledAtIndex("0101", c.index), c.enabled) << c.index;

  EXPECT_EQ(qzm_UTF32Length("a\u00e9\U0001F600"), 3u);
  std::uint8_t buffer[12] = {};
  ASSERT_TRUE(qzm_getUTF32Bytes("a\U0001F600b", buffer, 9));  // room for two whole characters
  const std::uint8_t expected[12] = {'a', 0, 0, 0, 0x00, 0xF6, 0x01, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(buffer, expected, sizeof buffer));
  EXPECT_FALSE(qzm_getUTF32Bytes("\xc3", buffer, 12));
}

TEST(QueryCategories, QueryStringsAndArguments) {
  EXPECT_EQ(qzm_queryString({}), "");
  // Separators inside keys and values cannot change the query's shape.
  EXPECT_EQ(qzm_queryString({{"app id", "1:2&x=y+z"}, {"dxv_version", 111400}, {"platform", "ios"}}),
            "app%20id=1%3A2%26x%3Dy%2Bz&dxv_version=111400&platform=ios");

  struct Case {
    std::string text;
    std::map<std::string, std::string> arguments;
  } cases[] = {
      {"a=1&b&a=2", {{"a", "1"}, {"b", ""}}},
      {"x=1=2", {{"x", "1=2"}}},
      {"%ZZ", {{"", ""}}},
      {"k=a+b%20c&&", {{"k", "a b c"}}},
      {"", {}},
      {"gclid=%E2%9C%93&utm=%ZZ", {{"gclid", "\u2713"}, {"utm", ""}}},
  };
  for (const auto& c : cases) EXPECT_EQ(qzm_dictionaryWithHttpArgumentsString(c.text), c.arguments) << c.text;
  EXPECT_EQ(qzm_stringByUnescapingFromURLArgument("a+b%2B"), "a b+");
  EXPECT_EQ(qzm_stringByUnescapingFromURLArgument("%4"), std::nullopt);
  EXPECT_EQ(qzm_stringByUnescapingFromURLArgument("%FF"), std::nullopt);
}

class PlatformUtilities : public testkit::FoundationTest {
 protected:
  void TearDown() override {
    foundation::Device::setPreferredLanguages(std::nullopt);
    foundation::Device::setSystemVersion(std::nullopt);
    foundation::ProcessInfo::setArguments({});
    DRKSetLoggerLevel(DRKLoggerLevelNotice);
    if (savedTZ) {
      ::setenv("TZ", savedTZ->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
    FoundationTest::TearDown();
  }
  std::optional<std::string> savedTZ = std::getenv("TZ") ? std::optional<std::string>(std::getenv("TZ")) : std::nullopt;
};

TEST_F(PlatformUtilities, EnvironmentInfoReportsTheDevice) {
  QZMEnvironmentInfo info;
  EXPECT_EQ(info.deviceModel(), info.deviceModel());
  EXPECT_EQ(linesWithCode(14000).size(), info.deviceModel().empty() ? 1u : 0u);

  foundation::Device::setSystemVersion("6.1.0");
  EXPECT_EQ(info.deviceOSVersion(), "6.1.0");
  foundation::Device::setSystemVersion("6.2.1");
  EXPECT_EQ(info.deviceOSVersion(), "6.2.1");

  foundation::Device::setPreferredLanguages(std::vector<std::string>{"de-AT", "en-US"});
  EXPECT_EQ(info.userDefaultLanguage(), "de-at");
  foundation::Device::setPreferredLanguages(std::vector<std::string>{});
  EXPECT_EQ(info.userDefaultLanguage(), std::nullopt);
  EXPECT_EQ(linesWithCode(14001).size(), 1u);

  struct Zone {
    const char* tz;
    std::int32_t minutes;
  } zones[] = {{"XST+9:30", -570}, {"XST-5:45", 345}, {"XST+3:30", -210}, {"UTC0", 0}};
  for (const auto& zone : zones) {
    ::setenv("TZ", zone.tz, 1);
    EXPECT_EQ(info.timeZoneOffsetMinutes(), zone.minutes) << zone.tz;
  }
}

TEST_F(PlatformUtilities, StaticConfigurationLegacyClassAndServicePropertyList) {
  EXPECT_EQ(QZMAppStaticConfig::sharedInstance()->screenReportingEnabled(), std::nullopt);
  EXPECT_FALSE(QZMBackwardCompatibilityUtil::disableDQRMeasurement());

  EXPECT_EQ(QZMDralixServiceFileUtil::dralixServiceInfoPlistPath(), std::nullopt);
  EXPECT_EQ(QZMDralixServiceFileUtil::dictionaryFromDralixServiceInfoPlist(), std::nullopt);
  const std::string path = home->bundleDirectory() + "/DralixService-Info.plist";
  ASSERT_TRUE(foundation::writePropertyListFile(path, foundation::Array{1}).ok());
  EXPECT_EQ(QZMDralixServiceFileUtil::dralixServiceInfoPlistPath(), path);
  EXPECT_EQ(QZMDralixServiceFileUtil::dictionaryFromDralixServiceInfoPlist(), std::nullopt);
  ASSERT_TRUE(foundation::writePropertyListFile(path, foundation::Dictionary{{"DRALIX_APP_ID", "1:2:ios:3"}}).ok());
  EXPECT_EQ(QZMDralixServiceFileUtil::dictionaryFromDralixServiceInfoPlist(),
            (foundation::Dictionary{{"DRALIX_APP_ID", "1:2:ios:3"}}));
}

// The default services, not the test kit's: launch arguments reach the
// monitor and its lines reach the utilities framework's console.
TEST_F(PlatformUtilities, DefaultServicesStandOnThePlatform) {
  QZMUtilities::setShared(nullptr);
  auto utilities = QZMUtilities::shared();
  foundation::ProcessInfo::setArguments(
      {"/usr/bin/tolv", "-QZMAnalyticsDebugEnabled", "-QZMAnalyticsVerboseLoggingEnabled"});
  EXPECT_EQ(utilities->launchArguments().size(), 3u);
  EXPECT_TRUE(utilities->classExists("ZNHApp"));
  EXPECT_FALSE(utilities->classExists("DQRMeasurement"));
  EXPECT_FALSE(utilities->classExists("ZNHTestOnlyClass"));
  QZMUtilities::registerClassName("ZNHTestOnlyClass");
  EXPECT_TRUE(utilities->classExists("ZNHTestOnlyClass"));

  testkit::LogCapture console;
  auto launched = QZMMonitor::initWithLibraryVersion(111400);
  EXPECT_TRUE(launched->isDebugModeEnabled());
  EXPECT_TRUE(launched->isVerboseLoggingEnabled());
  EXPECT_TRUE(DRKIsLoggableLevel(DRKLoggerLevelDebug));
  launched->logWithLevel(7, 23051, "debug line");
  launched->logWithLevel(8, 24999, "verbose line");
  testkit::settle(launched->monitorQueue());
  EXPECT_TRUE(console.contains("com.dralix.zarnholt.analytics <Kestrometer>[I-ACS023051] debug line"));
  EXPECT_TRUE(console.contains("[I-ACS024999] verbose line"));
  launched->setDebugModeEnabled(false);
  launched->setVerboseLoggingEnabled(false);
  testkit::settle(launched->monitorQueue());

  // Secure random numbers below a bound cover it evenly enough to see every value.
  std::set<std::uint32_t> seen;
  for (int i = 0; i < 400; ++i) {
    std::uint32_t value = utilities->uniformRandom(5);
    ASSERT_LT(value, 5u);
    seen.insert(value);
  }
  EXPECT_EQ(seen.size(), 5u);
  EXPECT_EQ(utilities->uniformRandom(0), 0u);
  EXPECT_NE(*utilities->secureRandomUInt64(), *utilities->secureRandomUInt64());
}

}  // namespace

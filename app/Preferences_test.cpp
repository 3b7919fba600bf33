#include "app/Preferences.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <fstream>
#include <limits>

#include "testing/LogCapture.h"
#include "testing/TemporaryHome.h"

namespace {

using foundation::Object;
using foundation::UserDefaults;

class PreferencesTest : public ::testing::Test {
 protected:
  std::shared_ptr<UserDefaults> defaults() { return UserDefaults::standard(); }
  testkit::TemporaryHome home;
  testkit::LogCapture log;
};

TEST_F(PreferencesTest, NothingStoredGivesTheFirstLaunchValues) {
  EXPECT_EQ(preferences::load(*defaults()), FluidSettings{});
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(PreferencesTest, SavedValuesComeBackBitForBitAfterARelaunch) {
  FluidSettings s;
  // Values that no short decimal writes exactly.
  s.fingerRadius = std::nextafter(0.03f, 1.0f);
  s.vorticity = 1.0f / 3.0f;
  s.colorDiffusion = std::nextafter(7.0f, 0.0f);
  s.velocityDiffusion = 0.1f + 0.2f;
  s.splatForce = 2.9999998f;
  s.particleNum = 57;
  s.particleRadius = std::nextafter(0.005f, 1.0f);
  s.damping = 0.9100001f;
  s.renderPoint = false;
  s.usingShading = false;
  s.usingBloom = true;
  s.usingSunrays = false;
  s.lineNum = 14999;
  ASSERT_TRUE(preferences::save(*defaults(), s).ok());
  home.relaunch();
  FluidSettings loaded = preferences::load(*defaults());
  EXPECT_EQ(std::bit_cast<std::uint32_t>(loaded.fingerRadius), std::bit_cast<std::uint32_t>(s.fingerRadius));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(loaded.vorticity), std::bit_cast<std::uint32_t>(s.vorticity));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(loaded.velocityDiffusion), std::bit_cast<std::uint32_t>(s.velocityDiffusion));
  EXPECT_EQ(loaded, s);
  // Pressure and particle frequency are never stored.
  EXPECT_FALSE(defaults()->objectForKey("pressureKey"));
  EXPECT_EQ(defaults()->keys().size(), 13u);
}

TEST_F(PreferencesTest, EachKeyFallsBackOrIsBroughtIntoRangeOnItsOwn) {
  struct Row {
    const char* key;
    Object stored;
    const char* expect;  // the member that changes, as "name=value", or "" for none
    bool logged;
  };
  const Row rows[] = {
      {"fingerRadiusKey", Object(0.05f), "fingerRadius=0.05", false},
      {"fingerRadiusKey", Object(5.0), "fingerRadius=0.1", true},
      {"fingerRadiusKey", Object(-1.0), "fingerRadius=0.01", true},
      {"vorticityKey", Object("a lot"), "", true},
      {"splatForceKey", Object(std::numeric_limits<double>::infinity()), "", true},
      {"dampingKey", Object(2), "damping=1", true},
      {"particleNumKey", Object(0), "particleNum=1", true},
      {"particleNumKey", Object(57.9), "particleNum=57", false},
      {"particleNumKey", Object(100000), "particleNum=200", true},
      {"currentLineNumKey", Object(-5), "lineNum=0", true},
      {"currentLineNumKey", Object(20000), "lineNum=15000", true},
      {"usingBloomKey", Object(false), "usingBloom=0", false},
      {"usingBloomKey", Object(foundation::Array{}), "", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.key) + " " + row.expect);
    ASSERT_TRUE(defaults()->removeAllObjects().ok());
    // The others are all there, as a second launch has them.
    ASSERT_TRUE(preferences::save(*defaults(), FluidSettings{}).ok());
    ASSERT_TRUE(defaults()->setObject(row.stored, row.key).ok());
    testkit::LogCapture rowLog;
    FluidSettings s = preferences::load(*defaults());
    FluidSettings want;
    std::string e = row.expect;
    if (!e.empty()) {
      std::string name = e.substr(0, e.find('='));
      double v = std::stod(e.substr(e.find('=') + 1));
      if (name == "fingerRadius") want.fingerRadius = static_cast<float>(v);
      if (name == "damping") want.damping = static_cast<float>(v);
      if (name == "particleNum") want.particleNum = static_cast<std::int64_t>(v);
      if (name == "lineNum") want.lineNum = static_cast<std::int64_t>(v);
      if (name == "usingBloom") want.usingBloom = v != 0;
    }
    EXPECT_EQ(s, want);
    EXPECT_EQ(!rowLog.lines().empty(), row.logged);
  }
}

TEST_F(PreferencesTest, AMissingKeyBesideOthersTakesItsOwnDefault) {
  FluidSettings s;
  s.fingerRadius = 0.05f;
  s.lineNum = 12;
  ASSERT_TRUE(preferences::save(*defaults(), s).ok());
  ASSERT_TRUE(defaults()->removeObjectForKey("currentLineNumKey").ok());
  ASSERT_TRUE(defaults()->removeObjectForKey("usingSunraysKey").ok());
  FluidSettings loaded = preferences::load(*defaults());
  EXPECT_FLOAT_EQ(loaded.fingerRadius, 0.05f);
  EXPECT_EQ(loaded.lineNum, 9000);
  EXPECT_TRUE(loaded.usingSunrays);
}

TEST_F(PreferencesTest, ACorruptFileGivesTheDefaultsAndALine) {
  FluidSettings s;
  s.vorticity = 20;
  ASSERT_TRUE(preferences::save(*defaults(), s).ok());
  const std::string path = defaults()->filePath();
  std::ofstream(path, std::ios::trunc) << "<?xml version=\"1.0\"?><plist><dict><key>vort";
  home.relaunch();
  EXPECT_EQ(preferences::load(*defaults()), FluidSettings{});
  EXPECT_TRUE(log.contains("corrupt")) << testing::PrintToString(log.lines());
  // The launch counter starts again and the file is written anew.
  EXPECT_EQ(preferences::countVisit(*defaults()), 0);
  home.relaunch();
  EXPECT_EQ(preferences::countVisit(*defaults()), 1);
}

TEST_F(PreferencesTest, TheVisitCounterCountsEarlierLaunches) {
  EXPECT_EQ(preferences::countVisit(*defaults()), 0);
  EXPECT_EQ(defaults()->integerForKey(preferences::kVisitNumberKey), 1);
  home.relaunch();
  EXPECT_EQ(preferences::countVisit(*defaults()), 1);
  home.relaunch();
  EXPECT_EQ(preferences::countVisit(*defaults()), 2);
  ASSERT_TRUE(defaults()->setObject(Object("seven"), preferences::kVisitNumberKey).ok());
  EXPECT_EQ(preferences::countVisit(*defaults()), 0);
  // A stored count at the top of the range stays there rather than overflowing.
  constexpr std::int64_t kTop = std::numeric_limits<std::int64_t>::max();
  ASSERT_TRUE(defaults()->setInteger(kTop, preferences::kVisitNumberKey).ok());
  EXPECT_EQ(preferences::countVisit(*defaults()), kTop);
  EXPECT_EQ(defaults()->integerForKey(preferences::kVisitNumberKey), kTop);
}

}  // namespace

#include <gtest/gtest.h>

#include "platform/core/ZNHApp.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PropertyList.h"
#include "testing/TemporaryHome.h"

namespace {

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ZNHApp::resetForTests(); }
  void TearDown() override { ZNHApp::resetForTests(); }
  testkit::TemporaryHome home;
};

struct Counter {
  int value = 0;
};

class CountingLibrary : public ZNHLibrary {
 public:
  std::vector<ZNHComponent> componentsToRegister() const override {
    return {ZNHComponent::componentWithProtocol("ZNHAnalyticsInterop", [this](ZNHApp&) {
      ++made;
      return std::static_pointer_cast<void>(std::make_shared<Counter>());
    })};
  }
  mutable int made = 0;
};

TEST_F(CoreTest, ConfiguringStartsAnalyticsOnceWithTheOptions) {
  int starts = 0;
  std::string appID;
  bool deactivated = true;
  ZNHApp::setAnalyticsStart([&](std::shared_ptr<ZNHAnalyticsConfiguration> configuration, const ZNHOptions& o) {
    ++starts;
    appID = o.dralixAppID();
    deactivated = o.isAnalyticsCollectionDeactivated();
    EXPECT_EQ(configuration, ZNHAnalyticsConfiguration::sharedInstance());
  });
  EXPECT_FALSE(ZNHApp::isDefaultAppConfigured());
  EXPECT_EQ(ZNHApp::configure(ZNHOptions("")).error().code, kZNHErrorNoAppID);
  ASSERT_TRUE(ZNHApp::configure(ZNHOptions("1:1234:ios:abcd")).ok());
  EXPECT_TRUE(ZNHApp::isDefaultAppConfigured());
  EXPECT_EQ(ZNHApp::configure(ZNHOptions("1:1234:ios:abcd")).error().code, kZNHErrorAlreadyConfigured);
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(appID, "1:1234:ios:abcd");
  EXPECT_FALSE(deactivated);
}

TEST_F(CoreTest, DefaultOptionsComeFromTheServicePropertyList) {
  EXPECT_EQ(ZNHApp::configure().error().code, kZNHErrorNoOptions);
  ASSERT_TRUE(foundation::writePropertyListFile(home.bundleDirectory() + "/DralixService-Info.plist",
                                                foundation::Dictionary{{"DRALIX_APP_ID", "1:99:ios:ff"},
                                                                       {"IS_ANALYTICS_ENABLED", false}})
                  .ok());
  home.relaunch();
  ASSERT_TRUE(ZNHApp::configure().ok());
  EXPECT_EQ(ZNHApp::defaultApp()->options().dralixAppID(), "1:99:ios:ff");
  EXPECT_FALSE(ZNHApp::defaultApp()->options().isAnalyticsCollectionEnabled());
}

TEST_F(CoreTest, ComponentsAreMadeOnFirstRequestOnce) {
  auto library = std::make_shared<CountingLibrary>();
  ZNHApp::registerInternalLibrary(library, "zarn-analytics", "11.14.0");
  EXPECT_EQ(ZNHApp::registeredLibraries().at("zarn-analytics"), "11.14.0");
  ASSERT_TRUE(ZNHApp::configure(ZNHOptions("1:1:ios:1")).ok());
  auto app = ZNHApp::defaultApp();
  EXPECT_EQ(library->made, 0);
  auto first = app->instance<Counter>("ZNHAnalyticsInterop");
  auto second = app->instance<Counter>("ZNHAnalyticsInterop");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_EQ(library->made, 1);
  EXPECT_EQ(app->instanceForProtocol("Unknown"), nullptr);
}

TEST_F(CoreTest, ConfigurationPostsTheCollectionSwitch) {
  auto configuration = ZNHAnalyticsConfiguration::sharedInstance();
  std::optional<foundation::Object> seen;
  auto token = foundation::NotificationCenter::defaultCenter().addObserverForName(
      kZNHAnalyticsConfigurationSetEnabledNotification, configuration.get(), nullptr,
      [&](const foundation::Notification& n) { seen = n.userInfo.at(kZNHAnalyticsConfigurationSetEnabledNotification); });
  configuration->setAnalyticsCollectionEnabled(false);
  foundation::NotificationCenter::defaultCenter().removeObserver(token);
  ASSERT_TRUE(seen.has_value());
  EXPECT_EQ(*seen, foundation::Object(false));
}

}  // namespace

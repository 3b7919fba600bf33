#include "app/AppDelegate.h"

#include <gtest/gtest.h>

#include "platform/ui/Views.h"
#include "testing/LogCapture.h"

namespace {

class PlainScene : public ui::Scene {};

class CountingController : public ui::MetalViewController {
 public:
  using ui::MetalViewController::MetalViewController;
};

TEST(AppDelegate, LaunchesAndAllowsLandscapeOnly) {
  AAPLAppDelegate delegate;
  EXPECT_TRUE(delegate.didFinishLaunchingWithOptions());
  ui::Window window;
  EXPECT_EQ(delegate.supportedInterfaceOrientationsForWindow(&window), 24u);
  EXPECT_EQ(delegate.supportedInterfaceOrientationsForWindow(nullptr) & (ui::kOrientationMaskPortrait |
                                                                         ui::kOrientationMaskPortraitUpsideDown),
            0u);
}

TEST(SceneDelegate, ConnectingDarkensOnlyTheScenesOwnWindows) {
  auto view = ui::HeadlessView::create(ui::Size{8, 8}, 1.0);
  ASSERT_TRUE(view.ok()) << view.error().text();
  ui::Application application;
  ui::WindowScene scene, otherScene;
  CountingController ours(**view), theirs(**view);
  ui::Window mine, other;
  mine.windowScene = &scene;
  mine.rootViewController = &ours;
  other.windowScene = &otherScene;
  other.rootViewController = &theirs;
  application.addWindow(&other);
  application.addWindow(&mine);

  struct Row {
    const char* name;
    ui::Scene* scene;
    ui::UserInterfaceStyle mine, other;
    int ourUpdates;
  };
  PlainScene plain;
  const Row rows[] = {
      {"not a window scene", &plain, ui::UserInterfaceStyle::unspecified, ui::UserInterfaceStyle::unspecified, 0},
      {"the window scene", &scene, ui::UserInterfaceStyle::dark, ui::UserInterfaceStyle::unspecified, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    testkit::LogCapture log;
    SceneDelegate delegate(application);
    delegate.willConnectToSession(*row.scene);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[tolv] connected"});
    EXPECT_EQ(mine.overrideUserInterfaceStyle, row.mine);
    EXPECT_EQ(other.overrideUserInterfaceStyle, row.other);
    EXPECT_EQ(ours.statusBarAppearanceUpdates, row.ourUpdates);
    EXPECT_EQ(theirs.statusBarAppearanceUpdates, 0);
  }
}

TEST(SceneDelegate, LogsEachStepOfTheScenesLife) {
  testkit::LogCapture log;
  SceneDelegate delegate;
  ui::WindowScene scene;
  delegate.sceneWillEnterForeground(scene);
  delegate.sceneDidBecomeActive(scene);
  delegate.sceneWillResignActive(scene);
  delegate.sceneDidEnterBackground(scene);
  delegate.sceneDidDisconnect(scene);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"[tolv] sceneWillEnterForeground", "[tolv] sceneDidBecomeActive",
                                                   "[tolv] sceneWillResignActive", "[tolv] sceneDidEnterBackground",
                                                   "[tolv] disconnected"}));
}

}  // namespace

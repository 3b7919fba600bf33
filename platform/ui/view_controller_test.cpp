// View controllers as other libraries see them (appearance hooks, windows,
// containment, class names) and the application's key window and
// background tasks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Application.h"
#include "platform/ui/ContainerViewControllers.h"
#include "platform/ui/ViewController.h"

namespace tolvtest {

// A controller of the app: its own appearance work comes before the hooks.
class ScreenController : public ui::ViewController {
 public:
  explicit ScreenController(std::string name, std::vector<std::string>* log) : name_(std::move(name)), log_(log) {}
  void viewDidAppear(bool animated) override {
    log_->push_back(name_ + " appears");
    ui::ViewController::viewDidAppear(animated);
  }
  void viewDidDisappear(bool animated) override {
    log_->push_back(name_ + " disappears");
    ui::ViewController::viewDidDisappear(animated);
  }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::vector<std::string>* log_;
};

class ViewControllers : public ::testing::Test {
 protected:
  void SetUp() override {
    token_ = ui::ViewController::addAppearanceHooks({
        .didAppear = [this](ui::ViewController& vc) { log.push_back("hook: " + nameOf(vc) + " appeared"); },
        .didDisappear = [this](ui::ViewController& vc) { log.push_back("hook: " + nameOf(vc) + " disappeared"); },
    });
  }
  void TearDown() override { ui::ViewController::removeAppearanceHooks(token_); }

  static std::string nameOf(ui::ViewController& vc) {
    auto* screen = dynamic_cast<ScreenController*>(&vc);
    return screen ? screen->name() : vc.className();
  }

  std::vector<std::string> log;
  ui::Window window;

 private:
  ui::ViewController::AppearanceHooksToken token_ = 0;
};

TEST_F(ViewControllers, HooksRunAfterTheControllersOwnAppearanceUntilRemoved) {
  ScreenController home("home", &log);
  home.viewDidAppear(false);
  home.viewDidDisappear(false);
  TearDown();
  home.viewDidAppear(false);
  SetUp();
  EXPECT_EQ(log, (std::vector<std::string>{"home appears", "hook: home appeared", "home disappears",
                                           "hook: home disappeared", "home appears"}));
}

TEST_F(ViewControllers, NavigationBringsItsTopOnAndOffScreen) {
  ScreenController root("root", &log), detail("detail", &log);
  ui::NavigationController navigation(root);
  navigation.loadViewIfNeeded();
  navigation.setViewWindow(&window);
  navigation.viewDidAppear(false);
  EXPECT_EQ(root.viewWindow(), &window);
  EXPECT_TRUE(root.isViewLoaded());

  log.clear();
  navigation.pushViewController(detail);
  EXPECT_EQ(navigation.visibleViewController(), &detail);
  EXPECT_EQ(root.viewWindow(), nullptr);
  EXPECT_EQ(detail.viewWindow(), &window);
  EXPECT_EQ(detail.parentViewController(), &navigation);
  EXPECT_EQ(log, (std::vector<std::string>{"root disappears", "hook: root disappeared", "detail appears",
                                           "hook: detail appeared"}));

  navigation.popViewController();
  navigation.popViewController();  // the root stays
  EXPECT_EQ(navigation.viewControllers(), (std::vector<ui::ViewController*>{&root}));
  EXPECT_EQ(detail.parentViewController(), nullptr);
  EXPECT_EQ(detail.viewWindow(), nullptr);
  EXPECT_EQ(root.viewWindow(), &window);
}

TEST_F(ViewControllers, TabsShowOnlyTheSelectedOne) {
  ScreenController first("first", &log), second("second", &log);
  ui::TabBarController tabs;
  tabs.setViewWindow(&window);
  tabs.setViewControllers({&first, &second});
  EXPECT_EQ(tabs.selectedViewController(), &first);
  EXPECT_EQ(first.viewWindow(), &window);
  EXPECT_EQ(second.viewWindow(), nullptr);
  tabs.setSelectedIndex(1);
  tabs.setSelectedIndex(7);  // out of range: nothing changes
  EXPECT_EQ(tabs.selectedViewController(), &second);
  EXPECT_EQ(first.viewWindow(), nullptr);
  EXPECT_EQ(second.viewWindow(), &window);
  EXPECT_EQ(tabs.childViewControllers().size(), 2u);
}

TEST_F(ViewControllers, APresentedControllerIsBeingPresentedWhileItAppears) {
  ScreenController root("root", &log);
  root.setViewWindow(&window);
  bool presentingDuringAppearance = false;
  struct Sheet : ui::ViewController {
    bool* seen;
    explicit Sheet(bool* s) : seen(s) {}
    void viewDidAppear(bool animated) override {
      *seen = isBeingPresented();
      ui::ViewController::viewDidAppear(animated);
    }
  } sheet(&presentingDuringAppearance);
  root.presentViewController(sheet);
  EXPECT_TRUE(presentingDuringAppearance);
  EXPECT_FALSE(sheet.isBeingPresented());
  EXPECT_EQ(root.presentedViewController(), &sheet);
  EXPECT_EQ(sheet.viewWindow(), &window);
  root.dismissViewController();
  EXPECT_EQ(root.presentedViewController(), nullptr);
  EXPECT_EQ(sheet.viewWindow(), nullptr);
}

TEST_F(ViewControllers, DestroyedControllersLeaveNoDanglingLinks) {
  ScreenController parent("parent", &log);
  std::weak_ptr<ui::ViewController* const> reference;
  {
    ScreenController child("child", &log);
    parent.addChildViewController(child);
    reference = child.weakReference();
    ASSERT_FALSE(reference.expired());
    EXPECT_EQ(*reference.lock(), &child);
  }
  EXPECT_TRUE(reference.expired());
  EXPECT_TRUE(parent.childViewControllers().empty());
}

TEST_F(ViewControllers, ClassNamesAreQualifiedAndPlatformClassesAreNotTheApps) {
  ScreenController app("app", &log);
  ui::NavigationController navigation(app);
  ui::ViewController plain;
  struct Local : ui::TabBarController {};
  Local local;
  EXPECT_EQ(app.className(), "tolvtest.ScreenController");
  EXPECT_EQ(app.superclassName(), "ui.ViewController");
  EXPECT_TRUE(app.isClassFromMainBundle());
  EXPECT_EQ(navigation.className(), "ui.NavigationController");
  EXPECT_FALSE(navigation.isClassFromMainBundle());
  EXPECT_FALSE(plain.isClassFromMainBundle());
  EXPECT_EQ(local.superclassName(), "ui.TabBarController");
}

TEST(Application, KeyWindowTellsTheWindowThatResigned) {
  ui::Application application;
  ui::Window first, second;
  std::vector<const void*> resigned;
  auto& center = foundation::NotificationCenter::defaultCenter();
  auto token = center.addObserverForName(ui::notificationName(ui::Notification::windowDidResignKey), nullptr, nullptr,
                                         [&](const foundation::Notification& n) { resigned.push_back(n.object); });
  application.addWindow(&first);
  application.addWindow(&second);
  application.makeKeyWindow(&first);
  application.makeKeyWindow(&first);
  application.makeKeyWindow(&second);
  application.removeWindow(&second);
  center.removeObserver(token);
  EXPECT_EQ(application.keyWindow(), nullptr);
  EXPECT_EQ(resigned, (std::vector<const void*>{&first, &second}));
}

TEST(Application, BackgroundTasksEndByTheirHolderOrWhenTheTimeIsUp) {
  ui::Application application;
  ui::BackgroundTaskIdentifier upload = ui::kBackgroundTaskInvalid, sync = ui::kBackgroundTaskInvalid;
  int expired = 0;
  upload = application.beginBackgroundTask("upload", [&] {
    ++expired;
    application.endBackgroundTask(upload);
  });
  sync = application.beginBackgroundTask("sync", [&] {
    ++expired;
    application.endBackgroundTask(sync);
  });
  EXPECT_NE(upload, ui::kBackgroundTaskInvalid);
  EXPECT_NE(upload, sync);
  EXPECT_EQ(application.backgroundTaskNames(), (std::vector<std::string>{"upload", "sync"}));
  application.endBackgroundTask(sync);
  application.endBackgroundTask(sync);
  application.endBackgroundTask(ui::kBackgroundTaskInvalid);
  EXPECT_EQ(application.backgroundTaskNames(), (std::vector<std::string>{"upload"}));
  application.expireBackgroundTasks();
  EXPECT_EQ(expired, 1);
  EXPECT_TRUE(application.backgroundTaskNames().empty());
}

}  // namespace tolvtest

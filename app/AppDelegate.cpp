#include "app/AppDelegate.h"

#include "app/support/AppLog.h"
#include "platform/ui/View.h"

void SceneDelegate::willConnectToSession(ui::Scene& scene) {
  app::log("[tolv] connected");
  auto* windowScene = dynamic_cast<ui::WindowScene*>(&scene);
  if (windowScene == nullptr) return;
  for (ui::Window* w : application_.windows()) {
    if (w->windowScene != windowScene) continue;
    w->overrideUserInterfaceStyle = ui::UserInterfaceStyle::dark;
    if (w->rootViewController) w->rootViewController->setNeedsStatusBarAppearanceUpdate();
  }
}

void SceneDelegate::sceneDidDisconnect(ui::Scene&) { app::log("[tolv] disconnected"); }
void SceneDelegate::sceneDidBecomeActive(ui::Scene&) { app::log("[tolv] sceneDidBecomeActive"); }
void SceneDelegate::sceneWillResignActive(ui::Scene&) { app::log("[tolv] sceneWillResignActive"); }
void SceneDelegate::sceneWillEnterForeground(ui::Scene&) { app::log("[tolv] sceneWillEnterForeground"); }
void SceneDelegate::sceneDidEnterBackground(ui::Scene&) { app::log("[tolv] sceneDidEnterBackground"); }

// The application delegate and the window-scene delegate: launch, landscape
// only, the dark style on the connecting scene's windows, and one log line
// for each step of the scene's life.
#pragma once

#include "platform/ui/Application.h"

class AAPLAppDelegate : public ui::ApplicationDelegate {
 public:
  bool didFinishLaunchingWithOptions() override { return true; }
  ui::InterfaceOrientationMask supportedInterfaceOrientationsForWindow(ui::Window*) override {
    return ui::kOrientationMaskLandscape;
  }

  ui::Window* window = nullptr;
};

class SceneDelegate : public ui::SceneDelegate {
 public:
  explicit SceneDelegate(ui::Application& application = ui::Application::shared()) : application_(application) {}

  void willConnectToSession(ui::Scene& scene) override;
  void sceneDidDisconnect(ui::Scene& scene) override;
  void sceneDidBecomeActive(ui::Scene& scene) override;
  void sceneWillResignActive(ui::Scene& scene) override;
  void sceneWillEnterForeground(ui::Scene& scene) override;
  void sceneDidEnterBackground(ui::Scene& scene) override;

  ui::Window* window = nullptr;

 private:
  ui::Application& application_;
};

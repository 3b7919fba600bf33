#include "app/Storyboard.h"

#include <cstdlib>

#include "app/AppDelegate.h"
#include "app/ViewController.h"
#include "app/panel/SwiftUIViewProvider.h"
#include "app/support/AppLog.h"
#include "app/support/DispatchMainQueue.h"
#include "platform/audio/mixer.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Paths.h"
#include "platform/panel/sdl_overlay.h"
#include "platform/store/store.h"
#include "resources/resources.h"

namespace app {

void openStoreLink(const std::string& link) {
  foundation::Status opened = store::openURL(link);
  if (!opened.ok()) app::log("%s", opened.error().description.c_str());
}

foundation::Result<int> runWindowed(const ui::RunHooks& hooks) {
  // The toy's preferences have always lived under this identifier.
  foundation::Bundle::setDefaultBundleIdentifier(foundation::kToyBundleIdentifier);
  // The resources the build made, unless the environment names others.
  if (std::getenv("TOLV_RESOURCES") == nullptr) {
    foundation::Paths::setResourcesDirectory(resources::bundlePath());
    foundation::Bundle::setMain(nullptr);
  }
  const std::string resourcePath = foundation::Bundle::main()->bundlePath();

  DispatchMainQueue queue;
  SwiftUIViewProvider::setMainQueue(&queue);
  audio::Mixer mixer([](std::function<void()> block) { dispatch::Queue::main()->async(std::move(block)); });
  ui::Application& application = ui::Application::shared();

  AAPLAppDelegate delegate;
  ui::SceneConfiguration storyboard;
  storyboard.makeSceneDelegate = [] { return std::make_unique<SceneDelegate>(); };
  storyboard.makeWindowContents = [&](SDL_Window* window, ui::MetalView& view) {
    ui::WindowContents contents;
    const panel::Idiom idiom =
        application.userInterfaceIdiom == ui::UserInterfaceIdiom::pad ? panel::Idiom::pad : panel::Idiom::phone;
    panel::Environment* environment = nullptr;
    auto overlay = panel::SdlOverlay::create(window, idiom, resourcePath);
    if (overlay.ok()) {
      environment = &(*overlay)->environment();
      contents.overlay = std::move(overlay).value();
    } else {
      app::log("The control panel cannot be shown: %s", overlay.error().description.c_str());
    }
    ViewController::Services services;
    services.queue = &queue;
    services.audioSession = &mixer;
    services.players = &mixer;
    services.resourcePath = resourcePath;
    services.application = &application;
    services.makeSheet = [] { return std::make_shared<store::DesktopProductViewController>(); };
    services.openURL = openStoreLink;
    services.environment = environment;
    contents.rootViewController = std::make_shared<ViewController>(view, std::move(services));
    return contents;
  };
  foundation::Result<int> status = ui::UIApplicationMain(delegate, storyboard, hooks);
  SwiftUIViewProvider::reset();
  dispatch::drainMainQueue();
  SwiftUIViewProvider::setMainQueue(nullptr);
  return status;
}

}  // namespace app

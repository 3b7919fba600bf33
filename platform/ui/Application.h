// The application, its scenes and windows, their delegates, the
// application's notifications and background time. Nothing here needs a
// window system (SceneLifeCycle.h drives a scene from the window's events).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/ui/AssociatedObjects.h"

namespace ui {

enum class UserInterfaceStyle { unspecified = 0, light = 1, dark = 2 };
enum class UserInterfaceIdiom { phone = 0, pad = 1 };

// Orientations of the interface and their masks.
enum class InterfaceOrientation { portrait = 1, portraitUpsideDown = 2, landscapeRight = 3, landscapeLeft = 4 };
using InterfaceOrientationMask = unsigned;
inline constexpr InterfaceOrientationMask kOrientationMaskPortrait = 1u << 1;
inline constexpr InterfaceOrientationMask kOrientationMaskPortraitUpsideDown = 1u << 2;
inline constexpr InterfaceOrientationMask kOrientationMaskLandscapeRight = 1u << 3;
inline constexpr InterfaceOrientationMask kOrientationMaskLandscapeLeft = 1u << 4;
inline constexpr InterfaceOrientationMask kOrientationMaskLandscape =
    kOrientationMaskLandscapeLeft | kOrientationMaskLandscapeRight;

class ViewController;

class Scene {
 public:
  virtual ~Scene() = default;
};

// A scene that shows windows.
class WindowScene : public Scene {};

class Window {
 public:
  WindowScene* windowScene = nullptr;
  UserInterfaceStyle overrideUserInterfaceStyle = UserInterfaceStyle::unspecified;
  ViewController* rootViewController = nullptr;
  AssociatedObjects associatedObjects;
};

class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual bool didFinishLaunchingWithOptions() = 0;
  virtual InterfaceOrientationMask supportedInterfaceOrientationsForWindow(Window* window) = 0;
  // Whether the delegate opens URLs at all; one that does overrides both.
  virtual bool respondsToOpenURL() const { return false; }
  // Asks the app to open the URL; answers whether it did.
  virtual bool openURL(const std::string& /*url*/, const foundation::Dictionary& /*options*/) { return false; }
};

class SceneDelegate {
 public:
  virtual ~SceneDelegate() = default;
  virtual void willConnectToSession(Scene& scene) = 0;
  virtual void sceneDidDisconnect(Scene& scene) = 0;
  virtual void sceneDidBecomeActive(Scene& scene) = 0;
  virtual void sceneWillResignActive(Scene& scene) = 0;
  virtual void sceneWillEnterForeground(Scene& scene) = 0;
  virtual void sceneDidEnterBackground(Scene& scene) = 0;
};

enum class Notification {
  applicationDidFinishLaunching,
  applicationDidBecomeActive,
  applicationWillResignActive,
  applicationWillEnterForeground,
  applicationDidEnterBackground,
  applicationWillTerminate,
  deviceOrientationDidChange,
  // Posted with the window that stopped being the key window as its sender.
  windowDidResignKey,
};
// The notification's name in the process's notification centre, where other
// libraries (the SDK) observe it.
const char* notificationName(Notification name);
// Keys of the launch options, which the launch notification carries as its
// user info: the URL the app was opened with (a string), and the activity
// it continues (a dictionary holding the activity under its own key).
inline constexpr const char* kLaunchOptionsURLKey = "UIApplicationLaunchOptionsURLKey";
inline constexpr const char* kLaunchOptionsUserActivityDictionaryKey =
    "UIApplicationLaunchOptionsUserActivityDictionaryKey";
inline constexpr const char* kLaunchOptionsUserActivityKey = "UIApplicationLaunchOptionsUserActivityKey";
// Posted through the default notification centre, with the scene as its
// sender, just before a scene connects.
inline constexpr const char* kSceneWillConnectNotification = "UISceneWillConnectNotification";

using BackgroundTaskIdentifier = std::uint64_t;
inline constexpr BackgroundTaskIdentifier kBackgroundTaskInvalid = 0;

// The process's application object: its windows and its notifications, which
// are posted through the default notification centre with the application as
// their sender. Main thread only, apart from the observer list and the
// background tasks, which any thread may use.
class Application {
 public:
  static Application& shared();
  Application() = default;
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // The delegate UIApplicationMain runs the application with; null outside it.
  ApplicationDelegate* delegate() const { return delegate_.load(); }
  void setDelegate(ApplicationDelegate* delegate) {
    if (delegate != nullptr) hasUserInterface_ = true;
    delegate_ = delegate;
  }

  // A process that runs no UI application of its own still has a life
  // cycle, which the platform drives as an operating system would: the
  // first call posts didFinishLaunching and didBecomeActive, and the
  // process's normal exit (returning from main, exit) posts
  // willResignActive, didEnterBackground and willTerminate. Nothing is posted
  // once a UI application has run (it posts its own), nor while turned off.
  void launchWithoutUserInterface();
  // On unless turned off (tests that post the notifications themselves).
  void setLaunchesWithoutUserInterface(bool enabled) { launchesWithoutUserInterface_ = enabled; }
  // The exit half of that life cycle: posts willResignActive,
  // didEnterBackground and willTerminate on the caller's thread, once, and
  // only for a process launched without a UI application.
  void terminateWithoutUserInterface();
  // From the first notification of that exit on.
  bool isTerminating() const { return terminating_.load(); }

  // The process's normal exit, run by an exit handler: a library that must
  // work around the goodbye (finish its start-up before it, write after it)
  // takes the exit over with its own sequence, which then calls
  // terminateWithoutUserInterface itself; without one the goodbye is said
  // alone. Runs once, whichever exit handler comes first, so the order in
  // which handlers were registered does not matter.
  void setNormalExitSequence(void (*sequence)()) { normalExitSequence_ = sequence; }
  static void runNormalExit();

  const std::vector<Window*>& windows() const { return windows_; }
  void addWindow(Window* window);
  // A key window removed leaves the application without one.
  void removeWindow(Window* window);
  // The window that takes keyboard input; null when there is none.
  Window* keyWindow() const { return keyWindow_.load(); }
  // The window that was key before is told it resigned.
  void makeKeyWindow(Window* window);

  using ObserverToken = std::uint64_t;
  ObserverToken addObserver(Notification name, std::function<void()> handler);
  void removeObserver(ObserverToken token);
  // Calls every observer of `name`, in the order they were added.
  void post(Notification name);

  // The device: what kind it is, and whether it reports orientation changes.
  UserInterfaceIdiom userInterfaceIdiom = UserInterfaceIdiom::phone;
  void beginGeneratingDeviceOrientationNotifications() { ++orientationGenerators_; }
  void endGeneratingDeviceOrientationNotifications() {
    if (orientationGenerators_ > 0) --orientationGenerators_;
  }
  bool isGeneratingDeviceOrientationNotifications() const { return orientationGenerators_ > 0; }

  // Background time: work that must finish after the app left the foreground
  // holds a task until it is done. When the time is up the system calls each
  // task's expiration handler, which must end its task. A desktop program
  // keeps running in the background, so nothing here expires tasks on its own.
  BackgroundTaskIdentifier beginBackgroundTask(std::string name, std::function<void()> expirationHandler);
  // Unknown or ended identifiers are ignored.
  void endBackgroundTask(BackgroundTaskIdentifier identifier);
  // The time is up: the handlers of the tasks held now run on the caller's
  // thread, outside the lock.
  void expireBackgroundTasks();
  // Names of the tasks held, oldest first.
  std::vector<std::string> backgroundTaskNames() const;

 private:
  struct BackgroundTask {
    std::string name;
    std::function<void()> expirationHandler;
  };

  std::atomic<ApplicationDelegate*> delegate_{nullptr};
  std::atomic<bool> hasUserInterface_{false};
  std::atomic<bool> launchesWithoutUserInterface_{true};
  std::atomic<bool> launchedWithoutUserInterface_{false};
  std::atomic<bool> terminating_{false};
  std::atomic<void (*)()> normalExitSequence_{nullptr};
  std::atomic<bool> normalExitStarted_{false};
  std::vector<Window*> windows_;
  std::atomic<Window*> keyWindow_{nullptr};
  std::mutex mutex_;
  std::set<ObserverToken> observers_;
  int orientationGenerators_ = 0;
  mutable std::mutex tasksMutex_;
  std::map<BackgroundTaskIdentifier, BackgroundTask> backgroundTasks_;
  BackgroundTaskIdentifier nextBackgroundTask_ = 1;
};

}  // namespace ui

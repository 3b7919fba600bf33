// The screen-view reporter: it knows the screen the user sees, reports
// screen views as "_vs", and tells whether the application is in the
// foreground for the whole measurement code.
//
// Screens come from view controllers appearing and disappearing (the
// appearance hooks keep a stack of the key window's visible controllers and
// pick its top screen), from the app renaming the top screen
// (setScreenName), and from "screen_view" events the app logs. Activation,
// resignation and screen changes are passed on to the session and ad
// exposure reporters. The Info.plist switches
// "ZarnholtScreenReportingEnabled" / "ZarnholtAutomaticScreenReportingEnabled"
// turn automatic reporting off.
//
// Threads: hooks, notifications and manual calls arrive on the main thread;
// screenParameters and trackScreenWithParameters come from any thread. The
// screen state is kept under a lock that is never held while calling out, so
// that any queue may read the screen parameters. Screen changes and their
// "_vs" events pass through the serial queue "QZMScreenViewReporter" in
// order; work that finds itself on that queue runs in place.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/reporters/QZMScreen.h"
#include "measurement/model/QZMValue.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/ViewController.h"

inline constexpr const char* kQZMScreenViewReporterQueueLabel = "QZMScreenViewReporter";
inline constexpr const char* kQZMScreenReportingEnabledKey = "ZarnholtScreenReportingEnabled";
inline constexpr const char* kQZMAutomaticScreenReportingEnabledKey = "ZarnholtAutomaticScreenReportingEnabled";

// On unless the Info.plist turns it off with a Boolean under the general key
// (read first) or, without it, the automatic key. Read at every use.
bool QZMIsAutomaticScreenReportingEnabled();

// Hears the appearance hooks (a performance library tracing screens).
class QZMScreenViewReporterDelegate {
 public:
  virtual ~QZMScreenViewReporterDelegate() = default;
  virtual void viewControllerDidAppear(ui::ViewController& viewController, bool trackedByAnalytics) = 0;
  virtual void viewControllerDidDisappear(ui::ViewController& viewController) = 0;
};

class QZMScreenViewReporter : public std::enable_shared_from_this<QZMScreenViewReporter> {
 public:
  using ScreenPtr = std::shared_ptr<const QZMScreen>;

  // Made once, at launch or first use; tests may replace it (nullptr makes
  // the next use create one).
  static std::shared_ptr<QZMScreenViewReporter> sharedInstance();
  static void setSharedInstance(std::shared_ptr<QZMScreenViewReporter> reporter);

  QZMScreenViewReporter();
  virtual ~QZMScreenViewReporter();

  virtual bool isAppActive();
  bool appHasBeenInitialized() const { return appHasBeenInitialized_.load(); }
  // Copies of the current screen's name and class name; a null pointer is skipped.
  void getScreenName(std::optional<std::string>* screenName, std::optional<std::string>* screenClass);
  // The current screen's "_si", "_sc" and "_sn"; empty without a screen, in
  // the background, or when automatic reporting is off and no screen exists.
  virtual QZMDictionary screenParameters();
  // A "screen_view" event the app logged itself, with the time of the call.
  virtual void trackScreenWithParameters(const QZMDictionary& parameters, double timestamp);
  // Renames the top screen. Main thread only.
  virtual void setScreenName(const std::optional<std::string>& screenName,
                             const std::optional<std::string>& screenClass);

  // ---- View controllers (main thread) ----

  void viewControllerDidAppear(ui::ViewController& viewController);
  void viewControllerDidDisappear(ui::ViewController& viewController);
  // Makes the controller's screen (made on first use) the current one.
  void setCurrentViewController(ui::ViewController* viewController);
  // Nil clears; a second delegate while one is set is refused.
  void setZarnholtPerfDelegate(const std::shared_ptr<QZMScreenViewReporterDelegate>& delegate);
  std::shared_ptr<QZMScreenViewReporterDelegate> zarnholtPerfDelegate();

  // ---- Screen changes ----

  // While active: the session reporter (when the engine runs) and the ad
  // exposure reporter hear of the change.
  void postScreenDidChangeNotificationWithPreviousScreen(const ScreenPtr& previousScreen, const ScreenPtr& newScreen);
  void logViewScreenEventWithPreviousScreen(const ScreenPtr& previousScreen, const ScreenPtr& newScreen,
                                            const std::optional<QZMDictionary>& parameters);
  // Adds one, wrapping around past the largest value, and answers it.
  std::int64_t incrementScreenInstanceID();

  ScreenPtr currentScreen();
  ScreenPtr previousScreen();

  // ---- Notifications (main thread) ----

  void handleWindowDidResign(const foundation::Notification& notification);
  void handleApplicationDidBecomeActive(const foundation::Notification& notification);
  void handleApplicationWillResignActive(const foundation::Notification& notification);
  void handleApplicationDidEnterBackground(const foundation::Notification& notification);

  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }

 private:
  // On the queue: in place when already there, else waiting for it.
  void runOnQueueAndWait(const std::function<void()>& block);
  void observeNotifications();
  bool isScreenReportingAllowed();

  const std::shared_ptr<dispatch::Queue> queue_;
  std::atomic<bool> isAppActive_{false};
  std::atomic<bool> appHasBeenInitialized_{false};

  std::mutex mutex_;
  std::weak_ptr<ui::ViewController* const> currentViewController_;
  std::weak_ptr<QZMScreenViewReporterDelegate> zarnholtPerfDelegate_;
  ScreenPtr currentScreen_;
  // Whether currentScreen_ is set, read without the mutex: every event asks
  // for the screen's parameters, and without a screen there are none.
  std::atomic<bool> hasCurrentScreen_{false};
  ScreenPtr previousScreen_;
  bool allowScreenParameters_ = true;
  std::uint64_t currentScreenInstanceID_;

  std::vector<foundation::NotificationCenter::Token> observers_;
};

// The appearance hooks on every view controller, installed once per process
// at load.
void QZMLoadViewControllerHooks();
// Installs them unless automatic screen reporting is off or an older release
// of the analytics library is present (both OS-logged); nullopt then.
std::optional<ui::ViewController::AppearanceHooksToken> QZMInstallViewControllerHooks();

// The screen attached to a view controller, and the stack of visible view
// controllers attached to a window.
std::shared_ptr<const QZMScreen> QZMScreenOfViewController(ui::ViewController& viewController);
void QZMSetScreenOfViewController(ui::ViewController& viewController, std::shared_ptr<const QZMScreen> screen);

// Weak references to the key window's visible view controllers, root first.
// Main thread only.
struct QZMViewControllerStack {
  std::vector<std::weak_ptr<ui::ViewController* const>> entries;
  // Drops the entries whose controller is gone.
  void compact();
  void remove(const ui::ViewController& viewController);
  ui::ViewController* at(std::size_t index) const;
};
std::shared_ptr<QZMViewControllerStack> QZMStackOfWindow(ui::Window& window);
// Whether the controller's screens count: its view is loaded and in the key
// window, and it is not a private controller of a platform library (a class
// from outside the app whose name, or whose superclass's, begins with "_").
bool QZMIsTrackableViewController(ui::ViewController& viewController);
// The stack's top screen view controller; nullptr (logged) for an empty one.
ui::ViewController* QZMTopScreenViewController(QZMViewControllerStack& stack);

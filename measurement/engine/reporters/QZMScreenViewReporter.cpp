#include "measurement/engine/reporters/QZMScreenViewReporter.h"

#include "measurement/api/QZMAnalytics.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/engine/reporters/QZMAdExposureReporter.h"
#include "measurement/engine/reporters/QZMSessionReporter.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMNumericUtil.h"
#include "measurement/model/QZMDataTypeValidator.h"
#include "measurement/model/QZMEventFunctions.h"
#include "measurement/model/QZMEventParameters.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Strings.h"
#include "platform/ui/Application.h"

namespace {

struct Shared {
  std::mutex mutex;
  std::shared_ptr<QZMScreenViewReporter> reporter;
};
Shared& shared() {
  static auto* s = new Shared;
  return *s;
}

std::shared_ptr<QZMMonitor> monitor() { return QZMMeasurementBase::monitor(); }

std::shared_ptr<QZMMeasurement> runningEngine() {
  if (!QZMMeasurementBase::hasSharedInstance()) return nullptr;
  return std::dynamic_pointer_cast<QZMMeasurement>(QZMMeasurementBase::sharedInstance());
}

bool isEngineEnabled() {
  auto engine = runningEngine();
  return engine && engine->isEnabled();
}

// The engine's session reporter once its components exist.
std::shared_ptr<QZMSessionReporter> sessionReporter() {
  auto engine = runningEngine();
  if (!engine || !engine->didInitializeComponents()) return nullptr;
  return engine->sessionReporter();
}

bool isValidScreenValue(const std::optional<std::string>& value) {
  return value && QZMDataTypeValidator::isValidScreenParameterValue(*value);
}

bool isAppExtension() { return foundation::Bundle::main()->bundlePath().ends_with(".appex"); }

ui::Window* keyWindow() { return isAppExtension() ? nullptr : ui::Application::shared().keyWindow(); }

// The text of an entry of a "screen_view" event; nullopt when absent, and a
// non-text value is refused by the caller.
const QZMObject* entry(const QZMDictionary& parameters, const char* name) {
  auto it = parameters.find(name);
  return it == parameters.end() ? nullptr : &it->second;
}

std::optional<std::string> textOf(const QZMObject* object) {
  if (object == nullptr) return std::nullopt;
  if (const std::string* text = object->validString()) return *text;
  if (const QZMValue* value = object->value(); value && value->stringValue()) return *value->stringValue();
  return std::nullopt;
}

QZMLogContext contextOf(const std::optional<std::string>& text) {
  return text ? QZMLogContext(*text) : QZMLogContext();
}

}  // namespace

bool QZMIsAutomaticScreenReportingEnabled() {
  auto bundle = foundation::Bundle::main();
  const foundation::Object* value = bundle->objectForInfoDictionaryKey(kQZMScreenReportingEnabledKey);
  if (!value) value = bundle->objectForInfoDictionaryKey(kQZMAutomaticScreenReportingEnabledKey);
  return !(value && value->isNumber() && !value->boolValue());
}

// ---- The shared instance ----

std::shared_ptr<QZMScreenViewReporter> QZMScreenViewReporter::sharedInstance() {
  Shared& s = shared();
  std::lock_guard lock(s.mutex);
  if (!s.reporter) {
    s.reporter = std::make_shared<QZMScreenViewReporter>();
    s.reporter->observeNotifications();
    // Session starts made on the worker queue carry the current screen.
    QZMSetScreenParametersProvider([] { return QZMScreenViewReporter::sharedInstance()->screenParameters(); });
  }
  return s.reporter;
}

void QZMScreenViewReporter::setSharedInstance(std::shared_ptr<QZMScreenViewReporter> reporter) {
  std::shared_ptr<QZMScreenViewReporter> previous;
  Shared& s = shared();
  {
    std::lock_guard lock(s.mutex);
    previous = std::exchange(s.reporter, std::move(reporter));
  }
  // Released outside the lock: its destruction removes its observers.
}

QZMScreenViewReporter::QZMScreenViewReporter()
    : queue_(dispatch::Queue::create(kQZMScreenViewReporterQueueLabel)),
      currentScreenInstanceID_(static_cast<std::uint64_t>(QZMNumericUtil::randomInt64())) {}

QZMScreenViewReporter::~QZMScreenViewReporter() {
  auto& center = foundation::NotificationCenter::defaultCenter();
  for (auto token : observers_) center.removeObserver(token);
}

void QZMScreenViewReporter::observeNotifications() {
  auto& center = foundation::NotificationCenter::defaultCenter();
  auto observe = [&](ui::Notification name, void (QZMScreenViewReporter::*handler)(const foundation::Notification&)) {
    observers_.push_back(center.addObserverForName(
        ui::notificationName(name), nullptr, nullptr,
        [weak = weak_from_this(), handler](const foundation::Notification& notification) {
          if (auto self = weak.lock()) ((*self).*handler)(notification);
        }));
  };
  observe(ui::Notification::windowDidResignKey, &QZMScreenViewReporter::handleWindowDidResign);
  observe(ui::Notification::applicationDidBecomeActive, &QZMScreenViewReporter::handleApplicationDidBecomeActive);
  observe(ui::Notification::applicationWillResignActive, &QZMScreenViewReporter::handleApplicationWillResignActive);
  observe(ui::Notification::applicationDidEnterBackground,
          &QZMScreenViewReporter::handleApplicationDidEnterBackground);
}

void QZMScreenViewReporter::runOnQueueAndWait(const std::function<void()>& block) {
  if (queue_->isCurrent()) {
    block();
  } else {
    (void)queue_->sync(block);
  }
}

// ---- State ----

bool QZMScreenViewReporter::isAppActive() { return isAppActive_.load(); }

bool QZMScreenViewReporter::isScreenReportingAllowed() {
  return isAppActive() || !appHasBeenInitialized_.load();
}

std::int64_t QZMScreenViewReporter::incrementScreenInstanceID() {
  std::lock_guard lock(mutex_);
  return static_cast<std::int64_t>(++currentScreenInstanceID_);
}

QZMScreenViewReporter::ScreenPtr QZMScreenViewReporter::currentScreen() {
  std::lock_guard lock(mutex_);
  return currentScreen_;
}

QZMScreenViewReporter::ScreenPtr QZMScreenViewReporter::previousScreen() {
  std::lock_guard lock(mutex_);
  return previousScreen_;
}

void QZMScreenViewReporter::getScreenName(std::optional<std::string>* screenName,
                                          std::optional<std::string>* screenClass) {
  if (screenName == nullptr && screenClass == nullptr) return;
  ScreenPtr screen = currentScreen();
  if (screenName) *screenName = screen ? screen->name() : std::nullopt;
  if (screenClass) *screenClass = screen ? screen->className() : std::nullopt;
}

QZMDictionary QZMScreenViewReporter::screenParameters() {
  if (!isScreenReportingAllowed() || !hasCurrentScreen_) return {};
  std::lock_guard lock(mutex_);
  if (!QZMIsAutomaticScreenReportingEnabled() && !currentScreen_) return {};
  QZMDictionary parameters;
  if (!allowScreenParameters_ || !currentScreen_) return parameters;
  parameters.emplace("_si", currentScreen_->instanceID());
  if (const auto& className = currentScreen_->className(); className && !className->empty()) {
    parameters.emplace("_sc", *className);
  }
  if (const auto& name = currentScreen_->name(); name && !name->empty()) parameters.emplace("_sn", *name);
  return parameters;
}

// ---- Screens from the app ----

void QZMScreenViewReporter::trackScreenWithParameters(const QZMDictionary& parameters, double timestamp) {
  if (!isAppActive() && appHasBeenInitialized_.load()) {
    monitor()->logWithLevel(3, 31026, "Cannot log screen view event when the app is not active");
    return;
  }
  const QZMObject* nameObject = entry(parameters, "screen_name");
  const QZMObject* classObject = entry(parameters, "screen_class");
  if (nameObject && !QZMDataTypeValidator::isValidScreenParameterValue(*nameObject)) {
    monitor()->logWithLevel(3, 31027, "Received invalid name for screen", QZMLogContextForObject(nameObject));
    return;
  }
  if (classObject && !QZMDataTypeValidator::isValidScreenParameterValue(*classObject)) {
    monitor()->logWithLevel(3, 31028, "Received invalid class for screen", QZMLogContextForObject(classObject));
    return;
  }
  std::optional<std::string> name = textOf(nameObject);
  std::optional<std::string> className = textOf(classObject);
  if (!classObject) {
    if (dispatch::isMainThread()) {
      ui::Window* key = keyWindow();
      if (key && key->rootViewController) className = QZMStrippedClassName(key->rootViewController->className());
    } else if (QZMIsAutomaticScreenReportingEnabled()) {
      if (ScreenPtr current = currentScreen()) className = current->className();
    }
  }
  monitor()->logWithLevel(7, 31029, "Logging screen view with screen name and screen class", contextOf(name),
                          contextOf(className));

  ScreenPtr previous, screen;
  runOnQueueAndWait([&] {
    std::int64_t instanceID = incrementScreenInstanceID();
    screen = QZMScreen::manuallyTracked(name, className, instanceID, timestamp);
    std::lock_guard lock(mutex_);
    previous = std::exchange(currentScreen_, screen);
    hasCurrentScreen_ = currentScreen_ != nullptr;
  });
  queue_->async([weak = weak_from_this(), previous, screen, parameters] {
    auto self = weak.lock();
    if (!self) return;
    self->postScreenDidChangeNotificationWithPreviousScreen(previous, screen);
    QZMDictionary eventParameters;
    if (auto sanitized = QZMSanitizedEventParameters(parameters, std::string("screen_view"), true, false)) {
      eventParameters = QZMDictionaryFromParameters(*sanitized);
    }
    eventParameters.erase("screen_name");
    eventParameters.erase("screen_class");
    self->logViewScreenEventWithPreviousScreen(previous, screen, eventParameters);
  });
}

void QZMScreenViewReporter::setScreenName(const std::optional<std::string>& screenName,
                                          const std::optional<std::string>& screenClass) {
  if (!QZMIsAutomaticScreenReportingEnabled()) {
    monitor()->logWithLevel(3, 31000,
                            "Ignoring call to setScreenName:screenClass:. Screen reporting is disabled.");
    return;
  }
  if (screenName && !QZMDataTypeValidator::isValidScreenParameterValue(*screenName)) {
    monitor()->logWithLevel(3, 31001, "Received invalid screen name", *screenName);
    return;
  }
  if (screenClass && !QZMDataTypeValidator::isValidScreenParameterValue(*screenClass)) {
    monitor()->logWithLevel(3, 31002, "Received invalid screen class", *screenClass);
    return;
  }
  ui::Window* key = keyWindow();
  std::shared_ptr<QZMViewControllerStack> stack = key ? QZMStackOfWindow(*key) : nullptr;
  runOnQueueAndWait([&] {
    if (stack) stack->compact();
    if (!stack || stack->entries.empty()) {
      monitor()->logWithLevel(3, 31003,
                              "setScreenName:screenClass: must be called after a view controller has appeared");
      return;
    }
    ui::ViewController* top = stack->at(stack->entries.size() - 1);
    std::optional<std::string> className = screenClass ? screenClass : QZMStrippedClassName(top->className());
    ScreenPtr previous, screen;
    {
      std::lock_guard lock(mutex_);
      std::optional<std::string> currentName = currentScreen_ ? currentScreen_->name() : std::nullopt;
      std::optional<std::string> currentClass = currentScreen_ ? currentScreen_->className() : std::nullopt;
      if (screenName == currentName && className == currentClass) {
        monitor()->logWithLevel(7, 31004, "Ignoring duplicate screen name and screen class");
        return;
      }
    }
    screen = QZMScreen::manuallySet(screenName, className, incrementScreenInstanceID());
    QZMSetScreenOfViewController(*top, screen);
    {
      std::lock_guard lock(mutex_);
      currentViewController_ = top->weakReference();
      previous = std::exchange(currentScreen_, screen);
      hasCurrentScreen_ = currentScreen_ != nullptr;
    }
    monitor()->logWithLevel(7, 31009, "Set screen name and screen class", contextOf(screenName), contextOf(className));
    postScreenDidChangeNotificationWithPreviousScreen(previous, screen);
    logViewScreenEventWithPreviousScreen(previous, screen, std::nullopt);
  });
}

// ---- Screens from view controllers ----

void QZMScreenViewReporter::setCurrentViewController(ui::ViewController* viewController) {
  if (viewController == nullptr) {
    monitor()->logWithLevel(3, 31005, "Received nil view controller");
    return;
  }
  std::string className = QZMStrippedClassName(viewController->className());
  runOnQueueAndWait([&] {
    bool engineEnabled = isEngineEnabled();
    {
      std::lock_guard lock(mutex_);
      auto current = currentViewController_.lock();
      if (engineEnabled && current && *current == viewController) {
        monitor()->logWithLevel(7, 31006, "View controller already tracked. Class, ID", className,
                                currentScreen_ ? currentScreen_->instanceID() : 0);
        return;
      }
    }
    auto maxLength = static_cast<std::size_t>(
        std::max<std::int32_t>(0, QZMRemoteConfig::current()->maxPublicEventParameterValueLength()));
    if (foundation::codePointCount(className) > maxLength) {
      std::string trimmed = foundation::truncatedToCodePoints(className, maxLength);
      monitor()->logWithLevel(7, 31007, "Trimmed name of default screen class. Original screen class, trimmed screen class",
                              className, trimmed);
      className = std::move(trimmed);
    }
    if (!QZMDataTypeValidator::isValidScreenParameterValue(className)) {
      monitor()->logWithLevel(3, 31008, "Received invalid default screen class");
      return;
    }
    ScreenPtr screen = QZMScreenOfViewController(*viewController);
    if (!screen) {
      screen = QZMScreen::initWithName(std::nullopt, className, incrementScreenInstanceID());
      QZMSetScreenOfViewController(*viewController, screen);
    }
    ScreenPtr previous;
    {
      std::lock_guard lock(mutex_);
      currentViewController_ = viewController->weakReference();
      if (screen == currentScreen_) return;
      previous = currentScreen_ ? currentScreen_->copy() : nullptr;
      currentScreen_ = screen;
      hasCurrentScreen_ = currentScreen_ != nullptr;
    }
    if (engineEnabled) {
      monitor()->logWithLevel(7, 31010, "Tracking view controller. Class, ID", className, screen->instanceID());
    }
    postScreenDidChangeNotificationWithPreviousScreen(previous, screen);
    if (QZMIsAutomaticScreenReportingEnabled()) logViewScreenEventWithPreviousScreen(previous, screen, std::nullopt);
  });
}

void QZMScreenViewReporter::setZarnholtPerfDelegate(const std::shared_ptr<QZMScreenViewReporterDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  if (delegate && zarnholtPerfDelegate_.lock()) {
    monitor()->logWithLevel(3, 31016, "Tried to override screen reporter delegate");
    return;
  }
  zarnholtPerfDelegate_ = delegate;
}

std::shared_ptr<QZMScreenViewReporterDelegate> QZMScreenViewReporter::zarnholtPerfDelegate() {
  std::lock_guard lock(mutex_);
  return zarnholtPerfDelegate_.lock();
}

// ---- Screen changes and their events ----

void QZMScreenViewReporter::postScreenDidChangeNotificationWithPreviousScreen(const ScreenPtr& previousScreen,
                                                                              const ScreenPtr& newScreen) {
  if (!isAppActive()) return;
  if (previousScreen) {
    if (auto reporter = sessionReporter()) {
      reporter->handleScreenDidChangeFromScreen(previousScreen.get(), newScreen.get());
    }
  }
  QZMAdExposureReporter::sharedInstance()->handleScreenDidChangeFromScreen(previousScreen.get(), newScreen.get());
}

void QZMScreenViewReporter::logViewScreenEventWithPreviousScreen(const ScreenPtr& previousScreen,
                                                                 const ScreenPtr& newScreen,
                                                                 const std::optional<QZMDictionary>& parameters) {
  if (!newScreen) return;
  if (!isAppActive() && appHasBeenInitialized_.load()) {
    monitor()->logWithLevel(7, 31013, "Screen view event not logged. App is not active.");
    return;
  }
  QZMDictionary eventParameters = parameters.value_or(QZMDictionary());
  for (auto& [name, value] : newScreen->screenParameters()) eventParameters.insert_or_assign(name, std::move(value));
  if (previousScreen) {
    eventParameters.insert_or_assign("_pi", previousScreen->instanceID());
    if (const auto& className = previousScreen->className(); className && !className->empty() &&
                                                              QZMDataTypeValidator::isValidScreenParameterValue(*className)) {
      eventParameters.insert_or_assign("_pc", *className);
    }
    if (isValidScreenValue(previousScreen->name())) eventParameters.insert_or_assign("_pn", *previousScreen->name());
    auto engine = runningEngine();
    if (engine && engine->didInitializeComponents() &&
        QZMRemoteConfig::current()->efficientEngagementReportingEnabled()) {
      if (auto reporter = engine->sessionReporter()) {
        std::int64_t millis = reporter->cutFreerideEngagementTimeMillis();
        if (millis >= 1) eventParameters.insert_or_assign("_et", QZMValue::initWithInt64(millis));
      }
    }
  }
  if (!QZMIsAutomaticScreenReportingEnabled()) eventParameters.insert_or_assign("_mst", QZMValue::initWithInt64(1));
  const char* origin = newScreen->isManuallyTracked() ? "app" : "auto";
  if (!QZMHasScreenParameters(eventParameters)) {
    monitor()->logWithLevel(1, 31012, "Screen view event not logged. Screen parameters were empty");
    return;
  }
  {
    std::lock_guard lock(mutex_);
    previousScreen_ = newScreen;
  }
  if (newScreen->isManuallyTracked()) {
    QZMAnalytics::logInternalEventWithOrigin(origin, "_vs", newScreen->eventTimestamp(), eventParameters);
  } else {
    QZMAnalytics::logInternalEventWithOrigin(origin, "_vs", eventParameters);
  }
}

// ---- Notifications ----

void QZMScreenViewReporter::handleWindowDidResign(const foundation::Notification& /*notification*/) {
  ui::Window* key = keyWindow();
  if (!key) return;
  auto stack = QZMStackOfWindow(*key);
  stack->compact();
  if (stack->entries.empty()) return;
  ui::ViewController* top = QZMTopScreenViewController(*stack);
  if (top && QZMIsTrackableViewController(*top)) setCurrentViewController(top);
}

void QZMScreenViewReporter::handleApplicationDidBecomeActive(const foundation::Notification& /*notification*/) {
  isAppActive_ = true;
  appHasBeenInitialized_ = true;
  if (auto reporter = sessionReporter()) reporter->handleAppDidBecomeActive();
  QZMAdExposureReporter::sharedInstance()->handleAppDidBecomeActive();
  queue_->async([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    ScreenPtr previous, current;
    {
      std::lock_guard lock(self->mutex_);
      previous = self->previousScreen_;
      current = self->currentScreen_;
    }
    // A screen that was never reported (it came up in the background) is
    // reported on return to the foreground.
    if (previous != current && QZMIsAutomaticScreenReportingEnabled()) {
      self->logViewScreenEventWithPreviousScreen(previous, current, std::nullopt);
    }
  });
}

void QZMScreenViewReporter::handleApplicationWillResignActive(const foundation::Notification& /*notification*/) {
  ScreenPtr screen;
  if (QZMIsAutomaticScreenReportingEnabled() && isAppActive()) {
    std::lock_guard lock(mutex_);
    if (allowScreenParameters_) screen = currentScreen_;
  }
  if (auto reporter = sessionReporter()) reporter->handleAppWillResignActiveWithScreen(screen.get());
  QZMAdExposureReporter::sharedInstance()->handleAppWillResignActiveWithScreen(screen.get());
}

void QZMScreenViewReporter::handleApplicationDidEnterBackground(const foundation::Notification& /*notification*/) {
  isAppActive_ = false;
}

// Sessions and user engagement. A session is live while the last session
// activity lies no more than the timeout in the past; once it has expired
// the next activation (or event, through the engine) starts a new one with
// the internal event "_s". Engagement is the foreground time since the last
// report, sent as "_e" with "_et" milliseconds at every resignation, screen
// change and on a timer while the app stays in front.
//
// Engagement spans are measured on the uptime clock, which never goes back;
// session activity is calendar time, as it must survive a restart.
//
// The life-cycle handlers run on the main thread and the engine asks from its
// worker queue: every field is guarded, and starting a session checks and
// counts under one lock, so two starts racing from both make one session.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "measurement/model/QZMUserAttribute.h"

class QZMAlarm;
class QZMPersistedConfig;
class QZMScreen;

// Posted (no sender, no user info) on the main queue each time the
// engagement timer fires, before the engagement is reported.
inline constexpr const char* kQZMSessionReporterEngagementTimerDidFire = "kQZMSessionReporterEngagementTimerDidFire";
inline constexpr const char* kQZMEngagementTimerName = "Engagement timer";

class QZMSessionReporter : public std::enable_shared_from_this<QZMSessionReporter> {
 public:
  // Takes a session timeout stored before start once (and forgets it),
  // otherwise the configuration's default. Reporting starts off.
  static std::shared_ptr<QZMSessionReporter> initWithPersistedConfig(std::shared_ptr<QZMPersistedConfig> config);
  ~QZMSessionReporter();

  // Off cancels the engagement timer; on restarts it while the app is active
  // and the timer is idle.
  void setReportingEnabled(bool enabled);
  bool isReportingEnabled() const;
  // A negative interval is logged and taken as 0.
  void setTimeoutSessionInterval(double seconds);
  double timeoutSessionInterval() const;

  // ---- Sessions (any thread) ----

  bool shouldStartNewSession();
  // More than the timeout since the last session activity, either way (a
  // clock set back counts too).
  bool isSessionExpired();
  // A live session's activity moves to now; false (nothing changes) for an
  // expired one.
  bool extendSession();
  std::optional<QZMUserAttribute> sessionIDPropertyWithTimestamp(double timestamp);
  std::optional<QZMUserAttribute> sessionNumberProperty();
  // The session number goes up by one and the activity moves to now.
  void updatePropertiesForNewSessionStart();
  // The same, only when the session has expired, as one step: answers the
  // new session number, or nullopt when the session is live.
  std::optional<std::int64_t> updatePropertiesForNewSessionStartIfExpired();
  // The internal user properties "_sid" and "_sno"; nullopt removes one.
  void setSessionID(std::optional<std::int64_t> sessionID, std::optional<std::int64_t> sessionNumber);
  // While the app is active and reporting is on: a new session and its "_s".
  void logSessionStartEvent();

  // ---- Engagement (main thread) ----

  void logUserEngagementEvent();
  // Reports the span since the last report (capped at an hour) with the
  // screen's parameters; nothing while the app is inactive. Answers the
  // milliseconds reported.
  std::int64_t logEngagementEventAndReturnTimeWithScreen(const QZMScreen* screen, bool isRedundant);
  void handleAppDidBecomeActive();
  void handleAppWillResignActiveWithScreen(const QZMScreen* screen);
  void handleScreenDidChangeFromScreen(const QZMScreen* previousScreen, const QZMScreen* newScreen);
  void rescheduleUserEngagementTimer();
  // Seconds of the span the next report covers; never negative.
  double incurredEngagementTime();
  // With efficient engagement reporting: the span since the last cut, in
  // milliseconds, and a new span starts. 0 without it.
  std::int64_t cutFreerideEngagementTimeMillis();

  static double currentUptime();
  static double currentClockTime();

  const std::shared_ptr<QZMAlarm>& userEngagementTimer() const { return userEngagementTimer_; }

  struct Token {};
  QZMSessionReporter(Token, std::shared_ptr<QZMPersistedConfig> config);

 private:
  // Caller holds mutex_.
  bool isSessionExpiredLocked();
  double incurredEngagementTimeLocked(double now);
  // Starts a session unless onlyWhenExpired finds it live; then logs it.
  void startSession(bool onlyWhenExpired, bool clearSessionProperties);

  const std::shared_ptr<QZMPersistedConfig> persistedConfig_;
  const std::shared_ptr<QZMAlarm> userEngagementTimer_;
  mutable std::mutex mutex_;
  double engagementStartUptime_ = 0;
  double freerideEngagementStartUptime_ = 0;
  bool reportingEnabled_ = false;
  double timeoutSessionInterval_ = 0;
};

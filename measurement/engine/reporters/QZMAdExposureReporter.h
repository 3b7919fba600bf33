// How long ad units are on screen while the app is active, reported with the
// ads origin "am" as "_xu" per unit and "_xa" for the whole span in which at
// least one unit was shown. An ads component announces its units with
// beginAdUnitExposure / endAdUnitExposure. The spans are cut and reported at
// every screen change, engagement timer and resignation, so that each report
// belongs to the screen it was seen on.
//
// Times are device uptime, taken on the caller's thread; the units and their
// spans live on the serial queue "QZMAdExposureReporter".
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "measurement/model/QZMValue.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"

class QZMScreen;

inline constexpr const char* kQZMAdExposureReporterQueueLabel = "QZMAdExposureReporter";
// Units tracked at once.
inline constexpr std::size_t kQZMMaxAdUnits = 100;

// Whether an event belongs to the ads component: its origin is "am" or its
// name one of the exposure events.
bool QZMIsAdEvent(const std::string& origin, const std::string& name);

class QZMAdExposureReporter : public std::enable_shared_from_this<QZMAdExposureReporter> {
 public:
  static std::shared_ptr<QZMAdExposureReporter> sharedInstance();
  // Tests may replace it; nullptr makes the next use create one.
  static void setSharedInstance(std::shared_ptr<QZMAdExposureReporter> reporter);

  // Reporting on, listening to the engagement timer.
  static std::shared_ptr<QZMAdExposureReporter> create();
  ~QZMAdExposureReporter();

  void beginAdUnitExposure(const std::string& adUnitID);
  void endAdUnitExposure(const std::string& adUnitID);
  // The spans are reported for the screen being left.
  void handleScreenDidChangeFromScreen(const QZMScreen* previousScreen, const QZMScreen* newScreen);
  void handleEngagementTimer(const foundation::Notification& notification);
  // The spans restart without a report.
  void handleAppDidBecomeActive();
  // The spans are reported for the screen given, else the current one.
  void handleAppWillResignActiveWithScreen(const QZMScreen* screen);
  void logExposureEventsWithScreenParameters(const QZMDictionary& screenParameters);

  void setReportingEnabled(bool enabled);
  bool isReportingEnabled();
  static double currentTime();

  struct Token {};
  explicit QZMAdExposureReporter(Token);

 private:
  // On the queue.
  void logExposureEventsOnSerialQueueWithEndTime(double endTime, const QZMDictionary& screenParameters);
  void logAdExposureEventOnSerialQueueWithEndTime(double endTime, const QZMDictionary& screenParameters);
  void logAdUnitExposureEventOnSerialQueueWithID(const std::string& adUnitID, double endTime,
                                                 const QZMDictionary& screenParameters);
  void updateStartTimesOnSerialQueue(double time);
  void runOnQueueAndWait(const std::function<void()>& block);

  const std::shared_ptr<dispatch::Queue> queue_;
  // Queue only.
  std::map<std::string, int> adUnitCounts_;
  std::map<std::string, double> adUnitStartTimes_;
  double adExposureStartTime_ = 0;
  bool reportingEnabled_ = true;
  foundation::NotificationCenter::Token engagementObserver_ = 0;
};

// The public name of the class.
using ZNHAAdExposureReporter = QZMAdExposureReporter;

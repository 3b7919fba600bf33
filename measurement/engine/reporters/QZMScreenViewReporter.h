// The screen-view reporter: it knows the screen the user sees, reports
// screen views, and tells whether the application is in the foreground.
// The facade reaches it for the app's own "screen_view" events, the screen
// parameters of every other event and the manual screen name.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "measurement/model/QZMValue.h"

class QZMScreenViewReporter {
 public:
  virtual ~QZMScreenViewReporter() = default;

  // Made once; tests may replace it (nullptr makes the next use create one).
  static std::shared_ptr<QZMScreenViewReporter> sharedInstance();
  static void setSharedInstance(std::shared_ptr<QZMScreenViewReporter> reporter);

  // A "screen_view" event the app logged itself, with the time of the call.
  virtual void trackScreenWithParameters(const QZMDictionary& parameters, double timestamp);
  // The current screen's "_si", "_sc" and "_sn"; empty without a screen.
  virtual QZMDictionary screenParameters();
  // Main thread only.
  virtual void setScreenName(const std::optional<std::string>& screenName,
                             const std::optional<std::string>& screenClass);
  virtual bool isAppActive();
};

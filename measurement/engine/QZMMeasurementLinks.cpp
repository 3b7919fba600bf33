#include "measurement/engine/QZMMeasurement.h"

// Links are not followed yet: none is read from an activity, and an opened
// one changes nothing.

void QZMMeasurement::handleKRPXDebugModeWithURL(const std::string& /*url*/) {}

std::optional<std::string> QZMMeasurement::deepLinkFromUserActivity(const DRKUserActivity& /*activity*/) {
  return std::nullopt;
}

void QZMMeasurement::handleNonFirstOpenEventURL(const std::string& /*url*/, double /*eventTimestampInSeconds*/) {}

#include "measurement/config/runtime/QZMGlintLogger.h"

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"

std::int64_t QZMGlintLogger::monitorLevel(std::int64_t level, bool silent, bool monitored) {
  switch (level) {
    case 2:
      return 8;
    case 3:
      return 7;
    case 5:
      return silent ? 5 : monitored ? 4 : 3;
    case 6:
      return silent ? 2 : monitored ? 1 : 0;
    default:
      return 6;
  }
}

void QZMGlintLogger::logWithLevel(std::int64_t level, std::string_view message,
                                  const std::vector<std::string>& context, bool silent, bool monitored) {
  std::vector<QZMLogContext> contexts(context.begin(), context.end());
  QZMMeasurementBase::monitor()->logWithLevel(monitorLevel(level, silent, monitored), kQZMGlintLogMessageCode,
                                              message, contexts);
}

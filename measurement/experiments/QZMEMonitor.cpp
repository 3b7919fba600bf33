#include "measurement/experiments/QZMEMonitor.h"

#include <mutex>

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/proto/QZMPBFlagHelpers.h"

std::shared_ptr<QZMEMonitor> QZMEMonitor::shared() {
  // Never destroyed: workers may log while the program ends.
  static auto* monitor = new std::shared_ptr<QZMEMonitor>(std::make_shared<QZMEMonitor>());
  static std::once_flag hookInstalled;
  std::call_once(hookInstalled, [] {
    QZMPBSetFlagLogHook(
        [](std::int64_t level, std::int64_t messageCode, std::string_view message, const foundation::Array& contexts) {
          if (contexts.empty()) {
            (*monitor)->logWithLevel(level, messageCode, message);
          } else {
            (*monitor)->logWithLevel(level, messageCode, message, QZMLogContext(contexts.front()));
          }
        });
  });
  return *monitor;
}

void QZMEMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message) const {
  QZMMeasurementBase::monitor()->logWithLevel(level, messageCode, message);
}

void QZMEMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                               const QZMLogContext& context) const {
  QZMMeasurementBase::monitor()->logWithLevel(level, messageCode, message, context);
}

void QZMEMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                               const QZMLogContext& context1, const QZMLogContext& context2) const {
  QZMMeasurementBase::monitor()->logWithLevel(level, messageCode, message, context1, context2);
}

void QZMEMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                               const QZMLogContext& context1, const QZMLogContext& context2,
                               const QZMLogContext& context3) const {
  QZMMeasurementBase::monitor()->logWithLevel(level, messageCode, message, context1, context2, context3);
}

void QZMEMonitor::clearMonitoringData() const { QZMMeasurementBase::monitor()->clearMonitoringData(); }

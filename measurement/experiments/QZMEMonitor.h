// The experiments classes' logger: a thin face over the measurement monitor,
// asked for at each use so that a monitor replaced later still gets the
// lines. The experiments codes are six digits from 800000.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "measurement/foundation/QZMLogContext.h"

class QZMEMonitor {
 public:
  // Made once; from then on the message runtime's flag helpers log through
  // it too.
  static std::shared_ptr<QZMEMonitor> shared();

  void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message) const;
  void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                    const QZMLogContext& context) const;
  void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                    const QZMLogContext& context1, const QZMLogContext& context2) const;
  void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                    const QZMLogContext& context1, const QZMLogContext& context2, const QZMLogContext& context3) const;
  void clearMonitoringData() const;
};

#include "measurement/engine/QZMMeasurement.h"
#include "measurement/engine/reporters/QZMSessionReporter.h"
#include "measurement/foundation/QZMScheduler.h"

void QZMMeasurement::setSessionTimeoutInterval(double seconds) {
  scheduler_->scheduleOnWorkerQueueBlockID("QZMMeasurement:1554", [weak = weak_from_this(), seconds] {
    auto self = weak.lock();
    if (!self) return;
    if (auto reporter = self->sessionReporter()) reporter->setTimeoutSessionInterval(seconds);
  });
}

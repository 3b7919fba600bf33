#include "measurement/engine/QZMMeasurement.h"

#include <charconv>
#include <string>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/model/QZMEvent.h"

// Events are not stored yet: the host's events are dropped here, and the
// SDK's own reach the listeners only.

void QZMMeasurement::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                        const QZMDictionary& parameters, double timestamp, bool /*enabled*/,
                                        bool /*ignoreEnabled*/, bool /*ignoreInterceptor*/,
                                        QZMLogEventInterceptor /*interceptor*/,
                                        const QZMDictionary& /*addedScreenParameters*/) {
  if (isPublicEvent) return;
  scheduler_->scheduleOnWorkerQueueBlockID(
      "QZMMeasurement:logEvent", [weak = weak_from_this(), origin, name, parameters, timestamp] {
        auto self = weak.lock();
        if (!self) return;
        self->handleInternalEventOnWorkerQueue(QZMEvent::initWithOrigin(origin, false, name, timestamp, 0, parameters));
      });
}

void QZMMeasurement::setDefaultEventParameters(const std::optional<QZMDictionary>& /*parameters*/) {}

void QZMMeasurement::handleInternalEventOnWorkerQueue(std::unique_ptr<QZMEvent> event) {
  if (event) QZMAnalytics::notifyEventListeners(std::shared_ptr<const QZMEvent>(std::move(event)));
}

foundation::Result<std::optional<std::string>> QZMMeasurement::previousFirstOpenCount() {
  std::optional<foundation::Object> count = persistedConfig_->previousFirstOpenCount();
  if (!count || !count->isNumber()) return std::optional<std::string>();
  return std::optional<std::string>(std::to_string(count->int64Value()));
}

void QZMMeasurement::setPreviousFirstOpenCount(const std::optional<std::string>& count) {
  std::int64_t value = 0;
  if (!count || std::from_chars(count->data(), count->data() + count->size(), value).ec != std::errc()) {
    persistedConfig_->setPreviousFirstOpenCount(std::nullopt);
    return;
  }
  persistedConfig_->setPreviousFirstOpenCount(foundation::Object(value));
}

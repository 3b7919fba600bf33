#include "measurement/engine/QZMMeasurement.h"

#include "measurement/foundation/QZMError.h"
#include "platform/dispatch/Queue.h"

// Neither sessions nor a wipe exist yet: there is no session ID to answer,
// and a reset fails, so the next start tries it again.

void QZMMeasurement::sessionIDWithCompletion(QZMSessionIDCompletion completion) {
  if (!completion) return;
  dispatch::Queue::global()->async(
      [completion] { completion(0, qzm_errorWithCode(13, "Session ID not found")); });
}

bool QZMMeasurement::resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& /*appInstanceID*/) {
  return false;
}

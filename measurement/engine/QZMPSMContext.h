// The state of the membership lookups of one app run: the client of the
// lookup under way or waiting for a retry, and the counts that bound the
// attempts. The engine keeps one while a client class is linked; it lives on
// the worker queue and is replaced whole when analytics data is wiped.
#pragma once

#include <cstdint>
#include <memory>

class QZMAlarm;
class QZMPrivateSetMembershipClient;

struct QZMPSMContext {
  // The lookup's client; kept across retries, dropped once answered.
  std::shared_ptr<QZMPrivateSetMembershipClient> PSMClient;
  // Sent and not answered yet.
  bool isPSMRequestInProgress = false;
  // Wanted while another request of the engine was pending; the upload
  // completion sends it.
  bool isPSMRequestPostponed = false;
  // Initiations that produced a client in this run; never persisted.
  std::int32_t PSMStartCount = 0;
  // Failed lookups of the current initiation; sent as "retry_count".
  std::int32_t PSMRetryCount = 0;
  // Made on the first retry.
  std::shared_ptr<QZMAlarm> PSMRetryAlarm;
  // Whether a match is kept as the session's value.
  bool isPSMSession = false;
};

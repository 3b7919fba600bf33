#include "measurement/config/runtime/QZMPObject.h"

#include <atomic>
#include <vector>

namespace {

std::atomic<std::int64_t> gLiveObjects{0};

// Objects whose last reference went while another object was being freed.
// Freeing them from this list instead of from the destructor that dropped
// them keeps the stack flat however deep the structure was.
struct PendingRelease {
  bool draining = false;
  std::vector<const QZMPObject*> objects;
};
thread_local PendingRelease tPending;

}  // namespace

QZMPObject::QZMPObject() { gLiveObjects.fetch_add(1, std::memory_order_relaxed); }

QZMPObject::~QZMPObject() { gLiveObjects.fetch_sub(1, std::memory_order_relaxed); }

void QZMPObject::traceReferences(QZMPMarker&) {}

std::int64_t QZMPObject::liveCount() { return gLiveObjects.load(std::memory_order_relaxed); }

void QZMPObject::destroy(const QZMPObject* object) {
  PendingRelease& pending = tPending;
  if (pending.draining) {
    pending.objects.push_back(object);
    return;
  }
  pending.draining = true;
  delete object;
  while (!pending.objects.empty()) {
    const QZMPObject* next = pending.objects.back();
    pending.objects.pop_back();
    delete next;
  }
  pending.draining = false;
}

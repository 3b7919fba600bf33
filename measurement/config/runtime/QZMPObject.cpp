#include "measurement/config/runtime/QZMPObject.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace {

// The tally of live objects is kept per thread, in a counter only its
// thread writes, so that making and freeing an object takes no locked
// instruction; the process-wide count is the sum of all counters. A thread
// that ends leaves its counter to the next new thread, still counted (an
// object made on one thread may be freed on another, so counters alone
// can be negative; only the sum means anything).
struct Tally {
  std::atomic<std::int64_t> count{0};
  bool inUse = false;
};

struct Tallies {
  std::mutex mutex;
  std::vector<Tally*> all;  // never freed: a sum may read any of them
  // Changes made by a thread after its counter went back, as it ends.
  std::atomic<std::int64_t> late{0};
};

Tallies& tallies() {
  static Tallies* const shared = new Tallies();
  return *shared;
}

Tally* claimTally() {
  Tallies& registry = tallies();
  const std::lock_guard lock(registry.mutex);
  for (Tally* tally : registry.all) {
    if (!tally->inUse) {
      tally->inUse = true;
      return tally;
    }
  }
  registry.all.push_back(new Tally{{0}, true});
  return registry.all.back();
}

// The thread's counter, and whether it has gone back (both plain values, so
// they stay readable while the thread's other objects are torn down).
thread_local Tally* tTally = nullptr;
thread_local bool tTallyReturned = false;

// Gives the counter back when the thread ends.
struct TallyReturn {
  ~TallyReturn() {
    const std::lock_guard lock(tallies().mutex);
    tTally->inUse = false;
    tTally = nullptr;
    tTallyReturned = true;
  }
};
thread_local TallyReturn tTallyReturn;

void countLive(std::int64_t change) {
  Tally* tally = tTally;
  if (tally == nullptr) {
    if (tTallyReturned) {
      tallies().late.fetch_add(change, std::memory_order_relaxed);
      return;
    }
    tally = tTally = claimTally();
    (void)&tTallyReturn;  // made now, so that it runs when the thread ends
  }
  tally->count.store(tally->count.load(std::memory_order_relaxed) + change, std::memory_order_relaxed);
}

// Objects whose last reference went while another object was being freed.
// Freeing them from this list instead of from the destructor that dropped
// them keeps the stack flat however deep the structure was.
struct PendingRelease {
  bool draining = false;
  std::vector<const QZMPObject*> objects;
};
thread_local PendingRelease tPending;

}  // namespace

QZMPObject::QZMPObject() { countLive(1); }

QZMPObject::~QZMPObject() { countLive(-1); }

void QZMPObject::traceReferences(QZMPMarker&) {}

std::int64_t QZMPObject::liveCount() {
  Tallies& registry = tallies();
  const std::lock_guard lock(registry.mutex);
  std::int64_t sum = registry.late.load(std::memory_order_relaxed);
  for (const Tally* tally : registry.all) sum += tally->count.load(std::memory_order_relaxed);
  return sum;
}

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

#include "measurement/engine/reporters/QZMScreenViewReporter.h"

#include <mutex>

namespace {

struct Shared {
  std::mutex mutex;
  std::shared_ptr<QZMScreenViewReporter> reporter;
};
Shared& shared() {
  static auto* s = new Shared;
  return *s;
}

}  // namespace

std::shared_ptr<QZMScreenViewReporter> QZMScreenViewReporter::sharedInstance() {
  Shared& s = shared();
  std::lock_guard lock(s.mutex);
  if (!s.reporter) s.reporter = std::make_shared<QZMScreenViewReporter>();
  return s.reporter;
}

void QZMScreenViewReporter::setSharedInstance(std::shared_ptr<QZMScreenViewReporter> reporter) {
  Shared& s = shared();
  std::lock_guard lock(s.mutex);
  s.reporter = std::move(reporter);
}

// Screens are not tracked yet: no screen, no views, never in the foreground.

void QZMScreenViewReporter::trackScreenWithParameters(const QZMDictionary&, double) {}

QZMDictionary QZMScreenViewReporter::screenParameters() { return {}; }

void QZMScreenViewReporter::setScreenName(const std::optional<std::string>&, const std::optional<std::string>&) {}

bool QZMScreenViewReporter::isAppActive() { return false; }

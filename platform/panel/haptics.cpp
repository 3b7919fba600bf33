#include "platform/panel/haptics.h"

namespace panel {
namespace {
ImpactFeedbackGenerator::Observer& observer() {
  static ImpactFeedbackGenerator::Observer o;
  return o;
}
}  // namespace

void ImpactFeedbackGenerator::impactOccurred() {
  if (observer()) observer()(style_);
}

void ImpactFeedbackGenerator::setObserver(Observer o) { observer() = std::move(o); }

}  // namespace panel

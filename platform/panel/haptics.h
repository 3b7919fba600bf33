// Impact feedback. A desktop has no haptic engine, so an impact does nothing
// but tell the observer, which tests install to see that it happened.
#pragma once

#include <functional>

namespace panel {

class ImpactFeedbackGenerator {
 public:
  enum class Style { light, medium, heavy };
  explicit ImpactFeedbackGenerator(Style style) : style_(style) {}
  void impactOccurred();

  using Observer = std::function<void(Style)>;
  static void setObserver(Observer observer);

 private:
  Style style_;
};

}  // namespace panel

// Touches as a view controller receives them: every touch that is down, in
// the order the touches went down, each with its location and its location
// at the previous delivery, in view points.
#pragma once

#include <vector>

#include "platform/ui/geometry.h"

namespace ui {

struct Touch {
  Point location;
  Point previousLocation;
};

// One delivery: all touches that are down (the event's allTouches).
struct TouchEvent {
  std::vector<Touch> allTouches;
};

class Responder {
 public:
  virtual ~Responder() = default;
  virtual void touchesBegan(const TouchEvent& event) = 0;
  virtual void touchesMoved(const TouchEvent& event) = 0;
  virtual void touchesEnded(const TouchEvent& event) = 0;
  virtual void touchesCancelled(const TouchEvent& event) = 0;
};

}  // namespace ui

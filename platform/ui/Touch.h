// Touches as the view controller sees them: every touch that is down, in the
// order the touches went down, each with its location and its location at the
// previous delivery, in view points. TouchTranslator makes them from SDL's
// finger events, and from the left mouse button while no finger is down.
#pragma once

#include <SDL2/SDL_events.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/ui/Responder.h"
#include "platform/ui/geometry.h"

namespace ui {

class TouchTranslator {
 public:
  // `viewSize` is the view's size in points (finger positions arrive as
  // fractions of it). `takenBySubview` says whether a touch going down at a
  // point belongs to something drawn over the view (the panel, a button);
  // such a touch never reaches the responder, not even when it moves on.
  TouchTranslator(Responder& responder, std::function<Size()> viewSize, std::function<bool(Point)> takenBySubview);

  // Handles one event of the current batch. Moves are held back and merged.
  void handleEvent(const SDL_Event& event);
  // The end of a batch of events: the moves since the last delivery go out
  // as one touchesMoved.
  void endBatch();
  // Cancels every touch that is down (the window lost focus or closes).
  void cancelAll();

  std::size_t touchesDown() const { return down_.size(); }

 private:
  struct Key {
    bool mouse = false;
    SDL_TouchID device = 0;
    SDL_FingerID finger = 0;
    bool operator==(const Key&) const = default;
  };
  struct Down {
    Key key;
    Touch touch;
  };

  Down* find(const Key& key);
  void begin(const Key& key, Point at);
  void move(const Key& key, Point to);
  void end(const Key& key, Point at);
  void deliverMoves();
  TouchEvent event() const;
  // After a delivery every touch's previous location is where it is now.
  void settle();
  bool fingerDown() const;

  Responder& responder_;
  std::function<Size()> viewSize_;
  std::function<bool(Point)> takenBySubview_;
  std::vector<Down> down_;
  bool movePending_ = false;
};

}  // namespace ui

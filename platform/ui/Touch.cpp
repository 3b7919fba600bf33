#include "platform/ui/Touch.h"

#include <SDL2/SDL_touch.h>

#include <algorithm>

namespace ui {

TouchTranslator::TouchTranslator(Responder& responder, std::function<Size()> viewSize,
                                 std::function<bool(Point)> takenBySubview)
    : responder_(responder), viewSize_(std::move(viewSize)), takenBySubview_(std::move(takenBySubview)) {}

void TouchTranslator::handleEvent(const SDL_Event& e) {
  switch (e.type) {
    case SDL_FINGERDOWN:
    case SDL_FINGERMOTION:
    case SDL_FINGERUP: {
      // Fingers that SDL makes up from the mouse: the mouse is read directly.
      if (e.tfinger.touchId == SDL_MOUSE_TOUCHID) return;
      const Size size = viewSize_();
      const Point at{static_cast<double>(e.tfinger.x) * size.width, static_cast<double>(e.tfinger.y) * size.height};
      const Key key{false, e.tfinger.touchId, e.tfinger.fingerId};
      if (e.type == SDL_FINGERDOWN) begin(key, at);
      else if (e.type == SDL_FINGERMOTION) move(key, at);
      else end(key, at);
      return;
    }
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: {
      // Mouse events that SDL makes up from fingers were handled as fingers.
      if (e.button.which == SDL_TOUCH_MOUSEID || e.button.button != SDL_BUTTON_LEFT) return;
      const Point at{static_cast<double>(e.button.x), static_cast<double>(e.button.y)};
      if (e.type == SDL_MOUSEBUTTONDOWN) {
        if (!fingerDown()) begin(Key{true}, at);
      } else {
        end(Key{true}, at);
      }
      return;
    }
    case SDL_MOUSEMOTION:
      if (e.motion.which == SDL_TOUCH_MOUSEID) return;
      move(Key{true}, Point{static_cast<double>(e.motion.x), static_cast<double>(e.motion.y)});
      return;
    default:
      return;
  }
}

TouchTranslator::Down* TouchTranslator::find(const Key& key) {
  auto it = std::find_if(down_.begin(), down_.end(), [&](const Down& d) { return d.key == key; });
  return it == down_.end() ? nullptr : &*it;
}

bool TouchTranslator::fingerDown() const {
  return std::any_of(down_.begin(), down_.end(), [](const Down& d) { return !d.key.mouse; });
}

void TouchTranslator::begin(const Key& key, Point at) {
  if (find(key) != nullptr || (takenBySubview_ && takenBySubview_(at))) return;
  deliverMoves();
  down_.push_back(Down{key, Touch{at, at}});
  responder_.touchesBegan(event());
  settle();
}

void TouchTranslator::move(const Key& key, Point to) {
  Down* d = find(key);
  if (d == nullptr || d->touch.location == to) return;
  d->touch.location = to;
  movePending_ = true;
}

void TouchTranslator::end(const Key& key, Point at) {
  if (find(key) == nullptr) return;
  // Moves that came before the lift in this batch are told first.
  deliverMoves();
  Down* d = find(key);
  d->touch.location = at;
  responder_.touchesEnded(event());
  std::erase_if(down_, [&](const Down& x) { return x.key == key; });
  settle();
}

void TouchTranslator::endBatch() { deliverMoves(); }

void TouchTranslator::cancelAll() {
  if (down_.empty()) return;
  movePending_ = false;
  responder_.touchesCancelled(event());
  down_.clear();
}

void TouchTranslator::deliverMoves() {
  if (!movePending_) return;
  movePending_ = false;
  responder_.touchesMoved(event());
  settle();
}

TouchEvent TouchTranslator::event() const {
  TouchEvent e;
  e.allTouches.reserve(down_.size());
  for (const Down& d : down_) e.allTouches.push_back(d.touch);
  return e;
}

void TouchTranslator::settle() {
  for (Down& d : down_) d.touch.previousLocation = d.touch.location;
}

}  // namespace ui

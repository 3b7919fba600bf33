// The hosting side of the control panel: views that draw themselves with Dear
// ImGui from their own state, and the controller that hosts one of them in a
// rectangle of the window. State lives in the views; they report through the
// closures they were given and never call back into the host.
#pragma once

#include <imgui.h>

#include <memory>
#include <string>

namespace panel {

struct Rect {
  float x = 0, y = 0, width = 0, height = 0;
  float midX() const { return x + width / 2; }
  float midY() const { return y + height / 2; }
  float maxX() const { return x + width; }
  float maxY() const { return y + height; }
  bool contains(ImVec2 p) const { return p.x >= x && p.x < x + width && p.y >= y && p.y < y + height; }
};

struct EdgeInsets {
  float top = 0, leading = 0, bottom = 0, trailing = 0;
};

enum class Idiom { phone, pad };

class Fonts;
class ImageTextures;

// What every view may read while it draws: the device kind, the resources and
// the fonts and textures of the window it is drawn in.
struct Environment {
  Idiom idiom = Idiom::phone;
  std::string resourcePath;
  Fonts* fonts = nullptr;               // required
  ImageTextures* textures = nullptr;  // may be null: images are then not drawn
};

// The space a view is given: its frame in window points and the safe-area insets.
struct GeometryProxy {
  Rect frame;
  EdgeInsets safeAreaInsets;
};

class View {
 public:
  virtual ~View() = default;
  // Draws the view into the current ImGui window and handles its input.
  virtual void body(const GeometryProxy& geometry, const Environment& environment) = 0;
};

// The view a controller shows: a frame and layout requests.
struct HostingView {
  Rect frame;
  bool clearBackground = false;
  bool flexibleSize = false;  // follows its container's size
  bool hidden = false;
  int layoutRequests = 0;     // setNeedsLayout calls
  int layoutPasses = 0;       // layoutIfNeeded calls that found a request
  void setNeedsLayout() { ++layoutRequests; }
  void layoutIfNeeded() {
    if (layoutRequests > layoutPasses) layoutPasses = layoutRequests;
  }
};

class ViewController {
 public:
  virtual ~ViewController() = default;
  HostingView& view() { return view_; }
  const HostingView& view() const { return view_; }
  // Draws the hosted content into its frame; the caller runs the ImGui frame.
  virtual void draw(const Environment& environment) = 0;

 private:
  HostingView view_;
};

// Draws `rootView` in an ImGui window that covers the view's frame.
void drawHosted(View& rootView, const HostingView& view, const Environment& environment, const void* identity);

template <class V>
class HostingController : public ViewController {
 public:
  explicit HostingController(std::shared_ptr<V> rootView) : rootView_(std::move(rootView)) {}
  V& rootView() { return *rootView_; }
  const V& rootView() const { return *rootView_; }
  void draw(const Environment& environment) override {
    if (!view().hidden) drawHosted(*rootView_, view(), environment, this);
  }

 private:
  std::shared_ptr<V> rootView_;
};

}  // namespace panel

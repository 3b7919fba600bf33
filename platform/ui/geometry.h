// Points, sizes and rectangles in window points (origin top-left, y down), in
// double precision as the platform's own geometry is.
#pragma once

namespace ui {

struct Point {
  double x = 0, y = 0;
  bool operator==(const Point&) const = default;
};

struct Size {
  double width = 0, height = 0;
  bool operator==(const Size&) const = default;
};

struct Rect {
  Point origin;
  Size size;
  bool operator==(const Rect&) const = default;
  double width() const { return size.width; }
  double height() const { return size.height; }
  double maxX() const { return origin.x + size.width; }
  double maxY() const { return origin.y + size.height; }
  bool contains(Point p) const { return p.x >= origin.x && p.x < maxX() && p.y >= origin.y && p.y < maxY(); }
  // A rectangle at the origin with the same size.
  Rect bounds() const { return Rect{{}, size}; }
};

inline Rect makeRect(double x, double y, double width, double height) { return Rect{{x, y}, {width, height}}; }

}  // namespace ui

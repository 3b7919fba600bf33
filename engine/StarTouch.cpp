#include "engine/StarTouch.h"

#include <algorithm>

namespace {
int slots(int n) { return std::clamp(n, 0, StarTouch::kSlots); }
}  // namespace

StarTouch::StarTouch(StarTouchDelegate* d) : delegate(d) {}

void StarTouch::began(const float2* points, int n) {
  count = slots(n);
  for (int i = 0; i < count; ++i) current[i] = points[i];
  if (delegate) delegate->touchesBegan();
}

void StarTouch::moved(const float2* points, const float2* previousPoints, int n) {
  count = slots(n);
  for (int i = 0; i < count; ++i) {
    current[i] = points[i];
    previous[i] = previousPoints[i];
  }
  if (delegate) delegate->touchesMoved();
}

void StarTouch::ended(const float2* points, int n) {
  for (int i = 0; i < slots(n); ++i) current[i] = points[i];
  count = 0;
  if (delegate) delegate->touchesEnded();
}

void StarTouch::cancelled(const float2* points, int n) {
  for (int i = 0; i < slots(n); ++i) current[i] = points[i];
  count = 0;
}

StarTimer::StarTimer(StarTimerDelegate* d, std::function<std::uint64_t()> steadyMillis)
    : delegate(d), steadyMillis_(std::move(steadyMillis)) {}

void StarTimer::tick() {
  std::uint64_t now = steadyMillis_();
  ++frames_;
  if (now - lastReportMs_ >= 1001) {
    lastReportMs_ = now;
    if (delegate) delegate->onFps(frames_);
    ++seconds;
    frames_ = 0;
  }
  if (delegate) delegate->onDelta(static_cast<double>(now - lastTickMs_));
  lastTickMs_ = now;
}

void hsvToRgb(float3& out, float hue, float saturation, float value) {
  double h = hue, s = saturation, v = value;
  double sector = h < 360.0 ? h / 60.0 : 0.0;
  int i = static_cast<int>(sector);
  double f = sector - i;
  double p = (1.0 - s) * v;
  double q = (1.0 - s * f) * v;
  double t = (1.0 - s * (1.0 - f)) * v;
  double r, g, b;
  switch (i) {
    case 0: r = v, g = t, b = p; break;
    case 1: r = q, g = v, b = p; break;
    case 2: r = p, g = v, b = t; break;
    case 3: r = p, g = q, b = v; break;
    case 4: r = t, g = p, b = v; break;
    default: r = v, g = p, b = q; break;
  }
  out = float3(static_cast<float>(r), static_cast<float>(g), static_cast<float>(b));
}

void lerpColor(float3& a, const float3& b, float t) {
  a.x = a.x * (1 - t) + b.x * t;
  a.y = a.y * (1 - t) + b.y * t;
  a.z = a.z * (1 - t) + b.z * t;
}

void copyColor(float3& to, const float3& from) { to = from; }
void copyColor(float4& to, const float4& from) { to = from; }

// The touch store and the frame timer: the engine's inputs from the user's
// fingers and from the clock.
#pragma once

#include <cstdint>
#include <functional>

#include "engine/simd.h"

class StarTouchDelegate {
 public:
  virtual void touchesEnded() = 0;
  virtual void touchesBegan() = 0;
  virtual void touchesMoved() = 0;
  virtual void touchesCancelled() = 0;

 protected:
  ~StarTouchDelegate() = default;
};

// Touch points in drawable pixels, origin bottom-left. Slot i is the i-th
// touch of the last event, not a stable finger identity.
class StarTouch {
 public:
  static constexpr int kSlots = 10;

  explicit StarTouch(StarTouchDelegate* delegate);

  // The writer's side of one touch event: fill the slots, then notify.
  // Touches past kSlots get no slot.
  void began(const float2* points, int n);
  void moved(const float2* points, const float2* previousPoints, int n);
  void ended(const float2* points, int n);
  void cancelled(const float2* points, int n);

  StarTouchDelegate* delegate;
  float2 current[kSlots];
  float2 previous[kSlots];
  std::int32_t count = 0;
};

class StarTimerDelegate {
 public:
  virtual void onFps(std::uint64_t frames) = 0;
  virtual void onDelta(double milliseconds) = 0;

 protected:
  ~StarTimerDelegate() = default;
};

// Ticked once per frame: reports the frame rate about once a second and the
// time since the previous tick on every tick. Its counters belong to the
// instance, so two renderers never share a frame count.
class StarTimer {
 public:
  StarTimer(StarTimerDelegate* delegate, std::function<std::uint64_t()> steadyMillis);
  void tick();

  std::uint64_t seconds = 0;
  StarTimerDelegate* delegate;

 private:
  std::function<std::uint64_t()> steadyMillis_;
  std::uint64_t frames_ = 0;
  std::uint64_t lastReportMs_ = 0;
  std::uint64_t lastTickMs_ = 0;
};

// Hue in degrees (360 or more counts as 0), saturation and value in 0..1.
void hsvToRgb(float3& out, float hue, float saturation, float value);
// a = a * (1 - t) + b * t, per channel.
void lerpColor(float3& a, const float3& b, float t);
void copyColor(float3& to, const float3& from);
void copyColor(float4& to, const float4& from);

// Vector and matrix types shared by the engine's CPU code and its shaders.
// Layout follows the shading language: float2 is 8 bytes aligned to 8,
// float3 and float4 are 16 bytes aligned to 16, float4x4 is four float4 columns.
#pragma once

#include <cmath>
#include <cstddef>

struct alignas(8) float2 {
  float x = 0, y = 0;
  constexpr float2() = default;
  constexpr float2(float x_, float y_) : x(x_), y(y_) {}
  constexpr explicit float2(float s) : x(s), y(s) {}
  friend constexpr bool operator==(float2, float2) = default;
};

struct alignas(16) float3 {
  float x = 0, y = 0, z = 0;
  constexpr float3() = default;
  constexpr float3(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}
  friend constexpr bool operator==(float3, float3) = default;
};

struct alignas(16) float4 {
  float x = 0, y = 0, z = 0, w = 0;
  constexpr float4() = default;
  constexpr float4(float x_, float y_, float z_, float w_) : x(x_), y(y_), z(z_), w(w_) {}
  // A point as a 4-vector: (x, y, 0, 0).
  constexpr explicit float4(float2 p) : x(p.x), y(p.y) {}
  friend constexpr bool operator==(float4, float4) = default;
};

// Column-major: columns[c] is column c.
struct alignas(16) float4x4 {
  float4 columns[4];
  friend constexpr bool operator==(const float4x4&, const float4x4&) = default;
};

static_assert(sizeof(float2) == 8 && alignof(float2) == 8);
static_assert(sizeof(float3) == 16 && alignof(float3) == 16);
static_assert(sizeof(float4) == 16 && alignof(float4) == 16);
static_assert(sizeof(float4x4) == 64 && alignof(float4x4) == 16);

inline float length(float2 a) { return std::sqrt(a.x * a.x + a.y * a.y); }
constexpr float2 operator-(float2 a, float2 b) { return {a.x - b.x, a.y - b.y}; }
constexpr float2 operator+(float2 a, float2 b) { return {a.x + b.x, a.y + b.y}; }
constexpr float2 operator*(float2 a, float s) { return {a.x * s, a.y * s}; }
constexpr float2 operator*(float2 a, float2 b) { return {a.x * b.x, a.y * b.y}; }
constexpr float2& operator+=(float2& a, float2 b) { a.x += b.x; a.y += b.y; return a; }
constexpr float2& operator*=(float2& a, float s) { a.x *= s; a.y *= s; return a; }

// Leaves vectors of (almost) no length unchanged rather than dividing by zero.
inline void normalize(float2& a) {
  float len = length(a);
  if (len > 0.000001f) {
    a.x /= len;
    a.y /= len;
  }
}

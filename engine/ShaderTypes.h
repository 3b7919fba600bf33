// The structures the CPU hands to the shaders, laid out as the shaders read
// them (float2 8 bytes, float3 and float4 16, float4x4 64; a structure's size
// rounded up to its largest alignment). Each is checked against the offsets
// its GLSL block has.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/simd.h"

// Full-screen quad vertex.
struct VertexInOut2 {
  float4 position;
  float2 texcoord;
};

// Texts C, E, F, G.
struct UniformTexel {
  float2 texel;
};
// Text D.
struct UniformVorticity {
  float2 texel;
  float uVorticity;
  float uDelta;
};
// Texts H, I.
struct UniformAdvect {
  float2 texel;
  float uDelta;
  float uDiffusion;
};
// Text V.
struct UniformFade {
  float fade;
};

// Text A, vertex bytes 3.
struct UniformVireonPoint {
  float4x4 finalM;
  float screen_size;
};
// Text T, vertex bytes 1.
struct LineMatrix {
  float4x4 finalM;
};
// Text S, bytes 4.
struct UniformVireonLine {
  float2 star_rect;
  std::int32_t num_group_limit;
  float star_hypo;
  float line_width_half;
  float now_tick;
  float fade;
  float damping;
};
// The line kernel's output vertex.
struct ComputeOut {
  float4 position;
  float4 color;
  float3 normal;
};

// Texts J to R.
struct UniformBloomPrefilter {
  float3 curve;
  float threshold;
};
struct UniformBloomVertex {
  float2 texelSize;
};
struct UniformBloomFinal {
  float intensity;
};
struct UniformSunrays {
  float weight;
};
struct UniformSunraysBlur {
  float2 texelSize;
};
struct UniformHeightFromPressure {
  float heightScale;
};
struct UniformNormalFromHeight {
  float2 texelSize;
  float normalStrength;
};
struct UniformFluidEffects {
  float2 noiseScale;
  float2 texelSize;
  std::int32_t use_shading_color;
  std::int32_t use_shading_pressure;
  std::int32_t use_bloom;
  std::int32_t use_sunrays;
};

static_assert(sizeof(VertexInOut2) == 32 && offsetof(VertexInOut2, texcoord) == 16);
static_assert(sizeof(UniformTexel) == 8);
static_assert(sizeof(UniformVorticity) == 16 && offsetof(UniformVorticity, uDelta) == 12);
static_assert(sizeof(UniformAdvect) == 16 && offsetof(UniformAdvect, uDiffusion) == 12);
static_assert(sizeof(UniformFade) == 4);
static_assert(sizeof(UniformVireonPoint) == 80 && offsetof(UniformVireonPoint, screen_size) == 64);
static_assert(sizeof(LineMatrix) == 64);
static_assert(sizeof(UniformVireonLine) == 32 && offsetof(UniformVireonLine, num_group_limit) == 8 &&
              offsetof(UniformVireonLine, damping) == 28);
static_assert(sizeof(ComputeOut) == 48 && offsetof(ComputeOut, normal) == 32);
static_assert(sizeof(UniformBloomPrefilter) == 32 && offsetof(UniformBloomPrefilter, threshold) == 16);
static_assert(sizeof(UniformNormalFromHeight) == 16 && offsetof(UniformNormalFromHeight, normalStrength) == 8);
static_assert(sizeof(UniformFluidEffects) == 32 && offsetof(UniformFluidEffects, use_sunrays) == 28);

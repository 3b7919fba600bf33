// The engine options the user sets, as the application keeps them: the
// values a fresh user sees first, and the one way they reach the engine.
#pragma once

#include <cstdint>

#include "engine/VireonVertex.h"

// The view controller's mirror of the engine's user settings, at their
// first-launch values.
struct FluidSettings {
  float fingerRadius = 0.02f;
  float vorticity = 0.1f;
  float pressure = 0.8f;  // never stored
  float colorDiffusion = 1.0f;
  float velocityDiffusion = 0.2f;
  float splatForce = 1.0f;
  std::int64_t particleNum = 100;
  float particleRadius = 0.008f;
  float damping = 0.98f;
  std::int64_t particleFrequency = 1;  // never stored
  bool renderPoint = true;
  bool usingShading = true;
  bool usingBloom = true;
  bool usingSunrays = true;
  std::int64_t lineNum = 9000;

  bool operator==(const FluidSettings&) const = default;
};

// Hands every setting to the engine, as the application does at launch and
// after every change.
inline void applyFluidSettings(VireonVertex& engine, const FluidSettings& s) {
  engine.setFluidOptions(s.fingerRadius, s.vorticity, s.pressure, s.colorDiffusion, s.velocityDiffusion,
                         s.splatForce);
  engine.setFluidEffects(s.usingShading, s.usingBloom, s.usingSunrays);
  engine.setFluidParticles(s.renderPoint, static_cast<std::int32_t>(s.particleNum), s.damping, s.particleRadius,
                           static_cast<std::int32_t>(s.particleFrequency), static_cast<std::int32_t>(s.lineNum));
}

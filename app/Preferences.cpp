#include "app/Preferences.h"

#include <algorithm>
#include <cmath>

#include "app/support/AppLog.h"

namespace preferences {
namespace {

// One stored key: its name, the member it mirrors and the range the panel offers.
struct FloatKey {
  const char* name;
  float FluidSettings::*member;
  float lowest, highest;
};
struct IntegerKey {
  const char* name;
  std::int64_t FluidSettings::*member;
  std::int64_t lowest, highest;
};
struct BoolKey {
  const char* name;
  bool FluidSettings::*member;
};

constexpr FloatKey kFloatKeys[] = {
    {"fingerRadiusKey", &FluidSettings::fingerRadius, 0.01f, 0.1f},
    {"vorticityKey", &FluidSettings::vorticity, 0.0f, 50.0f},
    {"colorDiffusionKey", &FluidSettings::colorDiffusion, 0.0f, 10.0f},
    {"velocityDiffusionKey", &FluidSettings::velocityDiffusion, 0.0f, 10.0f},
    {"splatForceKey", &FluidSettings::splatForce, 0.1f, 3.0f},
    {"particleRadiusKey", &FluidSettings::particleRadius, 0.005f, 0.05f},
    {"dampingKey", &FluidSettings::damping, 0.9f, 1.0f},
};
constexpr IntegerKey kIntegerKeys[] = {
    {"particleNumKey", &FluidSettings::particleNum, 1, kMaxParticleNum},
    {"currentLineNumKey", &FluidSettings::lineNum, 0, kMaxLineNum},
};
constexpr BoolKey kBoolKeys[] = {
    {"renderPointKey", &FluidSettings::renderPoint},
    {"usingShadingKey", &FluidSettings::usingShading},
    {"usingBloomKey", &FluidSettings::usingBloom},
    {"usingSunraysKey", &FluidSettings::usingSunrays},
};

// A stored number of any kind, or nothing.
std::optional<double> storedNumber(const foundation::UserDefaults& defaults, const char* key) {
  std::optional<foundation::Object> value = defaults.objectForKey(key);
  if (!value || !value->isNumber()) return std::nullopt;
  double number = defaults.doubleForKey(key);
  if (!std::isfinite(number)) return std::nullopt;
  return number;
}

void logDefault(const char* key, double value) {
  app::log("Stored %s holds no usable number; using %g", key, value);
}

void logClamped(const char* key, double stored, double value) {
  app::log("Stored %s is out of range (%g); using %g", key, stored, value);
}

}  // namespace

FluidSettings load(const foundation::UserDefaults& defaults) {
  const FluidSettings first;
  FluidSettings s;
  for (const FloatKey& k : kFloatKeys) {
    std::optional<double> stored = storedNumber(defaults, k.name);
    if (!stored) {
      if (defaults.objectForKey(k.name)) logDefault(k.name, first.*k.member);
      continue;
    }
    // Read as the float it was written as, so a stored value comes back bit for bit.
    float value = defaults.floatForKey(k.name);
    s.*k.member = std::clamp(value, k.lowest, k.highest);
    if (s.*k.member != value) logClamped(k.name, value, s.*k.member);
  }
  for (const IntegerKey& k : kIntegerKeys) {
    std::optional<double> stored = storedNumber(defaults, k.name);
    if (!stored) {
      if (defaults.objectForKey(k.name)) logDefault(k.name, static_cast<double>(first.*k.member));
      continue;
    }
    std::int64_t value = defaults.integerForKey(k.name);
    s.*k.member = std::clamp(value, k.lowest, k.highest);
    if (s.*k.member != value) logClamped(k.name, static_cast<double>(value), static_cast<double>(s.*k.member));
  }
  for (const BoolKey& k : kBoolKeys) {
    if (storedNumber(defaults, k.name)) {
      s.*k.member = defaults.boolForKey(k.name);
    } else if (defaults.objectForKey(k.name)) {
      logDefault(k.name, first.*k.member ? 1 : 0);
    }
  }
  return s;
}

foundation::Status save(foundation::UserDefaults& defaults, const FluidSettings& s) {
  // Every key is written even when one fails: what is written is kept.
  foundation::Status result;
  auto keep = [&result](foundation::Status status) {
    if (result.ok() && !status.ok()) result = std::move(status);
  };
  keep(defaults.setFloat(s.fingerRadius, "fingerRadiusKey"));
  keep(defaults.setFloat(s.vorticity, "vorticityKey"));
  keep(defaults.setFloat(s.colorDiffusion, "colorDiffusionKey"));
  keep(defaults.setFloat(s.velocityDiffusion, "velocityDiffusionKey"));
  keep(defaults.setFloat(s.splatForce, "splatForceKey"));
  keep(defaults.setInteger(s.particleNum, "particleNumKey"));
  keep(defaults.setFloat(s.particleRadius, "particleRadiusKey"));
  keep(defaults.setFloat(s.damping, "dampingKey"));
  keep(defaults.setBool(s.renderPoint, "renderPointKey"));
  keep(defaults.setBool(s.usingShading, "usingShadingKey"));
  keep(defaults.setBool(s.usingBloom, "usingBloomKey"));
  keep(defaults.setBool(s.usingSunrays, "usingSunraysKey"));
  keep(defaults.setInteger(s.lineNum, "currentLineNumKey"));
  keep(defaults.synchronize());
  return result;
}

std::int64_t countVisit(foundation::UserDefaults& defaults) {
  std::int64_t visit = 0;
  if (storedNumber(defaults, kVisitNumberKey)) visit = std::max<std::int64_t>(defaults.integerForKey(kVisitNumberKey), 0);
  foundation::Status stored = defaults.setInteger(visit + 1, kVisitNumberKey);
  if (stored.ok()) stored = defaults.synchronize();
  if (!stored.ok()) app::log("Visit number not saved: %s", stored.error().description.c_str());
  return visit;
}

}  // namespace preferences

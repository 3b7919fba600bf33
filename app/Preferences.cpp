#include "app/Preferences.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <variant>

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

using Key = std::variant<FloatKey, IntegerKey, BoolKey>;

// Every stored key, in the order they are written.
const Key kKeys[] = {
    FloatKey{"fingerRadiusKey", &FluidSettings::fingerRadius, 0.01f, 0.1f},
    FloatKey{"vorticityKey", &FluidSettings::vorticity, 0.0f, 50.0f},
    FloatKey{"colorDiffusionKey", &FluidSettings::colorDiffusion, 0.0f, 10.0f},
    FloatKey{"velocityDiffusionKey", &FluidSettings::velocityDiffusion, 0.0f, 10.0f},
    FloatKey{"splatForceKey", &FluidSettings::splatForce, 0.1f, 3.0f},
    IntegerKey{"particleNumKey", &FluidSettings::particleNum, 1, kMaxParticleNum},
    FloatKey{"particleRadiusKey", &FluidSettings::particleRadius, 0.005f, 0.05f},
    FloatKey{"dampingKey", &FluidSettings::damping, 0.9f, 1.0f},
    BoolKey{"renderPointKey", &FluidSettings::renderPoint},
    BoolKey{"usingShadingKey", &FluidSettings::usingShading},
    BoolKey{"usingBloomKey", &FluidSettings::usingBloom},
    BoolKey{"usingSunraysKey", &FluidSettings::usingSunrays},
    IntegerKey{"currentLineNumKey", &FluidSettings::lineNum, 0, kMaxLineNum},
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

// Reads one numeric key into its member, within the panel's range.
template <class Key, class T>
void loadNumber(const foundation::UserDefaults& defaults, const Key& k, T (*read)(const foundation::UserDefaults&,
                                                                                 const char*), FluidSettings& s) {
  const FluidSettings first;
  if (!storedNumber(defaults, k.name)) {
    if (defaults.objectForKey(k.name)) logDefault(k.name, static_cast<double>(first.*k.member));
    return;
  }
  const T value = read(defaults, k.name);
  s.*k.member = std::clamp(value, k.lowest, k.highest);
  if (s.*k.member != value) logClamped(k.name, static_cast<double>(value), static_cast<double>(s.*k.member));
}

float readFloat(const foundation::UserDefaults& d, const char* key) {
  // As the float it was written as, so a stored value comes back bit for bit.
  return d.floatForKey(key);
}
std::int64_t readInteger(const foundation::UserDefaults& d, const char* key) { return d.integerForKey(key); }

}  // namespace

FluidSettings load(const foundation::UserDefaults& defaults) {
  const FluidSettings first;
  FluidSettings s;
  for (const Key& key : kKeys) {
    if (const auto* k = std::get_if<FloatKey>(&key)) loadNumber(defaults, *k, readFloat, s);
    if (const auto* k = std::get_if<IntegerKey>(&key)) loadNumber(defaults, *k, readInteger, s);
    if (const auto* k = std::get_if<BoolKey>(&key)) {
      if (storedNumber(defaults, k->name)) {
        s.*k->member = defaults.boolForKey(k->name);
      } else if (defaults.objectForKey(k->name)) {
        logDefault(k->name, first.*k->member ? 1 : 0);
      }
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
  for (const Key& key : kKeys) {
    if (const auto* k = std::get_if<FloatKey>(&key)) keep(defaults.setFloat(s.*k->member, k->name));
    if (const auto* k = std::get_if<IntegerKey>(&key)) keep(defaults.setInteger(s.*k->member, k->name));
    if (const auto* k = std::get_if<BoolKey>(&key)) keep(defaults.setBool(s.*k->member, k->name));
  }
  keep(defaults.synchronize());
  return result;
}

std::int64_t countVisit(foundation::UserDefaults& defaults) {
  std::int64_t visit = 0;
  if (storedNumber(defaults, kVisitNumberKey)) visit = std::max<std::int64_t>(defaults.integerForKey(kVisitNumberKey), 0);
  // A count already at the top of the range stays there.
  const std::int64_t next = visit < std::numeric_limits<std::int64_t>::max() ? visit + 1 : visit;
  foundation::Status stored = defaults.setInteger(next, kVisitNumberKey);
  if (stored.ok()) stored = defaults.synchronize();
  if (!stored.ok()) app::log("Visit number not saved: %s", stored.error().description.c_str());
  return visit;
}

}  // namespace preferences

// The engine options the control panel edits, and where they are kept
// between runs: thirteen keys of the application's own user-defaults domain,
// and a launch counter.
#pragma once

#include <cstdint>

#include "app/FluidSettings.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/UserDefaults.h"

namespace preferences {

// The most the panel offers.
inline constexpr std::int64_t kMaxParticleNum = 200;
inline constexpr std::int64_t kMaxLineNum = 15000;

inline constexpr const char* kVisitNumberKey = "visitNumberKey";

// Reads the thirteen keys. A key that is missing, holds no number or a number
// that is not finite takes its first-launch value; a number outside the range
// the panel offers is brought to the nearest end of it. Both are logged.
FluidSettings load(const foundation::UserDefaults& defaults);

// Writes the thirteen keys, then synchronizes. On failure the values stay in
// memory and the error says why the file was not written.
foundation::Status save(foundation::UserDefaults& defaults, const FluidSettings& settings);

// The launch counter: answers how many launches came before this one and
// stores one more (synchronized).
std::int64_t countVisit(foundation::UserDefaults& defaults);

}  // namespace preferences

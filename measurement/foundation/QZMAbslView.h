// Debian's abseil keeps a string_view type of its own, which std::string_view
// does not convert to; this bridges the two for StrCat, StrJoin and friends.
#pragma once

#include <string_view>

#include "absl/strings/string_view.h"

inline absl::string_view QZMAbslView(std::string_view text) { return {text.data(), text.size()}; }

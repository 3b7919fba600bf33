// The build stamp. This build is never stamped, so both names read
// "<fake build info>" and nothing is verifiable.
#pragma once

#include <string_view>

namespace base {

class BuildData {
 public:
  static std::string_view BinaryName();
  static std::string_view TargetName();
  static bool IsVerifiable();
};

}  // namespace base

#include "base/status.h"

#include <absl/strings/cord.h>
#include <absl/strings/str_cat.h>

namespace base {
namespace {

// Compilers see absolute or build-relative paths; keep the part below the
// source tree so locations read the same on every machine.
std::string_view RelativeSourcePath(std::string_view path) {
#ifdef TOLV_SOURCE_ROOT
  constexpr std::string_view kRoot = TOLV_SOURCE_ROOT;
  if (path.substr(0, kRoot.size()) == kRoot) path.remove_prefix(kRoot.size());
#endif
  for (;;) {
    if (path.substr(0, 3) == "../") {
      path.remove_prefix(3);
    } else if (path.substr(0, 2) == "./") {
      path.remove_prefix(2);
    } else {
      return path;
    }
  }
}

}  // namespace

absl::Status WithSourceLocation(absl::Status status, SourceLocation location) {
  if (status.ok()) return status;
  status.SetPayload(ToAbsl(kSourceLocationPayload),
                    absl::Cord(absl::StrCat(ToAbsl(RelativeSourcePath(location.file_name())), ":", location.line())));
  return status;
}

absl::Status InternalError(std::string_view message, SourceLocation location) {
  return WithSourceLocation(absl::InternalError(ToAbsl(message)), location);
}

absl::Status InvalidArgumentError(std::string_view message, SourceLocation location) {
  return WithSourceLocation(absl::InvalidArgumentError(ToAbsl(message)), location);
}

std::optional<std::string> SourceLocationOf(const absl::Status& status) {
  auto payload = status.GetPayload(ToAbsl(kSourceLocationPayload));
  if (!payload) return std::nullopt;
  return std::string(*payload);
}

}  // namespace base

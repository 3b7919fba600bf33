// Status helpers of the base runtime: errors that carry where they were
// raised (as a payload, so the message stays the caller's text), and the
// early-return macros for absl::Status and absl::StatusOr.
#pragma once

#include <optional>
#include <source_location>
#include <string>
#include <string_view>

#include <absl/status/status.h>
#include <absl/status/statusor.h>

namespace base {

// Where a status was raised. clang 14, which builds the fuzz targets, has no
// std::source_location; the compiler builtins give it the same two facts.
#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
class SourceLocation {
 public:
  static constexpr SourceLocation current(const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    return SourceLocation(file, line);
  }
  constexpr const char* file_name() const { return file_; }
  constexpr int line() const { return line_; }

 private:
  constexpr SourceLocation(const char* file, int line) : file_(file), line_(line) {}
  const char* file_;
  int line_;
};
#endif

// abseil here has its own string_view type.
inline absl::string_view ToAbsl(std::string_view text) { return {text.data(), text.size()}; }

// The payload key under which a status records "<file>:<line>", the file
// relative to the source tree.
inline constexpr std::string_view kSourceLocationPayload = "tolv/source-location";

absl::Status InternalError(std::string_view message,
                           SourceLocation location = SourceLocation::current());
absl::Status InvalidArgumentError(std::string_view message,
                                  SourceLocation location = SourceLocation::current());
// Attaches the location to any status (an OK status is returned unchanged).
absl::Status WithSourceLocation(absl::Status status,
                                SourceLocation location = SourceLocation::current());

std::optional<std::string> SourceLocationOf(const absl::Status& status);

}  // namespace base

#define BASE_STATUS_CONCAT_INNER(a, b) a##b
#define BASE_STATUS_CONCAT(a, b) BASE_STATUS_CONCAT_INNER(a, b)

#define BASE_RETURN_IF_ERROR(expr)                        \
  do {                                                    \
    ::absl::Status base_status_ = (expr);                 \
    if (!base_status_.ok()) return base_status_;          \
  } while (false)

// `lhs` may declare the variable: BASE_ASSIGN_OR_RETURN(BigNum x, Make());
#define BASE_ASSIGN_OR_RETURN(lhs, expr) \
  BASE_ASSIGN_OR_RETURN_IMPL(BASE_STATUS_CONCAT(base_status_or_, __LINE__), lhs, expr)
#define BASE_ASSIGN_OR_RETURN_IMPL(holder, lhs, expr) \
  auto holder = (expr);                               \
  if (!holder.ok()) return std::move(holder).status(); \
  lhs = std::move(holder).value()

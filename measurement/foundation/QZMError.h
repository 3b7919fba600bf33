// The SDK's errors and the checks that produce them, and the exception the
// SDK's blocks may throw. An SDK error may carry a short monitor context,
// which the monitor attaches to its health sample when the error is logged.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"

inline constexpr const char* kQZMErrorDomain = "com.dralix.dxv.measurement.ErrorDomain";
// The user-info key under which the monitor context travels.
inline constexpr const char* kQZMMonitorContextKey = "QZMMonitorContext";

// An SDK error; an empty monitor context is left out.
foundation::Error qzm_errorWithCode(std::int64_t code, std::string description, std::string_view monitorContext = {});
// The error's monitor context when it is an SDK error carrying a non-empty one.
std::string QZMMonitorContextOfError(const foundation::Error& error);

// Each check passes or answers the SDK error with the code and description.
foundation::Status QZMCheckCondition(bool condition, std::int64_t code, std::string_view description);
foundation::Status QZMCheckNonZero(std::uint64_t value, std::int64_t code, std::string_view description);
foundation::Status QZMCheckPointer(const void* pointer, std::int64_t code, std::string_view description);
// For anything that can be absent: smart pointers, optionals.
template <class T>
foundation::Status QZMCheckObject(const T& object, std::int64_t code, std::string_view description) {
  return QZMCheckCondition(static_cast<bool>(object), code, description);
}

// An exception raised by SDK code: a name, a reason and, when known, the
// call-stack symbols of where it was raised (innermost first).
class QZMException : public std::exception {
 public:
  QZMException(std::string name, std::string reason, std::vector<std::string> callStackSymbols = {})
      : name_(std::move(name)), reason_(std::move(reason)), callStackSymbols_(std::move(callStackSymbols)) {}

  // The exception being handled, for use inside a catch block; one of another
  // kind is taken as its type's name and its message, without call-stack
  // symbols.
  static QZMException fromCurrentException();

  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const std::vector<std::string>& callStackSymbols() const { return callStackSymbols_; }
  const char* what() const noexcept override { return reason_.c_str(); }

 private:
  std::string name_;
  std::string reason_;
  std::vector<std::string> callStackSymbols_;
};

// A failure: a domain, a code, a description and, for the SDK's monitor, an
// optional context object. Results carry one instead of a value.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "platform/foundation/Object.h"

namespace foundation {

struct Error {
  std::string domain;
  std::int64_t code = 0;
  std::string description;
  std::optional<Object> monitorContext;

  Error() = default;
  Error(std::string domain, std::int64_t code, std::string description,
        std::optional<Object> monitorContext = std::nullopt)
      : domain(std::move(domain)), code(code), description(std::move(description)),
        monitorContext(std::move(monitorContext)) {}

  // "domain code: description" for log lines.
  std::string text() const;
  bool operator==(const Error& other) const = default;
};

// Domains of the platform layers' own errors.
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* kFoundationErrorDomain = "foundation";

// An error from errno (or the given number) with what was being done.
Error posixError(int errorNumber, const std::string& what);

// Either a value or the error that prevented it.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const Error& error() const { return std::get<1>(state_); }
  T valueOr(T fallback) const { return ok() ? value() : std::move(fallback); }

 private:
  std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}
  bool ok() const { return !error_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return *error_; }

 private:
  std::optional<Error> error_;
};

using Status = Result<void>;

}  // namespace foundation

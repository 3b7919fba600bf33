// One context object of a monitor line: nil, a property-list value (string,
// number, ...), an error, an exception, or an object of some other kind that
// only has a description. The console shows its description; the health
// sample keeps only its shape (see QZMMonitor::encodedStringWithContextObject).
#pragma once

#include <concepts>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "measurement/foundation/QZMError.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

class QZMLogContext {
 public:
  // nil.
  QZMLogContext() = default;
  template <class T>
    requires std::constructible_from<foundation::Object, T&&> &&
             (!std::same_as<std::remove_cvref_t<T>, QZMLogContext>)
  QZMLogContext(T&& value) : value_(foundation::Object(std::forward<T>(value))) {}
  // nil when empty.
  template <class T>
    requires std::constructible_from<foundation::Object, const T&>
  QZMLogContext(const std::optional<T>& value) {
    if (value) value_ = foundation::Object(*value);
  }
  QZMLogContext(foundation::Error error) : value_(std::move(error)) {}
  QZMLogContext(QZMException exception) : value_(std::move(exception)) {}
  // An object of another kind, known by its description.
  static QZMLogContext describing(std::string description) {
    QZMLogContext context;
    context.value_ = Described{std::move(description)};
    return context;
  }

  bool isNil() const;
  const foundation::Object* object() const { return std::get_if<foundation::Object>(&value_); }
  const foundation::Error* error() const { return std::get_if<foundation::Error>(&value_); }
  const QZMException* exception() const { return std::get_if<QZMException>(&value_); }
  // The description of an object of another kind, or nullptr.
  const std::string* otherDescription() const;

 private:
  struct Described {
    std::string description;
  };
  std::variant<foundation::Object, foundation::Error, QZMException, Described> value_;
};

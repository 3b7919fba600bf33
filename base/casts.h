// A checked downcast: converting a base pointer or reference to a derived
// type that the object does not have stops the process with both type names.
#pragma once

#include <type_traits>
#include <typeinfo>

namespace base {

[[noreturn]] void BadDownCastCrash(const char* expected_type, const std::type_info& actual_type);

template <typename To, typename From>
To down_cast(From* from) {
  static_assert(std::is_pointer_v<To>, "down_cast to a pointer type");
  static_assert(std::is_base_of_v<From, std::remove_cv_t<std::remove_pointer_t<To>>>,
                "down_cast only converts to a derived type");
  if (from != nullptr && dynamic_cast<To>(from) == nullptr) BadDownCastCrash(__PRETTY_FUNCTION__, typeid(*from));
  return static_cast<To>(from);
}

template <typename To, typename From>
To down_cast(From& from) {
  using ToPointer = std::add_pointer_t<std::remove_reference_t<To>>;
  return *down_cast<ToPointer>(&from);
}

}  // namespace base

// A symmetric cipher over byte strings. Implementations are immutable after
// creation, so one object may be used from several threads.
#pragma once

#include <string>
#include <string_view>

#include <absl/status/statusor.h>

namespace private_membership {

class Cipher {
 public:
  virtual ~Cipher() = default;
  virtual absl::StatusOr<std::string> Encrypt(std::string_view plaintext) const = 0;
  // A view without data (a default-constructed one) is refused; an empty
  // one is not.
  virtual absl::StatusOr<std::string> Decrypt(std::string_view ciphertext) const = 0;
};

}  // namespace private_membership

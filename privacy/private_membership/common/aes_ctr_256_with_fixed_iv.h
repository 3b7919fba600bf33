// AES-256-CTR with an all-zero initial counter block and no authentication:
// the same plaintext always gives the same ciphertext, as long as the
// plaintext.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <absl/status/statusor.h>

#include "privacy/private_membership/common/cipher.h"

namespace private_membership {

class AesCtr256WithFixedIV : public Cipher {
 public:
  // The key must be 32 bytes; it is copied.
  static absl::StatusOr<std::unique_ptr<AesCtr256WithFixedIV>> Create(std::string_view key);
  ~AesCtr256WithFixedIV() override;

  absl::StatusOr<std::string> Encrypt(std::string_view plaintext) const override;
  absl::StatusOr<std::string> Decrypt(std::string_view ciphertext) const override;

 private:
  explicit AesCtr256WithFixedIV(std::string key) : key_(std::move(key)) {}

  std::string key_;
};

}  // namespace private_membership

// AES-256-CTR with a fresh random IV per message and no authentication.
// Ciphertext: the 16-byte IV, then the counter-mode output (16 bytes longer
// than the plaintext).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <absl/status/statusor.h>

#include "privacy/private_membership/common/cipher.h"

namespace private_membership {

class AesCtr256NoAuth : public Cipher {
 public:
  // The key must be 32 bytes; it is copied.
  static absl::StatusOr<std::unique_ptr<AesCtr256NoAuth>> Create(std::string_view key);
  ~AesCtr256NoAuth() override;

  absl::StatusOr<std::string> Encrypt(std::string_view plaintext) const override;
  absl::StatusOr<std::string> Decrypt(std::string_view ciphertext) const override;

 private:
  explicit AesCtr256NoAuth(std::string key) : key_(std::move(key)) {}

  std::string key_;
};

}  // namespace private_membership

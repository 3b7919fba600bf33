#include "privacy/private_membership/common/aes_ctr_256_no_auth.h"

#include <openssl/rand.h>

#include "base/status.h"
#include "privacy/private_membership/common/aes_ctr_256.h"

namespace private_membership {

using internal::kAesCtr256IvSize;
using internal::kAesCtr256KeySize;

absl::StatusOr<std::unique_ptr<AesCtr256NoAuth>> AesCtr256NoAuth::Create(std::string_view key) {
  if (key.size() != kAesCtr256KeySize) return base::InvalidArgumentError("Key size is invalid.");
  return std::unique_ptr<AesCtr256NoAuth>(new AesCtr256NoAuth(std::string(key)));
}

AesCtr256NoAuth::~AesCtr256NoAuth() { internal::ClearKey(key_); }

absl::StatusOr<std::string> AesCtr256NoAuth::Encrypt(std::string_view plaintext) const {
  std::string ciphertext(kAesCtr256IvSize + plaintext.size(), '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(ciphertext.data()), kAesCtr256IvSize) != 1) {
    return base::InternalError("Could not generate an IV.");
  }
  const std::string_view iv(ciphertext.data(), kAesCtr256IvSize);
  BASE_RETURN_IF_ERROR(
      internal::AesCtr256Transform(true, key_, iv, plaintext, ciphertext.data() + kAesCtr256IvSize));
  return ciphertext;
}

absl::StatusOr<std::string> AesCtr256NoAuth::Decrypt(std::string_view ciphertext) const {
  if (ciphertext.data() == nullptr) return base::InternalError("Invalid null ciphertext.");
  if (ciphertext.size() < kAesCtr256IvSize) return base::InternalError("Ciphertext is too short.");
  const std::string_view iv = ciphertext.substr(0, kAesCtr256IvSize);
  const std::string_view body = ciphertext.substr(kAesCtr256IvSize);
  std::string plaintext(body.size(), '\0');
  BASE_RETURN_IF_ERROR(internal::AesCtr256Transform(false, key_, iv, body, plaintext.data()));
  return plaintext;
}

}  // namespace private_membership

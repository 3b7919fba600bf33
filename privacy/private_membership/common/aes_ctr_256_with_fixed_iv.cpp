#include "privacy/private_membership/common/aes_ctr_256_with_fixed_iv.h"

#include "base/status.h"
#include "privacy/private_membership/common/aes_ctr_256.h"

namespace private_membership {
namespace {

constexpr char kZeroIv[internal::kAesCtr256IvSize] = {};

}  // namespace

absl::StatusOr<std::unique_ptr<AesCtr256WithFixedIV>> AesCtr256WithFixedIV::Create(std::string_view key) {
  if (key.size() != internal::kAesCtr256KeySize) return base::InvalidArgumentError("Key size is invalid.");
  return std::unique_ptr<AesCtr256WithFixedIV>(new AesCtr256WithFixedIV(std::string(key)));
}

AesCtr256WithFixedIV::~AesCtr256WithFixedIV() { internal::ClearKey(key_); }

absl::StatusOr<std::string> AesCtr256WithFixedIV::Encrypt(std::string_view plaintext) const {
  std::string ciphertext(plaintext.size(), '\0');
  BASE_RETURN_IF_ERROR(internal::AesCtr256Transform(true, key_, std::string_view(kZeroIv, sizeof(kZeroIv)),
                                                    plaintext, ciphertext.data()));
  return ciphertext;
}

absl::StatusOr<std::string> AesCtr256WithFixedIV::Decrypt(std::string_view ciphertext) const {
  if (ciphertext.data() == nullptr) return base::InternalError("Invalid null ciphertext.");
  std::string plaintext(ciphertext.size(), '\0');
  BASE_RETURN_IF_ERROR(internal::AesCtr256Transform(false, key_, std::string_view(kZeroIv, sizeof(kZeroIv)),
                                                    ciphertext, plaintext.data()));
  return plaintext;
}

}  // namespace private_membership

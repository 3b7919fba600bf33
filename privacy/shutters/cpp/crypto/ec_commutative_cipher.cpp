#include "privacy/shutters/cpp/crypto/ec_commutative_cipher.h"

#include <utility>

#include "base/status.h"

namespace shutters {

ECCommutativeCipher::ECCommutativeCipher(std::unique_ptr<Context> context, ECGroup group, BigNum private_key,
                                         BigNum private_key_inverse, std::int32_t hash_type)
    : context_(std::move(context)),
      group_(std::move(group)),
      private_key_(std::move(private_key)),
      private_key_inverse_(std::move(private_key_inverse)),
      hash_type_(hash_type) {}

absl::StatusOr<std::unique_ptr<ECCommutativeCipher>> ECCommutativeCipher::CreateWithRandomKey(
    std::int32_t curve_id, std::int32_t hash_type) {
  BASE_ASSIGN_OR_RETURN(std::unique_ptr<Context> context, Context::Create());
  BASE_ASSIGN_OR_RETURN(ECGroup group, ECGroup::Create(curve_id, context.get()));
  if (static_cast<std::uint32_t>(hash_type) > SSWU_RO) return base::InvalidArgumentError("Invalid hash type.");

  BASE_ASSIGN_OR_RETURN(BigNum private_key, group.GenerateRandomScalar());
  private_key.MarkSecret();
  // The order is prime, so k^(n-2) is k's inverse.
  BASE_ASSIGN_OR_RETURN(BigNum n_minus_two, group.GetOrder().Sub(context->Two()));
  BASE_ASSIGN_OR_RETURN(BigNum private_key_inverse, private_key.ModExp(n_minus_two, group.GetOrder()));
  private_key_inverse.MarkSecret();
  return std::unique_ptr<ECCommutativeCipher>(new ECCommutativeCipher(
      std::move(context), std::move(group), std::move(private_key), std::move(private_key_inverse), hash_type));
}

absl::StatusOr<ECPoint> ECCommutativeCipher::HashToTheCurveInternal(std::string_view plaintext) {
  switch (hash_type_) {
    case SHA256: return group_.HashToCurveSha256(plaintext);
    case SHA384: return group_.HashToCurveSha384(plaintext);
    case SHA512: return group_.HashToCurveSha512(plaintext);
    case SSWU_RO: return group_.HashToCurveSswuRo(plaintext, kSswuDst);
    default: return base::InvalidArgumentError("Invalid hash type.");
  }
}

absl::StatusOr<std::string> ECCommutativeCipher::Encrypt(std::string_view plaintext) {
  BASE_ASSIGN_OR_RETURN(ECPoint point, HashToTheCurveInternal(plaintext));
  BASE_ASSIGN_OR_RETURN(ECPoint encrypted, point.Multiply(private_key_));
  return encrypted.ToCompressedBytes();
}

absl::StatusOr<std::string> ECCommutativeCipher::Decrypt(std::string_view ciphertext) {
  BASE_ASSIGN_OR_RETURN(ECPoint point, group_.CreateECPoint(ciphertext));
  BASE_ASSIGN_OR_RETURN(ECPoint decrypted, point.Multiply(private_key_inverse_));
  return decrypted.ToCompressedBytes();
}

}  // namespace shutters

// Commutative blinding of byte strings. Encrypt hashes a byte string to a
// point of the curve and multiplies it by a secret random key k; Decrypt
// multiplies an encoded point by k^-1. Since multiplication by scalars
// commutes, a value blinded by this key and by a second party's key, in
// either order, is the same point, and this cipher can remove its own key
// from it again. Ciphertexts are compressed points (33 bytes on P-256).
//
// One thread at a time: the cipher's context holds scratch state.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <absl/status/statusor.h>

#include "privacy/shutters/cpp/crypto/big_num.h"
#include "privacy/shutters/cpp/crypto/context.h"
#include "privacy/shutters/cpp/crypto/ec_group.h"

namespace shutters {

class ECCommutativeCipher {
 public:
  // How plaintexts are hashed to the curve.
  enum HashType : std::int32_t {
    SHA256 = 0,  // try-and-increment over SHA-256
    SHA384 = 1,
    SHA512 = 2,
    SSWU_RO = 3,  // RFC 9380 random-oracle simplified SWU
  };
  // The domain separation tag of SSWU_RO.
  static constexpr std::string_view kSswuDst = "ECCommutativeCipher";

  // A new random key on the curve (an OpenSSL NID, 415 for P-256). The curve
  // is checked before the hash type.
  static absl::StatusOr<std::unique_ptr<ECCommutativeCipher>> CreateWithRandomKey(std::int32_t curve_id,
                                                                                  std::int32_t hash_type);
  ECCommutativeCipher(const ECCommutativeCipher&) = delete;
  ECCommutativeCipher& operator=(const ECCommutativeCipher&) = delete;

  // The compressed encoding of hash(plaintext) * k; the same for the same
  // plaintext under one cipher.
  absl::StatusOr<std::string> Encrypt(std::string_view plaintext);
  // The compressed encoding of point(ciphertext) * k^-1.
  absl::StatusOr<std::string> Decrypt(std::string_view ciphertext);

 private:
  ECCommutativeCipher(std::unique_ptr<Context> context, ECGroup group, BigNum private_key,
                      BigNum private_key_inverse, std::int32_t hash_type);

  absl::StatusOr<ECPoint> HashToTheCurveInternal(std::string_view plaintext);

  // Declared first so that it goes last: the group and numbers use it.
  std::unique_ptr<Context> context_;
  ECGroup group_;
  BigNum private_key_;
  BigNum private_key_inverse_;
  std::int32_t hash_type_;
};

}  // namespace shutters

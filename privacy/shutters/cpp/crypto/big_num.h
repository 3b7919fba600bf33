// An arbitrary-precision integer over OpenSSL's BIGNUM with value semantics.
// Every operation answers a new BigNum on the same scratch context; a failed
// OpenSSL call or a broken precondition is an error status, never a crash.
// Values are cleared when freed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <absl/status/statusor.h>

#include "privacy/shutters/cpp/crypto/openssl_util.h"

namespace shutters {

class BigNum {
 public:
  // Zero.
  static absl::StatusOr<BigNum> Create(BN_CTX* bn_ctx);
  static absl::StatusOr<BigNum> FromUint64(BN_CTX* bn_ctx, std::uint64_t number);
  // The unsigned big-endian value of the bytes.
  static absl::StatusOr<BigNum> FromBytes(BN_CTX* bn_ctx, std::string_view bytes);
  // Takes ownership of a BIGNUM.
  BigNum(BN_CTX* bn_ctx, BignumPtr bn);

  BigNum(BigNum&&) noexcept = default;
  BigNum& operator=(BigNum&&) noexcept = default;
  absl::StatusOr<BigNum> Copy() const;

  const BIGNUM* GetConstBignumPtr() const { return bn_.get(); }

  // Minimal big-endian bytes: empty for zero, {1, 0} for 256. Negative
  // values are refused.
  absl::StatusOr<std::string> ToBytes() const;
  int BitLength() const;
  // Miller-Rabin with enough rounds for the error probability
  // (1e-40 gives 67 rounds).
  absl::StatusOr<bool> IsPrime(double prime_error_probability) const;
  static int MillerRabinIterations(double prime_error_probability);

  bool IsZero() const;
  bool IsOne() const;
  bool IsNonNegative() const;
  bool IsBitSet(int n) const;
  // -1, 0 or 1.
  int Compare(const BigNum& other) const;
  bool operator==(const BigNum& other) const { return Compare(other) == 0; }
  bool operator<(const BigNum& other) const { return Compare(other) < 0; }

  absl::StatusOr<BigNum> Add(const BigNum& val) const;
  absl::StatusOr<BigNum> Sub(const BigNum& val) const;
  absl::StatusOr<BigNum> Mul(const BigNum& val) const;
  // Exact division: a non-zero remainder is refused.
  absl::StatusOr<BigNum> Div(const BigNum& val) const;
  absl::StatusOr<BigNum> Exp(const BigNum& exponent) const;
  // In [0, m).
  absl::StatusOr<BigNum> ReduceMod(const BigNum& m) const;
  // Refuses a negative exponent.
  absl::StatusOr<BigNum> ModExp(const BigNum& exponent, const BigNum& m) const;
  // A square root modulo the prime m.
  absl::StatusOr<BigNum> ModSqrt(const BigNum& m) const;
  // (-this) mod m, in [0, m): zero for every multiple of m.
  absl::StatusOr<BigNum> NegateMod(const BigNum& m) const;
  absl::StatusOr<BigNum> LShift(int n) const;
  absl::StatusOr<BigNum> RShift(int n) const;
  absl::StatusOr<BigNum> Gcd(const BigNum& val) const;

  // Arithmetic that involves a secret value takes OpenSSL's constant-time
  // paths where it has them.
  void MarkSecret();

 private:
  absl::StatusOr<BigNum> NewResult(const char* operation) const;

  BignumPtr bn_;
  BN_CTX* bn_ctx_;
};

}  // namespace shutters

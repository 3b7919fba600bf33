// BN_is_prime_ex is deprecated in OpenSSL 3, but it is the call that takes a
// round count.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "privacy/shutters/cpp/crypto/big_num.h"

#include <climits>
#include <cmath>
#include <utility>

#include "base/status.h"

namespace shutters {
namespace {

absl::Status OpenSslFailure(const char* operation) {
  return base::InternalError(std::string("BigNum::") + operation + " failed. " + OpenSslErrorText());
}

}  // namespace

BigNum::BigNum(BN_CTX* bn_ctx, BignumPtr bn) : bn_(std::move(bn)), bn_ctx_(bn_ctx) {}

absl::StatusOr<BigNum> BigNum::Create(BN_CTX* bn_ctx) {
  BignumPtr bn(BN_new());
  if (!bn) return OpenSslFailure("Create - BN_new");
  return BigNum(bn_ctx, std::move(bn));
}

absl::StatusOr<BigNum> BigNum::FromUint64(BN_CTX* bn_ctx, std::uint64_t number) {
  BASE_ASSIGN_OR_RETURN(BigNum r, Create(bn_ctx));
  static_assert(sizeof(BN_ULONG) >= sizeof(std::uint64_t), "BN_set_word takes the whole number");
  if (BN_set_word(r.bn_.get(), number) != 1) return OpenSslFailure("FromUint64 - BN_set_word");
  return r;
}

absl::StatusOr<BigNum> BigNum::FromBytes(BN_CTX* bn_ctx, std::string_view bytes) {
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) return base::InvalidArgumentError("BigNum::FromBytes - Too many bytes.");
  BASE_ASSIGN_OR_RETURN(BigNum r, Create(bn_ctx));
  if (BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()),
                r.bn_.get()) == nullptr) {
    return OpenSslFailure("FromBytes - BN_bin2bn");
  }
  return r;
}

absl::StatusOr<BigNum> BigNum::NewResult(const char* operation) const {
  BignumPtr bn(BN_new());
  if (!bn) return OpenSslFailure(operation);
  return BigNum(bn_ctx_, std::move(bn));
}

absl::StatusOr<BigNum> BigNum::Copy() const {
  BignumPtr bn(BN_dup(bn_.get()));
  if (!bn) return OpenSslFailure("Copy - BN_dup");
  return BigNum(bn_ctx_, std::move(bn));
}

absl::StatusOr<std::string> BigNum::ToBytes() const {
  if (!IsNonNegative()) return base::InvalidArgumentError("Cannot serialize a negative BigNum.");
  std::string bytes(static_cast<std::size_t>(BN_num_bytes(bn_.get())), '\0');
  BN_bn2bin(bn_.get(), reinterpret_cast<unsigned char*>(bytes.data()));
  return bytes;
}

int BigNum::BitLength() const { return BN_num_bits(bn_.get()); }

int BigNum::MillerRabinIterations(double prime_error_probability) {
  return static_cast<int>(std::ceil(std::log(prime_error_probability) / -1.3862943611198906));
}

absl::StatusOr<bool> BigNum::IsPrime(double prime_error_probability) const {
  const int result =
      BN_is_prime_ex(bn_.get(), MillerRabinIterations(prime_error_probability), bn_ctx_, nullptr);
  if (result < 0) return OpenSslFailure("IsPrime - BN_is_prime_ex");
  return result == 1;
}

bool BigNum::IsZero() const { return BN_is_zero(bn_.get()); }
bool BigNum::IsOne() const { return BN_is_one(bn_.get()); }
bool BigNum::IsNonNegative() const { return BN_is_zero(bn_.get()) || !BN_is_negative(bn_.get()); }
bool BigNum::IsBitSet(int n) const { return BN_is_bit_set(bn_.get(), n); }

int BigNum::Compare(const BigNum& other) const {
  const int c = BN_cmp(bn_.get(), other.bn_.get());
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

absl::StatusOr<BigNum> BigNum::Add(const BigNum& val) const {
  BASE_ASSIGN_OR_RETURN(BigNum r, NewResult("Add - BN_new"));
  if (BN_add(r.bn_.get(), bn_.get(), val.bn_.get()) != 1) return OpenSslFailure("Add - BN_add");
  return r;
}

absl::StatusOr<BigNum> BigNum::Sub(const BigNum& val) const {
  BASE_ASSIGN_OR_RETURN(BigNum r, NewResult("Sub - BN_new"));
  if (BN_sub(r.bn_.get(), bn_.get(), val.bn_.get()) != 1) return OpenSslFailure("Sub - BN_sub");
  return r;
}

absl::StatusOr<BigNum> BigNum::Mul(const BigNum& val) const {
  BASE_ASSIGN_OR_RETURN(BigNum r, NewResult("Mul - BN_new"));
  if (BN_mul(r.bn_.get(), bn_.get(), val.bn_.get(), bn_ctx_) != 1) return OpenSslFailure("Mul - BN_mul");
  return r;
}

absl::StatusOr<BigNum> BigNum::Div(const BigNum& val) const {
  BASE_ASSIGN_OR_RETURN(BigNum r, NewResult("Div - BN_new"));
  BASE_ASSIGN_OR_RETURN(BigNum rem, NewResult("Div - BN_new"));
  if (BN_div(r.bn_.get(), rem.bn_.get(), bn_.get(), val.bn_.get(), bn_ctx_) != 1) {
    return OpenSslFailure("Div - BN_div");
  }
  if (!rem.IsZero()) {
    return base::InvalidArgumentError("Use DivAndTruncate() instead of Div() if you want truncated division.");
  }
  return r;
}

absl::StatusOr<BigNum> BigNum::Exp(const BigNum& exponent) const {
  BASE_ASSIGN_OR_RETURN(BigNum r, NewResult("Exp - BN_new"));
  if (BN_exp(r.bn_.get(), bn_.get(), exponent.bn_.get(), bn_ctx_) != 1) return OpenSslFailure("Exp - BN_exp");
  return r;
}

absl::StatusOr<BigNum> BigNum::ReduceMod(const BigNum& m) const {
  BASE_ASSIGN_OR_RETURN(BigNum r, NewResult("ReduceMod - BN_new"));
  if (BN_nnmod(r.bn_.get(), bn_.get(), m.bn_.get(), bn_ctx_) != 1) return OpenSslFailure("ReduceMod - BN_nnmod");
  return r;
}

absl::StatusOr<BigNum> BigNum::ModExp(const BigNum& exponent, const BigNum& m) const {
  if (!exponent.IsNonNegative()) {
    return base::InvalidArgumentError("Cannot use a negative exponent in BigNum ModExp.");
  }
  BASE_ASSIGN_OR_RETURN(BigNum r, NewResult("ModExp - BN_new"));
  if (BN_mod_exp(r.bn_.get(), bn_.get(), exponent.bn_.get(), m.bn_.get(), bn_ctx_) != 1) {
    return OpenSslFailure("ModExp - BN_mod_exp");
  }
  return r;
}

absl::StatusOr<BigNum> BigNum::ModSqrt(const BigNum& m) const {
  BASE_ASSIGN_OR_RETURN(BigNum r, NewResult("ModSqrt - BN_new"));
  if (BN_mod_sqrt(r.bn_.get(), bn_.get(), m.bn_.get(), bn_ctx_) == nullptr) {
    return OpenSslFailure("ModSqrt - BN_mod_sqrt");
  }
  return r;
}

absl::StatusOr<BigNum> BigNum::NegateMod(const BigNum& m) const {
  BASE_ASSIGN_OR_RETURN(BigNum reduced, ReduceMod(m));
  if (reduced.IsZero()) return reduced;
  return m.Sub(reduced);
}

absl::StatusOr<BigNum> BigNum::LShift(int n) const {
  BASE_ASSIGN_OR_RETURN(BigNum r, NewResult("LShift - BN_new"));
  if (BN_lshift(r.bn_.get(), bn_.get(), n) != 1) return OpenSslFailure("LShift - BN_lshift");
  return r;
}

absl::StatusOr<BigNum> BigNum::RShift(int n) const {
  BASE_ASSIGN_OR_RETURN(BigNum r, NewResult("RShift - BN_new"));
  if (BN_rshift(r.bn_.get(), bn_.get(), n) != 1) return OpenSslFailure("RShift - BN_rshift");
  return r;
}

absl::StatusOr<BigNum> BigNum::Gcd(const BigNum& val) const {
  BASE_ASSIGN_OR_RETURN(BigNum r, NewResult("Gcd - BN_new"));
  if (BN_gcd(r.bn_.get(), bn_.get(), val.bn_.get(), bn_ctx_) != 1) return OpenSslFailure("Gcd - BN_gcd");
  return r;
}

void BigNum::MarkSecret() { BN_set_flags(bn_.get(), BN_FLG_CONSTTIME); }

}  // namespace shutters

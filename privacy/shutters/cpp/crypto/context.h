// The working context of the big-number and curve classes: a big-number
// scratch context, one reusable digest context, the constants 0 to 3,
// digests, a random oracle onto a range of integers and random numbers.
// Not thread-safe: one thread at a time uses a context and everything made
// from it, and the context must outlive all of those.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <absl/status/statusor.h>

#include "privacy/shutters/cpp/crypto/big_num.h"
#include "privacy/shutters/cpp/crypto/openssl_util.h"

namespace shutters {

class Context {
 public:
  // Fails when OpenSSL's random generator is not seeded.
  static absl::StatusOr<std::unique_ptr<Context>> Create();
  virtual ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  BN_CTX* ScratchContext() const { return bn_ctx_.get(); }
  BigNum AdoptBigNum(BignumPtr bn) const { return BigNum(bn_ctx_.get(), std::move(bn)); }
  absl::StatusOr<BigNum> CreateBigNum(std::uint64_t number) const;
  absl::StatusOr<BigNum> CreateBigNum(std::string_view bytes) const;

  const BigNum& Zero() const { return zero_; }
  const BigNum& One() const { return one_; }
  const BigNum& Two() const { return two_; }
  const BigNum& Three() const { return three_; }

  virtual absl::StatusOr<std::string> DigestSha256(std::string_view bytes);
  virtual absl::StatusOr<std::string> DigestSha384(std::string_view bytes);
  virtual absl::StatusOr<std::string> DigestSha512(std::string_view bytes);

  // Deterministic maps of x onto [0, max_value); the same for every context.
  virtual absl::StatusOr<BigNum> OracleHashSha256(std::string_view x, const BigNum& max_value);
  virtual absl::StatusOr<BigNum> OracleHashSha384(std::string_view x, const BigNum& max_value);
  virtual absl::StatusOr<BigNum> OracleHashSha512(std::string_view x, const BigNum& max_value);

  // Uniform in [0, max_value).
  virtual absl::StatusOr<BigNum> RandomBelow(const BigNum& max_value);
  // Uniform in [start, end); start must be below end.
  virtual absl::StatusOr<BigNum> RandomInRange(const BigNum& start, const BigNum& end);
  virtual absl::StatusOr<std::string> RandomBytes(std::int32_t num_bytes);
  // Uniform in [0, num) among the values coprime to num.
  virtual absl::StatusOr<BigNum> RandomCoprimeBelow(const BigNum& num);

  // hash_type 0 SHA-256, 1 SHA-384, 2 SHA-512; anything else counts as 0.
  virtual absl::StatusOr<BigNum> OracleHash(std::string_view x, const BigNum& max_value, int hash_type);

 protected:
  Context(BnCtxPtr bn_ctx, EvpMdCtxPtr evp_md_ctx, BigNum zero, BigNum one, BigNum two, BigNum three);

 private:
  absl::StatusOr<std::string> Digest(const EVP_MD* md, const char* name, std::string_view bytes);

  BnCtxPtr bn_ctx_;
  EvpMdCtxPtr evp_md_ctx_;
  BigNum zero_;
  BigNum one_;
  BigNum two_;
  BigNum three_;
};

}  // namespace shutters

#include "privacy/shutters/cpp/crypto/context.h"

#include <openssl/rand.h>

#include <utility>

#include <absl/strings/str_cat.h>

#include "base/status.h"

namespace shutters {
namespace {

absl::Status OpenSslFailure(const char* operation) {
  return base::InternalError(std::string("Context::") + operation + " failed. " + OpenSslErrorText());
}

int HashBits(int hash_type) {
  switch (hash_type) {
    case 1: return 384;
    case 2: return 512;
    default: return 256;
  }
}

}  // namespace

absl::StatusOr<std::unique_ptr<Context>> Context::Create() {
  BnCtxPtr bn_ctx(BN_CTX_new());
  if (!bn_ctx) return OpenSslFailure("Create - BN_CTX_new");
  EvpMdCtxPtr evp_md_ctx(EVP_MD_CTX_new());
  if (!evp_md_ctx) return OpenSslFailure("Create - EVP_MD_CTX_new");
  BASE_ASSIGN_OR_RETURN(BigNum zero, BigNum::FromUint64(bn_ctx.get(), 0));
  BASE_ASSIGN_OR_RETURN(BigNum one, BigNum::FromUint64(bn_ctx.get(), 1));
  BASE_ASSIGN_OR_RETURN(BigNum two, BigNum::FromUint64(bn_ctx.get(), 2));
  BASE_ASSIGN_OR_RETURN(BigNum three, BigNum::FromUint64(bn_ctx.get(), 3));
  if (RAND_status() != 1) return base::InternalError("OpenSSL PRNG is not properly seeded.");
  return std::unique_ptr<Context>(new Context(std::move(bn_ctx), std::move(evp_md_ctx), std::move(zero),
                                              std::move(one), std::move(two), std::move(three)));
}

Context::Context(BnCtxPtr bn_ctx, EvpMdCtxPtr evp_md_ctx, BigNum zero, BigNum one, BigNum two, BigNum three)
    : bn_ctx_(std::move(bn_ctx)),
      evp_md_ctx_(std::move(evp_md_ctx)),
      zero_(std::move(zero)),
      one_(std::move(one)),
      two_(std::move(two)),
      three_(std::move(three)) {}

Context::~Context() = default;

absl::StatusOr<BigNum> Context::CreateBigNum(std::uint64_t number) const {
  return BigNum::FromUint64(bn_ctx_.get(), number);
}

absl::StatusOr<BigNum> Context::CreateBigNum(std::string_view bytes) const {
  return BigNum::FromBytes(bn_ctx_.get(), bytes);
}

absl::StatusOr<std::string> Context::Digest(const EVP_MD* md, const char* name, std::string_view bytes) {
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int md_len = 0;
  if (EVP_DigestInit_ex(evp_md_ctx_.get(), md, nullptr) != 1 ||
      EVP_DigestUpdate(evp_md_ctx_.get(), bytes.data(), bytes.size()) != 1 ||
      EVP_DigestFinal_ex(evp_md_ctx_.get(), hash, &md_len) != 1) {
    return OpenSslFailure(name);
  }
  return std::string(reinterpret_cast<const char*>(hash), md_len);
}

absl::StatusOr<std::string> Context::DigestSha256(std::string_view bytes) {
  return Digest(EVP_sha256(), "DigestSha256", bytes);
}

absl::StatusOr<std::string> Context::DigestSha384(std::string_view bytes) {
  return Digest(EVP_sha384(), "DigestSha384", bytes);
}

absl::StatusOr<std::string> Context::DigestSha512(std::string_view bytes) {
  return Digest(EVP_sha512(), "DigestSha512", bytes);
}

absl::StatusOr<BigNum> Context::OracleHashSha256(std::string_view x, const BigNum& max_value) {
  return OracleHash(x, max_value, 0);
}

absl::StatusOr<BigNum> Context::OracleHashSha384(std::string_view x, const BigNum& max_value) {
  return OracleHash(x, max_value, 1);
}

absl::StatusOr<BigNum> Context::OracleHashSha512(std::string_view x, const BigNum& max_value) {
  return OracleHash(x, max_value, 2);
}

absl::StatusOr<BigNum> Context::OracleHash(std::string_view x, const BigNum& max_value, int hash_type) {
  if (max_value.Compare(zero_) <= 0) return base::InvalidArgumentError("OracleHash needs a positive max_value.");
  const int hash_output_length = HashBits(hash_type);
  const int output_bit_length = max_value.BitLength() + hash_output_length;
  const int iter_count = (output_bit_length + hash_output_length - 1) / hash_output_length;
  const int excess_bit_count = iter_count * hash_output_length - output_bit_length;
  if (iter_count * hash_output_length >= 130048) {
    return base::InvalidArgumentError(absl::StrCat(
        "The domain bit length must not be greater than 130048. Desired bit length: ", output_bit_length));
  }

  BASE_ASSIGN_OR_RETURN(BigNum acc, zero_.Copy());
  for (int i = 1; i <= iter_count; ++i) {
    BASE_ASSIGN_OR_RETURN(acc, acc.LShift(hash_output_length));
    BASE_ASSIGN_OR_RETURN(BigNum counter, CreateBigNum(static_cast<std::uint64_t>(i)));
    BASE_ASSIGN_OR_RETURN(std::string block_input, counter.ToBytes());
    block_input.append(x);
    absl::StatusOr<std::string> block = hash_type == 1   ? DigestSha384(block_input)
                                        : hash_type == 2 ? DigestSha512(block_input)
                                                         : DigestSha256(block_input);
    if (!block.ok()) return block.status();
    BASE_ASSIGN_OR_RETURN(BigNum block_value, CreateBigNum(std::string_view(*block)));
    BASE_ASSIGN_OR_RETURN(acc, acc.Add(block_value));
  }
  BASE_ASSIGN_OR_RETURN(acc, acc.RShift(excess_bit_count));
  return acc.ReduceMod(max_value);
}

absl::StatusOr<BigNum> Context::RandomBelow(const BigNum& max_value) {
  if (max_value.Compare(zero_) <= 0) return base::InvalidArgumentError("RandomBelow needs a positive max_value.");
  BignumPtr out(BN_new());
  if (!out) return OpenSslFailure("RandomBelow - BN_new");
  if (BN_rand_range(out.get(), max_value.GetConstBignumPtr()) != 1) return OpenSslFailure("RandomBelow - BN_rand_range");
  return AdoptBigNum(std::move(out));
}

absl::StatusOr<BigNum> Context::RandomInRange(const BigNum& start, const BigNum& end) {
  if (!(start < end)) return base::InvalidArgumentError("RandomInRange needs start < end.");
  BASE_ASSIGN_OR_RETURN(BigNum width, end.Sub(start));
  BASE_ASSIGN_OR_RETURN(BigNum offset, RandomBelow(width));
  return start.Add(offset);
}

absl::StatusOr<std::string> Context::RandomBytes(std::int32_t num_bytes) {
  if (num_bytes < 0) {
    return base::InvalidArgumentError(
        absl::StrCat("num_bytes must be nonnegative, provided value was ", num_bytes, "."));
  }
  std::string bytes(static_cast<std::size_t>(num_bytes), '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), num_bytes) != 1) {
    return OpenSslFailure("RandomBytes - RAND_bytes");
  }
  return bytes;
}

absl::StatusOr<BigNum> Context::RandomCoprimeBelow(const BigNum& num) {
  for (;;) {
    BASE_ASSIGN_OR_RETURN(BigNum r, RandomBelow(num));
    BASE_ASSIGN_OR_RETURN(BigNum gcd, r.Gcd(num));
    if (gcd.Compare(one_) <= 0) return r;
  }
}

}  // namespace shutters

#include "privacy/shutters/cpp/crypto/hash_to_curve.h"

#include <openssl/obj_mac.h>

#include <absl/strings/str_cat.h>

#include "base/status.h"

namespace shutters {
namespace {

// One hash-to-curve suite: the curve, the hash of expand_message_xmd, the
// bytes per field element (L) and Z of the SWU map, as -z_magnitude mod p.
struct Suite {
  int nid;
  const EVP_MD* md;
  std::size_t field_element_bytes;
  unsigned z_magnitude;
};

Suite P256Suite() { return {NID_X9_62_prime256v1, EVP_sha256(), 48, 10}; }
Suite P384Suite() { return {NID_secp384r1, EVP_sha384(), 72, 12}; }

absl::Status Failure(std::string_view what) {
  return base::InternalError(absl::StrCat("HashToCurve - ", base::ToAbsl(what), " failed. ", OpenSslErrorText()));
}

absl::StatusOr<std::string> Hash(const EVP_MD* md, std::string_view data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), out, &size, md, nullptr) != 1) return Failure("EVP_Digest");
  return std::string(reinterpret_cast<const char*>(out), size);
}

// Releases the frame of BN_CTX_get temporaries on every path.
class BnCtxFrame {
 public:
  explicit BnCtxFrame(BN_CTX* ctx) : ctx_(ctx) { BN_CTX_start(ctx_); }
  ~BnCtxFrame() { BN_CTX_end(ctx_); }
  BnCtxFrame(const BnCtxFrame&) = delete;
  BnCtxFrame& operator=(const BnCtxFrame&) = delete;
  BIGNUM* Get() { return BN_CTX_get(ctx_); }

 private:
  BN_CTX* ctx_;
};

// The curve y^2 = x^3 + a x + b over the field of p, with Z of the suite.
struct Curve {
  const EC_GROUP* group;
  BIGNUM* p;
  BIGNUM* a;
  BIGNUM* b;
  BIGNUM* z;
  BIGNUM* legendre_exponent;  // (p - 1) / 2
};

bool IsSquare(const Curve& curve, const BIGNUM* v, BIGNUM* scratch, BN_CTX* ctx, bool& square) {
  if (BN_is_zero(v)) {
    square = true;
    return true;
  }
  if (BN_mod_exp(scratch, v, curve.legendre_exponent, curve.p, ctx) != 1) return false;
  square = BN_is_one(scratch);
  return true;
}

// g(x) = x^3 + a x + b.
bool CurveEquation(const Curve& curve, const BIGNUM* x, BIGNUM* gx, BN_CTX* ctx) {
  return BN_mod_sqr(gx, x, curve.p, ctx) == 1 && BN_mod_add(gx, gx, curve.a, curve.p, ctx) == 1 &&
         BN_mod_mul(gx, gx, x, curve.p, ctx) == 1 && BN_mod_add(gx, gx, curve.b, curve.p, ctx) == 1;
}

// The simplified SWU map of u onto the curve, written into out.
absl::Status MapToCurve(const Curve& curve, const BIGNUM* u, EC_POINT* out, BN_CTX* ctx) {
  BnCtxFrame frame(ctx);
  BIGNUM* zu2 = frame.Get();
  BIGNUM* tv1 = frame.Get();
  BIGNUM* x1 = frame.Get();
  BIGNUM* gx1 = frame.Get();
  BIGNUM* x = frame.Get();
  BIGNUM* y = frame.Get();
  BIGNUM* scratch = frame.Get();
  if (scratch == nullptr) return Failure("BN_CTX_get");

  // tv1 = Z^2 u^4 + Z u^2
  if (BN_mod_sqr(zu2, u, curve.p, ctx) != 1 || BN_mod_mul(zu2, zu2, curve.z, curve.p, ctx) != 1 ||
      BN_mod_sqr(tv1, zu2, curve.p, ctx) != 1 || BN_mod_add(tv1, tv1, zu2, curve.p, ctx) != 1) {
    return Failure("SSWU tv1");
  }
  if (BN_is_zero(tv1)) {
    // x1 = B / (Z A)
    if (BN_mod_mul(scratch, curve.z, curve.a, curve.p, ctx) != 1 ||
        BN_mod_inverse(scratch, scratch, curve.p, ctx) == nullptr ||
        BN_mod_mul(x1, curve.b, scratch, curve.p, ctx) != 1) {
      return Failure("SSWU exceptional x1");
    }
  } else {
    // x1 = (-B / A) (1 + 1 / tv1)
    if (BN_mod_inverse(tv1, tv1, curve.p, ctx) == nullptr || BN_add_word(tv1, 1) != 1 ||
        BN_mod_inverse(scratch, curve.a, curve.p, ctx) == nullptr ||
        BN_mod_mul(scratch, scratch, curve.b, curve.p, ctx) != 1 ||
        BN_mod_sub(scratch, curve.p, scratch, curve.p, ctx) != 1 ||
        BN_mod_mul(x1, scratch, tv1, curve.p, ctx) != 1) {
      return Failure("SSWU x1");
    }
  }
  bool square = false;
  if (!CurveEquation(curve, x1, gx1, ctx) || !IsSquare(curve, gx1, scratch, ctx, square)) {
    return Failure("SSWU g(x1)");
  }
  if (square) {
    if (BN_copy(x, x1) == nullptr || BN_mod_sqrt(y, gx1, curve.p, ctx) == nullptr) return Failure("SSWU sqrt");
  } else {
    // x2 = Z u^2 x1, and g(x2) is then a square.
    if (BN_mod_mul(x, zu2, x1, curve.p, ctx) != 1 || !CurveEquation(curve, x, gx1, ctx) ||
        BN_mod_sqrt(y, gx1, curve.p, ctx) == nullptr) {
      return Failure("SSWU x2");
    }
  }
  if (BN_is_odd(u) != BN_is_odd(y) && !BN_is_zero(y)) {
    if (BN_sub(y, curve.p, y) != 1) return Failure("SSWU sign");
  }
  if (EC_POINT_set_affine_coordinates(curve.group, out, x, y, ctx) != 1) return Failure("SSWU point");
  return absl::OkStatus();
}

absl::Status HashToCurve(const Suite& suite, const EC_GROUP* group, EC_POINT* out, std::string_view dst,
                         std::string_view msg, BN_CTX* bn_ctx) {
  if (EC_GROUP_get_curve_name(group) != suite.nid) {
    return base::InvalidArgumentError("HashToCurve - The group does not belong to the suite.");
  }
  BASE_ASSIGN_OR_RETURN(std::vector<BignumPtr> u, internal::HashToField(group, msg, dst, bn_ctx));

  BnCtxFrame frame(bn_ctx);
  Curve curve{group, frame.Get(), frame.Get(), frame.Get(), frame.Get(), frame.Get()};
  if (curve.legendre_exponent == nullptr) return Failure("BN_CTX_get");
  if (EC_GROUP_get_curve(group, curve.p, curve.a, curve.b, bn_ctx) != 1 || BN_copy(curve.z, curve.p) == nullptr ||
      BN_sub_word(curve.z, suite.z_magnitude) != 1 || BN_rshift1(curve.legendre_exponent, curve.p) != 1) {
    return Failure("curve parameters");
  }
  EcPointPtr q0(EC_POINT_new(group));
  EcPointPtr q1(EC_POINT_new(group));
  if (!q0 || !q1) return Failure("EC_POINT_new");
  BASE_RETURN_IF_ERROR(MapToCurve(curve, u[0].get(), q0.get(), bn_ctx));
  BASE_RETURN_IF_ERROR(MapToCurve(curve, u[1].get(), q1.get(), bn_ctx));
  // Cofactor 1: the sum is the result.
  if (EC_POINT_add(group, out, q0.get(), q1.get(), bn_ctx) != 1) return Failure("EC_POINT_add");
  return absl::OkStatus();
}

}  // namespace

namespace internal {

absl::StatusOr<std::string> ExpandMessageXmd(const EVP_MD* md, std::string_view msg, std::string_view dst,
                                             std::size_t len_in_bytes) {
  if (dst.empty()) return base::InvalidArgumentError("HashToCurve - The domain separation tag is empty.");
  const auto b_in_bytes = static_cast<std::size_t>(EVP_MD_get_size(md));
  const auto s_in_bytes = static_cast<std::size_t>(EVP_MD_get_block_size(md));
  const std::size_t ell = (len_in_bytes + b_in_bytes - 1) / b_in_bytes;
  if (ell > 255 || len_in_bytes > 65535) {
    return base::InvalidArgumentError("HashToCurve - Too many bytes asked of expand_message_xmd.");
  }
  std::string long_dst_hash;
  if (dst.size() > 255) {
    BASE_ASSIGN_OR_RETURN(long_dst_hash, Hash(md, std::string("H2C-OVERSIZE-DST-").append(dst)));
    dst = long_dst_hash;
  }
  std::string dst_prime(dst);
  dst_prime.push_back(static_cast<char>(dst.size()));

  std::string msg_prime(s_in_bytes, '\0');
  msg_prime.append(msg);
  msg_prime.push_back(static_cast<char>(len_in_bytes >> 8));
  msg_prime.push_back(static_cast<char>(len_in_bytes & 0xff));
  msg_prime.push_back('\0');
  msg_prime.append(dst_prime);
  BASE_ASSIGN_OR_RETURN(const std::string b_0, Hash(md, msg_prime));

  std::string uniform_bytes;
  std::string b_i;
  for (std::size_t i = 1; i <= ell; ++i) {
    // b_1 = H(b_0 || 1 || DST'), b_i = H((b_0 xor b_(i-1)) || i || DST').
    std::string input = b_0;
    for (std::size_t k = 0; k < b_i.size(); ++k) input[k] = static_cast<char>(b_0[k] ^ b_i[k]);
    input.push_back(static_cast<char>(i));
    input.append(dst_prime);
    BASE_ASSIGN_OR_RETURN(b_i, Hash(md, input));
    uniform_bytes.append(b_i);
  }
  uniform_bytes.resize(len_in_bytes);
  return uniform_bytes;
}

absl::StatusOr<std::vector<BignumPtr>> HashToField(const EC_GROUP* group, std::string_view msg,
                                                   std::string_view dst, BN_CTX* bn_ctx) {
  const int nid = EC_GROUP_get_curve_name(group);
  if (nid != P256Suite().nid && nid != P384Suite().nid) {
    return base::InvalidArgumentError("HashToCurve - The group has no hash-to-curve suite.");
  }
  const Suite suite = nid == P256Suite().nid ? P256Suite() : P384Suite();
  const std::size_t length = suite.field_element_bytes;
  BASE_ASSIGN_OR_RETURN(const std::string uniform, ExpandMessageXmd(suite.md, msg, dst, 2 * length));
  const BIGNUM* p = EC_GROUP_get0_field(group);
  if (p == nullptr) return Failure("EC_GROUP_get0_field");
  std::vector<BignumPtr> elements;
  for (std::size_t i = 0; i < 2; ++i) {
    BignumPtr e(BN_bin2bn(reinterpret_cast<const unsigned char*>(uniform.data() + i * length),
                          static_cast<int>(length), nullptr));
    if (!e || BN_nnmod(e.get(), e.get(), p, bn_ctx) != 1) return Failure("hash_to_field");
    elements.push_back(std::move(e));
  }
  return elements;
}

}  // namespace internal

absl::Status HashToCurveP256XmdSha256Sswu(const EC_GROUP* group, EC_POINT* out, std::string_view dst,
                                          std::string_view msg, BN_CTX* bn_ctx) {
  return HashToCurve(P256Suite(), group, out, dst, msg, bn_ctx);
}

absl::Status HashToCurveP384XmdSha384Sswu(const EC_GROUP* group, EC_POINT* out, std::string_view dst,
                                          std::string_view msg, BN_CTX* bn_ctx) {
  return HashToCurve(P384Suite(), group, out, dst, msg, bn_ctx);
}

}  // namespace shutters

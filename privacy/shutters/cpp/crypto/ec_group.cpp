#include "privacy/shutters/cpp/crypto/ec_group.h"

#include <openssl/err.h>
#include <openssl/obj_mac.h>

#include <utility>

#include "base/status.h"
#include "privacy/shutters/cpp/crypto/hash_to_curve.h"

namespace shutters {
namespace {

constexpr double kPrimeErrorProbability = 1e-40;

}  // namespace

ECGroup::ECGroup(Context* context, EcGroupPtr group, BigNum order, BigNum cofactor, BigNum p, BigNum a, BigNum b,
                 BigNum p_minus_one_over_two)
    : context_(context),
      group_(std::move(group)),
      order_(std::move(order)),
      cofactor_(std::move(cofactor)),
      p_(std::move(p)),
      a_(std::move(a)),
      b_(std::move(b)),
      p_minus_one_over_two_(std::move(p_minus_one_over_two)) {}

absl::StatusOr<ECGroup> ECGroup::Create(int curve_id, Context* context) {
  BN_CTX* bn_ctx = context->ScratchContext();
  EcGroupPtr group(EC_GROUP_new_by_curve_name(curve_id));
  if (!group) {
    return base::InvalidArgumentError("ECGroup::CreateGroup() - Could not create group. " + OpenSslErrorText());
  }

  BignumPtr order(BN_new());
  if (!order) return base::InternalError("ECGroup::CreateOrder - Could not create BIGNUM. " + OpenSslErrorText());
  if (EC_GROUP_get_order(group.get(), order.get(), bn_ctx) != 1) {
    return base::InternalError("ECGroup::CreateOrder - Could not get order. " + OpenSslErrorText());
  }

  BignumPtr cofactor(BN_new());
  if (!cofactor) {
    return base::InternalError("ECGroup::CreateCofactor - Could not create BIGNUM. " + OpenSslErrorText());
  }
  if (EC_GROUP_get_cofactor(group.get(), cofactor.get(), bn_ctx) != 1) {
    return base::InternalError("ECGroup::CreateCofactor - Could not get cofactor. " + OpenSslErrorText());
  }

  BignumPtr p(BN_new()), a(BN_new()), b(BN_new());
  if (!p || !a || !b) {
    return base::InternalError("ECGroup::CreateCurveParams - Could not create BIGNUM. " + OpenSslErrorText());
  }
  if (EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), bn_ctx) != 1) {
    return base::InternalError("ECGroup::CreateCurveParams - Could not get params. " + OpenSslErrorText());
  }
  BigNum prime = context->AdoptBigNum(std::move(p));
  BASE_ASSIGN_OR_RETURN(const bool is_prime, prime.IsPrime(kPrimeErrorProbability));
  if (!is_prime) {
    return base::InternalError("ECGroup::CreateCurveParams - p is not prime. " + OpenSslErrorText());
  }
  BASE_ASSIGN_OR_RETURN(BigNum p_minus_one, prime.Sub(context->One()));
  BASE_ASSIGN_OR_RETURN(BigNum p_minus_one_over_two, p_minus_one.Div(context->Two()));

  return ECGroup(context, std::move(group), context->AdoptBigNum(std::move(order)),
                 context->AdoptBigNum(std::move(cofactor)), std::move(prime), context->AdoptBigNum(std::move(a)),
                 context->AdoptBigNum(std::move(b)), std::move(p_minus_one_over_two));
}

int ECGroup::GetCurveId() const { return EC_GROUP_get_curve_name(group_.get()); }

absl::StatusOr<BigNum> ECGroup::GenerateRandomScalar() const {
  return context_->RandomInRange(context_->One(), order_);
}

absl::StatusOr<ECPoint> ECGroup::HashToCurveSha256(std::string_view m) const { return HashToCurveWithOracle(m, 0); }
absl::StatusOr<ECPoint> ECGroup::HashToCurveSha384(std::string_view m) const { return HashToCurveWithOracle(m, 1); }
absl::StatusOr<ECPoint> ECGroup::HashToCurveSha512(std::string_view m) const { return HashToCurveWithOracle(m, 2); }

absl::StatusOr<ECPoint> ECGroup::HashToCurveWithOracle(std::string_view m, int hash_type) const {
  BASE_ASSIGN_OR_RETURN(BigNum x, context_->OracleHash(m, p_, hash_type));
  // Each try finds a point with probability about one half.
  for (;;) {
    BASE_ASSIGN_OR_RETURN(std::optional<ECPoint> point, PointFromX(x));
    if (point.has_value()) return std::move(*point);
    BASE_ASSIGN_OR_RETURN(const std::string x_bytes, x.ToBytes());
    BASE_ASSIGN_OR_RETURN(x, context_->OracleHash(x_bytes, p_, hash_type));
  }
}

absl::StatusOr<std::optional<ECPoint>> ECGroup::PointFromX(const BigNum& x) const {
  BASE_ASSIGN_OR_RETURN(BigNum x_reduced, x.ReduceMod(p_));
  // y^2 = x^3 + a x + b mod p
  BASE_ASSIGN_OR_RETURN(BigNum x_cubed, x_reduced.Exp(context_->Three()));
  BASE_ASSIGN_OR_RETURN(BigNum a_x, a_.Mul(x_reduced));
  BASE_ASSIGN_OR_RETURN(BigNum sum, x_cubed.Add(a_x));
  BASE_ASSIGN_OR_RETURN(sum, sum.Add(b_));
  BASE_ASSIGN_OR_RETURN(BigNum y_squared, sum.ReduceMod(p_));
  // A non-zero square has Legendre symbol one.
  BASE_ASSIGN_OR_RETURN(BigNum legendre, y_squared.ModExp(p_minus_one_over_two_, p_));
  if (!legendre.IsOne()) return std::optional<ECPoint>();
  BASE_ASSIGN_OR_RETURN(BigNum y, y_squared.ModSqrt(p_));
  if (y.IsBitSet(0)) {
    BASE_ASSIGN_OR_RETURN(y, y.NegateMod(p_));
  }
  BASE_ASSIGN_OR_RETURN(ECPoint point, CreateECPoint(x_reduced, y));
  return std::optional<ECPoint>(std::move(point));
}

absl::StatusOr<ECPoint> ECGroup::HashToCurveSswuRo(std::string_view m, std::string_view dst) const {
  BASE_ASSIGN_OR_RETURN(ECPoint point, GetPointAtInfinity());
  BN_CTX* bn_ctx = context_->ScratchContext();
  switch (GetCurveId()) {
    case NID_secp384r1:
      BASE_RETURN_IF_ERROR(HashToCurveP384XmdSha384Sswu(group_.get(), point.point_.get(), dst, m, bn_ctx));
      break;
    case NID_X9_62_prime256v1:
      BASE_RETURN_IF_ERROR(HashToCurveP256XmdSha256Sswu(group_.get(), point.point_.get(), dst, m, bn_ctx));
      break;
    default:
      return base::InvalidArgumentError("Curve does not support HashToCurveSswuRo.");
  }
  return point;
}

bool ECGroup::IsValid(const EC_POINT* point) const {
  return EC_POINT_is_on_curve(group_.get(), point, context_->ScratchContext()) == 1 &&
         EC_POINT_is_at_infinity(group_.get(), point) == 0;
}

absl::StatusOr<ECPoint> ECGroup::CreateECPoint(const BigNum& x, const BigNum& y) const {
  BN_CTX* bn_ctx = context_->ScratchContext();
  EcPointPtr point(EC_POINT_new(group_.get()));
  if (!point) return base::InternalError("ECGroup::CreateECPoint(x,y) - Could not create point. " + OpenSslErrorText());
  // OpenSSL refuses coordinates off the curve here already.
  if (EC_POINT_set_affine_coordinates(group_.get(), point.get(), x.GetConstBignumPtr(), y.GetConstBignumPtr(),
                                      bn_ctx) != 1) {
    if (ERR_GET_REASON(ERR_peek_last_error()) == EC_R_POINT_IS_NOT_ON_CURVE) {
      ERR_clear_error();
      return base::InvalidArgumentError("ECGroup::CreateECPoint(x,y) - The point is not valid.");
    }
    return base::InternalError("ECGroup::CreateECPoint(x,y) - Could not set the coordinates. " +
                               OpenSslErrorText());
  }
  if (!IsValid(point.get())) return base::InvalidArgumentError("ECGroup::CreateECPoint(x,y) - The point is not valid.");
  return ECPoint(group_.get(), bn_ctx, std::move(point));
}

absl::StatusOr<ECPoint> ECGroup::CreateECPoint(std::string_view bytes) const {
  // OpenSSL also decodes the hybrid forms (prefix 6 or 7), which SEC 1
  // peers do not send; only 2, 3 and 4 (and 0 for infinity, refused below)
  // are passed on.
  if (!bytes.empty() && (bytes[0] == 6 || bytes[0] == 7)) {
    return base::InvalidArgumentError(
        "ECGroup::CreateECPoint(string) - Could not decode point.\nhybrid point encodings are not accepted");
  }
  BN_CTX* bn_ctx = context_->ScratchContext();
  EcPointPtr point(EC_POINT_new(group_.get()));
  if (!point) return base::InternalError("ECGroup::CreateECPoint: Failed to create point.");
  if (EC_POINT_oct2point(group_.get(), point.get(), reinterpret_cast<const unsigned char*>(bytes.data()),
                         bytes.size(), bn_ctx) != 1) {
    return base::InvalidArgumentError("ECGroup::CreateECPoint(string) - Could not decode point.\n" +
                                      OpenSslErrorText());
  }
  if (!IsValid(point.get())) {
    return base::InvalidArgumentError("ECGroup::CreateECPoint(string) - Decoded point is not valid.");
  }
  return ECPoint(group_.get(), bn_ctx, std::move(point));
}

absl::StatusOr<ECPoint> ECGroup::GetPointAtInfinity() const {
  EcPointPtr point(EC_POINT_new(group_.get()));
  if (!point) return base::InternalError("ECGroup::GetPointAtInfinity() - Could not create new point.");
  if (EC_POINT_set_to_infinity(group_.get(), point.get()) != 1) {
    return base::InternalError("ECGroup::GetPointAtInfinity() - Could not get point at infinity.");
  }
  return ECPoint(group_.get(), context_->ScratchContext(), std::move(point));
}

}  // namespace shutters

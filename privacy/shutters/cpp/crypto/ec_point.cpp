#include "privacy/shutters/cpp/crypto/ec_point.h"

#include <utility>

#include "base/status.h"

namespace shutters {

ECPoint::ECPoint(const EC_GROUP* group, BN_CTX* bn_ctx, EcPointPtr point)
    : bn_ctx_(bn_ctx), group_(group), point_(std::move(point)) {}

absl::StatusOr<ECPoint> ECPoint::Multiply(const BigNum& scalar) const {
  EcPointPtr r(EC_POINT_new(group_));
  if (!r) return base::InternalError("ECPoint::Multiply - Could not create point. " + OpenSslErrorText());
  if (EC_POINT_mul(group_, r.get(), nullptr, point_.get(), scalar.GetConstBignumPtr(), bn_ctx_) != 1) {
    return base::InternalError("EC_POINT_mul failed:" + OpenSslErrorText());
  }
  return ECPoint(group_, bn_ctx_, std::move(r));
}

absl::StatusOr<std::string> ECPoint::ToCompressedBytes() const {
  const std::size_t length =
      EC_POINT_point2oct(group_, point_.get(), POINT_CONVERSION_COMPRESSED, nullptr, 0, bn_ctx_);
  std::string bytes(length, '\0');
  if (length == 0 || EC_POINT_point2oct(group_, point_.get(), POINT_CONVERSION_COMPRESSED,
                                        reinterpret_cast<unsigned char*>(bytes.data()), length, bn_ctx_) == 0) {
    return base::InternalError("EC_POINT_point2oct failed:" + OpenSslErrorText());
  }
  return bytes;
}

bool ECPoint::IsOnCurve() const { return EC_POINT_is_on_curve(group_, point_.get(), bn_ctx_) == 1; }

bool ECPoint::IsAtInfinity() const { return EC_POINT_is_at_infinity(group_, point_.get()) == 1; }

}  // namespace shutters

// An elliptic-curve group with its cached parameters: random scalars,
// hashing byte strings to points, decoding and validating points. The group
// keeps a pointer to its context, which must outlive it and every point.
#pragma once

#include <optional>
#include <string_view>

#include <absl/status/statusor.h>

#include "privacy/shutters/cpp/crypto/big_num.h"
#include "privacy/shutters/cpp/crypto/context.h"
#include "privacy/shutters/cpp/crypto/ec_point.h"
#include "privacy/shutters/cpp/crypto/openssl_util.h"

namespace shutters {

class ECGroup {
 public:
  // curve_id is an OpenSSL curve NID (415 P-256, 715 P-384); an unknown one
  // is InvalidArgument.
  static absl::StatusOr<ECGroup> Create(int curve_id, Context* context);
  ECGroup(ECGroup&&) noexcept = default;
  ECGroup& operator=(ECGroup&&) noexcept = default;

  // Uniform in [1, order).
  absl::StatusOr<BigNum> GenerateRandomScalar() const;

  // Try-and-increment: the random oracle of m onto the field, rehashed until
  // it is the x of a point; y is the even root.
  absl::StatusOr<ECPoint> HashToCurveSha256(std::string_view m) const;
  absl::StatusOr<ECPoint> HashToCurveSha384(std::string_view m) const;
  absl::StatusOr<ECPoint> HashToCurveSha512(std::string_view m) const;
  // The random-oracle simplified-SWU hash of RFC 9380 (P-256 and P-384 only).
  absl::StatusOr<ECPoint> HashToCurveSswuRo(std::string_view m, std::string_view dst) const;

  // Valid points only: on the curve and not the point at infinity.
  absl::StatusOr<ECPoint> CreateECPoint(const BigNum& x, const BigNum& y) const;
  // SEC 1 compressed or uncompressed bytes; hybrid forms are refused.
  absl::StatusOr<ECPoint> CreateECPoint(std::string_view bytes) const;
  absl::StatusOr<ECPoint> GetPointAtInfinity() const;

  int GetCurveId() const;
  const BigNum& GetOrder() const { return order_; }
  const BigNum& GetCofactor() const { return cofactor_; }
  const BigNum& GetPrime() const { return p_; }

 private:
  ECGroup(Context* context, EcGroupPtr group, BigNum order, BigNum cofactor, BigNum p, BigNum a, BigNum b,
          BigNum p_minus_one_over_two);

  absl::StatusOr<ECPoint> HashToCurveWithOracle(std::string_view m, int hash_type) const;
  // The point with this x and an even y, or nothing when x has none.
  absl::StatusOr<std::optional<ECPoint>> PointFromX(const BigNum& x) const;
  bool IsValid(const EC_POINT* point) const;

  Context* context_;
  EcGroupPtr group_;
  BigNum order_;
  BigNum cofactor_;
  BigNum p_;
  BigNum a_;
  BigNum b_;
  BigNum p_minus_one_over_two_;
};

}  // namespace shutters

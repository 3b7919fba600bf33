// A point of an elliptic-curve group (ECGroup makes them). Every operation
// answers a new point on the same group and scratch context, which must
// outlive it.
#pragma once

#include <string>

#include <absl/status/statusor.h>

#include "privacy/shutters/cpp/crypto/big_num.h"
#include "privacy/shutters/cpp/crypto/openssl_util.h"

namespace shutters {

class ECPoint {
 public:
  ECPoint(const EC_GROUP* group, BN_CTX* bn_ctx, EcPointPtr point);
  ECPoint(ECPoint&&) noexcept = default;
  ECPoint& operator=(ECPoint&&) noexcept = default;

  // This point times the scalar.
  absl::StatusOr<ECPoint> Multiply(const BigNum& scalar) const;
  // SEC 1 compressed form: 2 (y even) or 3 (y odd), then x; 33 bytes on P-256.
  absl::StatusOr<std::string> ToCompressedBytes() const;
  bool IsOnCurve() const;
  bool IsAtInfinity() const;

  const EC_POINT* GetECPoint() const { return point_.get(); }

 private:
  friend class ECGroup;

  BN_CTX* bn_ctx_;
  const EC_GROUP* group_;
  EcPointPtr point_;
};

}  // namespace shutters

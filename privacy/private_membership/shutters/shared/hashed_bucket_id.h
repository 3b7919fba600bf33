// The bucket an identifier falls into: the leading bits of its identifier
// hash. Only the bytes travel in a request.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <absl/status/statusor.h>

#include "privacy/shutters/cpp/crypto/context.h"

namespace private_membership::shutters {

class HashedBucketId {
 public:
  // A bit length of 0 gives the empty id without hashing (nor checking the
  // hash type).
  static absl::StatusOr<HashedBucketId> Create(std::string_view non_sensitive_id, std::int32_t bit_length,
                                               std::int32_t hash_type, ::shutters::Context* context);

  const std::string& hashed_bucket_id() const { return hashed_bucket_id_; }
  std::int32_t bit_length() const { return bit_length_; }
  std::int32_t hash_type() const { return hash_type_; }

 private:
  HashedBucketId(std::string hashed_bucket_id, std::int32_t bit_length, std::int32_t hash_type)
      : hashed_bucket_id_(std::move(hashed_bucket_id)), bit_length_(bit_length), hash_type_(hash_type) {}

  std::string hashed_bucket_id_;
  std::int32_t bit_length_;
  std::int32_t hash_type_;
};

}  // namespace private_membership::shutters

#include "privacy/private_membership/shutters/shared/hashed_bucket_id.h"

#include "base/status.h"
#include "privacy/private_membership/common/crypto_utils.h"
#include "privacy/private_membership/shutters/shared/crypto_utils.h"

namespace private_membership::shutters {

absl::StatusOr<HashedBucketId> HashedBucketId::Create(std::string_view non_sensitive_id, std::int32_t bit_length,
                                                      std::int32_t hash_type, ::shutters::Context* context) {
  if (bit_length < 0) return base::InvalidArgumentError("Hash prefix length must be non-negative.");
  if (bit_length == 0) return HashedBucketId(std::string(), 0, hash_type);
  BASE_ASSIGN_OR_RETURN(std::string hash, ComputeIdentifierHash(hash_type, non_sensitive_id, context));
  BASE_ASSIGN_OR_RETURN(std::string truncated, TruncateHash(hash, bit_length));
  return HashedBucketId(std::move(truncated), bit_length, hash_type);
}

}  // namespace private_membership::shutters

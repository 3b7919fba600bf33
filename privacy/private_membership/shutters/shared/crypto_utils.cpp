#include "privacy/private_membership/shutters/shared/crypto_utils.h"

#include <absl/strings/str_cat.h>

#include "base/status.h"

namespace private_membership::shutters {
namespace {

absl::StatusOr<std::string> PrefixedDigest(std::string_view prefix, std::string_view bytes,
                                           ::shutters::Context* context) {
  BASE_ASSIGN_OR_RETURN(std::string digest,
                        context->DigestSha256(absl::StrCat(base::ToAbsl(prefix), base::ToAbsl(bytes))));
  if (digest.size() < kHashSize) return base::InternalError("Digest is too short.");
  digest.resize(kHashSize);
  return digest;
}

}  // namespace

absl::StatusOr<std::string> ComputeIdentifierHash(std::int32_t hash_type, std::string_view bytes,
                                                  ::shutters::Context* context) {
  if (hash_type != 1 && hash_type != 2) return base::InvalidArgumentError("Specified an invalid hash type.");
  return PrefixedDigest(kIdentifierHashPrefix, bytes, context);
}

absl::StatusOr<std::string> ComputeLookupHash(std::string_view server_blinded_id, ::shutters::Context* context) {
  return PrefixedDigest(kLookupHashPrefix, server_blinded_id, context);
}

}  // namespace private_membership::shutters

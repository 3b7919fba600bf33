// The hashes of the private-membership protocol that client and server
// compute alike: the identifier hash that names a bucket and the lookup hash
// that a bucket's entries are prefixes of.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <absl/status/statusor.h>

#include "privacy/shutters/cpp/crypto/context.h"

namespace private_membership::shutters {

// Put in front of the input of each hash; client and server must agree.
inline constexpr std::string_view kIdentifierHashPrefix = "tolv/private-membership/id-hash/";
inline constexpr std::string_view kLookupHashPrefix = "tolv/private-membership/lookups/";
static_assert(kIdentifierHashPrefix.size() == 32 && kLookupHashPrefix.size() == 32);

inline constexpr std::size_t kHashSize = 32;

// 32 bytes of SHA-256 over the identifier; hash types 1 and 2 hash alike.
absl::StatusOr<std::string> ComputeIdentifierHash(std::int32_t hash_type, std::string_view bytes,
                                                  ::shutters::Context* context);

// 32 bytes of SHA-256 over an identifier blinded by the server's key alone.
absl::StatusOr<std::string> ComputeLookupHash(std::string_view server_blinded_id, ::shutters::Context* context);

}  // namespace private_membership::shutters

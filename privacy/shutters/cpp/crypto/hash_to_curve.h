// Hashing byte strings to points of P-256 and P-384 as RFC 9380 defines it:
// expand_message_xmd, hash_to_field with two field elements, the simplified
// SWU map and point addition (both curves have cofactor 1), for the suites
// P256_XMD:SHA-256_SSWU_RO_ and P384_XMD:SHA-384_SSWU_RO_. Built on
// OpenSSL's public big-number and point calls. Not constant time: the
// inputs are identifiers that are hashed anyway.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <absl/status/status.h>
#include <absl/status/statusor.h>

#include "privacy/shutters/cpp/crypto/openssl_util.h"

namespace shutters {

// Writes the point for msg under the domain separation tag dst into out.
// The group must be P-256 (P-384 for the second); dst must not be empty.
absl::Status HashToCurveP256XmdSha256Sswu(const EC_GROUP* group, EC_POINT* out, std::string_view dst,
                                          std::string_view msg, BN_CTX* bn_ctx);
absl::Status HashToCurveP384XmdSha384Sswu(const EC_GROUP* group, EC_POINT* out, std::string_view dst,
                                          std::string_view msg, BN_CTX* bn_ctx);

namespace internal {

// len_in_bytes uniform bytes; tags over 255 bytes are first hashed as the
// RFC says.
absl::StatusOr<std::string> ExpandMessageXmd(const EVP_MD* md, std::string_view msg, std::string_view dst,
                                             std::size_t len_in_bytes);
// The two field elements u0, u1 of the group's suite.
absl::StatusOr<std::vector<BignumPtr>> HashToField(const EC_GROUP* group, std::string_view msg,
                                                   std::string_view dst, BN_CTX* bn_ctx);

}  // namespace internal
}  // namespace shutters

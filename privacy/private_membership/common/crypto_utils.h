// Hash truncation and bins, and the decryption of the values a membership
// server attaches to matching bucket entries.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <absl/status/statusor.h>

#include "privacy/private_membership/common/cipher.h"
#include "privacy/shutters/cpp/crypto/context.h"

namespace private_membership {

// Put in front of a server-blinded identifier before hashing it into the key
// of its value. Client and server must agree on it.
inline constexpr std::string_view kValueKeyHashPrefix = "tolv/private-membership/valuekey";
static_assert(kValueKeyHashPrefix.size() == 32);

inline constexpr std::int32_t kValueKeySize = 32;

// The leading bit_length bits of bytes: whole bytes, and in a last partial
// byte its top bits with the rest cleared. Fails outside [0, 8 * size].
absl::StatusOr<std::string> TruncateHash(std::string_view bytes, std::int32_t bit_length);

// The bin of a hash among num_bins, a power of two: its leading log2(num_bins)
// bits. One bin gives the empty string.
absl::StatusOr<std::string> HashToBin(std::string_view hash, std::int32_t num_bins);

// The 32-byte key that encrypts the value of a server-blinded identifier.
absl::StatusOr<std::string> ComputeValueKey(std::string_view server_blinded_id, ::shutters::Context* context);

// 1: AES-256-CTR with the zero IV; 2: AES-256-CTR with a random IV in front.
absl::StatusOr<std::unique_ptr<Cipher>> CreateCipherForScheme(std::int32_t encryption_scheme, std::string_view key);

// A value as scheme 1 stores it: a 4-byte little-endian length, the value,
// then anything (ignored).
absl::StatusOr<std::string> ReadLengthPrefixed(std::string_view plaintext);

// The value behind an encrypted bucket entry, with the key of the
// server-blinded identifier it belongs to.
absl::StatusOr<std::string> DecryptValue(std::string_view server_blinded_id, std::string_view encrypted_value,
                                         std::int32_t encryption_scheme, ::shutters::Context* context);

}  // namespace private_membership

// AES-256 in counter mode, the step both membership ciphers share. The
// 16-byte IV is the initial counter block, incremented as one big-endian
// 128-bit number. Failures are Internal statuses raised at the caller's
// location.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <absl/status/status.h>

#include "base/status.h"

namespace private_membership::internal {

inline constexpr std::size_t kAesCtr256KeySize = 32;
inline constexpr std::size_t kAesCtr256IvSize = 16;

// Writes input.size() bytes to output; encrypting and decrypting differ only
// in their messages.
absl::Status AesCtr256Transform(bool encrypt, std::string_view key, std::string_view iv, std::string_view input,
                                char* output, base::SourceLocation location = base::SourceLocation::current());

// Overwrites a key before its memory is given back.
void ClearKey(std::string& key);

}  // namespace private_membership::internal

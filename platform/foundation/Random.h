// Secure random bytes from the kernel, identifiers and the MD5 digest.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace foundation {

// Bytes from getrandom(2); an error when the kernel gives none.
Result<Data> secureRandomBytes(std::size_t count);
Result<std::uint64_t> secureRandomUInt64();

// The 16-byte MD5 digest (RFC 1321).
std::array<std::uint8_t, 16> md5(const void* bytes, std::size_t length);
inline std::array<std::uint8_t, 16> md5(std::string_view text) { return md5(text.data(), text.size()); }
std::string hexString(const std::uint8_t* bytes, std::size_t length);  // lower case

// A random (version 4) UUID.
class UUID {
 public:
  // From secure random bytes; falls back to nothing: an error is returned.
  static Result<UUID> random();
  // "E621E1F8-C36C-495A-93FC-0C247A3E6E5F" in either case; nullopt otherwise.
  static std::optional<UUID> fromString(std::string_view text);
  explicit UUID(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

  // Upper-case 8-4-4-4-12 form.
  std::string uuidString() const;
  const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }
  bool operator==(const UUID& other) const = default;

 private:
  std::array<std::uint8_t, 16> bytes_;
};

}  // namespace foundation

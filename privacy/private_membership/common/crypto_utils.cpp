#include "privacy/private_membership/common/crypto_utils.h"

#include <absl/strings/str_cat.h>

#include "base/status.h"
#include "privacy/private_membership/common/aes_ctr_256.h"
#include "privacy/private_membership/common/aes_ctr_256_no_auth.h"
#include "privacy/private_membership/common/aes_ctr_256_with_fixed_iv.h"

namespace private_membership {

absl::StatusOr<std::string> TruncateHash(std::string_view bytes, std::int32_t bit_length) {
  if (bit_length < 0 || static_cast<std::uint64_t>(bit_length) > 8 * static_cast<std::uint64_t>(bytes.size())) {
    return base::InvalidArgumentError("Truncation bit length out of bounds.");
  }
  std::string truncated(bytes.substr(0, (static_cast<std::size_t>(bit_length) + 7) / 8));
  if (int spare = bit_length % 8; spare != 0) {
    truncated.back() = static_cast<char>(static_cast<unsigned char>(truncated.back()) & (0xFF << (8 - spare)));
  }
  return truncated;
}

absl::StatusOr<std::string> HashToBin(std::string_view hash, std::int32_t num_bins) {
  if (num_bins < 1) return base::InvalidArgumentError("Number of bins must be greater than 0.");
  if ((num_bins & (num_bins - 1)) != 0) {
    return base::InvalidArgumentError("Number of bins that is not a power of 2 isn't supported.");
  }
  std::int32_t bits = 0;
  while ((std::int32_t{1} << bits) < num_bins) ++bits;
  return TruncateHash(hash, bits);
}

absl::StatusOr<std::string> ComputeValueKey(std::string_view server_blinded_id, ::shutters::Context* context) {
  BASE_ASSIGN_OR_RETURN(std::string key,
                        context->DigestSha256(absl::StrCat(base::ToAbsl(kValueKeyHashPrefix),
                                                           base::ToAbsl(server_blinded_id))));
  // A short key would be padded into a guessable one; refuse it instead.
  if (key.size() < static_cast<std::size_t>(kValueKeySize)) {
    return base::InternalError("Value key digest is too short.");
  }
  key.resize(kValueKeySize);
  return key;
}

absl::StatusOr<std::unique_ptr<Cipher>> CreateCipherForScheme(std::int32_t encryption_scheme,
                                                              std::string_view key) {
  switch (encryption_scheme) {
    case 1: {
      BASE_ASSIGN_OR_RETURN(auto cipher, AesCtr256WithFixedIV::Create(key));
      return std::unique_ptr<Cipher>(std::move(cipher));
    }
    case 2: {
      BASE_ASSIGN_OR_RETURN(auto cipher, AesCtr256NoAuth::Create(key));
      return std::unique_ptr<Cipher>(std::move(cipher));
    }
    default:
      return base::InvalidArgumentError(absl::StrCat("Unsupported encryption scheme: ", encryption_scheme));
  }
}

absl::StatusOr<std::string> ReadLengthPrefixed(std::string_view plaintext) {
  if (plaintext.size() < 4) return base::InvalidArgumentError("Invalid bytes does not encode length.");
  std::uint64_t length = 0;
  for (int i = 3; i >= 0; --i) length = (length << 8) | static_cast<unsigned char>(plaintext[i]);
  // In 64 bits: a length near 2^32 must not wrap around into a small one.
  if (plaintext.size() < length + 4) return base::InvalidArgumentError("Incorrect bytes length.");
  return std::string(plaintext.substr(4, length));
}

absl::StatusOr<std::string> DecryptValue(std::string_view server_blinded_id, std::string_view encrypted_value,
                                         std::int32_t encryption_scheme, ::shutters::Context* context) {
  BASE_ASSIGN_OR_RETURN(std::string key, ComputeValueKey(server_blinded_id, context));
  absl::StatusOr<std::unique_ptr<Cipher>> cipher = CreateCipherForScheme(encryption_scheme, key);
  internal::ClearKey(key);
  if (!cipher.ok()) return cipher.status();
  BASE_ASSIGN_OR_RETURN(std::string plaintext, (*cipher)->Decrypt(encrypted_value));
  if (encryption_scheme == 1) return ReadLengthPrefixed(plaintext);
  return plaintext;
}

}  // namespace private_membership

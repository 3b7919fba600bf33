#include "privacy/private_membership/common/aes_ctr_256.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <memory>

#include "base/status.h"

namespace private_membership::internal {
namespace {

struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

// EVP lengths are ints; longer inputs go in pieces, which counter mode
// allows.
constexpr std::size_t kMaxPiece = std::size_t{1} << 30;

}  // namespace

absl::Status AesCtr256Transform(bool encrypt, std::string_view key, std::string_view iv, std::string_view input,
                                char* output, base::SourceLocation location) {
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return base::InternalError("Could not initialize EVP_CIPHER_CTX.", location);
  const auto* key_bytes = reinterpret_cast<const unsigned char*>(key.data());
  const auto* iv_bytes = reinterpret_cast<const unsigned char*>(iv.data());
  const int initialized = encrypt ? EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_ctr(), nullptr, key_bytes, iv_bytes)
                                  : EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_ctr(), nullptr, key_bytes, iv_bytes);
  if (initialized != 1) {
    return base::InternalError(encrypt ? "Could not initialize encryption." : "Could not initialize decryption.",
                               location);
  }
  std::size_t written = 0;
  for (std::size_t at = 0; at < input.size();) {
    const int piece = static_cast<int>(std::min(kMaxPiece, input.size() - at));
    int piece_written = 0;
    auto* out = reinterpret_cast<unsigned char*>(output + written);
    const auto* in = reinterpret_cast<const unsigned char*>(input.data() + at);
    const int updated = encrypt ? EVP_EncryptUpdate(ctx.get(), out, &piece_written, in, piece)
                                : EVP_DecryptUpdate(ctx.get(), out, &piece_written, in, piece);
    if (updated != 1) return base::InternalError(encrypt ? "Encryption failed." : "Decryption failed.", location);
    written += static_cast<std::size_t>(piece_written);
    at += static_cast<std::size_t>(piece);
    if (written != at) break;
  }
  // Counter mode has no padding, so there is nothing to finish.
  if (written != input.size()) {
    return base::InternalError(encrypt ? "Ciphertext is incorrect size." : "Plaintext is incorrect size.",
                               location);
  }
  return absl::OkStatus();
}

void ClearKey(std::string& key) { OPENSSL_cleanse(key.data(), key.size()); }

}  // namespace private_membership::internal

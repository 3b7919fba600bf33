// An incremental hash over one of OpenSSL's low-level digest contexts, which
// are plain structs: copying the struct copies the hash state.
#pragma once

// The low-level digest calls are deprecated in OpenSSL 3 but kept; copying
// their contexts by value is what this class relies on.
#ifndef OPENSSL_SUPPRESS_DEPRECATED
#define OPENSSL_SUPPRESS_DEPRECATED
#endif
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include <absl/flags/declare.h>
#include <absl/flags/flag.h>

#include "base/casts.h"
#include "base/check.h"
#include "base/log.h"
#include "security/util/merkle_damgaard.h"

// Severity (0 INFO to 3 FATAL) of the line logged before an Update after
// Digest stops the process.
ABSL_DECLARE_FLAG(int, merkle_damgaard_misuse_log_severity);

namespace security {

namespace internal {
absl::LogSeverity MisuseLogSeverity();
}  // namespace internal

template <typename Context, int (*InitFunction)(Context*), int (*UpdateFunction)(Context*, const void*, std::size_t),
          int (*FinalFunction)(unsigned char*, Context*), int kBlockSize, int kDigestSize, typename NameType>
class OpenSSLHash : public MerkleDamgaard {
 public:
  static constexpr std::int32_t kMaxPiece = std::int32_t{1} << 30;

  OpenSSLHash() { InitFunction(&context_); }
  ~OpenSSLHash() override {
    OPENSSL_cleanse(&context_, sizeof(context_));
    OPENSSL_cleanse(digest_, sizeof(digest_));
  }
  OpenSSLHash(const OpenSSLHash&) = delete;
  OpenSSLHash& operator=(const OpenSSLHash&) = delete;

  void Reset() override {
    InitFunction(&context_);
    finalized_ = false;
  }

  void Update(const void* data, std::int32_t length) override {
    if (finalized_) {
      base::LogMessage(internal::MisuseLogSeverity(), __FILE__, __LINE__,
                       "Calling Update on a MerkleDamgaard hash function after finalization (a call to Digest) is "
                       "undefined. Call Reset first to start a new hash.");
      BASE_CHECK(!finalized_, "This behavior is unsupported except for potential legacy implementations.");
    }
    BASE_CHECK(length >= 0, "Update needs a nonnegative length.");
    UpdateFunction(&context_, data, static_cast<std::size_t>(length));
  }

  void Update(const void* data, std::size_t length) override {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (length > 0) {
      const auto piece = static_cast<std::int32_t>(std::min<std::size_t>(length, kMaxPiece));
      Update(static_cast<const void*>(bytes), piece);
      bytes += piece;
      length -= static_cast<std::size_t>(piece);
    }
  }

  const std::uint8_t* Digest() override {
    if (!finalized_) {
      FinalFunction(digest_, &context_);
      finalized_ = true;
    }
    return digest_;
  }

  std::size_t DigestLength() const override { return kDigestSize; }

  std::string DigestString() override {
    return std::string(reinterpret_cast<const char*>(Digest()), kDigestSize);
  }

  const int* SharedDigestLength() const override {
    static const int* const length = new int(kDigestSize);
    return length;
  }

  void CopyFrom(const MerkleDamgaard& other) override {
    const OpenSSLHash* source = base::down_cast<const OpenSSLHash*>(&other);
    if (source == this) return;
    context_ = source->context_;
    std::memcpy(digest_, source->digest_, sizeof(digest_));
    finalized_ = source->finalized_;
  }

  // Continues from the data so far; a taken digest is not carried over.
  std::unique_ptr<MerkleDamgaard> Clone() const override {
    auto clone = std::make_unique<OpenSSLHash>();
    clone->context_ = context_;
    return clone;
  }

  std::string Name() const override { return std::string(NameType::kValue); }

  bool finalized() const { return finalized_; }
  static constexpr int block_size() { return kBlockSize; }

 private:
  Context context_;
  unsigned char digest_[kDigestSize] = {};
  bool finalized_ = false;
};

struct SHA256Name {
  static constexpr std::string_view kValue = "SHA256";
};

using OpenSSLSHA256 =
    OpenSSLHash<SHA256_CTX, &SHA256_Init, &SHA256_Update, &SHA256_Final, 64, SHA256_DIGEST_LENGTH, SHA256Name>;

}  // namespace security

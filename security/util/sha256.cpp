#include "security/util/openssl_hash.h"

#include "security/util/sha256.h"

ABSL_FLAG(int, merkle_damgaard_misuse_log_severity, 2, "");

namespace security {

namespace internal {
absl::LogSeverity MisuseLogSeverity() {
  const int value = absl::GetFlag(FLAGS_merkle_damgaard_misuse_log_severity);
  if (value < 0) return absl::LogSeverity::kInfo;
  if (value > 3) return absl::LogSeverity::kError;
  return static_cast<absl::LogSeverity>(value);
}
}  // namespace internal

class SHA256::Impl : public OpenSSLSHA256 {};

SHA256::SHA256() : h_(std::make_unique<Impl>()) {}
SHA256::~SHA256() = default;

SHA256::SHA256(const SHA256& other) : h_(std::make_unique<Impl>()) { h_->CopyFrom(*other.h_); }

SHA256& SHA256::operator=(const SHA256& other) {
  h_->CopyFrom(*other.h_);
  return *this;
}

void SHA256::Reset() { h_->Reset(); }
void SHA256::Update(const void* data, std::int32_t length) { h_->Update(data, length); }
void SHA256::Update(const void* data, std::size_t length) { h_->Update(data, length); }
const std::uint8_t* SHA256::Digest() { return h_->Digest(); }
std::size_t SHA256::DigestLength() const { return h_->DigestLength(); }
std::string SHA256::DigestString() { return h_->DigestString(); }
const int* SHA256::SharedDigestLength() const { return h_->SharedDigestLength(); }

void SHA256::CopyFrom(const MerkleDamgaard& other) {
  const SHA256* source = base::down_cast<const SHA256*>(&other);
  h_->CopyFrom(*source->h_);
}

std::unique_ptr<MerkleDamgaard> SHA256::Clone() const {
  BASE_CHECK(!h_->finalized(), "Clone after Digest.");
  auto clone = std::make_unique<SHA256>();
  clone->CopyFrom(*this);
  return clone;
}

std::string SHA256::Name() const { return h_->Name(); }

}  // namespace security

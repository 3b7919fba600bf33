// SHA-256 as an incremental hash:
//
//   security::SHA256 hash;
//   hash.Update(data.data(), data.size());
//   std::string digest = hash.DigestString();  // 32 bytes
#pragma once

#include <memory>

#include "security/util/merkle_damgaard.h"

namespace security {

class SHA256 : public MerkleDamgaard {
 public:
  SHA256();
  ~SHA256() override;
  // Copies carry the state; the copies then hash independently.
  SHA256(const SHA256& other);
  SHA256& operator=(const SHA256& other);

  void Reset() override;
  void Update(const void* data, std::int32_t length) override;
  void Update(const void* data, std::size_t length) override;
  const std::uint8_t* Digest() override;
  std::size_t DigestLength() const override;
  std::string DigestString() override;
  const int* SharedDigestLength() const override;
  // `other` must be a SHA256; anything else stops the process.
  void CopyFrom(const MerkleDamgaard& other) override;
  // Stops the process when the digest was already taken.
  std::unique_ptr<MerkleDamgaard> Clone() const override;
  std::string Name() const override;

 private:
  class Impl;
  std::unique_ptr<Impl> h_;
};

}  // namespace security

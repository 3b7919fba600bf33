// The interface of incremental hashes built on a compression function: feed
// data with Update, take the digest once. Updating after the digest was taken
// is a programming error that stops the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace security {

class MerkleDamgaard {
 public:
  virtual ~MerkleDamgaard() = default;

  // Starts a new hash; allowed after Digest.
  virtual void Reset() = 0;
  virtual void Update(const void* data, std::int32_t length) = 0;
  virtual void Update(const void* data, std::size_t length) = 0;
  // Finishes the hash on the first call; later calls answer the same bytes.
  virtual const std::uint8_t* Digest() = 0;
  virtual std::size_t DigestLength() const = 0;
  virtual std::string DigestString() = 0;
  // A process-wide copy of the digest length for callers that keep a pointer.
  virtual const int* SharedDigestLength() const = 0;
  // Copies the whole state of another hash of the same class.
  virtual void CopyFrom(const MerkleDamgaard& other) = 0;
  // A hash that continues from this one's data so far.
  virtual std::unique_ptr<MerkleDamgaard> Clone() const = 0;
  virtual std::string Name() const = 0;
};

}  // namespace security

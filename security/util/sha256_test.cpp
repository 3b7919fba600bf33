#include "security/util/openssl_hash.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>
#include <utility>
#include <vector>

#include "absl/strings/escaping.h"
#include "security/util/sha256.h"

namespace security {
namespace {

std::string HashInPieces(const std::string& message, std::size_t piece, bool signed_lengths) {
  SHA256 hash;
  for (std::size_t at = 0; at < message.size(); at += piece) {
    const std::size_t length = std::min(piece, message.size() - at);
    if (signed_lengths) {
      hash.Update(message.data() + at, static_cast<std::int32_t>(length));
    } else {
      hash.Update(message.data() + at, length);
    }
  }
  return absl::BytesToHexString(hash.DigestString());
}

// FIPS 180-4 examples.
struct Vector {
  std::string message;
  const char* digest;
};
const std::vector<Vector>& Vectors() {
  static const auto* vectors = new std::vector<Vector>{
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstn"
       "opqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  return *vectors;
}

TEST(SHA256, PublishedVectorsWholeAndInPieces) {
  for (const Vector& v : Vectors()) {
    const std::size_t whole = std::max<std::size_t>(v.message.size(), 1);
    for (std::size_t piece : {whole, std::size_t{1}, std::size_t{7}, std::size_t{63}, std::size_t{64},
                              std::size_t{65}, std::size_t{4096}}) {
      if (v.message.size() > 100000 && piece < 63) continue;  // same work, just slower
      EXPECT_EQ(HashInPieces(v.message, piece, false), v.digest) << v.message.size() << " by " << piece;
      EXPECT_EQ(HashInPieces(v.message, piece, true), v.digest) << v.message.size() << " by " << piece;
    }
  }
}

TEST(SHA256, DigestIsTakenOnceAndResetStartsAgain) {
  SHA256 hash;
  EXPECT_EQ(hash.Name(), "SHA256");
  EXPECT_EQ(hash.DigestLength(), 32u);
  EXPECT_EQ(*hash.SharedDigestLength(), 32);
  hash.Update("abc", std::size_t{3});
  const std::uint8_t* first = hash.Digest();
  const std::string bytes(reinterpret_cast<const char*>(first), 32);
  EXPECT_EQ(hash.Digest(), first);
  EXPECT_EQ(hash.DigestString(), bytes);
  EXPECT_EQ(absl::BytesToHexString(bytes), Vectors()[0].digest);

  hash.Reset();
  hash.Update("", std::size_t{0});
  EXPECT_EQ(absl::BytesToHexString(hash.DigestString()), Vectors()[1].digest);
}

TEST(SHA256, CopiesCarryTheStateAndThenGoTheirOwnWay) {
  const std::string message = Vectors()[3].message;
  const std::size_t half = message.size() / 2;
  auto original = std::make_unique<SHA256>();
  original->Update(message.data(), half);

  SHA256 copied(*original);
  SHA256 assigned;
  assigned.Update("noise", std::size_t{5});
  assigned = *original;
  SHA256 copied_from;
  copied_from.CopyFrom(*original);
  std::unique_ptr<MerkleDamgaard> clone = original->Clone();

  original->Update("different tail", std::size_t{14});
  original.reset();  // the others must not share its state
  for (MerkleDamgaard* hash : {static_cast<MerkleDamgaard*>(&copied), static_cast<MerkleDamgaard*>(&assigned),
                               static_cast<MerkleDamgaard*>(&copied_from), clone.get()}) {
    hash->Update(message.data() + half, message.size() - half);
    EXPECT_EQ(absl::BytesToHexString(hash->DigestString()), Vectors()[3].digest);
  }

  SHA256 finished;
  finished.Update("abc", std::size_t{3});
  finished.Digest();
  SHA256 after;
  after.CopyFrom(finished);
  EXPECT_EQ(absl::BytesToHexString(after.DigestString()), Vectors()[0].digest);
}

// Records the pieces the size_t Update hands to the 32-bit one.
class PieceRecorder : public OpenSSLSHA256 {
 public:
  using OpenSSLSHA256::Update;
  void Update(const void* data, std::int32_t length) override { pieces.emplace_back(data, length); }
  std::vector<std::pair<const void*, std::int32_t>> pieces;
};

TEST(SHA256, UpdatesBeyondTwoToTheThirtyGoInPieces) {
  const std::size_t size = (std::size_t{1} << 30) + 5;
  // Address space only: the recorder never reads it.
  void* region = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  PieceRecorder recorder;
  recorder.Update(region, size);
  ASSERT_EQ(recorder.pieces.size(), 2u);
  EXPECT_EQ(recorder.pieces[0], std::make_pair(static_cast<const void*>(region), std::int32_t{1} << 30));
  EXPECT_EQ(recorder.pieces[1],
            std::make_pair(static_cast<const void*>(static_cast<char*>(region) + (std::size_t{1} << 30)), 5));
  munmap(region, size);
}

class OtherHash : public MerkleDamgaard {
 public:
  void Reset() override {}
  void Update(const void*, std::int32_t) override {}
  void Update(const void*, std::size_t) override {}
  const std::uint8_t* Digest() override { return nullptr; }
  std::size_t DigestLength() const override { return 0; }
  std::string DigestString() override { return ""; }
  const int* SharedDigestLength() const override { return nullptr; }
  void CopyFrom(const MerkleDamgaard&) override {}
  std::unique_ptr<MerkleDamgaard> Clone() const override { return nullptr; }
  std::string Name() const override { return "other"; }
};

TEST(SHA256DeathTest, MisuseStopsTheProcess) {
  SHA256 hash;
  hash.Update("abc", std::size_t{3});
  hash.Digest();
  EXPECT_DEATH(hash.Update("d", std::size_t{1}),
               "Calling Update on a MerkleDamgaard hash function after finalization \\(a call to Digest\\) is "
               "undefined\\.(.|\n)*Check !finalized_ failed: This behavior is unsupported except for potential "
               "legacy implementations\\.");
  EXPECT_DEATH(hash.Clone(), "Check !h_->finalized\\(\\) failed");
  OtherHash other;
  EXPECT_DEATH(hash.CopyFrom(other), "down_cast failed \\(actual type = security::.*OtherHash\\)");
  SHA256 fresh;
  EXPECT_DEATH(fresh.Update("abc", std::int32_t{-1}), "Check length >= 0 failed");
}

}  // namespace
}  // namespace security

#include "privacy/private_membership/shutters/shared/hashed_bucket_id.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/status.h"
#include "privacy/private_membership/shutters/shared/crypto_utils.h"
#include "privacy/shutters/cpp/crypto/test_util.h"

namespace private_membership::shutters {
namespace {

using ::shutters::testing_util::Hex;
using ::testing::StartsWith;

// SHA-256 of the identifier-hash prefix followed by "alice@example.com".
constexpr const char* kAliceHash = "6b894794a3f741175b1c13d747d3336c168e561c2ec5ed23295b2b726896024c";

class SharedHashes : public ::testing::Test {
 protected:
  void SetUp() override { context_ = std::move(::shutters::Context::Create()).value(); }
  std::unique_ptr<::shutters::Context> context_;
};

TEST_F(SharedHashes, IdentifierHashIsTheSameForBothHashTypes) {
  for (std::int32_t type : {1, 2}) {
    auto hash = ComputeIdentifierHash(type, "alice@example.com", context_.get());
    ASSERT_TRUE(hash.ok()) << hash.status();
    EXPECT_EQ(Hex(*hash), kAliceHash);
  }
  for (std::int32_t type : {0, 3, -1}) {
    auto hash = ComputeIdentifierHash(type, "alice@example.com", context_.get());
    EXPECT_EQ(hash.status().code(), absl::StatusCode::kInvalidArgument);
    EXPECT_EQ(hash.status().message(), "Specified an invalid hash type.");
    EXPECT_THAT(base::SourceLocationOf(hash.status()).value_or(""),
                StartsWith("privacy/private_membership/shutters/shared/crypto_utils.cpp:"));
  }
}

TEST_F(SharedHashes, LookupHashUsesItsOwnPrefix) {
  auto hash = ComputeLookupHash("blinded", context_.get());
  ASSERT_TRUE(hash.ok()) << hash.status();
  EXPECT_EQ(Hex(*hash), "78f5035b72381dd421c066b8e224d77362511073de2062ce27b6c7b872536b9e");
}

TEST_F(SharedHashes, HashedBucketIdIsTheTruncatedIdentifierHash) {
  struct Case {
    std::int32_t bits;
    std::int32_t hash_type;
    std::string expected;  // hex, or the error
  };
  const Case cases[] = {
      {14, 2, "6b88"},
      {14, 1, "6b88"},
      {8, 2, "6b"},
      {256, 2, kAliceHash},
      {0, 2, ""},
      {0, 0, ""},  // nothing is hashed, so the type goes unchecked
      {-1, 2, "Hash prefix length must be non-negative."},
      {-1, 0, "Hash prefix length must be non-negative."},
      {8, 0, "Specified an invalid hash type."},
      {257, 2, "Truncation bit length out of bounds."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.bits << " bits, type " << c.hash_type);
    auto id = HashedBucketId::Create("alice@example.com", c.bits, c.hash_type, context_.get());
    if (!id.ok()) {
      EXPECT_EQ(id.status().code(), absl::StatusCode::kInvalidArgument);
      EXPECT_EQ(id.status().message(), c.expected);
      continue;
    }
    EXPECT_EQ(Hex(id->hashed_bucket_id()), c.expected);
    EXPECT_EQ(id->bit_length(), c.bits);
    EXPECT_EQ(id->hash_type(), c.hash_type);
  }
  auto refused = HashedBucketId::Create("x", -1, 2, context_.get());
  EXPECT_THAT(base::SourceLocationOf(refused.status()).value_or(""),
              StartsWith("privacy/private_membership/shutters/shared/hashed_bucket_id.cpp:"));
}

}  // namespace
}  // namespace private_membership::shutters

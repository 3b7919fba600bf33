#include "privacy/private_membership/common/crypto_utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/status.h"
#include "privacy/private_membership/common/aes_ctr_256_no_auth.h"
#include "privacy/private_membership/common/aes_ctr_256_with_fixed_iv.h"
#include "privacy/shutters/cpp/crypto/test_util.h"

namespace private_membership {
namespace {

using ::shutters::testing_util::Hex;
using ::shutters::testing_util::Unhex;
using ::testing::StartsWith;

constexpr const char* kHere = "privacy/private_membership/common/crypto_utils.cpp:";

// Either the hex of the result or the error's message.
template <class T>
std::string Outcome(const absl::StatusOr<T>& result) {
  if (!result.ok()) return std::string(result.status().message());
  if constexpr (std::is_same_v<T, std::string>) {
    return Hex(*result);
  } else {
    return "ok";
  }
}

const std::string k32 = Unhex("c3" + std::string(62, 'f'));

TEST(TruncateHash, KeepsTheLeadingBits) {
  struct Case {
    std::string bytes;
    std::int32_t bits;
    std::string expected;
  };
  const Case cases[] = {
      {Unhex("ffffff"), 14, "fffc"},
      {Unhex("ffffff"), 24, "ffffff"},
      {Unhex("ffffff"), 0, ""},
      {"", 0, ""},
      {k32, 256, Hex(k32)},
      {k32, 1, "80"},
      {k32, 2, "c0"},
      {k32, 3, "c0"},
      {k32, 257, "Truncation bit length out of bounds."},
      {k32, -1, "Truncation bit length out of bounds."},
      {"", 1, "Truncation bit length out of bounds."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bits);
    EXPECT_EQ(Outcome(TruncateHash(c.bytes, c.bits)), c.expected);
  }
  auto refused = TruncateHash(k32, 257);
  EXPECT_EQ(refused.status().code(), absl::StatusCode::kInvalidArgument);
  EXPECT_THAT(base::SourceLocationOf(refused.status()).value_or(""), StartsWith(kHere));
}

TEST(HashToBin, TakesLog2OfTheBinCountInBits) {
  struct Case {
    std::int32_t bins;
    std::string expected;
  };
  const Case cases[] = {
      {1, ""},
      {2, "80"},
      {4, "c0"},
      {8, "c0"},
      {1 << 30, "c3fffffc"},
      {3, "Number of bins that is not a power of 2 isn't supported."},
      {6, "Number of bins that is not a power of 2 isn't supported."},
      {0, "Number of bins must be greater than 0."},
      {-4, "Number of bins must be greater than 0."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bins);
    EXPECT_EQ(Outcome(HashToBin(k32, c.bins)), c.expected);
  }
  // Bins of a hash too short for them are refused, not read past.
  EXPECT_EQ(Outcome(HashToBin(Unhex("ff"), 512)), "Truncation bit length out of bounds.");
}

TEST(ReadLengthPrefixed, TakesTheLengthFromALittleEndianPrefix) {
  struct Case {
    const char* what;
    std::string plaintext;
    std::string expected;
  };
  const Case cases[] = {
      {"exact", Unhex("03000000616263"), "616263"},
      {"trailing bytes ignored", Unhex("020000006162636465"), "6162"},
      {"empty value", Unhex("00000000"), ""},
      {"no room for the length", Unhex("020000"), "Invalid bytes does not encode length."},
      {"shorter than claimed", Unhex("05000000616263"), "Incorrect bytes length."},
      {"length that wraps in 32 bits", Unhex("fdffffff61"), "Incorrect bytes length."},
      {"largest length", Unhex("ffffffff616263"), "Incorrect bytes length."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Outcome(ReadLengthPrefixed(c.plaintext)), c.expected);
  }
}

TEST(CreateCipherForScheme, KnowsTwoSchemesAndNeedsA32ByteKey) {
  const std::string key(32, 'k');
  EXPECT_NE(dynamic_cast<AesCtr256WithFixedIV*>(CreateCipherForScheme(1, key)->get()), nullptr);
  EXPECT_NE(dynamic_cast<AesCtr256NoAuth*>(CreateCipherForScheme(2, key)->get()), nullptr);
  for (std::int32_t scheme : {0, 3, -1}) {
    auto cipher = CreateCipherForScheme(scheme, key);
    EXPECT_EQ(cipher.status().code(), absl::StatusCode::kInvalidArgument);
    EXPECT_EQ(cipher.status().message(), "Unsupported encryption scheme: " + std::to_string(scheme));
  }
  for (std::int32_t scheme : {1, 2}) {
    EXPECT_FALSE(CreateCipherForScheme(scheme, std::string(31, 'k')).ok());
    EXPECT_FALSE(CreateCipherForScheme(scheme, std::string(33, 'k')).ok());
  }
}

class ValueDecryption : public ::testing::Test {
 protected:
  void SetUp() override { context_ = std::move(::shutters::Context::Create()).value(); }
  std::unique_ptr<::shutters::Context> context_;
};

TEST_F(ValueDecryption, KeyIsTheSha256OfThePrefixedBlindedId) {
  auto key = ComputeValueKey("blinded", context_.get());
  ASSERT_TRUE(key.ok()) << key.status();
  EXPECT_EQ(Hex(*key), "4f76e31d23cf4b55fa2b25471daea6ef69824f761c2a036c2459426715c3463a");
}

TEST_F(ValueDecryption, ReadsBothSchemes) {
  const std::string key = *ComputeValueKey("blinded", context_.get());
  auto fixed = *AesCtr256WithFixedIV::Create(key);
  auto random = *AesCtr256NoAuth::Create(key);
  struct Case {
    const char* what;
    std::int32_t scheme;
    std::string ciphertext;
    std::string expected;
  };
  const Case cases[] = {
      {"scheme 1", 1, *fixed->Encrypt(Unhex("0200000076316a756e6b")), "7631"},
      {"scheme 1, empty value", 1, *fixed->Encrypt(Unhex("00000000")), ""},
      {"scheme 2", 2, *random->Encrypt("v2"), "7632"},
      {"scheme 1 plaintext without length", 1, *fixed->Encrypt("abc"), "Invalid bytes does not encode length."},
      {"scheme 1 truncated value", 1, *fixed->Encrypt(Unhex("0500000061")), "Incorrect bytes length."},
      {"scheme 2 shorter than its IV", 2, "short", "Ciphertext is too short."},
      {"unknown scheme", 7, *random->Encrypt("v"), "Unsupported encryption scheme: 7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Outcome(DecryptValue("blinded", c.ciphertext, c.scheme, context_.get())), c.expected);
  }
  // Another blinded id gives another key.
  auto other = DecryptValue("other", *fixed->Encrypt(Unhex("0100000078")), 1, context_.get());
  EXPECT_NE(Outcome(other), "78");
}

}  // namespace
}  // namespace private_membership

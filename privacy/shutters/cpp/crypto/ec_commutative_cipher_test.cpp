#include "privacy/shutters/cpp/crypto/ec_commutative_cipher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "privacy/shutters/cpp/crypto/test_util.h"

namespace shutters {
namespace {

using ::testing::StartsWith;

constexpr int kP256 = 415;

std::unique_ptr<ECCommutativeCipher> NewCipher(int hash_type = ECCommutativeCipher::SHA256) {
  return std::move(ECCommutativeCipher::CreateWithRandomKey(kP256, hash_type)).value();
}

TEST(ECCommutativeCipher, CreationChecksTheCurveThenTheHashType) {
  struct Case {
    int curve_id;
    int hash_type;
    std::string message_start;
  } cases[] = {
      {kP256, 4, "Invalid hash type."},
      {kP256, -1, "Invalid hash type."},
      {0, 0, "ECGroup::CreateGroup() - Could not create group. "},
      {0, 9, "ECGroup::CreateGroup() - Could not create group. "},
  };
  for (const Case& c : cases) {
    const absl::Status status = ECCommutativeCipher::CreateWithRandomKey(c.curve_id, c.hash_type).status();
    EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument) << c.curve_id << "/" << c.hash_type;
    EXPECT_THAT(std::string(status.message()), StartsWith(c.message_start));
  }
  for (int hash_type = 0; hash_type <= 3; ++hash_type) {
    EXPECT_TRUE(ECCommutativeCipher::CreateWithRandomKey(kP256, hash_type).ok()) << hash_type;
  }
}

TEST(ECCommutativeCipher, EncryptionIsDeterministicPerKeyOnly) {
  auto first = NewCipher();
  auto second = NewCipher();
  const std::string once = first->Encrypt("user@example.com").value();
  EXPECT_EQ(once.size(), 33u);
  EXPECT_EQ(first->Encrypt("user@example.com").value(), once);
  EXPECT_NE(second->Encrypt("user@example.com").value(), once);
  EXPECT_EQ(first->Encrypt("").value().size(), 33u);
}

TEST(ECCommutativeCipher, DecryptUndoesEncryptForEveryHashType) {
  std::unique_ptr<Context> context = std::move(Context::Create()).value();
  ECGroup group = std::move(ECGroup::Create(kP256, context.get())).value();
  for (int hash_type = 0; hash_type <= 3; ++hash_type) {
    auto cipher = NewCipher(hash_type);
    for (const char* message : {"", "abc", "+15551234567"}) {
      absl::StatusOr<ECPoint> hashed = hash_type == 0   ? group.HashToCurveSha256(message)
                                       : hash_type == 1 ? group.HashToCurveSha384(message)
                                       : hash_type == 2 ? group.HashToCurveSha512(message)
                                                        : group.HashToCurveSswuRo(message, "ECCommutativeCipher");
      const std::string ciphertext = cipher->Encrypt(message).value();
      EXPECT_EQ(cipher->Decrypt(ciphertext).value(), hashed.value().ToCompressedBytes().value())
          << hash_type << " '" << message << "'";
    }
  }
}

// The property the membership client relies on: the server blinds the
// client's value with its own key, the client removes its key, and what is
// left is the value blinded by the server's key alone.
TEST(ECCommutativeCipher, KeysCommute) {
  std::unique_ptr<Context> context = std::move(Context::Create()).value();
  ECGroup group = std::move(ECGroup::Create(kP256, context.get())).value();
  const BigNum server_key = group.GenerateRandomScalar().value();
  auto client = NewCipher();

  const std::string client_blinded = client->Encrypt("identifier").value();
  const std::string doubly_blinded =
      group.CreateECPoint(client_blinded).value().Multiply(server_key).value().ToCompressedBytes().value();
  const std::string server_blinded =
      group.HashToCurveSha256("identifier").value().Multiply(server_key).value().ToCompressedBytes().value();
  EXPECT_EQ(client->Decrypt(doubly_blinded).value(), server_blinded);

  // Removing two keys in either order gives the same point.
  auto other = NewCipher();
  EXPECT_EQ(client->Decrypt(other->Decrypt(doubly_blinded).value()).value(),
            other->Decrypt(client->Decrypt(doubly_blinded).value()).value());
}

TEST(ECCommutativeCipher, BadCiphertextsAreRefused) {
  auto cipher = NewCipher();
  const std::string valid = cipher->Encrypt("abc").value();
  const std::string no_point_x = std::string(1, '\x02') + std::string(31, '\0') + "\x01";
  for (const std::string& bytes : {no_point_x, valid.substr(0, 20), valid + valid}) {
    const absl::Status status = cipher->Decrypt(bytes).status();
    EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument);
    EXPECT_THAT(std::string(status.message()), StartsWith("ECGroup::CreateECPoint(string) - Could not decode point."));
  }
  const absl::Status infinity = cipher->Decrypt(std::string(1, '\0')).status();
  EXPECT_EQ(infinity.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(infinity.message(), "ECGroup::CreateECPoint(string) - Decoded point is not valid.");
}

}  // namespace
}  // namespace shutters

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <string>

#include "base/status.h"
#include "privacy/private_membership/common/aes_ctr_256_no_auth.h"
#include "privacy/private_membership/common/aes_ctr_256_with_fixed_iv.h"

namespace private_membership {
namespace {

using ::testing::StartsWith;

std::string Unhex(std::string_view hex) {
  std::string out;
  auto value = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(value(hex[i]) * 16 + value(hex[i + 1])));
  }
  return out;
}

// NIST SP 800-38A, F.5.5 and F.5.6.
const std::string kKey = Unhex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
const std::string kCounterBlock = Unhex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
const std::string kPlaintext = Unhex(
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e5130c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b1"
    "7ad2b417be66c3710");
const std::string kCiphertext = Unhex(
    "601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c52b0930daa23de94ce87017ba2d84988ddfc9c58db67aada"
    "613c2dd08457941a6");

// AES-256 of single blocks, independent of counter mode.
std::string AesBlock(const std::string& key, const std::string& block) {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  std::string out(16, '\0');
  int length = 0;
  EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                     nullptr);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  EVP_EncryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &length,
                    reinterpret_cast<const unsigned char*>(block.data()), 16);
  return out;
}

std::string Xor(std::string a, const std::string& b) {
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<char>(a[i] ^ b[i]);
  return a;
}

TEST(AesCtr256, KeysMustBe32Bytes) {
  for (std::size_t size : {0, 16, 31, 33, 64}) {
    for (const absl::Status& status : {AesCtr256NoAuth::Create(std::string(size, 'k')).status(),
                                       AesCtr256WithFixedIV::Create(std::string(size, 'k')).status()}) {
      EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument) << size;
      EXPECT_EQ(status.message(), "Key size is invalid.") << size;
    }
  }
  std::unique_ptr<Cipher> cipher = std::move(AesCtr256NoAuth::Create(kKey)).value();
  EXPECT_NE(cipher, nullptr);
}

TEST(AesCtr256, NoAuthDecryptsTheNistVector) {
  auto cipher = std::move(AesCtr256NoAuth::Create(kKey)).value();
  EXPECT_EQ(cipher->Decrypt(kCounterBlock + kCiphertext).value(), kPlaintext);
  EXPECT_EQ(cipher->Decrypt(kCounterBlock + kCiphertext.substr(0, 20)).value(), kPlaintext.substr(0, 20));
}

TEST(AesCtr256, NoAuthRoundTripsWithAFreshIvEachTime) {
  auto cipher = std::move(AesCtr256NoAuth::Create(kKey)).value();
  for (std::size_t size : {0, 1, 15, 16, 17, 64, 1000}) {
    const std::string plaintext(size, 'p');
    const std::string first = cipher->Encrypt(plaintext).value();
    const std::string second = cipher->Encrypt(plaintext).value();
    ASSERT_EQ(first.size(), size + 16);
    EXPECT_NE(first.substr(0, 16), second.substr(0, 16)) << size;
    EXPECT_EQ(cipher->Decrypt(first).value(), plaintext) << size;
    EXPECT_EQ(cipher->Decrypt(second).value(), plaintext) << size;
  }
}

TEST(AesCtr256, NoAuthRefusesShortAndNullCiphertexts) {
  auto cipher = std::move(AesCtr256NoAuth::Create(kKey)).value();
  const absl::Status short_status = cipher->Decrypt(std::string(15, 'c')).status();
  EXPECT_EQ(short_status.code(), absl::StatusCode::kInternal);
  EXPECT_EQ(short_status.message(), "Ciphertext is too short.");
  EXPECT_THAT(base::SourceLocationOf(short_status).value_or(""),
              StartsWith("privacy/private_membership/common/aes_ctr_256_no_auth.cpp:"));
  EXPECT_EQ(cipher->Decrypt(std::string(16, 'c')).value(), "");
  const absl::Status null_status = cipher->Decrypt(std::string_view()).status();
  EXPECT_EQ(null_status.code(), absl::StatusCode::kInternal);
  EXPECT_EQ(null_status.message(), "Invalid null ciphertext.");
}

TEST(AesCtr256, FixedIvIsCounterModeFromTheZeroBlock) {
  auto cipher = std::move(AesCtr256WithFixedIV::Create(kKey)).value();
  const std::string ciphertext = cipher->Encrypt(kPlaintext).value();
  EXPECT_EQ(ciphertext.size(), kPlaintext.size());
  EXPECT_EQ(cipher->Encrypt(kPlaintext).value(), ciphertext);
  EXPECT_EQ(cipher->Decrypt(ciphertext).value(), kPlaintext);

  // Keystream blocks are AES of the counters 0, 1, 2, ...
  std::string counter(16, '\0');
  std::string expected;
  for (int block = 0; block < 4; ++block) {
    counter[15] = static_cast<char>(block);
    expected += Xor(kPlaintext.substr(16 * block, 16), AesBlock(kKey, counter));
  }
  EXPECT_EQ(ciphertext, expected);

  // Both ciphers agree when the random-IV one is handed the zero block.
  auto no_auth = std::move(AesCtr256NoAuth::Create(kKey)).value();
  EXPECT_EQ(no_auth->Decrypt(std::string(16, '\0') + ciphertext).value(), kPlaintext);
}

TEST(AesCtr256, TheWholeCounterBlockWrapsAround) {
  auto cipher = std::move(AesCtr256NoAuth::Create(kKey)).value();
  const std::string all_ones(16, '\xff');
  const std::string zeros(32, '\0');
  // Decrypting zeros yields the keystream: AES(ff..ff), then AES(00..00).
  EXPECT_EQ(cipher->Decrypt(all_ones + zeros).value(),
            AesBlock(kKey, all_ones) + AesBlock(kKey, std::string(16, '\0')));
}

TEST(AesCtr256, FixedIvAcceptsEmptyButNotNullCiphertexts) {
  auto cipher = std::move(AesCtr256WithFixedIV::Create(kKey)).value();
  EXPECT_EQ(cipher->Decrypt("").value(), "");
  EXPECT_EQ(cipher->Encrypt("").value(), "");
  const absl::Status null_status = cipher->Decrypt(std::string_view()).status();
  EXPECT_EQ(null_status.code(), absl::StatusCode::kInternal);
  EXPECT_EQ(null_status.message(), "Invalid null ciphertext.");
  EXPECT_THAT(base::SourceLocationOf(null_status).value_or(""),
              StartsWith("privacy/private_membership/common/aes_ctr_256_with_fixed_iv.cpp:"));
}

}  // namespace
}  // namespace private_membership

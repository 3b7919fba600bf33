#include "privacy/shutters/cpp/crypto/hash_to_curve.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/obj_mac.h>

#include "privacy/shutters/cpp/crypto/test_util.h"

namespace shutters {
namespace {

using testing_util::Hex;

constexpr char kP256Dst[] = "QUUX-V01-CS02-with-P256_XMD:SHA-256_SSWU_RO_";
constexpr char kP384Dst[] = "QUUX-V01-CS02-with-P384_XMD:SHA-384_SSWU_RO_";

std::string BnHex(const BIGNUM* bn) {
  char* text = BN_bn2hex(bn);
  std::string out(text);
  OPENSSL_free(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// RFC 9380, K.1: expand_message_xmd with SHA-256.
TEST(HashToCurve, ExpandMessageXmdMatchesTheRfcVectors) {
  struct Case {
    const char* msg;
    std::size_t length;
    const char* uniform_bytes;
  } cases[] = {
      {"", 0x20, "68a985b87eb6b46952128911f2a4412bbc302a9d759667f87f7a21d803f07235"},
      {"abc", 0x20, "d8ccab23b5985ccea865c6c97b6e5b8350e794e603b4b97902f53a8a0d605615"},
      {"abcdef0123456789", 0x20, "eff31487c770a893cfb36f912fbfcbff40d5661771ca4b2cb4eafe524333f5c1"},
      {"", 0x80,
       "af84c27ccfd45d41914fdff5df25293e221afc53d8ad2ac06d5e3e29485dadbee0d121587713a3e0dd4d5e69e93eb7cd4f5df4cd"
       "103e188cf60cb02edc3edf18eda8576c412b18ffb658e3dd6ec849469b979d444cf7b26911a08e63cf31f9dcc541708d34911844"
       "72c2c29bb749d4286b004ceb5ee6b9a7fa5b646c993f0ced"},
  };
  for (const Case& c : cases) {
    absl::StatusOr<std::string> bytes =
        internal::ExpandMessageXmd(EVP_sha256(), c.msg, "QUUX-V01-CS02-with-expander-SHA256-128", c.length);
    ASSERT_TRUE(bytes.ok()) << bytes.status();
    EXPECT_EQ(Hex(*bytes), c.uniform_bytes) << c.msg << " " << c.length;
  }
}

TEST(HashToCurve, ExpandMessageXmdRefusesWhatTheRfcForbids) {
  EXPECT_EQ(internal::ExpandMessageXmd(EVP_sha256(), "abc", "", 32).status().code(),
            absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(internal::ExpandMessageXmd(EVP_sha256(), "abc", "tag", 255 * 32 + 1).status().code(),
            absl::StatusCode::kInvalidArgument);
  EXPECT_TRUE(internal::ExpandMessageXmd(EVP_sha256(), "abc", "tag", 255 * 32).ok());
  // Tags longer than 255 bytes are hashed first instead of being refused.
  const std::string long_tag(300, 't');
  EXPECT_TRUE(internal::ExpandMessageXmd(EVP_sha256(), "abc", long_tag, 32).ok());
}

// RFC 9380, J.1.1 and J.3.1.
TEST(HashToCurve, SuitesMatchTheRfcVectors) {
  struct Case {
    int nid;
    const char* msg;
    const char* x;
    const char* y;
  } cases[] = {
      {NID_X9_62_prime256v1, "", "2c15230b26dbc6fc9a37051158c95b79656e17a1a920b11394ca91c44247d3e4",
       "8a7a74985cc5c776cdfe4b1f19884970453912e9d31528c060be9ab5c43e8415"},
      {NID_X9_62_prime256v1, "abc", "0bb8b87485551aa43ed54f009230450b492fead5f1cc91658775dac4a3388a0f",
       "5c41b3d0731a27a7b14bc0bf0ccded2d8751f83493404c84a88e71ffd424212e"},
      {NID_X9_62_prime256v1, "abcdef0123456789", "65038ac8f2b1def042a5df0b33b1f4eca6bff7cb0f9c6c1526811864e544ed80",
       "cad44d40a656e7aff4002a8de287abc8ae0482b5ae825822bb870d6df9b56ca3"},
      {NID_secp384r1, "",
       "eb9fe1b4f4e14e7140803c1d99d0a93cd823d2b024040f9c067a8eca1f5a2eeac9ad604973527a356f3fa3aeff0e4d83",
       "0c21708cff382b7f4643c07b105c2eaec2cead93a917d825601e63c8f21f6abd9abc22c93c2bed6f235954b25048bb1a"},
      {NID_secp384r1, "abc",
       "e02fc1a5f44a7519419dd314e29863f30df55a514da2d655775a81d413003c4d4e7fd59af0826dfaad4200ac6f60abe1",
       "01f638d04d98677d65bef99aef1a12a70a4cbb9270ec55248c04530d8bc1f8f90f8a6a859a7c1f1ddccedf8f96d675f6"},
  };
  BnCtxPtr ctx(BN_CTX_new());
  for (const Case& c : cases) {
    EcGroupPtr group(EC_GROUP_new_by_curve_name(c.nid));
    EcPointPtr point(EC_POINT_new(group.get()));
    const absl::Status status =
        c.nid == NID_secp384r1
            ? HashToCurveP384XmdSha384Sswu(group.get(), point.get(), kP384Dst, c.msg, ctx.get())
            : HashToCurveP256XmdSha256Sswu(group.get(), point.get(), kP256Dst, c.msg, ctx.get());
    ASSERT_TRUE(status.ok()) << status;
    BignumPtr x(BN_new()), y(BN_new());
    ASSERT_EQ(EC_POINT_get_affine_coordinates(group.get(), point.get(), x.get(), y.get(), ctx.get()), 1);
    EXPECT_EQ(BnHex(x.get()), c.x) << c.nid << " '" << c.msg << "'";
    EXPECT_EQ(BnHex(y.get()), c.y) << c.nid << " '" << c.msg << "'";
  }
}

TEST(HashToCurve, FieldElementsMatchTheRfcVectors) {
  struct Case {
    const char* msg;
    const char* u0;
    const char* u1;
  } cases[] = {
      {"", "ad5342c66a6dd0ff080df1da0ea1c04b96e0330dd89406465eeba11582515009",
       "8c0f1d43204bd6f6ea70ae8013070a1518b43873bcd850aafa0a9e220e2eea5a"},
      {"abc", "afe47f2ea2b10465cc26ac403194dfb68b7f5ee865cda61e9f3e07a537220af1",
       "379a27833b0bfe6f7bdca08e1e83c760bf9a338ab335542704edcd69ce9e46e0"},
  };
  BnCtxPtr ctx(BN_CTX_new());
  EcGroupPtr group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  for (const Case& c : cases) {
    absl::StatusOr<std::vector<BignumPtr>> u = internal::HashToField(group.get(), c.msg, kP256Dst, ctx.get());
    ASSERT_TRUE(u.ok()) << u.status();
    EXPECT_EQ(BnHex((*u)[0].get()), c.u0);
    EXPECT_EQ(BnHex((*u)[1].get()), c.u1);
  }
}

TEST(HashToCurve, RefusesAGroupOfAnotherSuiteAndAnEmptyTag) {
  BnCtxPtr ctx(BN_CTX_new());
  EcGroupPtr p384(EC_GROUP_new_by_curve_name(NID_secp384r1));
  EcPointPtr point(EC_POINT_new(p384.get()));
  EXPECT_EQ(HashToCurveP256XmdSha256Sswu(p384.get(), point.get(), kP256Dst, "abc", ctx.get()).code(),
            absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(HashToCurveP384XmdSha384Sswu(p384.get(), point.get(), "", "abc", ctx.get()).code(),
            absl::StatusCode::kInvalidArgument);
}

}  // namespace
}  // namespace shutters

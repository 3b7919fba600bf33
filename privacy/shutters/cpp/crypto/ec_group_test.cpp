#include "privacy/shutters/cpp/crypto/ec_group.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/status.h"
#include "privacy/shutters/cpp/crypto/test_util.h"

namespace shutters {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using testing_util::Hex;
using testing_util::Unhex;

constexpr int kP256 = 415;
constexpr int kP384 = 715;

class ECGroupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    context_ = std::move(Context::Create()).value();
    group_.emplace(std::move(ECGroup::Create(kP256, context_.get())).value());
  }
  std::string Compressed(const absl::StatusOr<ECPoint>& point) { return point.value().ToCompressedBytes().value(); }

  std::unique_ptr<Context> context_;
  std::optional<ECGroup> group_;
};

TEST_F(ECGroupTest, CreationCachesTheCurveAndRefusesUnknownCurves) {
  EXPECT_EQ(group_->GetPrime().BitLength(), 256);
  EXPECT_EQ(group_->GetOrder().BitLength(), 256);
  EXPECT_TRUE(group_->GetCofactor().IsOne());
  EXPECT_EQ(group_->GetCurveId(), kP256);

  absl::StatusOr<ECGroup> p384 = ECGroup::Create(kP384, context_.get());
  ASSERT_TRUE(p384.ok()) << p384.status();
  EXPECT_EQ(p384->GetPrime().BitLength(), 384);

  for (int curve_id : {0, 1, -5}) {
    const absl::Status status = ECGroup::Create(curve_id, context_.get()).status();
    EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument) << curve_id;
    EXPECT_THAT(std::string(status.message()), StartsWith("ECGroup::CreateGroup() - Could not create group. "));
    EXPECT_TRUE(base::SourceLocationOf(status).has_value());
  }
}

// The try-and-increment hash against the vectors derived for this project.
TEST_F(ECGroupTest, HashToCurveSha256MatchesTheKnownAnswers) {
  EXPECT_EQ(Hex(Compressed(group_->HashToCurveSha256(""))),
            "026b51b9d722460e1f8073e65a824ebe2282f2d7d945491f150c1c04e6e553bb23");
  EXPECT_EQ(Hex(Compressed(group_->HashToCurveSha256("abc"))),
            "024a7bcb50c5b44beff90f58600a36aab7c4f606587ed715496be543139bf899a5");
}

TEST_F(ECGroupTest, OracleHashesAreDeterministicWithAnEvenY) {
  std::unique_ptr<Context> other_context = std::move(Context::Create()).value();
  ECGroup other = std::move(ECGroup::Create(kP256, other_context.get())).value();
  for (const char* message : {"", "a", "someone@example.com", "+15551234567"}) {
    const std::string sha256 = Compressed(group_->HashToCurveSha256(message));
    const std::string sha384 = Compressed(group_->HashToCurveSha384(message));
    const std::string sha512 = Compressed(group_->HashToCurveSha512(message));
    EXPECT_EQ(sha256, Compressed(other.HashToCurveSha256(message)));
    EXPECT_EQ(sha512, Compressed(other.HashToCurveSha512(message)));
    for (const std::string& point : {sha256, sha384, sha512}) {
      ASSERT_EQ(point.size(), 33u);
      EXPECT_EQ(point[0], '\x02') << message;
    }
    EXPECT_NE(sha256, sha384);
    EXPECT_NE(sha384, sha512);
  }
}

TEST_F(ECGroupTest, SswuHashFollowsTheCurve) {
  EXPECT_EQ(Hex(Compressed(group_->HashToCurveSswuRo("abc", "QUUX-V01-CS02-with-P256_XMD:SHA-256_SSWU_RO_"))),
            "020bb8b87485551aa43ed54f009230450b492fead5f1cc91658775dac4a3388a0f");
  ECGroup p384 = std::move(ECGroup::Create(kP384, context_.get())).value();
  EXPECT_EQ(Hex(Compressed(p384.HashToCurveSswuRo("", "QUUX-V01-CS02-with-P384_XMD:SHA-384_SSWU_RO_"))),
            "02eb9fe1b4f4e14e7140803c1d99d0a93cd823d2b024040f9c067a8eca1f5a2eeac9ad604973527a356f3fa3aeff0e4d83");
  ECGroup k256 = std::move(ECGroup::Create(714, context_.get())).value();  // secp256k1
  const absl::Status unsupported = k256.HashToCurveSswuRo("abc", "tag").status();
  EXPECT_EQ(unsupported.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(unsupported.message(), "Curve does not support HashToCurveSswuRo.");
}

TEST_F(ECGroupTest, PointsRoundTripThroughTheirEncodings) {
  const ECPoint point = group_->HashToCurveSha256("round trip").value();
  const std::string compressed = point.ToCompressedBytes().value();
  EXPECT_EQ(Compressed(group_->CreateECPoint(compressed)), compressed);

  std::unique_ptr<EC_GROUP, EcGroupDeleter> raw(EC_GROUP_new_by_curve_name(kP256));
  std::string uncompressed(65, '\0');
  ASSERT_EQ(EC_POINT_point2oct(raw.get(), point.GetECPoint(), POINT_CONVERSION_UNCOMPRESSED,
                               reinterpret_cast<unsigned char*>(uncompressed.data()), 65, nullptr),
            65u);
  EXPECT_EQ(Compressed(group_->CreateECPoint(uncompressed)), compressed);
}

TEST_F(ECGroupTest, BadEncodingsAreRefused) {
  const std::string compressed = Compressed(group_->HashToCurveSha256("valid"));
  std::string hybrid(65, '\0');
  std::unique_ptr<EC_GROUP, EcGroupDeleter> raw(EC_GROUP_new_by_curve_name(kP256));
  ASSERT_EQ(EC_POINT_point2oct(raw.get(), group_->CreateECPoint(compressed)->GetECPoint(), POINT_CONVERSION_HYBRID,
                               reinterpret_cast<unsigned char*>(hybrid.data()), 65, nullptr),
            65u);
  std::string off_curve = Unhex("04") + std::string(64, '\x01');
  const std::string no_point_x = Unhex("02") + std::string(31, '\0') + "\x01";

  struct Case {
    std::string name;
    std::string bytes;
    std::string message_start;
  } cases[] = {
      {"empty", "", "ECGroup::CreateECPoint(string) - Could not decode point.\n"},
      {"short", compressed.substr(0, 32), "ECGroup::CreateECPoint(string) - Could not decode point.\n"},
      {"long", compressed + "x", "ECGroup::CreateECPoint(string) - Could not decode point.\n"},
      {"bad prefix", "\x05" + compressed.substr(1), "ECGroup::CreateECPoint(string) - Could not decode point.\n"},
      {"x without a point", no_point_x, "ECGroup::CreateECPoint(string) - Could not decode point.\n"},
      {"off the curve", off_curve, "ECGroup::CreateECPoint(string) - Could not decode point.\n"},
      {"hybrid", hybrid, "ECGroup::CreateECPoint(string) - Could not decode point.\n"},
      {"infinity", std::string(1, '\0'), "ECGroup::CreateECPoint(string) - Decoded point is not valid."},
  };
  for (const Case& c : cases) {
    const absl::Status status = group_->CreateECPoint(c.bytes).status();
    EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument) << c.name;
    EXPECT_THAT(std::string(status.message()), StartsWith(c.message_start)) << c.name;
  }

  const absl::Status off = group_->CreateECPoint(context_->One(), context_->One()).status();
  EXPECT_EQ(off.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(off.message(), "ECGroup::CreateECPoint(x,y) - The point is not valid.");
}

TEST_F(ECGroupTest, ScalarMultiplication) {
  const ECPoint point = group_->HashToCurveSha256("multiply").value();
  EXPECT_EQ(Compressed(point.Multiply(context_->One())), point.ToCompressedBytes().value());
  EXPECT_TRUE(point.Multiply(group_->GetOrder()).value().IsAtInfinity());
  EXPECT_TRUE(group_->GetPointAtInfinity().value().IsAtInfinity());
  EXPECT_TRUE(point.IsOnCurve());

  const BigNum a = group_->GenerateRandomScalar().value();
  const BigNum b = group_->GenerateRandomScalar().value();
  EXPECT_FALSE(a.IsZero());
  EXPECT_TRUE(a < group_->GetOrder());
  EXPECT_EQ(Compressed(point.Multiply(a).value().Multiply(b)), Compressed(point.Multiply(b).value().Multiply(a)));
}

}  // namespace
}  // namespace shutters

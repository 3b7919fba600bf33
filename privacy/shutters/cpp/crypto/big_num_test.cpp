#include "privacy/shutters/cpp/crypto/big_num.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "privacy/shutters/cpp/crypto/context.h"
#include "privacy/shutters/cpp/crypto/test_util.h"

namespace shutters {
namespace {

using ::testing::HasSubstr;
using testing_util::Hex;

class BigNumTest : public ::testing::Test {
 protected:
  void SetUp() override { context_ = std::move(Context::Create()).value(); }
  BigNum Num(std::uint64_t value) { return context_->CreateBigNum(value).value(); }

  std::unique_ptr<Context> context_;
};

TEST_F(BigNumTest, BytesAreMinimalBigEndianAndNegativesAreRefused) {
  EXPECT_EQ(Num(0).ToBytes().value(), "");
  EXPECT_EQ(Num(256).ToBytes().value(), std::string("\x01\x00", 2));
  EXPECT_EQ(context_->CreateBigNum(std::string_view("\x00\x00\x05", 3)).value(), Num(5));
  const absl::StatusOr<std::string> negative = Num(3).Sub(Num(5)).value().ToBytes();
  EXPECT_EQ(negative.status().code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(negative.status().message(), "Cannot serialize a negative BigNum.");
}

TEST_F(BigNumTest, DivisionIsExact) {
  EXPECT_EQ(Num(12).Div(Num(4)).value(), Num(3));
  const absl::Status truncated = Num(10).Div(Num(4)).status();
  EXPECT_EQ(truncated.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(truncated.message(), "Use DivAndTruncate() instead of Div() if you want truncated division.");
  EXPECT_EQ(Num(10).Div(Num(0)).status().code(), absl::StatusCode::kInternal);
}

TEST_F(BigNumTest, NegateModStaysInRange) {
  struct Case {
    std::uint64_t value, modulus, expected;
  } cases[] = {{0, 7, 0}, {3, 7, 4}, {10, 7, 4}, {7, 7, 0}, {14, 7, 0}, {6, 7, 1}};
  for (const Case& c : cases) {
    EXPECT_EQ(Num(c.value).NegateMod(Num(c.modulus)).value(), Num(c.expected)) << c.value << " mod " << c.modulus;
  }
}

TEST_F(BigNumTest, ModularArithmetic) {
  EXPECT_EQ(Num(3).ModExp(Num(4), Num(7)).value(), Num(4));  // 81 mod 7
  const absl::Status negative = Num(3).ModExp(Num(0).Sub(Num(1)).value(), Num(7)).status();
  EXPECT_EQ(negative.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(negative.message(), "Cannot use a negative exponent in BigNum ModExp.");
  const BigNum root = Num(2).ModSqrt(Num(7)).value();  // 3 or 4
  EXPECT_EQ(root.Mul(root).value().ReduceMod(Num(7)).value(), Num(2));
  EXPECT_EQ(Num(3).ModSqrt(Num(7)).status().code(), absl::StatusCode::kInternal);  // not a square
  EXPECT_EQ(Num(0).Sub(Num(3)).value().ReduceMod(Num(7)).value(), Num(4));
  EXPECT_EQ(Num(12).Gcd(Num(18)).value(), Num(6));
  EXPECT_EQ(Num(2).Exp(Num(10)).value(), Num(1024));
  EXPECT_EQ(Num(5).LShift(3).value(), Num(40));
  EXPECT_EQ(Num(40).RShift(4).value(), Num(2));
  EXPECT_TRUE(Num(5).IsBitSet(2) && !Num(5).IsBitSet(1));
  EXPECT_EQ(Num(9).BitLength(), 4);
  EXPECT_EQ(Num(4).Compare(Num(9)), -1);
}

TEST_F(BigNumTest, PrimalityUsesEnoughRounds) {
  EXPECT_EQ(BigNum::MillerRabinIterations(1e-40), 67);
  // 2^61 - 1 is prime, 2^61 + 1 is divisible by 3.
  EXPECT_TRUE(Num((std::uint64_t{1} << 61) - 1).IsPrime(1e-40).value());
  EXPECT_FALSE(Num((std::uint64_t{1} << 61) + 1).IsPrime(1e-40).value());
}

TEST_F(BigNumTest, RandomNumbersStayInTheirRange) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const BigNum r = context_->RandomInRange(Num(5), Num(8)).value();
    ASSERT_FALSE(r < Num(5));
    ASSERT_TRUE(r < Num(8));
    seen.insert(r.ToBytes().value());
  }
  EXPECT_EQ(seen.size(), 3u);
  EXPECT_EQ(context_->RandomInRange(Num(1), Num(1)).status().code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(context_->RandomBelow(Num(0)).status().code(), absl::StatusCode::kInvalidArgument);

  EXPECT_EQ(context_->RandomBytes(16).value().size(), 16u);
  EXPECT_EQ(context_->RandomBytes(0).value(), "");
  EXPECT_EQ(context_->RandomBytes(-2).status().message(), "num_bytes must be nonnegative, provided value was -2.");

  for (int i = 0; i < 20; ++i) {
    EXPECT_TRUE(context_->RandomCoprimeBelow(Num(12)).value().Gcd(Num(12)).value().IsOne());
  }
}

TEST_F(BigNumTest, OracleHashIsAFunctionOfItsInputsOnly) {
  std::unique_ptr<Context> other = std::move(Context::Create()).value();
  const BigNum max = Num(1'000'000'007);
  for (int hash_type : {0, 1, 2}) {
    const BigNum first = context_->OracleHash("identifier", max, hash_type).value();
    EXPECT_EQ(first, other->OracleHash("identifier", max, hash_type).value()) << hash_type;
    EXPECT_TRUE(first < max);
    EXPECT_NE(first, context_->OracleHash("identifier2", max, hash_type).value()) << hash_type;
  }
  EXPECT_NE(context_->OracleHashSha256("identifier", max).value(),
            context_->OracleHashSha512("identifier", max).value());
  EXPECT_EQ(context_->OracleHash("x", max, 7).value(), context_->OracleHashSha256("x", max).value());
  EXPECT_EQ(context_->OracleHash("anything", Num(1), 0).value(), Num(0));

  const BigNum huge = Num(1).LShift(130000).value();
  const absl::Status too_long = context_->OracleHashSha256("x", huge).status();
  EXPECT_EQ(too_long.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_THAT(std::string(too_long.message()),
              HasSubstr("The domain bit length must not be greater than 130048. Desired bit length: 130257"));
  EXPECT_EQ(context_->OracleHashSha256("x", Num(0)).status().code(), absl::StatusCode::kInvalidArgument);
}

TEST_F(BigNumTest, DigestsMatchPublishedValues) {
  // FIPS 180-4 examples for "abc"; the context's one digest context is reused.
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(Hex(context_->DigestSha256("abc").value()),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Hex(context_->DigestSha384("abc").value()),
              "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7");
    EXPECT_EQ(Hex(context_->DigestSha512("abc").value()),
              "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
              "454d4423643ce80e2a9ac94fa54ca49f");
  }
}

}  // namespace
}  // namespace shutters

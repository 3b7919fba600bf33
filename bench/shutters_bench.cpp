// What commutative blinding costs: one encryption of a 64-byte identifier
// (hash to P-256, then multiply by the key) beside OpenSSL's bare
// EC_POINT_mul of a point by a scalar on the same curve, the floor no
// encryption can go below; and the two hashes to the curve on their own.
// Each figure is the median over several runs, in microseconds per call.
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "privacy/shutters/cpp/crypto/ec_commutative_cipher.h"
#include "privacy/shutters/cpp/crypto/ec_group.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCalls = 2000;
constexpr int kRuns = 5;

void report(const char* name, double value, const char* unit) {
  std::printf("%s %.3f %s\n", name, value, unit);
  std::fflush(stdout);
}

// Identifiers as the membership client blinds them: two 32-byte hashes.
std::vector<std::string> makeIdentifiers() {
  std::vector<std::string> ids;
  for (int i = 0; i < kCalls; ++i) {
    std::string id(64, '\0');
    for (std::size_t b = 0; b < id.size(); ++b) id[b] = static_cast<char>((i * 131 + b * 17) & 0xff);
    ids.push_back(std::move(id));
  }
  return ids;
}

template <typename Body>
double microsecondsPerCall(Body body) {
  std::vector<double> runs;
  for (int run = 0; run < kRuns; ++run) {
    const auto start = Clock::now();
    for (int i = 0; i < kCalls; ++i) body(i);
    runs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kCalls);
  }
  std::sort(runs.begin(), runs.end());
  return runs[runs.size() / 2];
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "shutters_bench: %s failed\n", what);
  std::exit(1);
}

}  // namespace

int main() {
  const std::vector<std::string> ids = makeIdentifiers();

  auto cipher = shutters::ECCommutativeCipher::CreateWithRandomKey(NID_X9_62_prime256v1,
                                                                  shutters::ECCommutativeCipher::SHA256);
  if (!cipher.ok()) fail("cipher creation");
  const double encrypt = microsecondsPerCall([&](int i) {
    if (!(*cipher)->Encrypt(ids[i]).ok()) fail("Encrypt");
  });

  // The floor: a point times a random scalar, straight through OpenSSL.
  EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1);
  BN_CTX* bn_ctx = BN_CTX_new();
  BIGNUM* scalar = BN_new();
  EC_POINT* point = EC_POINT_new(group);
  EC_POINT* result = EC_POINT_new(group);
  if (group == nullptr || bn_ctx == nullptr || scalar == nullptr || point == nullptr || result == nullptr ||
      BN_rand_range(scalar, EC_GROUP_get0_order(group)) != 1 ||
      EC_POINT_mul(group, point, scalar, nullptr, nullptr, bn_ctx) != 1 ||
      BN_rand_range(scalar, EC_GROUP_get0_order(group)) != 1) {
    fail("OpenSSL setup");
  }
  const double point_mul = microsecondsPerCall([&](int) {
    if (EC_POINT_mul(group, result, nullptr, point, scalar, bn_ctx) != 1) fail("EC_POINT_mul");
  });

  auto context = shutters::Context::Create();
  if (!context.ok()) fail("context");
  auto ec_group = shutters::ECGroup::Create(NID_X9_62_prime256v1, context->get());
  if (!ec_group.ok()) fail("group");
  const double hash_sha256 = microsecondsPerCall([&](int i) {
    if (!ec_group->HashToCurveSha256(ids[i]).ok()) fail("HashToCurveSha256");
  });
  const double hash_sswu = microsecondsPerCall([&](int i) {
    if (!ec_group->HashToCurveSswuRo(ids[i], shutters::ECCommutativeCipher::kSswuDst).ok()) {
      fail("HashToCurveSswuRo");
    }
  });

  report("ec_commutative_encrypt_p256", encrypt, "us");
  report("ec_point_mul_p256_floor", point_mul, "us");
  report("ec_commutative_encrypt_over_point_mul", encrypt / point_mul, "ratio");
  report("hash_to_curve_p256_sha256_try_and_increment", hash_sha256, "us");
  report("hash_to_curve_p256_xmd_sha256_sswu_ro", hash_sswu, "us");

  EC_POINT_free(result);
  EC_POINT_free(point);
  BN_free(scalar);
  BN_CTX_free(bn_ctx);
  EC_GROUP_free(group);
  return 0;
}

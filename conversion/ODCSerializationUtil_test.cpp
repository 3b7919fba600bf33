#include "conversion/ODCSerializationUtil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include "conversion/ODCPSMClient.h"
#include "conversion/testing/PSMServerCodec.h"
#include "privacy/private_membership/shutters/testing/fake_membership_server.h"

namespace {

namespace ps = private_membership::shutters;
using ::testing::UnorderedElementsAre;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out.push_back(static_cast<char>(b));
  return out;
}

TEST(ODCUnencryptedMetadataFromBytes, ReadsRankAndKind) {
  struct Case {
    std::string bytes;
    std::int64_t rank;
    std::int32_t kind;
  };
  const Case cases[] = {
      {"", 0, 0},
      {Bytes({0x08, 0x05, 0x10, 0x02}), 5, 2},
      {Bytes({0x10, 0x01}), 0, 1},
      // int64 -1 takes ten bytes.
      {Bytes({0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01, 0x10, 0x01}), -1, 1},
      {Bytes({0x08, 0x80, 0x80, 0x80, 0x80, 0x10}), 1LL << 32, 0},
      {Bytes({0x18, 0x07, 0x08, 0x03}), 3, 0},  // an unknown tag is skipped
  };
  for (const Case& c : cases) {
    auto metadata = ODCUnencryptedMetadataFromBytes(c.bytes);
    ASSERT_TRUE(metadata.ok()) << metadata.status();
    EXPECT_EQ(metadata->rank, c.rank);
    EXPECT_EQ(metadata->kind, c.kind);
  }
}

TEST(ODCUnencryptedMetadataFromBytes, RefusesWhatIsNotTheMessage) {
  for (const std::string& bytes : {Bytes({0x08}), Bytes({0x0a, 0x05, 'a'}), Bytes({0x08, 0xff})}) {
    auto metadata = ODCUnencryptedMetadataFromBytes(bytes);
    ASSERT_FALSE(metadata.ok());
    EXPECT_EQ(metadata.status().code(), absl::StatusCode::kInternal);
    EXPECT_EQ(metadata.status().message(), "Failed to deserialize the unencrypted Metadata.");
  }
}

TEST(ODCSerializedMVsFromValues, WritesOneRecordPerValue) {
  EXPECT_EQ(ODCSerializedMVsFromValues({}), "");
  EXPECT_EQ(ODCSerializedMVsFromValues({"a", "bc"}), Bytes({0x0a, 0x01, 'a', 0x0a, 0x02, 'b', 'c'}));
  EXPECT_EQ(ODCSerializedMVsFromValues({std::string(200, 'x')}).substr(0, 3), Bytes({0x0a, 0xc8, 0x01}));
}

std::string Sha256(const std::string& bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

// The conversion service's default client on the wire: its request read by a
// membership server, the server's answer read back into the matched values.
TEST(ODCDefaultPSMClientFactory, MakesTheMembershipClientOfTheConfiguration) {
  const std::string id = Bytes({0x00, 0x01, 0x02});
  const std::string key = Sha256(id + ":2026-12-10:com.example.toy");
  auto server = ps::FakeMembershipServer::Create(
      {{id,
        key,
        {"low", "high", "other"},
        {{Bytes({0x08, 0x01}), "g1"}, {Bytes({0x08, 0x02}), "g1"}, {Bytes({0x08, 0x01}), "g2"}}}});
  ASSERT_TRUE(server.ok()) << server.status();

  auto client = ODCDefaultPSMClientFactory()("AAEC", "2026-12-10", "com.example.toy", 12);
  ASSERT_TRUE(client.ok()) << client.status();
  auto request = (*client)->CreateSerializedRequest();
  ASSERT_TRUE(request.ok()) << request.status();
  auto parsed = psm_testing::ParsePSMRequest(*request);
  ASSERT_TRUE(parsed.ok()) << parsed.status();
  EXPECT_EQ(parsed->use_case, 35u);
  auto answer = (*server)->Answer(*parsed);
  ASSERT_TRUE(answer.ok()) << answer.status();

  auto response = (*client)->ParseResponse(psm_testing::SerializePSMResponse(*answer));
  ASSERT_TRUE(response.ok()) << response.status();
  auto values = (*client)->ProcessResponse(**response);
  ASSERT_TRUE(values.ok()) << values.status();
  EXPECT_THAT(*values, UnorderedElementsAre("high", "other"));
  EXPECT_EQ((*client)->SerializedMVsFromValues({"high"}), Bytes({0x0a, 0x04, 'h', 'i', 'g', 'h'}));

  struct Foreign : ODCPSMResponse {};
  EXPECT_EQ((*client)->ProcessResponse(Foreign()).status().code(), absl::StatusCode::kInvalidArgument);
  EXPECT_FALSE((*client)->ParseResponse(Bytes({0x0a, 0x05})).ok());
}

TEST(ODCDefaultPSMClientFactory, RefusesABadConfiguration) {
  auto factory = ODCDefaultPSMClientFactory();
  EXPECT_EQ(factory("AA+C", "2026-12-10", "b", 12).status().message(), "matching_id_unescape_error");
  EXPECT_EQ(factory("AAEC", "2026-12-10", "b", -1).status().code(), absl::StatusCode::kInvalidArgument);
}

}  // namespace

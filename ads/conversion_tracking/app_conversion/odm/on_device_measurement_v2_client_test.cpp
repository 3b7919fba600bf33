#include "ads/conversion_tracking/app_conversion/odm/on_device_measurement_v2_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <charconv>
#include <optional>

#include "privacy/private_membership/shutters/testing/fake_membership_server.h"

namespace ads::conversion_tracking::app_conversion::odm {
namespace {

namespace ps = private_membership::shutters;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAreArray;

// "AAEC" is the web-safe Base64 of the bytes 00 01 02.
const std::string kMatchingID = "AAEC";
const std::string kDecodedID("\x00\x01\x02", 3);
const std::string kDate = "2026-12-10";
const std::string kBundle = "ab";

std::string Sha256(const std::string& bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

// 3 + 1 + 10 + 1 + 2 = 17 bytes.
const std::string kRequestKey = Sha256(kDecodedID + ":" + kDate + ":" + kBundle);

// Test metadata is "rank/kind" in text.
absl::StatusOr<UnencryptedMetadata> ParseRankAndKind(std::string_view bytes) {
  UnencryptedMetadata metadata;
  std::size_t slash = bytes.find('/');
  if (slash == std::string_view::npos) return absl::InvalidArgumentError("no rank/kind");
  auto rank = std::from_chars(bytes.data(), bytes.data() + slash, metadata.rank);
  auto kind = std::from_chars(bytes.data() + slash + 1, bytes.data() + bytes.size(), metadata.kind);
  if (rank.ec != std::errc() || kind.ec != std::errc()) return absl::InvalidArgumentError("not numbers");
  return metadata;
}

ps::IdValuePairMetadata Meta(std::string rankAndKind, std::optional<std::string> group) {
  return {.unencrypted_metadata = std::move(rankAndKind), .group_key = std::move(group)};
}

std::unique_ptr<OnDeviceMeasurementV2Client> MakeClient(MetadataParser parser = ParseRankAndKind) {
  auto client = OnDeviceMeasurementV2Client::Create(kMatchingID, kDate, kBundle, 12, parser);
  EXPECT_TRUE(client.ok()) << client.status();
  return client.ok() ? std::move(*client) : nullptr;
}

// The server's answer to the client's request when it holds these members.
absl::StatusOr<std::vector<std::string>> Exchange(OnDeviceMeasurementV2Client& client,
                                                  std::vector<ps::FakeMember> members) {
  auto server = ps::FakeMembershipServer::Create(std::move(members));
  if (!server.ok()) return server.status();
  auto request = client.CreateRequest();
  if (!request.ok()) return request.status();
  auto answer = (*server)->Answer(*request);
  if (!answer.ok()) return answer.status();
  return client.ProcessResponse(*answer);
}

TEST(OnDeviceMeasurementV2Client, CreateRefusesBadConfiguration) {
  struct Case {
    const char* matchingID;
    std::int32_t prefixLength;
    absl::StatusCode code;
    const char* message;
  };
  const Case cases[] = {
      {"AA+C", 12, absl::StatusCode::kInternal, "matching_id_unescape_error"},
      {"AA/C", 12, absl::StatusCode::kInternal, "matching_id_unescape_error"},
      {"A", 12, absl::StatusCode::kInternal, "matching_id_unescape_error"},
      {"AAEC", -1, absl::StatusCode::kInvalidArgument,
       "hashed_non_sensitive_id_prefix_bit_length must be non-negative."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.matchingID);
    auto client = OnDeviceMeasurementV2Client::Create(c.matchingID, kDate, kBundle, c.prefixLength, ParseRankAndKind);
    ASSERT_FALSE(client.ok());
    EXPECT_EQ(client.status().code(), c.code);
    EXPECT_EQ(client.status().message(), c.message);
  }
}

TEST(OnDeviceMeasurementV2Client, RequestCarriesOneBlindedIdentifier) {
  auto client = MakeClient();
  ASSERT_NE(client, nullptr);
  auto request = client->CreateRequest();
  ASSERT_TRUE(request.ok()) << request.status();
  EXPECT_EQ(request->use_case, 35u);
  EXPECT_EQ(request->parameters.hashed_non_sensitive_id_prefix_bit_length, 12);
  EXPECT_EQ(request->parameters.hash_type, 2);
  ASSERT_EQ(request->encrypted_request.size(), 1u);
  EXPECT_EQ(request->encrypted_request[0].clear_id, "");
  EXPECT_EQ(request->encrypted_request[0].hashed_bucket_id.size(), 2u);
}

// Only a member whose second id is the request key over the decoded matching
// id, the date and the bundle id, colon-separated, is found.
TEST(OnDeviceMeasurementV2Client, TheRequestKeyBindsDateAndBundle) {
  auto client = MakeClient();
  ASSERT_NE(client, nullptr);
  struct Case {
    const char* name;
    std::string key;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"request key", kRequestKey, {"v"}},
      {"date and bundle swapped", Sha256(kDecodedID + ":" + kBundle + ":" + kDate), {}},
      {"no separators", Sha256(kDecodedID + kDate + kBundle), {}},
      {"Base64 text instead of bytes", Sha256(kMatchingID + ":" + kDate + ":" + kBundle), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto values = Exchange(*client, {{kDecodedID, c.key, {"v"}, {Meta("1/1", "g")}}});
    ASSERT_TRUE(values.ok()) << values.status();
    EXPECT_EQ(*values, c.expected);
  }
}

TEST(OnDeviceMeasurementV2Client, OneValueIsKeptPerGroup) {
  auto client = MakeClient();
  ASSERT_NE(client, nullptr);
  struct Case {
    const char* name;
    std::vector<std::string> values;
    std::vector<ps::IdValuePairMetadata> metadata;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"higher rank comes later", {"low", "high"}, {Meta("5/1", "g"), Meta("7/1", "g")}, {"high"}},
      {"higher rank comes first", {"high", "low"}, {Meta("7/1", "g"), Meta("5/1", "g")}, {"high"}},
      {"equal rank, kind 1 after kind 2", {"two", "one"}, {Meta("5/2", "g"), Meta("5/1", "g")}, {"one"}},
      {"equal rank, kind 2 after kind 1", {"one", "two"}, {Meta("5/1", "g"), Meta("5/2", "g")}, {"one"}},
      {"equal rank and kind", {"first", "second"}, {Meta("5/3", "g"), Meta("5/3", "g")}, {"first"}},
      {"negative ranks", {"a", "b"}, {Meta("-9/1", "g"), Meta("-2/1", "g")}, {"b"}},
      {"groups apart", {"a", "b", "c"}, {Meta("1/1", "g1"), Meta("1/1", "g2"), Meta("9/1", "g1")}, {"c", "b"}},
      {"empty group key is a group", {"a", "b"}, {Meta("1/1", ""), Meta("2/1", "")}, {"b"}},
      {"no group ends the entry",
       {"v1", "v2", "v3", "v4"},
       {Meta("1/1", "g1"), Meta("1/1", "g2"), Meta("1/1", std::nullopt), Meta("1/1", "g4")},
       {"v1", "v2"}},
      {"unreadable metadata drops its value",
       {"v1", "v2", "v3"},
       {Meta("bad", "g1"), Meta("1/1", "g2"), Meta("2/1", "g1")},
       {"v2", "v3"}},
      {"values without metadata", {"v1", "v2"}, {}, {}},
      {"member without values", {}, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto values = Exchange(*client, {{kDecodedID, kRequestKey, c.values, c.metadata}});
    ASSERT_TRUE(values.ok()) << values.status();
    EXPECT_THAT(*values, UnorderedElementsAreArray(c.expected));
  }
}

// The server may attach metadata to a bucket entry that carries no value;
// each value must still be judged by the metadata of its own entry.
TEST(OnDeviceMeasurementV2Client, ValuesKeepTheirOwnMetadata) {
  auto client = MakeClient();
  ASSERT_NE(client, nullptr);
  struct Entry {
    std::optional<std::string> value;
    ps::IdValuePairMetadata metadata;
  };
  struct Case {
    const char* name;
    std::vector<Entry> entries;  // the bucket's entries for the identifier, in order
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"a rank without a value does not pass to the next value",
       {{std::nullopt, Meta("9/1", "g")}, {"low", Meta("1/1", "g")}, {"high", Meta("5/1", "g")}},
       {"high"}},
      {"a group without a value does not pass to the next value",
       {{"a", Meta("1/1", "g1")}, {std::nullopt, Meta("1/1", "g2")}, {"b", Meta("2/1", "g1")}},
       {"b"}},
      {"unreadable metadata still drops its own value",
       {{std::nullopt, Meta("1/1", "g1")}, {"a", Meta("1/1", "g2")}, {"b", Meta("bad", "g3")}},
       {"a"}},
      {"only entries without values", {{std::nullopt, Meta("1/1", "g1")}, {std::nullopt, Meta("2/1", "g2")}}, {}},
      {"an entry without a group still ends the list",
       {{"a", Meta("1/1", "g1")}, {std::nullopt, Meta("1/1", std::nullopt)}, {"b", Meta("1/1", "g2")}},
       {"a"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // One member per entry, all the same identifier: the server lists their
    // entries in this order in one bucket.
    std::vector<ps::FakeMember> members;
    for (const Entry& e : c.entries) {
      members.push_back({kDecodedID, kRequestKey, {}, {e.metadata}});
      if (e.value) members.back().values.push_back(*e.value);
    }
    auto values = Exchange(*client, std::move(members));
    ASSERT_TRUE(values.ok()) << values.status();
    EXPECT_THAT(*values, UnorderedElementsAreArray(c.expected));
  }
}

TEST(OnDeviceMeasurementV2Client, NonMembersAndParserlessClientsGetNothing) {
  auto client = MakeClient();
  auto parserless = MakeClient(nullptr);
  ASSERT_NE(client, nullptr);
  ASSERT_NE(parserless, nullptr);
  const std::string other("\x00\x01\x03", 3);
  auto stranger = Exchange(*client, {{other, Sha256(other + ":" + kDate + ":" + kBundle), {"v"}, {Meta("1/1", "g")}}});
  ASSERT_TRUE(stranger.ok()) << stranger.status();
  EXPECT_THAT(*stranger, IsEmpty());
  auto unparsed = Exchange(*parserless, {{kDecodedID, kRequestKey, {"v"}, {Meta("1/1", "g")}}});
  ASSERT_TRUE(unparsed.ok()) << unparsed.status();
  EXPECT_THAT(*unparsed, IsEmpty());
}

TEST(OnDeviceMeasurementV2Client, AnAnswerToAnotherRequestFails) {
  auto client = MakeClient();
  auto other = MakeClient();
  ASSERT_NE(client, nullptr);
  ASSERT_NE(other, nullptr);
  auto server = ps::FakeMembershipServer::Create({{kDecodedID, kRequestKey, {"v"}, {Meta("1/1", "g")}}});
  ASSERT_TRUE(server.ok());
  auto answer = (*server)->Answer(*other->CreateRequest());
  ASSERT_TRUE(answer.ok());
  auto values = client->ProcessResponse(*answer);
  EXPECT_EQ(values.status().code(), absl::StatusCode::kInvalidArgument);
}

}  // namespace
}  // namespace ads::conversion_tracking::app_conversion::odm

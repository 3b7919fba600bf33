#include "privacy/private_membership/shutters/client/private_membership_shutters_mini_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/status.h"
#include "privacy/private_membership/shutters/testing/fake_membership_server.h"
#include "privacy/shutters/cpp/crypto/test_util.h"

namespace private_membership::shutters {

// Readable failures.
void PrintTo(const IdValuePairMetadata& m, std::ostream* os) {
  *os << "{" << m.unencrypted_metadata << ", " << m.group_key.value_or("(none)") << "}";
}
void PrintTo(const MembershipResult& r, std::ostream* os) {
  *os << r.id.clear_id << (r.is_member ? " member" : " not member") << ", value '" << r.value << "', values";
  for (const std::string& v : r.values) *os << " '" << v << "'";
  *os << ", metadata";
  for (const IdValuePairMetadata& m : r.metadata) PrintTo(m, os);
  *os << ", their values";
  for (const auto& v : r.metadata_values) *os << " " << (v ? "'" + *v + "'" : "(none)");
}

namespace {

using ::shutters::testing_util::Hex;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr const char* kHere = "privacy/private_membership/shutters/client/private_membership_shutters_mini_client.cpp:";

const PrivateMembershipShuttersId kAlice{"c-alice", "alice@example.com", "s1"};
const PrivateMembershipShuttersId kBob{"c-bob", "bob@example.com", "s2"};
const PrivateMembershipShuttersId kCarol{"c-carol", "carol@example.com", "s3"};
// In Alice's bucket, but not a member: the sensitive part differs.
const PrivateMembershipShuttersId kMallory{"c-mallory", "alice@example.com", "s9"};

const IdValuePairMetadata kGoldMetadata{"m1", "g1"};
const IdValuePairMetadata kSilverMetadata{"m2", std::nullopt};

// Alice has two values, Carol none; Bob is not in the set.
std::vector<FakeMember> Members() {
  return {
      {.non_sensitive_id = "alice@example.com",
       .sensitive_id = "s1",
       .values = {"gold", "silver"},
       .metadata = {kGoldMetadata, kSilverMetadata}},
      {.non_sensitive_id = "carol@example.com", .sensitive_id = "s3", .values = {}, .metadata = {}},
  };
}

std::unique_ptr<PrivateMembershipShuttersMiniClient> NewClient(std::vector<PrivateMembershipShuttersId> ids,
                                                               std::int32_t bits = 14) {
  auto client = PrivateMembershipShuttersMiniClient::Create(std::move(ids), {bits, 2, 0});
  EXPECT_TRUE(client.ok()) << client.status();
  return client.ok() ? std::move(client).value() : nullptr;
}

TEST(MiniClientCreate, RefusesBadParameters) {
  struct Case {
    std::int32_t bits;
    std::int32_t hash_type;
    const char* error;  // nullptr: created
  };
  const Case cases[] = {
      {14, 1, nullptr},
      {0, 2, nullptr},
      {-1, 2, "hashed_non_sensitive_id_prefix_bit_length must be non-negative."},
      {-1, 0, "hashed_non_sensitive_id_prefix_bit_length must be non-negative."},
      {0, 0, "Hash Type must be declared."},
      {8, 3, "Hash Type must be declared."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.bits << " bits, type " << c.hash_type);
    auto client = PrivateMembershipShuttersMiniClient::Create({kAlice}, {c.bits, c.hash_type, 0});
    if (c.error == nullptr) {
      EXPECT_TRUE(client.ok()) << client.status();
      continue;
    }
    EXPECT_EQ(client.status().code(), absl::StatusCode::kInvalidArgument);
    EXPECT_EQ(client.status().message(), c.error);
    EXPECT_THAT(base::SourceLocationOf(client.status()).value_or(""), StartsWith(kHere));
  }
}

TEST(MiniClientRequest, HasOneEntryPerIdentifierInOrder) {
  auto client = PrivateMembershipShuttersMiniClient::Create({kAlice, kBob}, {14, 2, 7});
  ASSERT_TRUE(client.ok());
  auto request = (*client)->CreateRequest(35);
  ASSERT_TRUE(request.ok()) << request.status();
  EXPECT_EQ(request->use_case, 35u);
  EXPECT_EQ(request->reserved, 0);
  EXPECT_EQ(request->parameters, (PrivateMembershipShuttersParameters{14, 2, 7}));
  ASSERT_EQ(request->encrypted_request.size(), 2u);
  const EncryptedRequest& alice = request->encrypted_request[0];
  const EncryptedRequest& bob = request->encrypted_request[1];
  EXPECT_EQ(alice.clear_id, "c-alice");
  EXPECT_EQ(bob.clear_id, "c-bob");
  // The leading 14 bits of the identifier hashes.
  EXPECT_EQ(Hex(alice.hashed_bucket_id), "6b88");
  EXPECT_EQ(Hex(bob.hashed_bucket_id), "9f4c");
  for (const EncryptedRequest& entry : request->encrypted_request) {
    ASSERT_EQ(entry.encrypted_id.size(), 33u);
    EXPECT_TRUE(entry.encrypted_id[0] == 2 || entry.encrypted_id[0] == 3);
  }
  EXPECT_NE(alice.encrypted_id, bob.encrypted_id);

  // The key lives as long as the client: a second request is the same.
  EXPECT_EQ(*(*client)->CreateRequest(35), *request);
  // Another client blinds with another key but names the same buckets.
  auto other = NewClient({kAlice, kBob})->CreateRequest(35);
  ASSERT_TRUE(other.ok());
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(other->encrypted_request[i].hashed_bucket_id, request->encrypted_request[i].hashed_bucket_id);
    EXPECT_NE(other->encrypted_request[i].encrypted_id, request->encrypted_request[i].encrypted_id);
  }
}

TEST(MiniClientRequest, PrefixLengthZeroGivesEmptyBucketIds) {
  auto request = NewClient({kAlice, kBob}, 0)->CreateRequest(1);
  ASSERT_TRUE(request.ok());
  for (const EncryptedRequest& entry : request->encrypted_request) EXPECT_EQ(entry.hashed_bucket_id, "");
}

TEST(MiniClientRequest, NoIdentifiersGiveNoEntries) {
  auto client = NewClient({});
  auto request = client->CreateRequest(35);
  ASSERT_TRUE(request.ok());
  EXPECT_THAT(request->encrypted_request, IsEmpty());
  auto results = client->ProcessResponse({});
  ASSERT_TRUE(results.ok());
  EXPECT_THAT(*results, IsEmpty());
}

// The client against a server holding Members(): request, answer, verdicts.
class MiniClientRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    auto server = FakeMembershipServer::Create(Members());
    ASSERT_TRUE(server.ok()) << server.status();
    server_ = std::move(server).value();
  }

  // The answer to a fresh request of the client.
  PrivateMembershipShuttersResponse Answer(PrivateMembershipShuttersMiniClient& client,
                                           const FakeAnswerOptions& options = {}) {
    auto request = client.CreateRequest(35);
    EXPECT_TRUE(request.ok()) << request.status();
    auto response = server_->Answer(*request, options);
    EXPECT_TRUE(response.ok()) << response.status();
    return *response;
  }

  std::unique_ptr<FakeMembershipServer> server_;
};

// A verdict; its value is the first of its values.
MembershipResult Verdict(const PrivateMembershipShuttersId& id, bool is_member, std::vector<std::string> values = {},
                         std::vector<IdValuePairMetadata> metadata = {},
                         std::vector<std::optional<std::string>> metadata_values = {}) {
  MembershipResult result;
  result.id = id;
  result.is_member = is_member;
  if (!values.empty()) result.value = values.front();
  result.values = std::move(values);
  result.metadata = std::move(metadata);
  result.metadata_values = std::move(metadata_values);
  return result;
}
MembershipResult AliceMember() {
  return Verdict(kAlice, true, {"gold", "silver"}, {kGoldMetadata, kSilverMetadata}, {"gold", "silver"});
}
MembershipResult NotMember(const PrivateMembershipShuttersId& id) { return Verdict(id, false); }
MembershipResult CarolMember() { return Verdict(kCarol, true); }

TEST_F(MiniClientRoundTrip, FindsMembersAndTheirValues) {
  struct Case {
    const char* what;
    FakeAnswerOptions options;
    std::int32_t bits;
  };
  const Case cases[] = {
      {"fixed IV, full hashes", {.encryption_scheme = 1}, 14},
      {"random IV", {.encryption_scheme = 2}, 14},
      {"entries are short prefixes", {.encryption_scheme = 1, .entry_size = 4}, 14},
      {"empty entries", {.encryption_scheme = 1, .entry_size = 0}, 14},
      {"two bins", {.encryption_scheme = 1, .num_bins = 2}, 14},
      {"1024 bins", {.encryption_scheme = 2, .num_bins = 1024}, 14},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto client = NewClient({kAlice, kBob, kCarol}, c.bits);
    auto results = client->ProcessResponse(Answer(*client, c.options));
    ASSERT_TRUE(results.ok()) << results.status();
    EXPECT_THAT(*results, ElementsAre(AliceMember(), NotMember(kBob), CarolMember()));
  }
}

TEST_F(MiniClientRoundTrip, SameBucketIsNotMembership) {
  auto client = NewClient({kMallory, kAlice});
  PrivateMembershipShuttersResponse response = Answer(*client);
  EXPECT_EQ(response.encrypted_response[0].bucket, response.encrypted_response[1].bucket);
  auto results = client->ProcessResponse(response);
  ASSERT_TRUE(results.ok()) << results.status();
  EXPECT_THAT(*results, ElementsAre(NotMember(kMallory), AliceMember()));
  // One bucket for everyone: all of Carol's and Alice's entries are searched,
  // and Carol's entry has the empty metadata that pads the bucket's list.
  client = NewClient({kMallory, kBob, kCarol}, 0);
  results = client->ProcessResponse(Answer(*client));
  ASSERT_TRUE(results.ok()) << results.status();
  EXPECT_THAT(*results, ElementsAre(NotMember(kMallory), NotMember(kBob),
                                    Verdict(kCarol, true, {}, {IdValuePairMetadata{}}, {std::nullopt})));
}

TEST_F(MiniClientRoundTrip, OneBinMatchesOnlyEmptyEntries) {
  auto client = NewClient({kCarol, kBob});
  auto results = client->ProcessResponse(Answer(*client, {.num_bins = 1}));
  ASSERT_TRUE(results.ok()) << results.status();
  EXPECT_THAT(*results, ElementsAre(CarolMember(), NotMember(kBob)));

  PrivateMembershipShuttersResponse response = Answer(*client, {.entry_size = 32});
  for (EncryptedResponse& answer : response.encrypted_response) {
    answer.num_bins = 1;
    answer.binned_bucket = answer.bucket;
  }
  results = client->ProcessResponse(response);
  ASSERT_TRUE(results.ok()) << results.status();
  EXPECT_THAT(*results, ElementsAre(NotMember(kCarol), NotMember(kBob)));
}

TEST_F(MiniClientRoundTrip, SameIdentifierTwiceAnswersForTheLaterOne) {
  PrivateMembershipShuttersId first = kAlice, second = kAlice;
  first.clear_id = "first";
  second.clear_id = "second";
  auto client = NewClient({first, second});
  auto request = client->CreateRequest(35);
  ASSERT_TRUE(request.ok());
  EXPECT_EQ(request->encrypted_request[0].encrypted_id, request->encrypted_request[1].encrypted_id);
  EXPECT_EQ(request->encrypted_request[0].hashed_bucket_id, request->encrypted_request[1].hashed_bucket_id);
  auto results = client->ProcessResponse(*server_->Answer(*request));
  ASSERT_TRUE(results.ok()) << results.status();
  ASSERT_EQ(results->size(), 2u);
  EXPECT_EQ((*results)[0].id, second);
  EXPECT_EQ((*results)[1].id, second);
}

TEST_F(MiniClientRoundTrip, AnswerBeforeAnyRequestIsRefused) {
  auto client = NewClient({kAlice});
  auto other = NewClient({kAlice});
  auto results = client->ProcessResponse(Answer(*other));
  EXPECT_EQ(results.status().code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(results.status().message(), "Processed response does not correspond to created request.");
  EXPECT_THAT(base::SourceLocationOf(results.status()).value_or(""), StartsWith(kHere));
}

// Changes to a good answer for Alice and Bob, and what the client makes of
// them: an error, or the verdict on Alice (Bob stays a non-member).
TEST_F(MiniClientRoundTrip, ChangedAnswers) {
  using Change = std::function<void(EncryptedResponse& alice, EncryptedResponse& bob)>;
  struct Case {
    const char* what;
    Change change;
    std::string error;       // empty: succeeds
    MembershipResult alice;  // when it succeeds
  };
  const Case cases[] = {
      {"unchanged", [](auto&, auto&) {}, "", AliceMember()},
      {"id the client never sent", [](auto& a, auto&) { a.doubly_encrypted_id[0].encrypted_id[5] ^= 1; },
       "Processed response does not correspond to created request.", MembershipResult()},
      {"later id the client never sent", [](auto&, auto& b) { b.doubly_encrypted_id[0].encrypted_id = "x"; },
       "Processed response does not correspond to created request.", MembershipResult()},
      {"doubly encrypted id is not a point", [](auto& a, auto&) { a.doubly_encrypted_id[0].doubly_encrypted_id = "x"; },
       "*", MembershipResult()},
      {"doubly encrypted id is empty", [](auto& a, auto&) { a.doubly_encrypted_id[0].doubly_encrypted_id.clear(); },
       "*", MembershipResult()},
      {"unknown scheme", [](auto& a, auto&) { a.encryption_scheme = 3; }, "Unsupported encryption scheme: 3",
       MembershipResult()},
      {"value without its length", [](auto& a, auto&) { a.bucket.encrypted_value[1].resize(3); },
       "Invalid bytes does not encode length.", MembershipResult()},
      {"value cut short", [](auto& a, auto&) { a.bucket.encrypted_value[0].pop_back(); },
       "Incorrect bytes length.", MembershipResult()},
      {"bins not a power of two", [](auto& a, auto&) { a.num_bins = 3; },
       "Number of bins that is not a power of 2 isn't supported.", MembershipResult()},
      {"negative bins search the bucket", [](auto& a, auto&) { a.num_bins = -2; }, "", AliceMember()},
      {"entries longer than the key", [](auto& a, auto&) { for (auto& e : a.bucket.encrypted_id) e += "x"; }, "",
       NotMember(kAlice)},
      {"entries in the other bucket", [](auto& a, auto&) { std::swap(a.bucket, a.binned_bucket); }, "",
       NotMember(kAlice)},
      {"no values", [](auto& a, auto&) { a.bucket.encrypted_value.clear(); }, "",
       Verdict(kAlice, true, {}, {kGoldMetadata, kSilverMetadata}, {std::nullopt, std::nullopt})},
      {"first value empty", [](auto& a, auto&) { a.bucket.encrypted_value[0].clear(); }, "",
       Verdict(kAlice, true, {"silver"}, {kGoldMetadata, kSilverMetadata}, {std::nullopt, "silver"})},
      {"no metadata", [](auto& a, auto&) { a.bucket.metadata.clear(); }, "",
       Verdict(kAlice, true, {"gold", "silver"})},
      {"metadata for the first entry only", [](auto& a, auto&) { a.bucket.metadata.resize(1); }, "",
       Verdict(kAlice, true, {"gold", "silver"}, {kGoldMetadata}, {"gold"})},
  };
  auto client = NewClient({kAlice, kBob});
  const PrivateMembershipShuttersResponse good = Answer(*client);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PrivateMembershipShuttersResponse response = good;
    c.change(response.encrypted_response[0], response.encrypted_response[1]);
    auto results = client->ProcessResponse(response);
    if (!c.error.empty()) {
      EXPECT_FALSE(results.ok());
      if (c.error != "*") {
        EXPECT_EQ(results.status().message(), c.error);
      }
      continue;
    }
    ASSERT_TRUE(results.ok()) << results.status();
    EXPECT_THAT(*results, ElementsAre(c.alice, NotMember(kBob)));
  }
}

}  // namespace
}  // namespace private_membership::shutters

#include "conversion/QZMSerializationUtil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/status.h"
#include "conversion/PSMTestProtoc.h"
#include "measurement/proto/NANOTestRecords.h"
#include "privacy/private_membership/shutters/client/private_membership_shutters_mini_client.h"
#include "privacy/private_membership/shutters/testing/fake_membership_server.h"

namespace private_membership::shutters {

// Readable failures.
void PrintTo(const EncryptedResponse& r, std::ostream* os) {
  *os << "{" << r.doubly_encrypted_id.size() << " ids, bucket of " << r.bucket.encrypted_id.size() << "/"
      << r.bucket.encrypted_value.size() << "/" << r.bucket.metadata.size() << ", binned bucket of "
      << r.binned_bucket.encrypted_id.size() << "/" << r.binned_bucket.encrypted_value.size() << "/"
      << r.binned_bucket.metadata.size() << ", " << r.num_bins << " bins, scheme " << r.encryption_scheme << "}";
}

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

std::string HexOf(const std::string& bytes) { return Hex(BytesOf(bytes)); }

std::string Unhex(std::string hex) {
  std::erase(hex, ' ');
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

EncryptedRequest Entry(std::string clear_id, std::string hashed_bucket_id, std::string encrypted_id) {
  EncryptedRequest entry;
  entry.clear_id = std::move(clear_id);
  entry.hashed_bucket_id = std::move(hashed_bucket_id);
  entry.encrypted_id = std::move(encrypted_id);
  return entry;
}

PrivateMembershipShuttersRequest Request(std::uint32_t use_case, PrivateMembershipShuttersParameters parameters,
                                         std::vector<EncryptedRequest> entries, std::int32_t reserved = 0) {
  PrivateMembershipShuttersRequest request;
  request.use_case = use_case;
  request.reserved = reserved;
  request.parameters = parameters;
  request.encrypted_request = std::move(entries);
  return request;
}

TEST(QZMSerializePSMRequest, WritesTheSetFieldsInTagOrder) {
  struct Case {
    const char* what;
    PrivateMembershipShuttersRequest request;
    const char* hex;
  };
  const Case cases[] = {
      {"two entries", Request(35, {14, 2, 0}, {Entry("c1", "HB", "E1"), Entry("", "", "E2")}),
       "0a 0c 0a 02 48 42 12 02 45 31 1a 02 63 31 0a 04 12 02 45 32 12 04 10 02 18 0e 18 23"},
      {"nothing set still writes the parameters", Request(0, {0, 0, 0}, {}), "12 00"},
      {"an entry with only a clear id", Request(0, {0, 0, 9}, {Entry("c", "", "")}), "0a 03 1a 01 63 12 00"},
      // The use case is unsigned on the wire; the prefix length a signed int32.
      {"extreme numbers", Request(0xFFFFFFFF, {-1, 1, 0}, {}, 5),
       "12 0d 10 01 18 ff ff ff ff ff ff ff ff ff 01 18 ff ff ff ff 0f 20 05"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(HexOf(QZMSerializePSMRequest(c.request)), c.hex);
  }
}

TEST(QZMSerializePSMRequest, ProtocReadsTheFieldsByName) {
  std::string bytes = QZMSerializePSMRequest(Request(35, {14, 2, 0}, {Entry("c1", "HB", "E1"), Entry("", "", "E2")}));
  EXPECT_EQ(PSMProtoc().decode("PrivateMembershipShuttersRequest", bytes),
            "encrypted_request {\n"
            "  hashed_bucket_id: \"HB\"\n"
            "  encrypted_id: \"E1\"\n"
            "  clear_id: \"c1\"\n"
            "}\n"
            "encrypted_request {\n"
            "  encrypted_id: \"E2\"\n"
            "}\n"
            "parameters {\n"
            "  hash_type: 2\n"
            "  hashed_non_sensitive_id_prefix_bit_length: 14\n"
            "}\n"
            "use_case: 35\n");
}

TEST(QZMSerializePSMRequest, AValueTooLongToBeReadBackGivesNothing) {
  const std::string huge(0x100001, 'x');
  EXPECT_EQ(QZMSerializePSMRequest(Request(1, {8, 2, 0}, {Entry(huge, "", "E")})), "");
  EXPECT_EQ(QZMSerializePSMRequest(Request(1, {8, 2, 0}, {Entry("c", "", huge)})), "");
}

IdValuePairMetadata Metadata(std::string unencrypted, std::optional<std::string> group_key) {
  IdValuePairMetadata metadata;
  metadata.unencrypted_metadata = std::move(unencrypted);
  metadata.group_key = std::move(group_key);
  return metadata;
}

TEST(QZMParsePSMResponse, ReadsEveryPartAndDefaultsTheAbsentOnes) {
  const std::string text = R"(
    encrypted_response {
      doubly_encrypted_id { encrypted_id: "e1" doubly_encrypted_id: "d1" }
      doubly_encrypted_id { doubly_encrypted_id: "d2" }
      bucket {
        encrypted_id: "a" encrypted_id: "" encrypted_id: "c"
        encrypted_value: "v"
        metadata { unencrypted_metadata: "u1" group_key: "g1" }
        metadata { unencrypted_metadata: "u2" }
        metadata { group_key: "" }
      }
      binned_bucket { encrypted_id: "b" }
      int_field_6: 9
      metadata { num_bins: 4 encryption_scheme: 2 }
    }
    encrypted_response {}
    encrypted_response { metadata {} bucket {} })";
  auto response = QZMParsePSMResponse(PSMProtoc().encode("PrivateMembershipShuttersResponse", text));
  ASSERT_TRUE(response.ok()) << response.status();

  EncryptedResponse first;
  first.doubly_encrypted_id = {{"e1", "d1"}, {"", "d2"}};
  first.bucket.encrypted_id = {"a", "", "c"};
  first.bucket.encrypted_value = {"v"};
  first.bucket.metadata = {Metadata("u1", "g1"), Metadata("u2", std::nullopt), Metadata("", "")};
  first.binned_bucket.encrypted_id = {"b"};
  first.num_bins = 4;
  first.encryption_scheme = 2;
  EXPECT_THAT(response->encrypted_response, ElementsAre(first, EncryptedResponse(), EncryptedResponse()));
}

TEST(QZMParsePSMResponse, NoBytesAndUnknownTagsAreAnEmptyResponse) {
  for (const char* hex : {"", "10 01", "0a 00 1a 02 41 42"}) {
    SCOPED_TRACE(hex);
    auto response = QZMParsePSMResponse(Unhex(hex));
    ASSERT_TRUE(response.ok()) << response.status();
    for (const EncryptedResponse& part : response->encrypted_response) EXPECT_EQ(part, EncryptedResponse());
  }
}

TEST(QZMParsePSMResponse, RefusesWhatIsNotAResponse) {
  struct Case {
    const char* what;
    std::string bytes;
  };
  const std::string huge(0x100001, 'x');
  const Case cases[] = {
      {"tag without value", Unhex("0a")},
      {"length past the end", Unhex("0a 05 0a")},
      {"a number where a message belongs", Unhex("08 01")},
      {"group wire type", Unhex("0b 0c")},
      {"nested length past its message", Unhex("0a 02 0a 05")},
      {"bucket item past its bucket", Unhex("0a 04 12 02 0a 09")},
      {"metadata number cut off", Unhex("0a 03 3a 01 10")},
      {"tag of eleven bytes", Unhex("ff ff ff ff ff ff ff ff ff ff 01")},
      {"byte string over the runtime's limit", Unhex("0a 89 80 40 0a 85 80 40 12 81 80 40") + huge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto response = QZMParsePSMResponse(c.bytes);
    EXPECT_EQ(response.status().code(), absl::StatusCode::kInternal);
    EXPECT_EQ(response.status().message(), "Failed to deserialize PSM Response.");
    EXPECT_THAT(base::SourceLocationOf(response.status()).value_or(""),
                StartsWith("conversion/QZMSerializationUtil.cpp:"));
  }
}

// The answer of a membership server, written as protoc's text format.
std::string TextOf(const EncryptedBucket& bucket) {
  std::string text;
  for (const std::string& id : bucket.encrypted_id) text += " encrypted_id: " + PSMProtoc::quoted(id);
  for (const std::string& value : bucket.encrypted_value) text += " encrypted_value: " + PSMProtoc::quoted(value);
  for (const IdValuePairMetadata& m : bucket.metadata) {
    text += " metadata { unencrypted_metadata: " + PSMProtoc::quoted(m.unencrypted_metadata);
    if (m.group_key) text += " group_key: " + PSMProtoc::quoted(*m.group_key);
    text += " }";
  }
  return text;
}

std::string TextOf(const PrivateMembershipShuttersResponse& response) {
  std::string text;
  for (const EncryptedResponse& part : response.encrypted_response) {
    text += "encrypted_response {";
    for (const DoublyEncryptedId& id : part.doubly_encrypted_id) {
      text += " doubly_encrypted_id { encrypted_id: " + PSMProtoc::quoted(id.encrypted_id) +
              " doubly_encrypted_id: " + PSMProtoc::quoted(id.doubly_encrypted_id) + " }";
    }
    text += " bucket {" + TextOf(part.bucket) + " } binned_bucket {" + TextOf(part.binned_bucket) + " }";
    text += " metadata { num_bins: " + std::to_string(part.num_bins) +
            " encryption_scheme: " + std::to_string(part.encryption_scheme) + " } }\n";
  }
  return text;
}

// The whole road: the client's request on the wire, the server's answer
// encoded by protoc, read by the bridge and judged by the client.
TEST(QZMParsePSMResponse, CarriesARealAnswerToTheClient) {
  const PrivateMembershipShuttersId alice{"c-alice", "alice@example.com", "s1"};
  const PrivateMembershipShuttersId bob{"c-bob", "bob@example.com", "s2"};
  auto server = FakeMembershipServer::Create(
      {{"alice@example.com", "s1", {"gold", "silver"}, {Metadata("m1", "g1"), Metadata("m2", std::nullopt)}}});
  ASSERT_TRUE(server.ok()) << server.status();
  auto client = PrivateMembershipShuttersMiniClient::Create({alice, bob}, {12, 2, 0});
  ASSERT_TRUE(client.ok()) << client.status();
  auto request = (*client)->CreateRequest(35);
  ASSERT_TRUE(request.ok()) << request.status();
  EXPECT_NE(QZMSerializePSMRequest(*request), "");

  for (std::int32_t scheme : {1, 2}) {
    SCOPED_TRACE(scheme);
    auto answer = (*server)->Answer(*request, {.encryption_scheme = scheme, .num_bins = 0, .entry_size = 32});
    ASSERT_TRUE(answer.ok()) << answer.status();
    auto response = QZMParsePSMResponse(PSMProtoc().encode("PrivateMembershipShuttersResponse", TextOf(*answer)));
    ASSERT_TRUE(response.ok()) << response.status();
    EXPECT_EQ(*response, *answer);

    auto results = (*client)->ProcessResponse(*response);
    ASSERT_TRUE(results.ok()) << results.status();
    ASSERT_EQ(results->size(), 2u);
    EXPECT_TRUE((*results)[0].is_member);
    EXPECT_THAT((*results)[0].values, ElementsAre("gold", "silver"));
    EXPECT_FALSE((*results)[1].is_member);
    EXPECT_THAT((*results)[1].values, IsEmpty());
  }
}

}  // namespace
}  // namespace private_membership::shutters

#include "conversion/ODCPrivateSetMembershipClient.h"

#include <absl/strings/escaping.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include "conversion/testing/PSMServerCodec.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/foundation/URL.h"
#include "platform/utilities/DRKNetwork.h"
#include "platform/utilities/Endpoints.h"
#include "privacy/private_membership/shutters/testing/fake_membership_server.h"
#include "testing/TemporaryHome.h"
#include "testing/TlsServer.h"

namespace {

namespace ps = private_membership::shutters;
using ::testing::StartsWith;

constexpr const char* kAppID = "com.example.toy";

// Outside truth for the hashes: OpenSSL's one-shot SHA-256.
std::string Sha256(const std::string& bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

std::string LookupIdentifier(const std::string& normalized) { return Sha256(Sha256(normalized) + kAppID); }

std::string Base64(const std::string& bytes) { return absl::WebSafeBase64Escape(bytes); }

// The value of one query key of a URL, decoded.
std::optional<std::string> QueryValue(const std::string& url, const std::string& key) {
  std::size_t query = url.find('?');
  if (query == std::string::npos) return std::nullopt;
  std::string rest = url.substr(query + 1);
  while (!rest.empty()) {
    std::size_t amp = rest.find('&');
    std::string item = rest.substr(0, amp);
    std::size_t eq = item.find('=');
    if (eq != std::string::npos && item.substr(0, eq) == key) return foundation::percentDecoded(item.substr(eq + 1));
    if (amp == std::string::npos) break;
    rest = rest.substr(amp + 1);
  }
  return std::nullopt;
}

ps::PrivateMembershipShuttersRequest RequestOf(const std::string& url) {
  std::optional<std::string> text = QueryValue(url, "psm_request");
  EXPECT_TRUE(text.has_value()) << url;
  std::string bytes;
  EXPECT_TRUE(absl::WebSafeBase64Unescape(text.value_or(""), &bytes));
  auto request = psm_testing::ParsePSMRequest(bytes);
  EXPECT_TRUE(request.ok()) << request.status();
  return request.value_or(ps::PrivateMembershipShuttersRequest());
}

std::string Body(const ps::PrivateMembershipShuttersResponse& response) {
  return R"({"psm_response":")" + Base64(psm_testing::SerializePSMResponse(response)) + R"("})";
}

using Client = std::unique_ptr<ODCPrivateSetMembershipClient>;

TEST(ODCPrivateSetMembershipClient, InitialisersRefuseWhatTheyCannotLookUp) {
  const std::string digest = Sha256("someone@example.org");
  struct Case {
    const char* name;
    std::function<Client()> make;
    std::int64_t inputType;  // 0: refused
    std::int32_t prefixBitLength;
    std::uint32_t useCase;
  };
  const Case cases[] = {
      {"e-mail", [] { return ODCPrivateSetMembershipClient::initWithEmailAddress("A@Example.org", kAppID); }, 1, 14, 3},
      {"e-mail, prefix", [] { return ODCPrivateSetMembershipClient::initWithEmailAddress("a@example.org", kAppID, 9); },
       1, 9, 3},
      {"phone", [] { return ODCPrivateSetMembershipClient::initWithPhoneNumber("+1 650-555-0100", kAppID); }, 2, 11, 7},
      {"phone, prefix 0", [] { return ODCPrivateSetMembershipClient::initWithPhoneNumber("+16505550100", kAppID, 0); },
       2, 0, 7},
      {"hashed e-mail", [&] { return ODCPrivateSetMembershipClient::initWithHashedEmailAddress(digest, kAppID, 12); },
       3, 12, 3},
      {"hashed phone", [&] { return ODCPrivateSetMembershipClient::initWithHashedPhoneNumber(digest, kAppID, 12); }, 4,
       12, 7},
      // Refused.
      {"blank in e-mail", [] { return ODCPrivateSetMembershipClient::initWithEmailAddress("a b@example.org", kAppID); },
       0, 0, 0},
      {"empty e-mail", [] { return ODCPrivateSetMembershipClient::initWithEmailAddress("", kAppID); }, 0, 0, 0},
      {"e-mail, no app", [] { return ODCPrivateSetMembershipClient::initWithEmailAddress("a@example.org", ""); }, 0, 0,
       0},
      {"e-mail, negative prefix",
       [] { return ODCPrivateSetMembershipClient::initWithEmailAddress("a@example.org", kAppID, -1); }, 0, 0, 0},
      {"national phone", [] { return ODCPrivateSetMembershipClient::initWithPhoneNumber("(0) 12-34/56.78", kAppID); },
       0, 0, 0},
      {"phone, no app", [] { return ODCPrivateSetMembershipClient::initWithPhoneNumber("+16505550100", ""); }, 0, 0, 0},
      {"digest, no app", [&] { return ODCPrivateSetMembershipClient::initWithHashedEmailAddress(digest, "", 12); }, 0,
       0, 0},
      {"empty digest", [] { return ODCPrivateSetMembershipClient::initWithHashedEmailAddress("", kAppID, 12); }, 0, 0,
       0},
      {"31-byte digest",
       [&] { return ODCPrivateSetMembershipClient::initWithHashedEmailAddress(digest.substr(1), kAppID, 12); }, 0, 0,
       0},
      {"33-byte digest",
       [&] { return ODCPrivateSetMembershipClient::initWithHashedPhoneNumber(digest + "x", kAppID, 12); }, 0, 0, 0},
      {"digest, negative prefix",
       [&] { return ODCPrivateSetMembershipClient::initWithHashedPhoneNumber(digest, kAppID, -3); }, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Client client = c.make();
    if (c.inputType == 0) {
      EXPECT_EQ(client, nullptr);
      continue;
    }
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->inputType(), c.inputType);
    EXPECT_EQ(client->prefixBitLength(), c.prefixBitLength);
    auto url = client->PSMRequestURLWithRetryCount(0);
    ASSERT_TRUE(url.has_value());
    ps::PrivateMembershipShuttersRequest request = RequestOf(*url);
    EXPECT_EQ(request.use_case, c.useCase);
    EXPECT_EQ(request.parameters.hashed_non_sensitive_id_prefix_bit_length, c.prefixBitLength);
    EXPECT_EQ(request.parameters.hash_type, 2);
    ASSERT_EQ(request.encrypted_request.size(), 1u);
    EXPECT_EQ(request.encrypted_request[0].clear_id, kAppID);
  }
}

TEST(ODCPrivateSetMembershipClient, PlainAndHashedIdentifiersOfOnePersonLookUpTheSameBucket) {
  const std::string normalized = "someone@example.org";
  Client plain = ODCPrivateSetMembershipClient::initWithEmailAddress("Someone@Example.org", kAppID, 20);
  Client hashed = ODCPrivateSetMembershipClient::initWithHashedEmailAddress(Sha256(normalized), kAppID, 20);
  Client other = ODCPrivateSetMembershipClient::initWithEmailAddress("someone.else@example.org", kAppID, 20);
  ASSERT_NE(plain, nullptr);
  ASSERT_NE(hashed, nullptr);
  ASSERT_NE(other, nullptr);

  const std::string identifier = LookupIdentifier(normalized);
  EXPECT_EQ(plain->debugKey(), Base64(identifier + identifier));
  EXPECT_EQ(plain->debugKey()->size(), 86u);
  EXPECT_EQ(hashed->debugKey(), plain->debugKey());
  EXPECT_NE(other->debugKey(), plain->debugKey());

  ps::EncryptedRequest a = RequestOf(*plain->PSMRequestURLWithRetryCount(0)).encrypted_request.at(0);
  ps::EncryptedRequest b = RequestOf(*hashed->PSMRequestURLWithRetryCount(0)).encrypted_request.at(0);
  ps::EncryptedRequest c = RequestOf(*other->PSMRequestURLWithRetryCount(0)).encrypted_request.at(0);
  EXPECT_EQ(a.hashed_bucket_id.size(), 3u);  // 20 bits
  EXPECT_EQ(a.hashed_bucket_id, b.hashed_bucket_id);
  EXPECT_NE(a.hashed_bucket_id, c.hashed_bucket_id);
  // Each client blinds with its own key.
  EXPECT_NE(a.encrypted_id, b.encrypted_id);
}

TEST(ODCPrivateSetMembershipClient, RetriesResendTheSameRequestOnTheConfiguredEndpoint) {
  utilities::Endpoints::setOverride(utilities::kEndpointAdServices, "https://ads.example.test:8443");
  Client client = ODCPrivateSetMembershipClient::initWithPhoneNumber("+16505550100", kAppID);
  ASSERT_NE(client, nullptr);
  auto first = client->PSMRequestURLWithRetryCount(0);
  auto second = client->PSMRequestURLWithRetryCount(3);
  utilities::Endpoints::reset();
  ASSERT_TRUE(first && second);
  EXPECT_THAT(*first, StartsWith("https://ads.example.test:8443/pagead/conversion/app/psm?psm_request="));
  EXPECT_EQ(QueryValue(*first, "retry_count"), "0");
  EXPECT_EQ(QueryValue(*second, "retry_count"), "3");
  EXPECT_EQ(QueryValue(*first, "psm_request"), QueryValue(*second, "psm_request"));
  EXPECT_EQ(QueryValue(*first, "psm_request"), client->serializedRequestAsWebsafeBase64());
  // Web-safe and unpadded, so it reads the same escaped or not.
  std::string raw = first->substr(first->find("psm_request=") + 12);
  raw = raw.substr(0, raw.find('&'));
  EXPECT_EQ(raw, client->serializedRequestAsWebsafeBase64());
  EXPECT_EQ(raw.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
            std::string::npos);
  EXPECT_EQ(QueryValue(client->PSMRequestURLWithRetryCount(-1).value_or(""), "retry_count"), "-1");
}

TEST(ODCPrivateSetMembershipClient, BodiesThatAreNoAnswerGiveNoValue) {
  Client client = ODCPrivateSetMembershipClient::initWithEmailAddress("a@example.org", kAppID);
  ASSERT_NE(client, nullptr);
  const char* bodies[] = {
      "",
      "null",
      "[]",
      R"(["psm_response"])",
      "{}",
      "\"psm_response\"",
      R"({"psm_response": ""})",
      R"({"psm_response": 12})",
      R"({"psm_response": null})",
      R"({"other": "AAAA"})",
      R"({"psm_response": "ab+/"})",  // standard Base64 alphabet
      R"({"psm_response": "_w"})",    // one byte that is no message
      "{\"psm_response\": \"AAAA\"",
  };
  for (const char* body : bodies) {
    EXPECT_EQ(client->parsedPSMValueFromResponse(body), std::nullopt) << body;
  }
}

// Two members with the client's identifier, one without a value and one with:
// the first member with a value wins.
TEST(ODCPrivateSetMembershipClient, TheFirstMatchWithAValueWins) {
  Client client = ODCPrivateSetMembershipClient::initWithEmailAddress("a@example.org", kAppID, 8);
  ASSERT_NE(client, nullptr);
  const std::string id = LookupIdentifier("a@example.org");
  auto bare = ps::FakeMembershipServer::Create({{id, id, {}, {}}});
  auto valued = ps::FakeMembershipServer::Create({{id, id, {"\x01\x02\xff", "second"}, {}}});
  ASSERT_TRUE(bare.ok() && valued.ok());
  ps::PrivateMembershipShuttersRequest request = RequestOf(*client->PSMRequestURLWithRetryCount(0));
  auto first = (*bare)->Answer(request);
  auto second = (*valued)->Answer(request, {.encryption_scheme = 2});
  ASSERT_TRUE(first.ok() && second.ok());

  ps::PrivateMembershipShuttersResponse both;
  both.encrypted_response = {first->encrypted_response.at(0), second->encrypted_response.at(0)};
  EXPECT_EQ(client->parsedPSMValueFromResponse(Body(both)), Base64("\x01\x02\xff"));
  EXPECT_EQ(client->parsedPSMValueFromResponse(Body(*first)), std::nullopt);
  // Asking again reads the same answer the same way.
  EXPECT_EQ(client->parsedPSMValueFromResponse(Body(both)), Base64("\x01\x02\xff"));
}

// The lookup over HTTPS: the client's URL is fetched from a server on
// 127.0.0.1 that answers as the membership server would.
class MembershipLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    utilities::Endpoints::reset();
    utilities::Endpoints::setOverride(utilities::kEndpointAdServices, server.baseURL());
    utilities::Endpoints::setCABundleOverride(server.caBundlePath());
  }
  void TearDown() override { utilities::Endpoints::reset(); }

  struct Fetched {
    std::int64_t status = 0;
    std::string body;
  };

  Fetched get(const std::string& url) {
    auto fetched = std::make_shared<Fetched>();
    dispatch::Semaphore done;
    {
      DRKNetwork network;
      network.setTimeoutInterval(20);
      std::string id = network.getURL(url, {}, nullptr, false,
                                      [fetched, &done](const DRKHTTPURLResponse& response, const foundation::Data& body,
                                                       const std::optional<foundation::Error>&) {
                                        fetched->status = response.statusCode;
                                        fetched->body.assign(body.begin(), body.end());
                                        done.signal();
                                      });
      EXPECT_FALSE(id.empty());
      if (!id.empty()) {
        EXPECT_TRUE(done.wait(foundation::Deadline::afterSeconds(30)));
      }
    }
    return *fetched;
  }

  // Scripts the membership server's answer to the client's request, fetches
  // the client's URL and hands the body to the client.
  std::optional<std::string> lookUp(ODCPrivateSetMembershipClient& client, ps::FakeMembershipServer& membership,
                                    const ps::FakeAnswerOptions& options = {}) {
    auto url = client.PSMRequestURLWithRetryCount(1);
    EXPECT_TRUE(url.has_value());
    auto answer = membership.Answer(RequestOf(url.value_or("")), options);
    EXPECT_TRUE(answer.ok()) << answer.status();
    server.answer(
        "GET", kQZMPSMRequestPath,
        {.status = 200, .headers = {}, .body = Body(answer.value_or(ps::PrivateMembershipShuttersResponse()))});
    Fetched fetched = get(*url);
    EXPECT_EQ(fetched.status, 200);
    return client.parsedPSMValueFromResponse(fetched.body);
  }

  testkit::TemporaryHome home;
  testkit::TlsServer server;
};

TEST_F(MembershipLookupTest, AMemberGetsItsValueAndOthersGetNone) {
  const std::string member = LookupIdentifier("+16505550100");
  const std::string stranger = LookupIdentifier("+16505550199");
  auto membership = ps::FakeMembershipServer::Create({
      {member, member, {"conversion-42"}, {}},
      {stranger, stranger, {}, {}},
  });
  ASSERT_TRUE(membership.ok()) << membership.status();

  struct Case {
    const char* name;
    std::function<Client()> make;
    ps::FakeAnswerOptions options;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"member",
       [] { return ODCPrivateSetMembershipClient::initWithPhoneNumber("+1 (650) 555-0100", kAppID); },
       {},
       Base64("conversion-42")},
      {"member, binned, random IV",
       [] { return ODCPrivateSetMembershipClient::initWithPhoneNumber("+16505550100", kAppID); },
       {.encryption_scheme = 2, .num_bins = 4},
       Base64("conversion-42")},
      {"member by digest",
       [] { return ODCPrivateSetMembershipClient::initWithHashedPhoneNumber(Sha256("+16505550100"), kAppID, 11); },
       {.entry_size = 12},
       Base64("conversion-42")},
      {"member without a value",
       [] { return ODCPrivateSetMembershipClient::initWithPhoneNumber("+16505550199", kAppID); },
       {},
       std::nullopt},
      {"non-member",
       [] { return ODCPrivateSetMembershipClient::initWithPhoneNumber("+16505550111", kAppID); },
       {},
       std::nullopt},
      {"same number, other app",
       [] { return ODCPrivateSetMembershipClient::initWithPhoneNumber("+16505550100", "com.example.other"); },
       {},
       std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Client client = c.make();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(lookUp(*client, **membership, c.options), c.expected);
  }
  EXPECT_EQ(server.requests().size(), std::size(cases));
  for (const testkit::RecordedRequest& request : server.requests()) {
    EXPECT_EQ(request.path, kQZMPSMRequestPath);
    EXPECT_THAT(request.target, ::testing::EndsWith("&retry_count=1"));
  }
}

TEST_F(MembershipLookupTest, ServerErrorsGiveNoValue) {
  const std::string member = LookupIdentifier("a@example.org");
  auto membership = ps::FakeMembershipServer::Create({{member, member, {"v"}, {}}});
  ASSERT_TRUE(membership.ok());
  Client client = ODCPrivateSetMembershipClient::initWithEmailAddress("a@example.org", kAppID);
  Client stranger = ODCPrivateSetMembershipClient::initWithEmailAddress("a@example.org", kAppID);
  ASSERT_NE(client, nullptr);
  ASSERT_NE(stranger, nullptr);
  auto url = client->PSMRequestURLWithRetryCount(0);
  ASSERT_TRUE(url.has_value());
  // An answer to another client's request names ids this one never sent.
  auto misdirected = (*membership)->Answer(RequestOf(*stranger->PSMRequestURLWithRetryCount(0)));
  ASSERT_TRUE(misdirected.ok());

  const testkit::Answer answers[] = {
      {.status = 500, .headers = {}, .body = "<html>internal error</html>"},
      {.status = 503, .headers = {}, .body = R"({"error": "unavailable"})"},
      {.status = 200, .headers = {}, .body = R"({"psm_response": "not*base64"})"},
      {.status = 200, .headers = {}, .body = Body(*misdirected)},
      {.status = 200, .headers = {}, .body = "{\"psm_response\": \"" + Base64("\x0a\x05\x12") + "\"}"},
  };
  for (const testkit::Answer& answer : answers) {
    SCOPED_TRACE(answer.body);
    server.answer("GET", kQZMPSMRequestPath, answer);
    Fetched fetched = get(*url);
    EXPECT_EQ(fetched.status, answer.status);
    EXPECT_EQ(client->parsedPSMValueFromResponse(fetched.body), std::nullopt);
  }
  // The real answer still matches afterwards: nothing above changed the client.
  EXPECT_EQ(lookUp(*client, **membership), Base64("v"));
}

}  // namespace

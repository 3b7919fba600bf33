// Membership answers from the network: arbitrary bytes read by the bridge,
// then judged by a client. Everything the record holds came from the input,
// and no value the client decrypts is longer than what encrypted it.
//
// The client's key is random, so the input cannot name the id it sent; an
// empty encrypted id in the input stands for it, which lets the fuzzer reach
// the point decoding, bucket search and value decryption behind the lookup.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "conversion/QZMSerializationUtil.h"
#include "fuzz/FuzzCheck.h"
#include "measurement/proto/NANODiagnostics.h"
#include "platform/foundation/Log.h"
#include "privacy/private_membership/shutters/client/private_membership_shutters_mini_client.h"

namespace ps = private_membership::shutters;

namespace {

struct Client {
  std::unique_ptr<ps::PrivateMembershipShuttersMiniClient> client;
  std::string encrypted_id;
};

Client& TheClient() {
  static Client* made = [] {
    auto client = ps::PrivateMembershipShuttersMiniClient::Create({{"clear", "member@example.com", "secret"}},
                                                                   {8, 2, 0});
    FUZZ_CHECK(client.ok(), "a client is made");
    auto request = (*client)->CreateRequest(35);
    FUZZ_CHECK(request.ok() && request->encrypted_request.size() == 1, "it makes its request");
    return new Client{std::move(client).value(), request->encrypted_request[0].encrypted_id};
  }();
  return *made;
}

std::size_t BucketItems(const ps::EncryptedBucket& bucket, std::size_t* bytes) {
  for (const std::string& id : bucket.encrypted_id) *bytes += id.size();
  for (const std::string& value : bucket.encrypted_value) *bytes += value.size();
  for (const ps::IdValuePairMetadata& m : bucket.metadata) {
    *bytes += m.unencrypted_metadata.size() + m.group_key.value_or("").size();
  }
  return bucket.encrypted_id.size() + bucket.encrypted_value.size() + bucket.metadata.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    NANOSetOutputSink([](std::string_view) {});
    foundation::setLogSink([](std::string_view) {});
    return true;
  }();
  (void)quiet;
  auto response = QZMParsePSMResponse(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!response.ok()) return 0;

  // Every list item took at least a tag and a length byte of the input.
  std::size_t items = 0, bytes = 0, ids = 0;
  std::size_t longest_value = 0;
  for (ps::EncryptedResponse& part : response->encrypted_response) {
    items += 1 + part.doubly_encrypted_id.size();
    for (ps::DoublyEncryptedId& id : part.doubly_encrypted_id) {
      bytes += id.encrypted_id.size() + id.doubly_encrypted_id.size();
      if (id.encrypted_id.empty()) id.encrypted_id = TheClient().encrypted_id;
    }
    ids += part.doubly_encrypted_id.size();
    items += BucketItems(part.bucket, &bytes) + BucketItems(part.binned_bucket, &bytes);
    for (const std::string& value : part.bucket.encrypted_value) {
      longest_value = std::max(longest_value, value.size());
    }
    for (const std::string& value : part.binned_bucket.encrypted_value) {
      longest_value = std::max(longest_value, value.size());
    }
  }
  FUZZ_CHECK(2 * items <= size, "each item came from the input");
  FUZZ_CHECK(bytes <= size, "each byte string came from the input");

  auto results = TheClient().client->ProcessResponse(*response);
  if (!results.ok()) return 0;
  FUZZ_CHECK(results->size() == ids, "one verdict per doubly encrypted id");
  for (const ps::MembershipResult& result : *results) {
    FUZZ_CHECK(result.is_member || (result.values.empty() && result.metadata.empty()), "only members have values");
    FUZZ_CHECK(result.metadata_values.size() == result.metadata.size(), "each metadata record has its value slot");
    for (const std::string& value : result.values) {
      FUZZ_CHECK(value.size() <= longest_value, "a value is no longer than its encryption");
    }
  }
  return 0;
}

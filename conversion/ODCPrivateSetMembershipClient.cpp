#include "conversion/ODCPrivateSetMembershipClient.h"

#include <absl/strings/escaping.h>

#include <string>
#include <utility>
#include <vector>

#include "conversion/QZMIdentifierNormalization.h"
#include "conversion/QZMSerializationUtil.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/URL.h"
#include "platform/utilities/Endpoints.h"
#include "security/util/sha256.h"

namespace ps = private_membership::shutters;

namespace {

constexpr std::size_t kDigestLength = 32;
constexpr std::int32_t kEmailUseCase = 3;
constexpr std::int32_t kPhoneUseCase = 7;
constexpr std::int32_t kHashType = 2;
constexpr std::int32_t kDefaultEmailPrefixBitLength = 14;
constexpr std::int32_t kDefaultPhonePrefixBitLength = 11;

std::string SHA256Of(std::string_view first, std::string_view second = {}) {
  security::SHA256 hash;
  hash.Update(first.data(), first.size());
  hash.Update(second.data(), second.size());
  return hash.DigestString();
}

std::string WebSafeBase64(std::string_view bytes) {
  return absl::WebSafeBase64Escape(absl::string_view(bytes.data(), bytes.size()));
}

}  // namespace

std::unique_ptr<ODCPrivateSetMembershipClient> ODCPrivateSetMembershipClient::make(InputType type,
                                                                                   std::string hashedInput,
                                                                                   std::string_view appID,
                                                                                   std::int32_t prefixBitLength) {
  std::unique_ptr<ODCPrivateSetMembershipClient> client(new ODCPrivateSetMembershipClient());
  client->PSMInput_ = SHA256Of(hashedInput, appID);
  client->hashedInput_ = std::move(hashedInput);
  client->appID_ = std::string(appID);
  client->inputType_ = type;
  client->prefixBitLength_ = prefixBitLength;

  std::vector<ps::PrivateMembershipShuttersId> ids = {
      {.clear_id = client->appID_, .non_sensitive_id = client->PSMInput_, .sensitive_id = client->PSMInput_}};
  auto shutters = ps::PrivateMembershipShuttersMiniClient::Create(
      std::move(ids), {.hashed_non_sensitive_id_prefix_bit_length = prefixBitLength, .hash_type = kHashType});
  if (!shutters.ok()) return nullptr;
  client->shuttersClient_ = std::move(*shutters);
  client->shuttersUseCase_ = (type == kEmail || type == kHashedEmail) ? kEmailUseCase : kPhoneUseCase;
  return client;
}

std::unique_ptr<ODCPrivateSetMembershipClient> ODCPrivateSetMembershipClient::initWithEmailAddress(
    std::string_view emailAddress, std::string_view appID) {
  return initWithEmailAddress(emailAddress, appID, kDefaultEmailPrefixBitLength);
}

std::unique_ptr<ODCPrivateSetMembershipClient> ODCPrivateSetMembershipClient::initWithEmailAddress(
    std::string_view emailAddress, std::string_view appID, std::int32_t prefixBitLength) {
  if (appID.empty()) return nullptr;
  std::optional<std::string> normalized = QZMNormalizedEmailAddress(emailAddress);
  if (!normalized || normalized->empty()) return nullptr;
  return make(kEmail, SHA256Of(*normalized), appID, prefixBitLength);
}

std::unique_ptr<ODCPrivateSetMembershipClient> ODCPrivateSetMembershipClient::initWithPhoneNumber(
    std::string_view phoneNumber, std::string_view appID) {
  return initWithPhoneNumber(phoneNumber, appID, kDefaultPhonePrefixBitLength);
}

std::unique_ptr<ODCPrivateSetMembershipClient> ODCPrivateSetMembershipClient::initWithPhoneNumber(
    std::string_view phoneNumber, std::string_view appID, std::int32_t prefixBitLength) {
  if (appID.empty()) return nullptr;
  std::optional<std::string> normalized = QZMNormalizedPhoneNumber(phoneNumber);
  if (!normalized || normalized->empty()) return nullptr;
  return make(kPhone, SHA256Of(*normalized), appID, prefixBitLength);
}

// A digest of any other length is not a SHA-256 of the identifier: a shorter
// one would be read past its end, a longer one would silently be cut.
std::unique_ptr<ODCPrivateSetMembershipClient> ODCPrivateSetMembershipClient::initWithHashedEmailAddress(
    std::string_view digest, std::string_view appID, std::int32_t prefixBitLength) {
  if (digest.size() != kDigestLength || appID.empty()) return nullptr;
  return make(kHashedEmail, std::string(digest), appID, prefixBitLength);
}

std::unique_ptr<ODCPrivateSetMembershipClient> ODCPrivateSetMembershipClient::initWithHashedPhoneNumber(
    std::string_view digest, std::string_view appID, std::int32_t prefixBitLength) {
  if (digest.size() != kDigestLength || appID.empty()) return nullptr;
  return make(kHashedPhone, std::string(digest), appID, prefixBitLength);
}

std::optional<std::string> ODCPrivateSetMembershipClient::serializedRequestAsWebsafeBase64() {
  if (!serializedShuttersRequest_.empty()) return serializedShuttersRequest_;
  auto request = shuttersClient_->CreateRequest(static_cast<std::uint32_t>(shuttersUseCase_));
  if (!request.ok()) return std::nullopt;
  // An encoding failure gives no bytes, and so no URL.
  serializedShuttersRequest_ = WebSafeBase64(QZMSerializePSMRequest(*request));
  return serializedShuttersRequest_;
}

std::optional<std::string> ODCPrivateSetMembershipClient::PSMRequestURLWithRetryCount(std::int32_t retryCount) {
  std::optional<std::string> request = serializedRequestAsWebsafeBase64();
  if (!request || request->empty()) return std::nullopt;
  return utilities::Endpoints::baseURL(utilities::kEndpointAdServices) + kQZMPSMRequestPath + "?" +
         foundation::queryString({{"psm_request", *request}, {"retry_count", std::to_string(retryCount)}});
}

std::optional<std::string> ODCPrivateSetMembershipClient::parsedPSMValueFromResponse(std::string_view body) {
  if (body.empty()) return std::nullopt;
  foundation::Result<foundation::Object> json = foundation::parseJSON(body);
  if (!json.ok()) return std::nullopt;
  const foundation::Dictionary* object = json->dictionary();
  if (object == nullptr || object->empty()) return std::nullopt;
  const foundation::Object* field = json->find("psm_response");
  if (field == nullptr || field->string() == nullptr) return std::nullopt;

  std::string bytes;
  if (!absl::WebSafeBase64Unescape(*field->string(), &bytes)) return std::nullopt;
  auto response = QZMParsePSMResponse(bytes);
  if (!response.ok()) return std::nullopt;
  auto results = shuttersClient_->ProcessResponse(*response);
  if (!results.ok()) return std::nullopt;
  for (const ps::MembershipResult& result : *results) {
    if (result.is_member && !result.value.empty()) return WebSafeBase64(result.value);
  }
  return std::nullopt;
}

std::optional<std::string> ODCPrivateSetMembershipClient::debugKey() const {
  if (PSMInput_.empty()) return std::nullopt;
  return WebSafeBase64(PSMInput_ + PSMInput_);
}

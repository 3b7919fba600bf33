// The membership lookup of one user identifier (an e-mail address, a phone
// number, or the SHA-256 digest of either in canonical form) for one app.
// The identifier leaves the device only as a bucket prefix of its lookup hash
// and blinded with a key this object makes and keeps.
//
//   auto client = ODCPrivateSetMembershipClient::initWithEmailAddress(address, bundleID);
//   if (client) url = client->PSMRequestURLWithRetryCount(0);
//
// Not thread-safe: one lookup, one queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "conversion/QZMPrivateSetMembershipClient.h"
#include "privacy/private_membership/shutters/client/private_membership_shutters_mini_client.h"

inline constexpr const char* kQZMPSMRequestPath = "/pagead/conversion/app/psm";

class ODCPrivateSetMembershipClient final : public QZMPrivateSetMembershipClient {
 public:
  // Each answers nullptr when it refuses: an empty app ID, an identifier that
  // does not normalise, a digest that is not 32 bytes, or a prefix length the
  // membership client refuses (negative).
  static std::unique_ptr<ODCPrivateSetMembershipClient> initWithEmailAddress(std::string_view emailAddress,
                                                                             std::string_view appID);
  static std::unique_ptr<ODCPrivateSetMembershipClient> initWithEmailAddress(std::string_view emailAddress,
                                                                             std::string_view appID,
                                                                             std::int32_t prefixBitLength);
  static std::unique_ptr<ODCPrivateSetMembershipClient> initWithPhoneNumber(std::string_view phoneNumber,
                                                                            std::string_view appID);
  static std::unique_ptr<ODCPrivateSetMembershipClient> initWithPhoneNumber(std::string_view phoneNumber,
                                                                            std::string_view appID,
                                                                            std::int32_t prefixBitLength);
  static std::unique_ptr<ODCPrivateSetMembershipClient> initWithHashedEmailAddress(std::string_view digest,
                                                                                   std::string_view appID,
                                                                                   std::int32_t prefixBitLength);
  static std::unique_ptr<ODCPrivateSetMembershipClient> initWithHashedPhoneNumber(std::string_view digest,
                                                                                  std::string_view appID,
                                                                                  std::int32_t prefixBitLength);

  std::int64_t inputType() const override { return inputType_; }
  std::int32_t prefixBitLength() const override { return prefixBitLength_; }
  // Built once; later calls answer the same text.
  std::optional<std::string> serializedRequestAsWebsafeBase64();
  // The ad-services endpoint, path kQZMPSMRequestPath, query
  // "psm_request=...&retry_count=...".
  std::optional<std::string> PSMRequestURLWithRetryCount(std::int32_t retryCount) override;
  // The body must be a JSON object whose "psm_response" is the web-safe
  // Base64 of a membership response.
  std::optional<std::string> parsedPSMValueFromResponse(std::string_view body) override;
  // The lookup identifier twice, web-safe Base64.
  std::optional<std::string> debugKey() const override;

 private:
  enum InputType : std::int64_t { kEmail = 1, kPhone = 2, kHashedEmail = 3, kHashedPhone = 4 };

  ODCPrivateSetMembershipClient() = default;
  static std::unique_ptr<ODCPrivateSetMembershipClient> make(InputType type, std::string hashedInput,
                                                             std::string_view appID, std::int32_t prefixBitLength);

  std::unique_ptr<private_membership::shutters::PrivateMembershipShuttersMiniClient> shuttersClient_;
  std::int32_t shuttersUseCase_ = 0;
  std::string serializedShuttersRequest_;
  std::string hashedInput_;  // 32 bytes
  std::string PSMInput_;     // 32 bytes
  std::string appID_;
  std::int64_t inputType_ = 0;
  std::int32_t prefixBitLength_ = 0;
};

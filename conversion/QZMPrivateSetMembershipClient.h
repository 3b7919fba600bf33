// What the engine needs of a membership lookup client: the lookup URL for a
// try and the matched value read from the server's answer. A client serves
// one lookup; retries reuse it and so resend the same request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class QZMPrivateSetMembershipClient {
 public:
  virtual ~QZMPrivateSetMembershipClient() = default;

  // 1 e-mail, 2 phone, 3 hashed e-mail, 4 hashed phone.
  virtual std::int64_t inputType() const = 0;
  // Leading bits of the identifier hash the lookup reveals.
  virtual std::int32_t prefixBitLength() const = 0;
  // nullopt when no request can be built.
  virtual std::optional<std::string> PSMRequestURLWithRetryCount(std::int32_t retryCount) = 0;
  // The matched value as web-safe Base64, or nullopt: no match, or an answer
  // that cannot be read.
  virtual std::optional<std::string> parsedPSMValueFromResponse(std::string_view body) = 0;
  // A key the server's debug mode recognises the lookup by; nullopt when the
  // client has none.
  virtual std::optional<std::string> debugKey() const { return std::nullopt; }
};

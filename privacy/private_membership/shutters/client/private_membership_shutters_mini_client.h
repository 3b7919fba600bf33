// The client side of private set membership. Each identifier leaves the
// device only as a short prefix of its hash (the server bucket to look in)
// and blinded with a key that only this object knows. The server adds its own
// key on top and answers with buckets of hashes of its members blinded with
// its key; the client removes its key again and looks for the result there.
//
// One object serves one request and its answer. One thread at a time: the
// context and the cipher hold scratch state.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <absl/container/flat_hash_map.h>
#include <absl/status/statusor.h>

#include "privacy/private_membership/shutters/shared/private_membership_shutters_types.h"
#include "privacy/shutters/cpp/crypto/context.h"
#include "privacy/shutters/cpp/crypto/ec_commutative_cipher.h"

namespace private_membership::shutters {

class PrivateMembershipShuttersMiniClient {
 public:
  // A fresh random key on P-256. The prefix bit length must be >= 0 and the
  // hash type 1 or 2.
  static absl::StatusOr<std::unique_ptr<PrivateMembershipShuttersMiniClient>> Create(
      std::vector<PrivateMembershipShuttersId> ids, const PrivateMembershipShuttersParameters& parameters);

  PrivateMembershipShuttersMiniClient(const PrivateMembershipShuttersMiniClient&) = delete;
  PrivateMembershipShuttersMiniClient& operator=(const PrivateMembershipShuttersMiniClient&) = delete;

  // One entry per identifier, in order. The key is fixed for the client's
  // life, so calling it again gives the same entries.
  absl::StatusOr<PrivateMembershipShuttersRequest> CreateRequest(std::uint32_t use_case);

  // One result per doubly encrypted id of the answer, in answer order. Fails
  // as a whole when the answer names an id this client never sent. Changes
  // nothing in the client.
  absl::StatusOr<std::vector<MembershipResult>> ProcessResponse(const PrivateMembershipShuttersResponse& response);

 private:
  PrivateMembershipShuttersMiniClient(std::vector<PrivateMembershipShuttersId> ids,
                                      const PrivateMembershipShuttersParameters& parameters,
                                      std::unique_ptr<::shutters::ECCommutativeCipher> cipher,
                                      std::unique_ptr<::shutters::Context> context);

  // The verdict for one identifier, blinded by the server's key alone.
  absl::StatusOr<MembershipResult> Match(const std::string& server_blinded_id, const EncryptedResponse& response);

  std::vector<PrivateMembershipShuttersId> ids_;
  // Encrypted id -> position in ids_; filled by CreateRequest.
  absl::flat_hash_map<std::string, std::int32_t> lookup_;
  PrivateMembershipShuttersParameters parameters_;
  std::unique_ptr<::shutters::ECCommutativeCipher> cipher_;
  std::unique_ptr<::shutters::Context> context_;
};

}  // namespace private_membership::shutters

// A membership server for tests: it holds a set of members with values,
// blinds with a key of its own and answers requests the way the client
// expects, so that tests run the real protocol end to end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <absl/status/statusor.h>

#include "privacy/private_membership/shutters/shared/private_membership_shutters_types.h"
#include "privacy/shutters/cpp/crypto/big_num.h"
#include "privacy/shutters/cpp/crypto/context.h"
#include "privacy/shutters/cpp/crypto/ec_group.h"

namespace private_membership::shutters {

struct FakeMember {
  std::string non_sensitive_id;
  std::string sensitive_id;
  // One bucket entry per value; a member without values gets one entry
  // without a value.
  std::vector<std::string> values;
  // Parallel to values where given.
  std::vector<IdValuePairMetadata> metadata;
};

struct FakeAnswerOptions {
  std::int32_t encryption_scheme = 1;
  // 0: bucket entries are lookup hashes cut to entry_size bytes. >= 1: they
  // are the members' bins, in binned_bucket.
  std::int32_t num_bins = 0;
  std::size_t entry_size = 32;
};

class FakeMembershipServer {
 public:
  static absl::StatusOr<std::unique_ptr<FakeMembershipServer>> Create(std::vector<FakeMember> members);

  // A client's encrypted id with the server's key on top.
  absl::StatusOr<std::string> Blind(std::string_view encrypted_id);
  // A member as blinded by the server's key alone.
  absl::StatusOr<std::string> BlindMember(std::string_view non_sensitive_id, std::string_view sensitive_id);
  absl::StatusOr<std::string> EncryptValue(std::string_view server_blinded_id, std::string_view value,
                                           std::int32_t encryption_scheme);

  // One encrypted response per request entry: the entry's doubly encrypted
  // id and a bucket of every member whose hashed bucket id matches it.
  absl::StatusOr<PrivateMembershipShuttersResponse> Answer(const PrivateMembershipShuttersRequest& request,
                                                           const FakeAnswerOptions& options = {});

 private:
  FakeMembershipServer(std::vector<FakeMember> members, std::unique_ptr<::shutters::Context> context,
                       std::unique_ptr<::shutters::ECGroup> group, ::shutters::BigNum key);

  absl::StatusOr<bool> InBucket(const FakeMember& member, const PrivateMembershipShuttersParameters& parameters,
                                const std::string& hashed_bucket_id);

  std::vector<FakeMember> members_;
  std::unique_ptr<::shutters::Context> context_;
  std::unique_ptr<::shutters::ECGroup> group_;
  ::shutters::BigNum key_;
};

}  // namespace private_membership::shutters

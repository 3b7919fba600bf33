#include "privacy/private_membership/shutters/testing/fake_membership_server.h"

#include <absl/strings/str_cat.h>

#include "base/status.h"
#include "privacy/private_membership/common/aes_ctr_256_no_auth.h"
#include "privacy/private_membership/common/aes_ctr_256_with_fixed_iv.h"
#include "privacy/private_membership/common/crypto_utils.h"
#include "privacy/private_membership/shutters/shared/crypto_utils.h"
#include "privacy/private_membership/shutters/shared/hashed_bucket_id.h"

namespace private_membership::shutters {

FakeMembershipServer::FakeMembershipServer(std::vector<FakeMember> members,
                                           std::unique_ptr<::shutters::Context> context,
                                           std::unique_ptr<::shutters::ECGroup> group, ::shutters::BigNum key)
    : members_(std::move(members)), context_(std::move(context)), group_(std::move(group)), key_(std::move(key)) {}

absl::StatusOr<std::unique_ptr<FakeMembershipServer>> FakeMembershipServer::Create(std::vector<FakeMember> members) {
  BASE_ASSIGN_OR_RETURN(std::unique_ptr<::shutters::Context> context, ::shutters::Context::Create());
  BASE_ASSIGN_OR_RETURN(::shutters::ECGroup group, ::shutters::ECGroup::Create(415, context.get()));
  BASE_ASSIGN_OR_RETURN(::shutters::BigNum key, group.GenerateRandomScalar());
  return std::unique_ptr<FakeMembershipServer>(
      new FakeMembershipServer(std::move(members), std::move(context),
                               std::make_unique<::shutters::ECGroup>(std::move(group)), std::move(key)));
}

absl::StatusOr<std::string> FakeMembershipServer::Blind(std::string_view encrypted_id) {
  BASE_ASSIGN_OR_RETURN(::shutters::ECPoint point, group_->CreateECPoint(encrypted_id));
  BASE_ASSIGN_OR_RETURN(::shutters::ECPoint blinded, point.Multiply(key_));
  return blinded.ToCompressedBytes();
}

absl::StatusOr<std::string> FakeMembershipServer::BlindMember(std::string_view non_sensitive_id,
                                                              std::string_view sensitive_id) {
  // The client's cipher hashes with SHA-256 try-and-increment.
  BASE_ASSIGN_OR_RETURN(::shutters::ECPoint point,
                        group_->HashToCurveSha256(absl::StrCat(base::ToAbsl(non_sensitive_id),
                                                               base::ToAbsl(sensitive_id))));
  BASE_ASSIGN_OR_RETURN(::shutters::ECPoint blinded, point.Multiply(key_));
  return blinded.ToCompressedBytes();
}

absl::StatusOr<std::string> FakeMembershipServer::EncryptValue(std::string_view server_blinded_id,
                                                               std::string_view value,
                                                               std::int32_t encryption_scheme) {
  BASE_ASSIGN_OR_RETURN(std::string key, ComputeValueKey(server_blinded_id, context_.get()));
  if (encryption_scheme == 1) {
    std::string plaintext(4, '\0');
    for (int i = 0; i < 4; ++i) plaintext[i] = static_cast<char>((value.size() >> (8 * i)) & 0xFF);
    plaintext.append(value);
    BASE_ASSIGN_OR_RETURN(auto cipher, AesCtr256WithFixedIV::Create(key));
    return cipher->Encrypt(plaintext);
  }
  BASE_ASSIGN_OR_RETURN(auto cipher, AesCtr256NoAuth::Create(key));
  return cipher->Encrypt(value);
}

absl::StatusOr<bool> FakeMembershipServer::InBucket(const FakeMember& member,
                                                    const PrivateMembershipShuttersParameters& parameters,
                                                    const std::string& hashed_bucket_id) {
  BASE_ASSIGN_OR_RETURN(HashedBucketId bucket,
                        HashedBucketId::Create(member.non_sensitive_id,
                                               parameters.hashed_non_sensitive_id_prefix_bit_length,
                                               parameters.hash_type, context_.get()));
  return bucket.hashed_bucket_id() == hashed_bucket_id;
}

absl::StatusOr<PrivateMembershipShuttersResponse> FakeMembershipServer::Answer(
    const PrivateMembershipShuttersRequest& request, const FakeAnswerOptions& options) {
  PrivateMembershipShuttersResponse response;
  for (const EncryptedRequest& entry : request.encrypted_request) {
    EncryptedResponse answer;
    answer.num_bins = options.num_bins;
    answer.encryption_scheme = options.encryption_scheme;
    BASE_ASSIGN_OR_RETURN(std::string doubly, Blind(entry.encrypted_id));
    answer.doubly_encrypted_id.push_back({.encrypted_id = entry.encrypted_id, .doubly_encrypted_id = doubly});

    EncryptedBucket& bucket = options.num_bins >= 1 ? answer.binned_bucket : answer.bucket;
    bool with_metadata = false;
    for (const FakeMember& member : members_) {
      BASE_ASSIGN_OR_RETURN(bool in_bucket, InBucket(member, request.parameters, entry.hashed_bucket_id));
      if (!in_bucket) continue;
      BASE_ASSIGN_OR_RETURN(std::string blinded, BlindMember(member.non_sensitive_id, member.sensitive_id));
      BASE_ASSIGN_OR_RETURN(std::string lookup, ComputeLookupHash(blinded, context_.get()));
      if (options.num_bins >= 1) {
        BASE_ASSIGN_OR_RETURN(lookup, HashToBin(lookup, options.num_bins));
      } else {
        lookup.resize(std::min(lookup.size(), options.entry_size));
      }
      std::size_t entries = std::max<std::size_t>(member.values.size(), 1);
      for (std::size_t j = 0; j < entries; ++j) {
        bucket.encrypted_id.push_back(lookup);
        std::string value;
        if (j < member.values.size()) {
          BASE_ASSIGN_OR_RETURN(value, EncryptValue(blinded, member.values[j], options.encryption_scheme));
        }
        bucket.encrypted_value.push_back(std::move(value));
        with_metadata = with_metadata || j < member.metadata.size();
        bucket.metadata.push_back(j < member.metadata.size() ? member.metadata[j] : IdValuePairMetadata{});
      }
    }
    if (!with_metadata) bucket.metadata.clear();
    response.encrypted_response.push_back(std::move(answer));
  }
  return response;
}

}  // namespace private_membership::shutters

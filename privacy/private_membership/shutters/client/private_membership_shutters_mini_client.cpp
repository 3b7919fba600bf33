#include "privacy/private_membership/shutters/client/private_membership_shutters_mini_client.h"

#include <absl/strings/str_cat.h>

#include <optional>

#include "base/status.h"
#include "privacy/private_membership/common/crypto_utils.h"
#include "privacy/private_membership/shutters/shared/crypto_utils.h"
#include "privacy/private_membership/shutters/shared/hashed_bucket_id.h"

namespace private_membership::shutters {
namespace {

constexpr std::int32_t kCurveP256 = 415;

bool IsPrefixOf(std::string_view entry, std::string_view key) {
  return entry.size() <= key.size() && key.substr(0, entry.size()) == entry;
}

}  // namespace

PrivateMembershipShuttersMiniClient::PrivateMembershipShuttersMiniClient(
    std::vector<PrivateMembershipShuttersId> ids, const PrivateMembershipShuttersParameters& parameters,
    std::unique_ptr<::shutters::ECCommutativeCipher> cipher, std::unique_ptr<::shutters::Context> context)
    : ids_(std::move(ids)), parameters_(parameters), cipher_(std::move(cipher)), context_(std::move(context)) {}

absl::StatusOr<std::unique_ptr<PrivateMembershipShuttersMiniClient>> PrivateMembershipShuttersMiniClient::Create(
    std::vector<PrivateMembershipShuttersId> ids, const PrivateMembershipShuttersParameters& parameters) {
  if (parameters.hashed_non_sensitive_id_prefix_bit_length < 0) {
    return base::InvalidArgumentError("hashed_non_sensitive_id_prefix_bit_length must be non-negative.");
  }
  if (parameters.hash_type != 1 && parameters.hash_type != 2) {
    return base::InvalidArgumentError("Hash Type must be declared.");
  }
  BASE_ASSIGN_OR_RETURN(std::unique_ptr<::shutters::ECCommutativeCipher> cipher,
                        ::shutters::ECCommutativeCipher::CreateWithRandomKey(
                            kCurveP256, ::shutters::ECCommutativeCipher::SHA256));
  BASE_ASSIGN_OR_RETURN(std::unique_ptr<::shutters::Context> context, ::shutters::Context::Create());
  return std::unique_ptr<PrivateMembershipShuttersMiniClient>(
      new PrivateMembershipShuttersMiniClient(std::move(ids), parameters, std::move(cipher), std::move(context)));
}

absl::StatusOr<PrivateMembershipShuttersRequest> PrivateMembershipShuttersMiniClient::CreateRequest(
    std::uint32_t use_case) {
  PrivateMembershipShuttersRequest request;
  request.use_case = use_case;
  request.parameters = parameters_;
  request.encrypted_request.reserve(ids_.size());
  for (std::size_t i = 0; i < ids_.size(); ++i) {
    const PrivateMembershipShuttersId& id = ids_[i];
    BASE_ASSIGN_OR_RETURN(HashedBucketId bucket,
                          HashedBucketId::Create(id.non_sensitive_id,
                                                 parameters_.hashed_non_sensitive_id_prefix_bit_length,
                                                 parameters_.hash_type, context_.get()));
    BASE_ASSIGN_OR_RETURN(std::string encrypted_id,
                          cipher_->Encrypt(absl::StrCat(base::ToAbsl(id.non_sensitive_id),
                                                        base::ToAbsl(id.sensitive_id))));
    // The same identifier twice maps to its later position.
    lookup_[encrypted_id] = static_cast<std::int32_t>(i);
    request.encrypted_request.push_back(
        {.clear_id = id.clear_id, .hashed_bucket_id = bucket.hashed_bucket_id(), .encrypted_id = encrypted_id});
  }
  return request;
}

absl::StatusOr<std::vector<MembershipResult>> PrivateMembershipShuttersMiniClient::ProcessResponse(
    const PrivateMembershipShuttersResponse& response) {
  std::vector<MembershipResult> results;
  for (const EncryptedResponse& encrypted_response : response.encrypted_response) {
    for (const DoublyEncryptedId& id : encrypted_response.doubly_encrypted_id) {
      BASE_ASSIGN_OR_RETURN(std::string server_blinded, cipher_->Decrypt(id.doubly_encrypted_id));
      auto position = lookup_.find(id.encrypted_id);
      if (position == lookup_.end()) {
        return base::InvalidArgumentError("Processed response does not correspond to created request.");
      }
      BASE_ASSIGN_OR_RETURN(MembershipResult result, Match(server_blinded, encrypted_response));
      result.id = ids_[position->second];
      results.push_back(std::move(result));
    }
  }
  return results;
}

absl::StatusOr<MembershipResult> PrivateMembershipShuttersMiniClient::Match(const std::string& server_blinded_id,
                                                                            const EncryptedResponse& response) {
  BASE_ASSIGN_OR_RETURN(std::string key, ComputeLookupHash(server_blinded_id, context_.get()));
  const EncryptedBucket* bucket = &response.bucket;
  if (response.num_bins >= 1) {
    BASE_ASSIGN_OR_RETURN(key, HashToBin(key, response.num_bins));
    bucket = &response.binned_bucket;
  }
  MembershipResult result;
  for (std::size_t i = 0; i < bucket->encrypted_id.size(); ++i) {
    if (!IsPrefixOf(bucket->encrypted_id[i], key)) continue;
    result.is_member = true;
    std::optional<std::string> value;
    if (i < bucket->encrypted_value.size() && !bucket->encrypted_value[i].empty()) {
      BASE_ASSIGN_OR_RETURN(value, DecryptValue(server_blinded_id, bucket->encrypted_value[i],
                                                response.encryption_scheme, context_.get()));
      if (result.values.empty()) result.value = *value;
      result.values.push_back(*value);
    }
    if (i < bucket->metadata.size()) {
      result.metadata.push_back(bucket->metadata[i]);
      result.metadata_values.push_back(std::move(value));
    }
  }
  return result;
}

}  // namespace private_membership::shutters

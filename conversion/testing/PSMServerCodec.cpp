#include "conversion/testing/PSMServerCodec.h"

#include <absl/status/status.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "conversion/generated/PSMMessages.h"
#include "measurement/proto/NANOFieldAccess.h"

namespace ps = private_membership::shutters;

namespace psm_testing {
namespace {

std::span<const std::uint8_t> BytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string GetBytes(const NANOMessageBase* message, std::int32_t field) {
  std::optional<foundation::Data> data = NANOGetBytes(message, field);
  return data ? std::string(data->begin(), data->end()) : std::string();
}

bool SetBytes(NANOMessageBase* message, std::int32_t field, std::string_view value) {
  return value.empty() || NANOSetBytes(message, field, BytesOf(value));
}

bool SetBytesList(NANOMessageBase* message, std::int32_t field, const std::vector<std::string>& values) {
  if (values.empty()) return true;
  NANOObjectArray items;
  for (const std::string& value : values)
    items.emplace_back(foundation::Object(foundation::Data(value.begin(), value.end())));
  return NANOSetArray(message, field, &items);
}

template <class M>
std::unique_ptr<M> Fresh() {
  return M::initWithMessageInfo(nullptr);
}

std::unique_ptr<PSMEncryptedBucket> BucketMessage(const ps::EncryptedBucket& bucket) {
  auto message = Fresh<PSMEncryptedBucket>();
  if (!SetBytesList(message.get(), PSMEncryptedBucket::kEncryptedId, bucket.encrypted_id) ||
      !SetBytesList(message.get(), PSMEncryptedBucket::kEncryptedValue, bucket.encrypted_value)) {
    return nullptr;
  }
  if (!bucket.metadata.empty()) {
    NANOObjectArray items;
    for (const ps::IdValuePairMetadata& metadata : bucket.metadata) {
      auto item = Fresh<PSMPrivateMembershipShuttersIdValuePairMetadata>();
      SetBytes(item.get(), PSMPrivateMembershipShuttersIdValuePairMetadata::kUnencryptedMetadata,
               metadata.unencrypted_metadata);
      // A present key is written even when empty: its presence is the point.
      if (metadata.group_key && !NANOSetBytes(item.get(), PSMPrivateMembershipShuttersIdValuePairMetadata::kGroupKey,
                                              BytesOf(*metadata.group_key))) {
        return nullptr;
      }
      items.emplace_back(std::shared_ptr<NANOMessageBase>(std::move(item)));
    }
    if (!NANOSetArray(message.get(), PSMEncryptedBucket::kMetadata, &items)) return nullptr;
  }
  return message;
}

}  // namespace

absl::StatusOr<ps::PrivateMembershipShuttersRequest> ParsePSMRequest(std::string_view bytes) {
  auto message = PSMPrivateMembershipShuttersRequest::initWithBuffer(BytesOf(bytes));
  if (message == nullptr) return absl::InvalidArgumentError("not a membership request");
  ps::PrivateMembershipShuttersRequest request;
  request.use_case =
      static_cast<std::uint32_t>(NANOGetInt32(message.get(), PSMPrivateMembershipShuttersRequest::kUseCase));
  if (auto parameters = NANOGetMessage<PSMPrivateMembershipShuttersParameters>(
          message.get(), PSMPrivateMembershipShuttersRequest::kParameters)) {
    request.parameters.hash_type = NANOGetInt32(parameters.get(), PSMPrivateMembershipShuttersParameters::kHashType);
    request.parameters.hashed_non_sensitive_id_prefix_bit_length =
        NANOGetInt32(parameters.get(), PSMPrivateMembershipShuttersParameters::kHashedNonSensitiveIdPrefixBitLength);
  }
  auto entries =
      NANOGetArray<PSMEncryptedRequest>(message.get(), PSMPrivateMembershipShuttersRequest::kEncryptedRequest);
  for (const auto& entry : entries.value_or(std::vector<std::shared_ptr<PSMEncryptedRequest>>())) {
    request.encrypted_request.push_back(
        {.clear_id = GetBytes(entry.get(), PSMEncryptedRequest::kClearId),
         .hashed_bucket_id = GetBytes(entry.get(), PSMEncryptedRequest::kHashedBucketId),
         .encrypted_id = GetBytes(entry.get(), PSMEncryptedRequest::kEncryptedId)});
  }
  return request;
}

std::string SerializePSMResponse(const ps::PrivateMembershipShuttersResponse& response) {
  auto message = Fresh<PSMPrivateMembershipShuttersResponse>();
  NANOObjectArray parts;
  for (const ps::EncryptedResponse& part : response.encrypted_response) {
    auto item = Fresh<PSMEncryptedResponse>();
    NANOObjectArray ids;
    for (const ps::DoublyEncryptedId& id : part.doubly_encrypted_id) {
      auto pair = Fresh<PSMDoublyEncryptedId>();
      if (!SetBytes(pair.get(), PSMDoublyEncryptedId::kEncryptedId, id.encrypted_id) ||
          !SetBytes(pair.get(), PSMDoublyEncryptedId::kDoublyEncryptedId, id.doubly_encrypted_id)) {
        return std::string();
      }
      ids.emplace_back(std::shared_ptr<NANOMessageBase>(std::move(pair)));
    }
    if (!ids.empty() && !NANOSetArray(item.get(), PSMEncryptedResponse::kDoublyEncryptedId, &ids)) return std::string();
    auto bucket = BucketMessage(part.bucket);
    auto binned = BucketMessage(part.binned_bucket);
    auto metadata = Fresh<PSMEncryptedResponseMetadata>();
    if (bucket == nullptr || binned == nullptr) return std::string();
    NANOSetInt32(metadata.get(), PSMEncryptedResponseMetadata::kNumBins, part.num_bins);
    NANOSetInt32(metadata.get(), PSMEncryptedResponseMetadata::kEncryptionScheme, part.encryption_scheme);
    if (!NANOSetMessage(item.get(), PSMEncryptedResponse::kBucket, bucket.get()) ||
        !NANOSetMessage(item.get(), PSMEncryptedResponse::kBinnedBucket, binned.get()) ||
        !NANOSetMessage(item.get(), PSMEncryptedResponse::kMetadata, metadata.get())) {
      return std::string();
    }
    parts.emplace_back(std::shared_ptr<NANOMessageBase>(std::move(item)));
  }
  if (!parts.empty() &&
      !NANOSetArray(message.get(), PSMPrivateMembershipShuttersResponse::kEncryptedResponse, &parts)) {
    return std::string();
  }
  std::optional<foundation::Data> bytes = message->protoBuffer();
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

}  // namespace psm_testing

#include "conversion/QZMSerializationUtil.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "base/status.h"
#include "conversion/generated/PSMMessages.h"
#include "measurement/proto/NANOFieldAccess.h"

namespace ps = private_membership::shutters;

namespace {

std::span<const std::uint8_t> BytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Writing leaves empty values out, so that absent and empty read the same.
// False when the runtime refuses the value (too long to be read back).
bool SetBytesUnlessEmpty(NANOMessageBase* message, std::int32_t field, std::string_view value) {
  return value.empty() || NANOSetBytes(message, field, BytesOf(value));
}

std::string GetBytes(const NANOMessageBase* message, std::int32_t field) {
  std::optional<foundation::Data> data = NANOGetBytes(message, field);
  return data ? std::string(data->begin(), data->end()) : std::string();
}

std::optional<std::string> GetOptionalBytes(const NANOMessageBase* message, std::int32_t field) {
  if (!NANOHasField(message, field)) return std::nullopt;
  return GetBytes(message, field);
}

// Every item of a list of bytes.
std::vector<std::string> GetBytesList(const NANOMessageBase* message, std::int32_t field) {
  std::vector<std::string> list;
  std::optional<NANOObjectArray> items = NANOGetArray(message, field);
  if (!items) return list;
  list.reserve(items->size());
  for (const NANOObject& item : *items) {
    const foundation::Data* data = std::get<foundation::Object>(item).data();
    list.emplace_back(data ? std::string(data->begin(), data->end()) : std::string());
  }
  return list;
}

template <class M>
std::vector<std::shared_ptr<M>> GetMessageList(const NANOMessageBase* message, std::int32_t field) {
  return NANOGetArray<M>(message, field).value_or(std::vector<std::shared_ptr<M>>());
}

std::unique_ptr<PSMEncryptedRequest> EncryptedRequestMessage(const ps::EncryptedRequest& entry) {
  std::unique_ptr<PSMEncryptedRequest> message = PSMEncryptedRequest::initWithMessageInfo(nullptr);
  if (message == nullptr) return nullptr;
  // A value left out would send a different identifier: no entry at all.
  if (!SetBytesUnlessEmpty(message.get(), PSMEncryptedRequest::kClearId, entry.clear_id) ||
      !SetBytesUnlessEmpty(message.get(), PSMEncryptedRequest::kHashedBucketId, entry.hashed_bucket_id) ||
      !SetBytesUnlessEmpty(message.get(), PSMEncryptedRequest::kEncryptedId, entry.encrypted_id)) {
    return nullptr;
  }
  return message;
}

ps::EncryptedBucket BucketRecord(const PSMEncryptedBucket& bucket) {
  ps::EncryptedBucket record;
  record.encrypted_id = GetBytesList(&bucket, PSMEncryptedBucket::kEncryptedId);
  record.encrypted_value = GetBytesList(&bucket, PSMEncryptedBucket::kEncryptedValue);
  for (const auto& metadata :
       GetMessageList<PSMPrivateMembershipShuttersIdValuePairMetadata>(&bucket, PSMEncryptedBucket::kMetadata)) {
    record.metadata.push_back(
        {.unencrypted_metadata =
             GetBytes(metadata.get(), PSMPrivateMembershipShuttersIdValuePairMetadata::kUnencryptedMetadata),
         .group_key = GetOptionalBytes(metadata.get(), PSMPrivateMembershipShuttersIdValuePairMetadata::kGroupKey)});
  }
  return record;
}

ps::EncryptedResponse EncryptedResponseRecord(const PSMEncryptedResponse& response) {
  ps::EncryptedResponse record;
  for (const auto& id : GetMessageList<PSMDoublyEncryptedId>(&response, PSMEncryptedResponse::kDoublyEncryptedId)) {
    record.doubly_encrypted_id.push_back(
        {.encrypted_id = GetBytes(id.get(), PSMDoublyEncryptedId::kEncryptedId),
         .doubly_encrypted_id = GetBytes(id.get(), PSMDoublyEncryptedId::kDoublyEncryptedId)});
  }
  if (auto bucket = NANOGetMessage<PSMEncryptedBucket>(&response, PSMEncryptedResponse::kBucket)) {
    record.bucket = BucketRecord(*bucket);
  }
  if (auto bucket = NANOGetMessage<PSMEncryptedBucket>(&response, PSMEncryptedResponse::kBinnedBucket)) {
    record.binned_bucket = BucketRecord(*bucket);
  }
  if (auto metadata = NANOGetMessage<PSMEncryptedResponseMetadata>(&response, PSMEncryptedResponse::kMetadata)) {
    record.num_bins = NANOGetInt32(metadata.get(), PSMEncryptedResponseMetadata::kNumBins);
    record.encryption_scheme = NANOGetInt32(metadata.get(), PSMEncryptedResponseMetadata::kEncryptionScheme);
  }
  return record;
}

}  // namespace

std::string QZMSerializePSMRequest(const ps::PrivateMembershipShuttersRequest& request) {
  std::unique_ptr<PSMPrivateMembershipShuttersRequest> message =
      PSMPrivateMembershipShuttersRequest::initWithMessageInfo(nullptr);
  std::unique_ptr<PSMPrivateMembershipShuttersParameters> parameters =
      PSMPrivateMembershipShuttersParameters::initWithMessageInfo(nullptr);
  if (message == nullptr || parameters == nullptr) return std::string();

  if (request.use_case != 0) {
    NANOSetInt32(message.get(), PSMPrivateMembershipShuttersRequest::kUseCase,
                 static_cast<std::int32_t>(request.use_case));
  }
  if (request.reserved != 0) {
    NANOSetInt64(message.get(), PSMPrivateMembershipShuttersRequest::kIntField4, request.reserved);
  }
  const ps::PrivateMembershipShuttersParameters& values = request.parameters;
  if (values.hashed_non_sensitive_id_prefix_bit_length != 0) {
    NANOSetInt32(parameters.get(), PSMPrivateMembershipShuttersParameters::kHashedNonSensitiveIdPrefixBitLength,
                 values.hashed_non_sensitive_id_prefix_bit_length);
  }
  if (values.hash_type != 0) {
    NANOSetInt32(parameters.get(), PSMPrivateMembershipShuttersParameters::kHashType, values.hash_type);
  }
  // Written even when empty.
  if (!NANOSetMessage(message.get(), PSMPrivateMembershipShuttersRequest::kParameters, parameters.get())) {
    return std::string();
  }

  if (!request.encrypted_request.empty()) {
    NANOObjectArray entries;
    entries.reserve(request.encrypted_request.size());
    for (const ps::EncryptedRequest& entry : request.encrypted_request) {
      std::shared_ptr<NANOMessageBase> item = EncryptedRequestMessage(entry);
      if (item == nullptr) return std::string();
      entries.push_back(std::move(item));
    }
    if (!NANOSetArray(message.get(), PSMPrivateMembershipShuttersRequest::kEncryptedRequest, &entries)) {
      return std::string();
    }
  }

  std::optional<foundation::Data> bytes = message->protoBuffer();
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

absl::StatusOr<ps::PrivateMembershipShuttersResponse> QZMParsePSMResponse(std::string_view bytes) {
  std::unique_ptr<PSMPrivateMembershipShuttersResponse> message =
      PSMPrivateMembershipShuttersResponse::initWithBuffer(BytesOf(bytes));
  if (message == nullptr) return base::InternalError("Failed to deserialize PSM Response.");
  ps::PrivateMembershipShuttersResponse response;
  for (const auto& encrypted_response : GetMessageList<PSMEncryptedResponse>(
           message.get(), PSMPrivateMembershipShuttersResponse::kEncryptedResponse)) {
    response.encrypted_response.push_back(EncryptedResponseRecord(*encrypted_response));
  }
  return response;
}

// The plain records of the private-membership client: the identifiers it is
// given, the request it builds, the server's answer and what it concludes.
// The wire messages mirror these; conversion/QZMSerializationUtil.h copies
// between the two.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace private_membership::shutters {

// One identifier to look up.
struct PrivateMembershipShuttersId {
  std::string clear_id;          // sent as it is
  std::string non_sensitive_id;  // names the bucket; first part of the blinded value
  std::string sensitive_id;      // second part of the blinded value

  bool operator==(const PrivateMembershipShuttersId&) const = default;
};

struct PrivateMembershipShuttersParameters {
  // Leading bits of the identifier hash that name the bucket; 0 for none.
  std::int32_t hashed_non_sensitive_id_prefix_bit_length = 0;
  std::int32_t hash_type = 0;  // 1 or 2
  std::int32_t reserved = 0;   // carried along, never read

  bool operator==(const PrivateMembershipShuttersParameters&) const = default;
};

struct EncryptedRequest {
  std::string clear_id;
  std::string hashed_bucket_id;
  std::string encrypted_id;  // blinded with the client's key

  bool operator==(const EncryptedRequest&) const = default;
};

struct PrivateMembershipShuttersRequest {
  std::uint32_t use_case = 0;
  std::int32_t reserved = 0;  // always 0; would travel as tag 4
  PrivateMembershipShuttersParameters parameters;
  std::vector<EncryptedRequest> encrypted_request;  // one per identifier, in order

  bool operator==(const PrivateMembershipShuttersRequest&) const = default;
};

// What the server attached to one bucket entry. The key is optional on the
// wire and its absence means something to readers, so it keeps its presence.
struct IdValuePairMetadata {
  std::string unencrypted_metadata;
  std::optional<std::string> group_key;

  bool operator==(const IdValuePairMetadata&) const = default;
};

// Three parallel lists; each keeps its own length.
struct EncryptedBucket {
  std::vector<std::string> encrypted_id;     // prefixes of lookup hashes
  std::vector<std::string> encrypted_value;  // may be empty
  std::vector<IdValuePairMetadata> metadata;

  bool operator==(const EncryptedBucket&) const = default;
};

struct DoublyEncryptedId {
  std::string encrypted_id;         // as the client sent it
  std::string doubly_encrypted_id;  // with the server's key on top

  bool operator==(const DoublyEncryptedId&) const = default;
};

struct EncryptedResponse {
  std::vector<DoublyEncryptedId> doubly_encrypted_id;
  EncryptedBucket bucket;         // searched when num_bins < 1
  EncryptedBucket binned_bucket;  // searched when num_bins >= 1
  std::int32_t num_bins = 0;
  std::int32_t encryption_scheme = 0;  // 1 fixed IV and length prefix, 2 random IV

  bool operator==(const EncryptedResponse&) const = default;
};

struct PrivateMembershipShuttersResponse {
  std::vector<EncryptedResponse> encrypted_response;

  bool operator==(const PrivateMembershipShuttersResponse&) const = default;
};

// The verdict on one doubly encrypted id of the answer.
struct MembershipResult {
  PrivateMembershipShuttersId id;
  bool is_member = false;
  std::string value;                           // the first decrypted value
  std::vector<std::string> values;             // every decrypted value, in bucket order
  std::vector<IdValuePairMetadata> metadata;   // of every matching entry that has one
  // Parallel to metadata: the value of the same entry, if it had one. values
  // skips entries without a value, so its positions do not line up.
  std::vector<std::optional<std::string>> metadata_values;

  bool operator==(const MembershipResult&) const = default;
};

}  // namespace private_membership::shutters

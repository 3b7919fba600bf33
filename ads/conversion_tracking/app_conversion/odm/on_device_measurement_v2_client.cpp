#include "ads/conversion_tracking/app_conversion/odm/on_device_measurement_v2_client.h"

#include <absl/container/flat_hash_map.h>
#include <absl/strings/escaping.h>

#include <utility>

#include "base/status.h"
#include "security/util/sha256.h"

namespace ads::conversion_tracking::app_conversion::odm {

namespace ps = private_membership::shutters;

namespace {

constexpr std::uint32_t kUseCase = 35;
constexpr std::int32_t kHashType = 2;

// Ties the lookup to the date bucket and the app, so an answer for one never
// matches a request for another.
std::string RequestKey(std::string_view matching_id, std::string_view bucketed_date, std::string_view bundle_id) {
  security::SHA256 hash;
  hash.Update(matching_id.data(), matching_id.size());
  hash.Update(":", std::size_t{1});
  hash.Update(bucketed_date.data(), bucketed_date.size());
  hash.Update(":", std::size_t{1});
  hash.Update(bundle_id.data(), bundle_id.size());
  return hash.DigestString();
}

struct Candidate {
  std::string value;
  std::int64_t rank = 0;
  std::int32_t kind = 0;
};

bool Outranks(const Candidate& candidate, const Candidate& kept) {
  if (candidate.rank != kept.rank) return candidate.rank > kept.rank;
  return candidate.kind == 1 && kept.kind == 2;
}

}  // namespace

absl::StatusOr<std::unique_ptr<OnDeviceMeasurementV2Client>> OnDeviceMeasurementV2Client::Create(
    std::string_view matching_id, std::string_view bucketed_date, std::string_view bundle_id,
    std::int32_t prefix_length, MetadataParser metadata_parser) {
  std::string decoded;
  if (!absl::WebSafeBase64Unescape(absl::string_view(matching_id.data(), matching_id.size()), &decoded)) {
    return base::InternalError("matching_id_unescape_error");
  }
  std::string key = RequestKey(decoded, bucketed_date, bundle_id);
  std::vector<ps::PrivateMembershipShuttersId> ids = {
      {.clear_id = "", .non_sensitive_id = std::move(decoded), .sensitive_id = std::move(key)}};
  BASE_ASSIGN_OR_RETURN(
      auto mini_client,
      ps::PrivateMembershipShuttersMiniClient::Create(
          std::move(ids),
          {.hashed_non_sensitive_id_prefix_bit_length = prefix_length, .hash_type = kHashType, .reserved = 0}));
  return std::unique_ptr<OnDeviceMeasurementV2Client>(
      new OnDeviceMeasurementV2Client(std::move(mini_client), metadata_parser));
}

OnDeviceMeasurementV2Client::OnDeviceMeasurementV2Client(
    std::unique_ptr<ps::PrivateMembershipShuttersMiniClient> mini_client, MetadataParser metadata_parser)
    : mini_client_(std::move(mini_client)), metadata_parser_(metadata_parser) {}

OnDeviceMeasurementV2Client::~OnDeviceMeasurementV2Client() = default;

absl::StatusOr<ps::PrivateMembershipShuttersRequest> OnDeviceMeasurementV2Client::CreateRequest() {
  return mini_client_->CreateRequest(kUseCase);
}

absl::StatusOr<std::vector<std::string>> OnDeviceMeasurementV2Client::ProcessResponse(
    const ps::PrivateMembershipShuttersResponse& response) {
  BASE_ASSIGN_OR_RETURN(std::vector<ps::MembershipResult> results, mini_client_->ProcessResponse(response));
  std::vector<std::string> matched;
  for (ps::MembershipResult& result : results) {
    if (!result.is_member) continue;
    absl::flat_hash_map<std::string, Candidate> best_of_group;
    for (std::size_t i = 0; i < result.metadata.size(); ++i) {
      if (metadata_parser_ == nullptr || i >= result.metadata_values.size()) break;
      const ps::IdValuePairMetadata& metadata = result.metadata[i];
      // Values from the first one without a group on are not grouped, so
      // none of them is sent.
      if (!metadata.group_key) break;
      // Metadata of an entry without a value has nothing to rank.
      if (!result.metadata_values[i]) continue;
      absl::StatusOr<UnencryptedMetadata> parsed = metadata_parser_(metadata.unencrypted_metadata);
      if (!parsed.ok()) continue;
      Candidate candidate{std::move(*result.metadata_values[i]), parsed->rank, parsed->kind};
      auto [slot, inserted] = best_of_group.try_emplace(*metadata.group_key, candidate);
      if (!inserted && Outranks(candidate, slot->second)) slot->second = std::move(candidate);
    }
    for (auto& [group, kept] : best_of_group) matched.push_back(std::move(kept.value));
  }
  return matched;
}

}  // namespace ads::conversion_tracking::app_conversion::odm

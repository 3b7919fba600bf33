// The server's half of the membership wire format, for tests that stand in
// for the membership server: read a client's request, write an answer.
#pragma once

#include <absl/status/statusor.h>

#include <string>
#include <string_view>

#include "privacy/private_membership/shutters/shared/private_membership_shutters_types.h"

namespace psm_testing {

absl::StatusOr<private_membership::shutters::PrivateMembershipShuttersRequest> ParsePSMRequest(std::string_view bytes);
// Empty when the runtime refuses to encode it.
std::string SerializePSMResponse(const private_membership::shutters::PrivateMembershipShuttersResponse& response);

}  // namespace psm_testing

// The bridge between the private-membership client's records and the PSM
// messages on the wire.
#pragma once

#include <string>
#include <string_view>

#include <absl/status/statusor.h>

#include "privacy/private_membership/shutters/shared/private_membership_shutters_types.h"

// The encoded request. Zero numbers, empty byte strings and empty lists are
// left out; the parameters are always written. Empty when encoding fails.
std::string QZMSerializePSMRequest(const private_membership::shutters::PrivateMembershipShuttersRequest& request);

// The response record of the bytes; absent parts read as empty or 0. Bytes
// that are not a response are an Internal error.
absl::StatusOr<private_membership::shutters::PrivateMembershipShuttersResponse> QZMParsePSMResponse(
    std::string_view bytes);

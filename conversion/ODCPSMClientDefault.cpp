#include <absl/status/status.h>

#include "conversion/ODCPSMClient.h"

// Until the ODM v2 membership client is linked in, every run fails at its
// configuration step and is retried like any other failure.
ODCPSMClientFactory ODCDefaultPSMClientFactory() {
  return [](std::string_view, std::string_view, std::string_view,
            std::int32_t) -> absl::StatusOr<std::unique_ptr<ODCPSMClient>> {
    return absl::UnimplementedError("no membership client is linked");
  };
}

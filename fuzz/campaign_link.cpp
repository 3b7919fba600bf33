// A link that opens the app, from arbitrary text: what it names as a
// campaign is only mapped names and "dxd_" keys with non-empty text values,
// never a withheld click identifier, and the tagging debug switch leaves
// either no preview headers or the one preview header with a value. The
// first byte says whether click identifiers are allowed.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "fuzz/QuietMonitor.h"
#include "measurement/engine/QZMMeasurement.h"
#include "platform/foundation/URL.h"

namespace {

const std::set<std::string, std::less<>> kCampaignNames = {
    "aclid",  "anid",   "campaign", "_cis", "content", "cp1",         "dclid",           "dxd_source",
    "gclid",  "gbraid", "medium",   "source", "srsltid", "term",      "campaign_id",     "creative_format",
    "marketing_tactic", "source_platform", "sfmc_id",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzkit::silence();
  if (size == 0) return 0;
  bool allowClickID = (data[0] & 1) != 0;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  std::optional<foundation::URL> url = foundation::URL::withString(text);
  std::optional<foundation::Dictionary> campaign =
      QZMMeasurement::campaignParametersFromURL(url, {}, allowClickID);
  if (campaign) {
    for (const auto& [key, value] : *campaign) {
      FUZZ_CHECK(kCampaignNames.count(key) == 1 || key.rfind("dxd_", 0) == 0, "only campaign names are kept");
      FUZZ_CHECK(value.string() && !value.string()->empty(), "every value is non-empty text");
      if (!allowClickID) {
        FUZZ_CHECK(key != "gclid" && key != "dclid" && key != "srsltid", "withheld click identifiers stay out");
      }
    }
  }

  QZMMeasurementBase::setKRPXPreviewHeaders(std::nullopt);
  QZMMeasurement::handleKRPXDebugModeWithURL(text);
  std::optional<foundation::Dictionary> headers = QZMMeasurementBase::KRPXPreviewHeaders();
  if (headers) {
    FUZZ_CHECK(headers->size() == 1, "one preview header");
    auto preview = headers->find("X-Qrl-Server-Preview");
    FUZZ_CHECK(preview != headers->end() && preview->second.string() && !preview->second.string()->empty(),
               "the preview header carries a value");
  }
  return 0;
}

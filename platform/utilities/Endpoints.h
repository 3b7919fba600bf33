// Every network host the SDK talks to is a deployment value, and so is the
// CA bundle TLS is verified against. Each comes from, weakest first:
//   1. a built-in default under the reserved ".invalid" domain, which never
//      resolves, so an unconfigured build sends nothing anywhere;
//   2. the service property list (DralixService-Info.plist in the main
//      bundle), dictionary "TOLV_ENDPOINTS";
//   3. the file named by $TOLV_ENDPOINTS_FILE (a property list or JSON
//      dictionary of the same form);
//   4. overrides set by tests.
// The dictionary maps endpoint names to base URLs ("https://host[:port]") and
// may hold "CA_BUNDLE", a path to a PEM file.
#pragma once

#include <map>
#include <string>

namespace utilities {

// Endpoint names the SDK uses.
inline constexpr const char* kEndpointMeasurement = "measurement";          // upload "/a", config "/config/app/"
inline constexpr const char* kEndpointMeasurementAuthorized = "measurement-authorized";  // upload "/a" with tracking allowed
inline constexpr const char* kEndpointExperiments = "experiments";          // "/sdk-exp"
inline constexpr const char* kEndpointConversionValues = "conversion-values";  // "/skan"
inline constexpr const char* kEndpointSearchAds = "search-ads";             // "/api/v1/"
inline constexpr const char* kEndpointAdServices = "ad-services";           // deep link, membership lookup
inline constexpr const char* kEndpointOnDeviceConversion = "on-device-conversion";  // "/odm/..."

inline constexpr const char* kDefaultCABundle = "/etc/ssl/certs/ca-certificates.crt";
inline constexpr const char* kEndpointsFileVariable = "TOLV_ENDPOINTS_FILE";
inline constexpr const char* kServiceInfoEndpointsKey = "TOLV_ENDPOINTS";

class Endpoints {
 public:
  // The base URL of a named endpoint, without a trailing slash.
  static std::string baseURL(const std::string& name);
  static std::string caBundle();
  // Every configured name with its URL (defaults for unknown names are made
  // on demand by baseURL).
  static std::map<std::string, std::string> all();

  static void setOverride(const std::string& name, const std::string& baseURL);
  static void setCABundleOverride(const std::string& path);
  // Drops test overrides and reads the service list and the file again.
  static void reset();
};

}  // namespace utilities

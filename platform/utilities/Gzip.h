// gzip compression and inflation through zlib (the data category's class
// methods). Inflation accepts any standard gzip stream, several members
// included, and refuses output beyond a limit so that a small hostile body
// cannot fill memory.
#pragma once

#include <cstddef>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

inline constexpr const char* kDRKGzipErrorDomain = "DRKGzip";
enum DRKGzipError {
  kDRKGzipCompressionFailed = 1,
  kDRKGzipCorrupt = 2,      // not gzip, damaged or cut short
  kDRKGzipTooLarge = 3,     // inflates beyond the limit
};
inline constexpr std::size_t kDRKGzipDefaultInflateLimit = 64u << 20;

foundation::Result<foundation::Data> drk_dataByGzippingData(const foundation::Data& data);
foundation::Result<foundation::Data> drk_dataByInflatingGzippedData(
    const foundation::Data& data, std::size_t maxLength = kDRKGzipDefaultInflateLimit);

#include "platform/utilities/Gzip.h"

#include <zlib.h>

#include <climits>

namespace {

foundation::Error gzipError(DRKGzipError code, const std::string& what) {
  return foundation::Error(kDRKGzipErrorDomain, code, what);
}

constexpr int kGzipWindowBits = 15 + 16;  // zlib's flag for a gzip wrapper

}  // namespace

foundation::Result<foundation::Data> drk_dataByGzippingData(const foundation::Data& data) {
  if (data.size() > UINT_MAX) return gzipError(kDRKGzipCompressionFailed, "input too large");
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    return gzipError(kDRKGzipCompressionFailed, "deflateInit2 failed");
  foundation::Data out(deflateBound(&stream, static_cast<uLong>(data.size())));
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  int result = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (result != Z_STREAM_END) return gzipError(kDRKGzipCompressionFailed, "deflate did not finish");
  return out;
}

foundation::Result<foundation::Data> drk_dataByInflatingGzippedData(const foundation::Data& data,
                                                                     std::size_t maxLength) {
  if (data.empty()) return gzipError(kDRKGzipCorrupt, "no gzip data");
  if (data.size() > UINT_MAX) return gzipError(kDRKGzipTooLarge, "input too large");
  z_stream stream{};
  if (inflateInit2(&stream, kGzipWindowBits) != Z_OK) return gzipError(kDRKGzipCorrupt, "inflateInit2 failed");
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  foundation::Data out;
  unsigned char buffer[65536];
  for (;;) {
    stream.next_out = buffer;
    stream.avail_out = sizeof buffer;
    int result = inflate(&stream, Z_NO_FLUSH);
    std::size_t produced = sizeof buffer - stream.avail_out;
    if (out.size() + produced > maxLength) {
      inflateEnd(&stream);
      return gzipError(kDRKGzipTooLarge, "inflates beyond " + std::to_string(maxLength) + " bytes");
    }
    out.insert(out.end(), buffer, buffer + produced);
    if (result == Z_STREAM_END) {
      if (stream.avail_in == 0) break;
      // Another member follows.
      if (inflateReset(&stream) != Z_OK) break;
      continue;
    }
    if (result != Z_OK) {
      std::string why = stream.msg ? stream.msg : "inflate failed";
      inflateEnd(&stream);
      return gzipError(kDRKGzipCorrupt, why);
    }
    if (stream.avail_in == 0 && produced == 0) {
      inflateEnd(&stream);
      return gzipError(kDRKGzipCorrupt, "gzip data cut short");
    }
  }
  inflateEnd(&stream);
  return out;
}

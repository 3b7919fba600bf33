// Character-level and digest helpers over the platform's data, dictionaries
// and strings: MD5 fingerprints, URL query strings and arguments, bit strings
// and UTF-32 measures. Thin layers over platform/foundation.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Object.h"

// ---- Data ----

// The 16-byte MD5 digest (RFC 1321).
std::array<std::uint8_t, 16> qzm_MD5Data(const foundation::Data& data);
// The last min(length, 8) bytes as an unsigned big-endian integer; 0 for
// empty data.
std::uint64_t qzm_64LeastSignificantBits(const foundation::Data& data);
// The low 64 bits of the MD5 digest as a signed integer: the fingerprint that
// keys stored event metadata.
std::int64_t qzm_64LSBMD5(const foundation::Data& data);

// ---- Dictionaries ----

// "key=value" pairs of the descriptions of each key and value, in the
// dictionary's order, joined by "&". Everything but letters, digits and
// "-._~" is percent-encoded, so "&", "=" and "+" inside a key or value cannot
// change the query's shape.
std::string qzm_queryString(const foundation::Dictionary& dictionary);
// Parses "&"-separated "key=value" pairs, unescaping keys and values; a part
// without "=" maps to "", a malformed escape gives "", and the first
// occurrence of a key wins.
std::map<std::string, std::string> qzm_dictionaryWithHttpArgumentsString(std::string_view text);

// ---- Strings ----

// Whether the character at the index is "1"; false outside the text.
bool isBitEnabledAtIndex(std::string_view bits, std::int64_t index);
// The MD5 of the UTF-8 bytes as 32 lower-case hexadecimal digits; nullopt
// for text that is not valid UTF-8.
std::optional<std::string> qzm_MD5String(std::string_view text);
// "+" becomes a blank, then percent escapes are decoded; nullopt for a
// malformed escape or bytes that are no UTF-8.
std::optional<std::string> qzm_stringByUnescapingFromURLArgument(std::string_view text);
// The number of code points.
std::size_t qzm_UTF32Length(std::string_view text);
// Writes the UTF-32 little-endian form of as many whole characters as fit in
// maxBytes into the buffer; false for text that is not valid UTF-8 or a
// negative capacity.
bool qzm_getUTF32Bytes(std::string_view text, std::uint8_t* buffer, std::int64_t maxBytes);

// JSON through nlohmann-json. Numbers keep their kind: integers become int64
// (larger ones double), fractions double, true and false Booleans. A fragment
// (a bare string or number) is accepted at the top level.
#pragma once

#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace foundation {

inline constexpr const char* kJSONErrorDomain = "JSON";
enum JSONError {
  kJSONCorrupt = 1,        // text that does not parse, or nests too deep
  kJSONInvalidObject = 2,  // data, dates, NaN, infinities or invalid UTF-8
  kJSONUnreadable = 3,
  kJSONNotWritten = 4,
  kJSONTooLarge = 5,  // text longer than kJSONMaxLength
};

// The longest text read: the answers and files the SDK reads are small, and
// a value takes up to about 50 times its text in memory.
inline constexpr std::size_t kJSONMaxLength = 4u << 20;

Result<Object> parseJSON(std::string_view text);
Result<std::string> serializeJSON(const Object& object, bool pretty = false);
Result<Object> readJSONFile(const std::string& path);
// Serialises first, then writes atomically: a refused object (or one too long
// to be read back) leaves the old file.
Status writeJSONFile(const std::string& path, const Object& object);

}  // namespace foundation

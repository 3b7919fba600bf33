// Property lists as XML text: dictionaries, arrays, strings, integers
// (signed 64-bit), reals (every double, NaN and infinities included), Booleans,
// dates and data. Null has no property-list form and is refused.
#pragma once

#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/Files.h"
#include "platform/foundation/Object.h"

namespace foundation {

inline constexpr const char* kPropertyListErrorDomain = "PropertyList";
enum PropertyListError {
  kPropertyListInvalidObject = 1,  // null, invalid UTF-8 or a date out of range
  kPropertyListCorrupt = 2,        // text that does not parse
  kPropertyListUnreadable = 3,     // the file could not be read
  kPropertyListNotWritten = 4,     // the file could not be written
  kPropertyListWrongRoot = 5,      // the root is not what the caller needs
  kPropertyListTooLarge = 6,       // text longer than kPropertyListMaxLength
};

// The longest text read or written: far above any settings file, and low
// enough that a hostile file cannot take the memory of a phone.
inline constexpr std::size_t kPropertyListMaxLength = 8u << 20;

// Refuses what decodePropertyList would refuse to read back: a text longer
// than the limit, or a date outside years 1 to 9999.
Result<std::string> encodePropertyList(const Object& object);
// Reads exactly what encodePropertyList can write again: dates in the form it
// writes them (YYYY-MM-DDTHH:MM:SS, an optional fraction, Z) naming a real
// instant (no sign, no second 60, no 31 February), and no value whose text
// would be longer than the limit.
Result<Object> decodePropertyList(std::string_view text);

// A missing file is kPropertyListUnreadable with the POSIX error in the text.
Result<Object> readPropertyListFile(const std::string& path);
// The root must be a dictionary; a missing file or another root is an error.
Result<Dictionary> readPropertyListDictionary(const std::string& path);
// Encodes first, then writes atomically: a refused object leaves the old file.
Status writePropertyListFile(const std::string& path, const Object& object, int mode = kPrivateFileMode);

}  // namespace foundation

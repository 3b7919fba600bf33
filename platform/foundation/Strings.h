// UTF-8 strings measured the ways the SDK's limits count them: in UTF-16
// units or in code points, never in bytes. Case mapping uses ICU.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

bool isValidUTF8(std::string_view text);
// Text read as a Boolean the platform's way: true when, after leading white
// space, an optional sign and leading zeros, it goes on with "Y", "y", "T",
// "t" or a digit 1 to 9; whatever follows is ignored.
bool textBoolValue(std::string_view text);
// Lengths of valid UTF-8 text; an invalid sequence counts as one U+FFFD.
std::size_t utf16Length(std::string_view text);
std::size_t codePointCount(std::string_view text);
// The longest prefix of at most that many units or code points that does not
// split a character (a surrogate pair is never cut in half).
std::string truncatedToUTF16Units(std::string_view text, std::size_t maxUnits);
std::string truncatedToCodePoints(std::string_view text, std::size_t maxCodePoints);

// Conversions; nullopt for ill-formed input (invalid UTF-8, lone surrogates).
std::optional<std::u16string> toUTF16(std::string_view text);
std::optional<std::string> fromUTF16(std::u16string_view text);
std::optional<std::u32string> toUTF32(std::string_view text);
void appendUTF8(std::string& out, char32_t codePoint);

// Full Unicode case mapping (root locale unless one is given, e.g. "tr").
std::string lowercased(std::string_view text, const char* locale = "");
std::string uppercased(std::string_view text, const char* locale = "");
// The same over UTF-16 text; unpaired surrogates pass through unchanged.
std::u16string lowercased(std::u16string_view text, const char* locale = "");
std::u16string uppercased(std::u16string_view text, const char* locale = "");
// The ICU locale of the first preferred language ("tr_TR"), or "" (root)
// when there is none.
std::string currentLocaleIdentifier();
// Case-insensitive equality by full case folding.
bool equalsIgnoringCase(std::string_view a, std::string_view b);
// The full case folding ("Straße" gives "strasse"), under which prefixes,
// suffixes and contained texts compare without regard to case; nullopt for
// text that is not valid UTF-8.
std::optional<std::string> caseFolded(std::string_view text);

// Character classes by Unicode general category, as the platform's character
// sets define them: letters are L* and M* (marks count as letters there),
// non-base characters M*, decimal digits Nd.
bool isLetterCharacter(char32_t codePoint);
bool isNonBaseCharacter(char32_t codePoint);
bool isDecimalDigitCharacter(char32_t codePoint);

}  // namespace foundation

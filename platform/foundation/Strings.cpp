#include "platform/foundation/Strings.h"

#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <memory>
#include <vector>

#include "platform/foundation/ProcessInfo.h"

namespace foundation {
namespace {

// Walks the code points of UTF-8 text; invalid sequences give a negative value.
template <class F>
void forEachCodePoint(std::string_view text, F&& f) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  int32_t length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (!f(c, start, i)) return;
  }
}

std::string mapCase(std::string_view text, const char* locale, bool upper) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UCaseMap, decltype(&ucasemap_close)> map(ucasemap_open(locale, 0, &status), ucasemap_close);
  if (U_FAILURE(status)) return std::string(text);
  std::string out(text.size() + 16, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    status = U_ZERO_ERROR;
    auto fn = upper ? ucasemap_utf8ToUpper : ucasemap_utf8ToLower;
    int32_t n = fn(map.get(), out.data(), static_cast<int32_t>(out.size()), text.data(),
                   static_cast<int32_t>(text.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.assign(static_cast<std::size_t>(n) + 1, '\0');
      continue;
    }
    if (U_FAILURE(status)) return std::string(text);
    out.resize(static_cast<std::size_t>(n));
    return out;
  }
  return std::string(text);
}

std::u16string mapCase(std::u16string_view text, const char* locale, bool upper) {
  const auto* source = reinterpret_cast<const UChar*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  // Full mapping can lengthen the text (up to three units per unit).
  std::u16string out(text.size() + 16, u'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    UErrorCode status = U_ZERO_ERROR;
    auto* target = reinterpret_cast<UChar*>(out.data());
    const auto capacity = static_cast<int32_t>(out.size());
    int32_t n = upper ? u_strToUpper(target, capacity, source, length, locale, &status)
                      : u_strToLower(target, capacity, source, length, locale, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.assign(static_cast<std::size_t>(n) + 1, u'\0');
      continue;
    }
    if (U_FAILURE(status)) return std::u16string(text);
    out.resize(static_cast<std::size_t>(n));
    return out;
  }
  return std::u16string(text);
}

}  // namespace

bool isValidUTF8(std::string_view text) {
  bool valid = true;
  forEachCodePoint(text, [&](UChar32 c, int32_t, int32_t) { return (valid = c >= 0); });
  return valid;
}

std::size_t utf16Length(std::string_view text) {
  std::size_t n = 0;
  forEachCodePoint(text, [&](UChar32 c, int32_t, int32_t) {
    n += c > 0xFFFF ? 2 : 1;
    return true;
  });
  return n;
}

std::size_t codePointCount(std::string_view text) {
  std::size_t n = 0;
  forEachCodePoint(text, [&](UChar32, int32_t, int32_t) {
    ++n;
    return true;
  });
  return n;
}

std::string truncatedToUTF16Units(std::string_view text, std::size_t maxUnits) {
  std::size_t units = 0, end = 0;
  forEachCodePoint(text, [&](UChar32 c, int32_t, int32_t next) {
    std::size_t width = c > 0xFFFF ? 2 : 1;
    if (units + width > maxUnits) return false;
    units += width;
    end = static_cast<std::size_t>(next);
    return true;
  });
  return std::string(text.substr(0, end));
}

std::string truncatedToCodePoints(std::string_view text, std::size_t maxCodePoints) {
  std::size_t count = 0, end = 0;
  forEachCodePoint(text, [&](UChar32, int32_t, int32_t next) {
    if (count == maxCodePoints) return false;
    ++count;
    end = static_cast<std::size_t>(next);
    return true;
  });
  return std::string(text.substr(0, end));
}

std::optional<std::u16string> toUTF16(std::string_view text) {
  std::u16string out;
  bool valid = true;
  forEachCodePoint(text, [&](UChar32 c, int32_t, int32_t) {
    if (c < 0) return (valid = false);
    if (c > 0xFFFF) {
      out.push_back(static_cast<char16_t>(U16_LEAD(c)));
      out.push_back(static_cast<char16_t>(U16_TRAIL(c)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    return true;
  });
  if (!valid) return std::nullopt;
  return out;
}

std::optional<std::string> fromUTF16(std::u16string_view text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    UChar32 c;
    U16_NEXT(text.data(), i, text.size(), c);
    if (U_IS_SURROGATE(c)) return std::nullopt;
    appendUTF8(out, static_cast<char32_t>(c));
  }
  return out;
}

std::optional<std::u32string> toUTF32(std::string_view text) {
  std::u32string out;
  bool valid = true;
  forEachCodePoint(text, [&](UChar32 c, int32_t, int32_t) {
    if (c < 0) return (valid = false);
    out.push_back(static_cast<char32_t>(c));
    return true;
  });
  if (!valid) return std::nullopt;
  return out;
}

void appendUTF8(std::string& out, char32_t c) {
  std::uint8_t buffer[4];
  int32_t n = 0;
  UBool error = false;
  U8_APPEND(buffer, n, 4, static_cast<UChar32>(c), error);
  if (error) {
    out += "\xEF\xBF\xBD";
    return;
  }
  out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
}

std::string lowercased(std::string_view text, const char* locale) { return mapCase(text, locale, false); }
std::string uppercased(std::string_view text, const char* locale) { return mapCase(text, locale, true); }
std::u16string lowercased(std::u16string_view text, const char* locale) { return mapCase(text, locale, false); }
std::u16string uppercased(std::u16string_view text, const char* locale) { return mapCase(text, locale, true); }

std::string currentLocaleIdentifier() {
  const std::vector<std::string> languages = Device::preferredLanguages();
  if (languages.empty()) return "";
  std::string identifier = languages.front();
  for (char& c : identifier) {
    if (c == '-') c = '_';
  }
  return identifier;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  auto ua = toUTF16(a), ub = toUTF16(b);
  if (!ua || !ub) return a == b;
  UErrorCode status = U_ZERO_ERROR;
  int32_t order = u_strCaseCompare(reinterpret_cast<const UChar*>(ua->data()), static_cast<int32_t>(ua->size()),
                                   reinterpret_cast<const UChar*>(ub->data()), static_cast<int32_t>(ub->size()),
                                   U_FOLD_CASE_DEFAULT, &status);
  return U_SUCCESS(status) && order == 0;
}

bool isLetterCharacter(char32_t c) {
  return (U_GET_GC_MASK(static_cast<UChar32>(c)) & (U_GC_L_MASK | U_GC_M_MASK)) != 0;
}

bool isNonBaseCharacter(char32_t c) { return (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_M_MASK) != 0; }

bool isDecimalDigitCharacter(char32_t c) { return u_charType(static_cast<UChar32>(c)) == U_DECIMAL_DIGIT_NUMBER; }

std::optional<std::string> caseFolded(std::string_view text) {
  if (!isValidUTF8(text)) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UCaseMap, decltype(&ucasemap_close)> map(ucasemap_open("", U_FOLD_CASE_DEFAULT, &status),
                                                           ucasemap_close);
  if (U_FAILURE(status)) return std::nullopt;
  std::string out(text.size() + 16, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    status = U_ZERO_ERROR;
    int32_t n = ucasemap_utf8FoldCase(map.get(), out.data(), static_cast<int32_t>(out.size()), text.data(),
                                      static_cast<int32_t>(text.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.assign(static_cast<std::size_t>(n) + 1, '\0');
      continue;
    }
    if (U_FAILURE(status)) return std::nullopt;
    out.resize(static_cast<std::size_t>(n));
    return out;
  }
  return std::nullopt;
}

bool textBoolValue(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  while (i < text.size() && text[i] == '0') ++i;
  if (i == text.size()) return false;
  char c = text[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

}  // namespace foundation

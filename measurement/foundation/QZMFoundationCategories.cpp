#include "measurement/foundation/QZMFoundationCategories.h"

#include <algorithm>

#include "platform/foundation/Random.h"
#include "platform/foundation/Strings.h"
#include "platform/foundation/URL.h"

std::array<std::uint8_t, 16> qzm_MD5Data(const foundation::Data& data) {
  return foundation::md5(data.data(), data.size());
}

std::uint64_t qzm_64LeastSignificantBits(const foundation::Data& data) {
  std::uint64_t value = 0;
  for (std::size_t i = data.size() - std::min<std::size_t>(data.size(), 8); i < data.size(); ++i) {
    value = value << 8 | data[i];
  }
  return value;
}

std::int64_t qzm_64LSBMD5(const foundation::Data& data) {
  auto digest = qzm_MD5Data(data);
  return static_cast<std::int64_t>(qzm_64LeastSignificantBits(foundation::Data(digest.begin(), digest.end())));
}

std::string qzm_queryString(const foundation::Dictionary& dictionary) {
  std::vector<std::pair<std::string, std::string>> items;
  for (const auto& [key, value] : dictionary) items.emplace_back(key, value.description());
  return foundation::queryString(items);
}

std::map<std::string, std::string> qzm_dictionaryWithHttpArgumentsString(std::string_view text) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    std::size_t amp = text.find('&', start);
    parts.push_back(text.substr(start, amp == std::string_view::npos ? std::string_view::npos : amp - start));
    if (amp == std::string_view::npos) break;
    start = amp + 1;
  }
  auto unescaped = [](std::string_view part) { return qzm_stringByUnescapingFromURLArgument(part).value_or(""); };
  std::map<std::string, std::string> arguments;
  // Backwards, so the first occurrence of a key is the one that stays.
  for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
    if (part->empty()) continue;
    std::size_t eq = part->find('=');
    if (eq == std::string_view::npos) {
      arguments[unescaped(*part)] = "";
    } else {
      arguments[unescaped(part->substr(0, eq))] = unescaped(part->substr(eq + 1));
    }
  }
  return arguments;
}

bool isBitEnabledAtIndex(std::string_view bits, std::int64_t index) {
  if (index < 0 || static_cast<std::uint64_t>(index) >= bits.size()) return false;
  return bits[static_cast<std::size_t>(index)] == '1';
}

std::optional<std::string> qzm_MD5String(std::string_view text) {
  if (!foundation::isValidUTF8(text)) return std::nullopt;
  auto digest = foundation::md5(text);
  return foundation::hexString(digest.data(), digest.size());
}

std::optional<std::string> qzm_stringByUnescapingFromURLArgument(std::string_view text) {
  std::string blanks(text);
  std::replace(blanks.begin(), blanks.end(), '+', ' ');
  auto decoded = foundation::percentDecoded(blanks);
  if (!decoded || !foundation::isValidUTF8(*decoded)) return std::nullopt;
  return decoded;
}

std::size_t qzm_UTF32Length(std::string_view text) { return foundation::codePointCount(text); }

bool qzm_getUTF32Bytes(std::string_view text, std::uint8_t* buffer, std::int64_t maxBytes) {
  auto codePoints = foundation::toUTF32(text);
  if (!codePoints || maxBytes < 0 || (!buffer && maxBytes > 0)) return false;
  std::size_t fit = std::min<std::size_t>(codePoints->size(), static_cast<std::size_t>(maxBytes) / 4);
  for (std::size_t i = 0; i < fit; ++i) {
    char32_t c = (*codePoints)[i];
    for (int b = 0; b < 4; ++b) buffer[i * 4 + b] = static_cast<std::uint8_t>(c >> (8 * b));
  }
  return true;
}

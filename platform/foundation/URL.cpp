#include "platform/foundation/URL.h"

namespace foundation {

namespace {

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

void appendEscape(std::string& out, unsigned char c) {
  static const char* hex = "0123456789ABCDEF";
  out += '%';
  out += hex[c >> 4];
  out += hex[c & 15];
}

}  // namespace

std::string percentEncoded(std::string_view text) {
  std::string out;
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (isUnreserved(c)) {
      out += ch;
    } else {
      appendEscape(out, c);
    }
  }
  return out;
}

std::string percentEncodedPathSegment(std::string_view text) {
  // "." and ".." would be read as steps through the path.
  if (text == "." || text == "..") {
    std::string out;
    for (char ch : text) appendEscape(out, static_cast<unsigned char>(ch));
    return out;
  }
  std::string out;
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    bool allowed = isUnreserved(c) || c == '!' || c == '$' || c == '&' || c == '\'' || c == '(' || c == ')' ||
                   c == '*' || c == '+' || c == ',' || c == ';' || c == '=' || c == ':' || c == '@';
    if (allowed) {
      out += ch;
    } else {
      appendEscape(out, c);
    }
  }
  return out;
}

std::optional<std::string> percentDecoded(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int hi = value(text[i + 1]), lo = value(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

std::string queryString(const std::vector<std::pair<std::string, std::string>>& items) {
  std::string out;
  for (const auto& [key, value] : items) {
    if (!out.empty()) out += '&';
    out += percentEncoded(key) + "=" + percentEncoded(value);
  }
  return out;
}

}  // namespace foundation

namespace foundation {

namespace {

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Unreserved, general and sub-delimiters of RFC 3986.
bool isURLCharacter(char c) {
  if (isAlpha(c) || (c >= '0' && c <= '9')) return true;
  return std::string_view("-._~:/?#[]@!$&'()*+,;=").find(c) != std::string_view::npos;
}

// The length of the scheme before the first ":", or 0 when the text has no
// scheme (a ":" after the first "/", "?" or "#" belongs to a later part).
std::size_t schemeLength(std::string_view text) {
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return 0;
  if (text.substr(0, colon).find_first_of("/?#") != std::string_view::npos) return 0;
  return colon;
}

}  // namespace

std::optional<URL> URL::withString(std::string_view text) {
  if (text.empty()) return std::nullopt;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      if (!isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2])) return std::nullopt;
      i += 2;
    } else if (!isURLCharacter(text[i])) {
      return std::nullopt;
    }
  }
  if (text.front() == ':') return std::nullopt;
  if (std::size_t length = schemeLength(text); length > 0) {
    std::string_view scheme = text.substr(0, length);
    if (!isAlpha(scheme.front())) return std::nullopt;
    for (char c : scheme) {
      if (!isAlpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return std::nullopt;
    }
  }
  return URL(std::string(text));
}

std::string URL::scheme() const { return text_.substr(0, schemeLength(text_)); }

std::optional<std::string> URL::query() const {
  std::string_view text = text_;
  text = text.substr(0, text.find('#'));
  std::size_t question = text.find('?');
  if (question == std::string_view::npos) return std::nullopt;
  return std::string(text.substr(question + 1));
}

}  // namespace foundation

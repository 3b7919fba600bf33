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

// Percent-encoding for URL queries and path segments. In a query everything
// but the unreserved characters of RFC 3986 (letters, digits, "-", ".", "_",
// "~") is encoded, so "&", "=", "+", "/" and "?" inside a key or value can
// never change the query's shape.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace foundation {

std::string percentEncoded(std::string_view text);
// One segment of a URL path: what a segment may hold (RFC 3986 pchar:
// unreserved, sub-delimiters, ":" and "@") stays, everything else, "/"
// included, is encoded; so are the segments "." and "..".
std::string percentEncodedPathSegment(std::string_view text);
// Decodes %XX escapes (a "+" stays a "+"); nullopt for a malformed escape.
std::optional<std::string> percentDecoded(std::string_view text);
// "k1=v1&k2=v2" in the order given, every key and value percent-encoded.
std::string queryString(const std::vector<std::pair<std::string, std::string>>& items);

}  // namespace foundation

namespace foundation {

// A URL as the platform accepts one from text: only the characters RFC 3986
// allows, every "%" starting a two-digit escape, and, when there is a
// scheme, a well-formed one. Its parts are kept as written, escapes and all.
class URL {
 public:
  // nullopt for empty text or text that is no URL by the rule above.
  static std::optional<URL> withString(std::string_view text);

  const std::string& absoluteString() const { return text_; }
  // "" when the URL names none.
  std::string scheme() const;
  // Between "?" and "#"; nullopt without a "?".
  std::optional<std::string> query() const;

  bool operator==(const URL& other) const = default;

 private:
  explicit URL(std::string text) : text_(std::move(text)) {}
  std::string text_;
};

}  // namespace foundation

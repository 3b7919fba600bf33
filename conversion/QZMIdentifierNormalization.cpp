#include "conversion/QZMIdentifierNormalization.h"

#include <unicode/uchar.h>

#include <memory>
#include <mutex>

#include "platform/foundation/RegularExpression.h"
#include "platform/foundation/Strings.h"

namespace {

std::mutex gDomainsMutex;
// Never destroyed: a lookup on the worker may still run while the program ends.
QZMConsumerMailDomains& gDomains = *new QZMConsumerMailDomains;

using Pattern = foundation::Result<std::shared_ptr<foundation::RegularExpression>>;

// A pattern that fails to compile, or a text it cannot be run on (invalid
// UTF-8, time limit), counts as no match: the identifier is then refused.
bool matches(const Pattern& pattern, std::string_view text) {
  if (!pattern.ok()) return false;
  auto found = pattern.value()->isFound(text);
  return found.ok() && found.value();
}

std::u32string caseFolded(std::u32string text) {
  for (char32_t& c : text) c = static_cast<char32_t>(u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT));
  return text;
}

// The platform's whitespace set: the space separators and the tab.
bool isWhitespace(char32_t c) { return c == U'\t' || u_charType(static_cast<UChar32>(c)) == U_SPACE_SEPARATOR; }

bool isPhoneSeparator(char32_t c) {
  return c == U'-' || c == U'(' || c == U')' || c == U'/' || c == U'.' || isWhitespace(c);
}

}  // namespace

void QZMSetConsumerMailDomains(const QZMConsumerMailDomains& domains) {
  QZMConsumerMailDomains lowered{foundation::lowercased(domains.primary), foundation::lowercased(domains.alternative)};
  std::lock_guard lock(gDomainsMutex);
  gDomains = std::move(lowered);
}

QZMConsumerMailDomains QZMCurrentConsumerMailDomains() {
  std::lock_guard lock(gDomainsMutex);
  return gDomains;
}

// \A and \z: "$" would also match before a final line break, letting one
// through to be hashed.
bool QZMIsValidEmailAddress(std::string_view text) {
  static const Pattern& pattern = *new Pattern(foundation::RegularExpression::make(R"(\A\S+@\S+\.\S+\z)"));
  return matches(pattern, text);
}

bool QZMIsValidPhoneNumber(std::string_view text) {
  static const Pattern& pattern = *new Pattern(foundation::RegularExpression::make(R"(\A\+[1-9]\d{1,14}\z)"));
  return matches(pattern, text);
}

void QZMReplaceAllOccurrences(std::string& text, std::string_view target, std::string_view replacement) {
  auto haystack = foundation::toUTF32(text);
  auto needle = foundation::toUTF32(target);
  if (!haystack || !needle || needle->empty()) return;
  // Simple folding maps one code point to one, so folded positions are the
  // original positions.
  std::u32string folded = caseFolded(*haystack);
  std::u32string foldedNeedle = caseFolded(*needle);
  std::string out;
  out.reserve(text.size());
  std::size_t from = 0;
  while (from < folded.size()) {
    std::size_t hit = folded.find(foldedNeedle, from);
    std::size_t end = hit == std::u32string::npos ? folded.size() : hit;
    for (std::size_t i = from; i < end; ++i) foundation::appendUTF8(out, (*haystack)[i]);
    if (hit == std::u32string::npos) break;
    out += replacement;
    from = hit + foldedNeedle.size();
  }
  text = std::move(out);
}

std::optional<std::string> QZMNormalizedEmailAddress(std::string_view address) {
  if (address.empty()) return std::nullopt;
  std::string lowered = foundation::lowercased(address);
  std::size_t at = lowered.find('@');
  if (at == std::string::npos || lowered.find('@', at + 1) != std::string::npos) return std::nullopt;
  std::string local = lowered.substr(0, at);
  std::string domain = lowered.substr(at + 1);

  QZMConsumerMailDomains provider = QZMCurrentConsumerMailDomains();
  if (!provider.primary.empty()) {
    if (!provider.alternative.empty() && domain == provider.alternative) domain = provider.primary;
    if (domain == provider.primary) {
      // The provider delivers these spellings to one mailbox; the order
      // matters ("I" folds every "i" before the digit rules run).
      static const std::pair<const char*, const char*> kFoldings[] = {
          {".", ""}, {"I", "l"}, {"i", "l"}, {"1", "l"}, {"0", "o"}, {"2", "z"}, {"5", "s"},
      };
      for (const auto& [target, replacement] : kFoldings) QZMReplaceAllOccurrences(local, target, replacement);
    }
  }

  std::string result = local + "@" + domain;
  if (!QZMIsValidEmailAddress(result)) return std::nullopt;
  return result;
}

std::optional<std::string> QZMNormalizedPhoneNumber(std::string_view number) {
  if (number.empty()) return std::nullopt;
  auto codePoints = foundation::toUTF32(number);
  if (!codePoints) return std::nullopt;
  std::string kept;
  for (char32_t c : *codePoints) {
    if (!isPhoneSeparator(c)) foundation::appendUTF8(kept, c);
  }
  if (kept.empty() || kept.front() != '+') kept.insert(kept.begin(), '+');
  if (!QZMIsValidPhoneNumber(kept)) return std::nullopt;
  return kept;
}
